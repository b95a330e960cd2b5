// Materialising an avatar: a directory is used where it lies; a container is
// unpacked once into the content-addressed cache, published by one rename and
// held for the rest of the process. Also the engine-kind lookup.
#include <mutex>
#include <new>

#include <pthread.h>

#include "open/cache.hpp"

namespace op {

namespace {

// The scratch directory name carries only the process id, so two threads of
// one process unpacking the same content would share it (and wipe each
// other's work): unpacks inside one process take turns.
std::mutex g_unpack_mutex;

// A child forked while another thread unpacked inherits the mutex locked by a
// thread it does not have: start it afresh there.
void reset_unpack_mutex_in_child() { new (&g_unpack_mutex) std::mutex(); }

bool is_file(nb::handle path) { return nb::cast<bool>(py_import("os").attr("path").attr("isfile")(path)); }

void remove_tree(nb::handle path) { py_import("shutil").attr("rmtree")(path, nb::arg("ignore_errors") = true); }

void sweep_from(nb::handle avatars, nb::handle dest) {
    mod_set("_SWEPT", nb::bool_(true));  // before the call: a sweep that ends early is not retried
    mod_get("_sweep")(avatars, dest);
}

nb::object materialise(nb::object source) {
    nb::object os = py_import("os");
    nb::object path = os.attr("path");
    if (nb::cast<bool>(path.attr("isdir")(source))) return source;

    nb::object st = os.attr("stat")(source);
    nb::object avatars = path.attr("join")(mod_get("_cache_root")(), "avatars");
    nb::object key;
    try {
        key = mod_get("_content_key")(source, st, avatars);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_OSError)) throw;
        raise_refusal("Failed", nb::str("could not prepare that avatar"), e.value(), e.value());
    }
    nb::object dest = path.attr("join")(avatars, key);
    nb::object marker = path.attr("join")(dest, "manifest.json");

    if (is_file(marker)) {
        mod_get("_hold")(dest);
        if (!nb::cast<bool>(nb::bool_(mod_get("_SWEPT")))) sweep_from(avatars, dest);
        return dest;
    }

    nb::object unfold_qvx = import_from("orvane._offline", "unfold_qvx");
    std::string suffix = ".tmp." + py_str(os.attr("getpid")());
    nb::object tmp = nb::steal(PyUnicode_Concat(dest.ptr(), nb::str(suffix.c_str()).ptr()));
    if (!tmp.is_valid()) throw nb::python_error();

    std::unique_lock<std::mutex> lock(g_unpack_mutex, std::defer_lock);
    {
        nb::gil_scoped_release nogil;  // the holder may need the GIL to finish
        lock.lock();
    }
    if (is_file(marker)) {  // another thread of ours published it meanwhile
        mod_get("_hold")(dest);
        return dest;
    }
    try {
        remove_tree(tmp);  // a leftover of an earlier attempt under our process id
        os.attr("makedirs")(tmp, nb::arg("exist_ok") = true);
        unfold_qvx(source, tmp);
        os.attr("replace")(tmp, dest);
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_OSError)) {
            remove_tree(tmp);
            if (is_file(marker)) {  // another process completed the entry: adopt it, no sweep
                mod_get("_hold")(dest);
                return dest;
            }
            raise_refusal("Failed", nb::str("could not prepare that avatar"), e.value(), e.value());
        }
        if (!e.matches(PyExc_Exception)) throw;  // an interruption: the scratch directory stays for a sweep
        remove_tree(tmp);
        raise_refusal("InvalidAvatar", nb::str("that is not a usable avatar"), e.value(), e.value());
    }
    lock.unlock();
    mod_get("_hold")(dest);
    sweep_from(avatars, dest);  // every fresh unpack sweeps
    return dest;
}

nb::object engine_of(nb::handle source) {
    nb::object read_manifest = import_from("orvane._qvx_engine", "read_manifest");
    nb::object resolve_engine = import_from("orvane._qvx_engine", "resolve_engine");
    nb::object man = read_manifest(source);
    if (man.is_none()) return nb::str("ferrin1");
    return resolve_engine(man);
}

}  // namespace

void register_materialise(nb::module_& m) {
    static const bool fork_handler = pthread_atfork(nullptr, nullptr, reset_unpack_mutex_in_child) == 0;
    (void)fork_handler;
    m.def("_materialise", &materialise, nb::arg("source"),
          "Directory holding the unpacked avatar: the source itself, or its held cache entry.");
    m.def("_engine_of", &engine_of, nb::arg("source"), "Engine kind of an avatar, from its manifest.");
}

}  // namespace op
