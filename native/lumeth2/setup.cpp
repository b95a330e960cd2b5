// First load steps of the host module: the standard facilities every concern
// reaches through the module namespace, and the search for the shared-encoder
// policy module `shared_enc_dep`.
#include "lumeth2/host_module.hpp"

namespace l2 {

namespace {

void bind_standard_modules(nb::module_& m) {
    for (const char* name :
         {"atexit", "hashlib", "json", "os", "struct", "sys", "threading", "time", "zipfile"})
        m.attr(name) = orvane::py_import(name);
    nb::module_ futures = orvane::py_import("concurrent.futures");
    m.attr("ThreadPoolExecutor") = futures.attr("ThreadPoolExecutor");
    m.attr("_futures_wait") = futures.attr("wait");
    m.attr("np") = orvane::py_import("numpy");
}

// The policy module is looked for first in the repository's tools/ directory
// (three levels above the module file in a source checkout), then beside the
// module file itself, which is where an installed package carries it. Only
// import errors are absorbed: a policy module that is present but broken in
// another way must fail the load loudly rather than silently disable base
// verification.
void find_policy_module(nb::module_& m) {
    m.attr("_SED") = nb::none();
    m.attr("_SED_WHY") = nb::str("");

    nb::module_ os = orvane::py_import("os");
    nb::object path = os.attr("path");
    // Under the package the import machinery sets __file__ before this runs;
    // without one (an embedding that loads the module by hand) the search has
    // no directory to start from and both candidates fail like missing modules.
    nb::object file = nb::getattr(m, "__file__", nb::none());
    if (file.is_none()) {
        m.attr("_SED_WHY") = nb::str("module has no __file__; policy module search skipped");
        return;
    }
    nb::object here = path.attr("dirname")(path.attr("abspath")(file));
    nb::object tools = path.attr("normpath")(path.attr("join")(here, "..", "..", "..", "tools"));

    nb::list sys_path = nb::borrow<nb::list>(orvane::py_import("sys").attr("path"));
    nb::object import_module = orvane::py_import("importlib").attr("import_module");

    for (nb::handle cand : {tools, here}) {
        bool present = false;
        for (nb::handle entry : sys_path) {
            // exact text comparison: a differently spelled duplicate is still inserted
            if (PyUnicode_Check(entry.ptr()) && PyUnicode_Compare(entry.ptr(), cand.ptr()) == 0) {
                present = true;
                break;
            }
            if (PyErr_Occurred()) throw nb::python_error();
        }
        if (!present) sys_path.attr("insert")(0, cand);
        try {
            nb::object sed = import_module("shared_enc_dep");
            m.attr("_SED") = sed;
            m.attr("_SED_WHY") = cand;
            return;
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_ImportError)) throw;
            m.attr("_SED_WHY") = nb::str(e.value());
            m.attr("_SED") = nb::none();
        }
    }
}

}  // namespace

void register_setup(nb::module_& m) {
    bind_standard_modules(m);
    find_policy_module(m);
}

}  // namespace l2
