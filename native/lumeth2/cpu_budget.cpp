// `effective_cpu_count`, `default_threads`. Nothing is cached: each call reads
// the affinity mask and the cgroup files afresh, so a changed quota is seen.
//
// Quota files are text; their fields are split and parsed with the
// interpreter's own str.split() and int(), so what counts as malformed is what
// Python counts as malformed.
#include "lumeth2/cpu_budget.hpp"
#include "common/fileio.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <vector>

#ifdef __linux__
#include <sched.h>
#endif

namespace l2 {

namespace {

const std::string V2_ROOT = "/sys/fs/cgroup";

// Whole content of a file decoded as UTF-8 text; nullopt when it cannot be
// opened or read. A decoding failure is raised (UnicodeDecodeError).
std::optional<nb::str> read_text(const std::string& path) {
    int fd = orvane::fileio::open_rdonly(path.c_str());
    if (fd < 0) return std::nullopt;
    orvane::fileio::Fd guard(fd);
    std::string buf;
    char chunk[4096];
    while (true) {
        int64_t r = orvane::fileio::read_upto(fd, chunk, sizeof chunk);
        if (r < 0) return std::nullopt;
        buf.append(chunk, static_cast<size_t>(r));
        if (r < static_cast<int64_t>(sizeof chunk)) break;
    }
    PyObject* s = PyUnicode_DecodeUTF8(buf.data(), static_cast<Py_ssize_t>(buf.size()), "strict");
    if (!s) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

// int(text) as Python parses it; nullopt for a ValueError.
std::optional<nb::object> py_int(nb::handle text) {
    PyObject* v = PyNumber_Long(text.ptr());
    if (!v) {
        if (PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return std::nullopt;
        }
        throw nb::python_error();
    }
    return nb::steal(v);
}

bool py_gt_zero(nb::handle v) {
    int r = PyObject_RichCompareBool(v.ptr(), nb::int_(0).ptr(), Py_GT);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// q / p as a float (Python's correctly rounded int division); nullopt when the
// quotient is too large for a float, which only a malformed file can produce.
std::optional<double> quotient(nb::handle q, nb::handle p) {
    PyObject* v = PyNumber_TrueDivide(q.ptr(), p.ptr());
    if (!v) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            return std::nullopt;
        }
        throw nb::python_error();
    }
    double d = PyFloat_AsDouble(v);
    Py_DECREF(v);
    return d;
}

// The unified-hierarchy group of this process ("" for the root or none).
std::string cgroup_v2_path(const std::string& root) {
    std::optional<nb::str> text;
    try {
        text = read_text(root + "/proc/self/cgroup");
    } catch (nb::python_error& e) {
        // A group name that is not UTF-8 (names are bytes to the kernel) says
        // nothing usable about our group: no cgroup information, like a
        // missing file, never a failed start-up.
        if (!e.matches(PyExc_UnicodeDecodeError)) throw;
        return "";
    }
    if (!text) return "";
    // universal newlines, as text-mode line iteration sees the file
    nb::object norm = text->attr("replace")("\r\n", "\n").attr("replace")("\r", "\n");
    for (nb::handle line : norm.attr("split")("\n")) {
        if (!nb::cast<bool>(line.attr("startswith")("0::"))) continue;
        nb::object stripped = line.attr("strip")();
        nb::object rel = stripped[nb::slice(nb::int_(3), nb::none(), nb::none())];
        rel = rel.attr("rstrip")("/");
        return nb::cast<std::string>(rel);
    }
    return "";
}

}  // namespace

int64_t effective_cpu_count_at(const std::string& root, std::optional<int64_t> cpu_count,
                               std::optional<int64_t> affinity) {
    int64_t n = (cpu_count && *cpu_count > 0) ? *cpu_count : CPU_COUNT_FALLBACK;
    if (affinity && *affinity < n) n = *affinity;

    std::optional<double> quota;
    const std::string mount = root + V2_ROOT;
    std::string d = mount + cgroup_v2_path(root);
    bool found = false;
    while (true) {
        std::optional<nb::str> text;
        try {
            text = read_text(d + "/cpu.max");
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_ValueError)) throw;  // undecodable: this level says nothing
        }
        if (text) {
            nb::list fields = nb::borrow<nb::list>(text->attr("split")());
            if (nb::len(fields) >= 2) {
                found = true;
                nb::object q = fields[0], p = fields[1];
                if (!nb::cast<bool>(q.attr("__eq__")("max"))) {
                    std::optional<nb::object> pi = py_int(p);
                    if (pi && py_gt_zero(*pi)) {
                        std::optional<nb::object> qi = py_int(q);
                        std::optional<double> v = qi ? quotient(*qi, *pi) : std::nullopt;
                        if (v) quota = quota ? std::min(*quota, *v) : *v;
                    }
                }
            }
        }
        if (d.size() <= mount.size()) break;
        size_t cut = d.rfind('/');
        d = cut == std::string::npos ? std::string() : d.substr(0, cut);
    }

    if (!found) {
        // cgroup v1: only when no v2 quota file was found at any level
        try {
            std::optional<nb::str> qt = read_text(root + "/sys/fs/cgroup/cpu/cpu.cfs_quota_us");
            std::optional<nb::object> q = qt ? py_int(qt->attr("strip")()) : std::nullopt;
            if (q) {
                std::optional<nb::str> pt =
                    read_text(root + "/sys/fs/cgroup/cpu/cpu.cfs_period_us");
                std::optional<nb::object> p = pt ? py_int(pt->attr("strip")()) : std::nullopt;
                if (p && py_gt_zero(*q) && py_gt_zero(*p)) {
                    std::optional<double> v = quotient(*q, *p);
                    if (v) quota = v;
                }
            }
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_ValueError)) throw;
        }
    }

    // ceil(quota) cores, at least 1; compared as doubles so no huge or
    // non-finite quota is ever converted to an integer.
    if (quota && *quota > 0) {
        double cores = std::ceil(*quota);
        if (cores < 1.0) cores = 1.0;
        if (cores < static_cast<double>(n)) n = static_cast<int64_t>(cores);
    }
    return n < 1 ? 1 : n;
}

namespace {

std::optional<int64_t> system_cpu_count() {
    // os.cpu_count(): the system-wide count, and the interpreter's own
    // override of it where it has one.
    nb::object c = orvane::py_import("os").attr("cpu_count")();
    if (c.is_none()) return std::nullopt;
    return nb::cast<int64_t>(c);
}

std::optional<int64_t> affinity_size() {
#ifdef __linux__
    for (int ncpu = 1024; ncpu <= (1 << 20); ncpu *= 2) {
        cpu_set_t* set = CPU_ALLOC(ncpu);
        if (!set) return std::nullopt;
        size_t bytes = CPU_ALLOC_SIZE(ncpu);
        CPU_ZERO_S(bytes, set);
        if (sched_getaffinity(0, bytes, set) == 0) {
            int64_t count = CPU_COUNT_S(bytes, set);
            CPU_FREE(set);
            return count;
        }
        int err = errno;
        CPU_FREE(set);
        if (err != EINVAL) return std::nullopt;  // EINVAL: mask too small, retry larger
    }
#endif
    return std::nullopt;
}

nb::object max1(nb::handle t) {
    nb::object one = nb::int_(1);
    int lt = PyObject_RichCompareBool(t.ptr(), one.ptr(), Py_LT);
    if (lt < 0) throw nb::python_error();
    return lt ? one : nb::borrow(t);
}

bool le_zero(nb::handle t) {
    int r = PyObject_RichCompareBool(t.ptr(), nb::int_(0).ptr(), Py_LE);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

nb::object py_min(nb::handle a, nb::handle b) {
    int lt = PyObject_RichCompareBool(b.ptr(), a.ptr(), Py_LT);
    if (lt < 0) throw nb::python_error();
    return nb::borrow(lt ? b : a);
}

}  // namespace

// Counts stay Python ints so an explicit request of any size is returned as given.
nb::object default_threads(nb::handle n_interpreters, nb::handle requested) {
    nb::object t;
    int want = PyObject_IsTrue(requested.ptr());
    if (want < 0) throw nb::python_error();
    t = want ? nb::steal(PyNumber_Long(requested.ptr())) : nb::int_(0);
    if (!t.is_valid()) throw nb::python_error();
    if (le_zero(t)) {
        nb::object environ = orvane::py_import("os").attr("environ");
        nb::object env = environ.attr("get")("LIBQUARO_THREADS", "0");
        int set = PyObject_IsTrue(env.ptr());
        if (set < 0) throw nb::python_error();
        t = set ? nb::steal(PyNumber_Long(env.ptr())) : nb::int_(0);
        if (!t.is_valid()) throw nb::python_error();
    }
    if (le_zero(t)) t = py_min(mod_get("effective_cpu_count")(), nb::int_(THREAD_CAP));
    int many = PyObject_RichCompareBool(n_interpreters.ptr(), nb::int_(1).ptr(), Py_GT);
    if (many < 0) throw nb::python_error();
    if (many) {
        nb::object half = nb::steal(PyNumber_FloorDivide(mod_get("effective_cpu_count")().ptr(),
                                                         nb::int_(2).ptr()));
        if (!half.is_valid()) throw nb::python_error();
        t = py_min(t, max1(half));
    }
    return max1(t);
}

int64_t effective_cpu_count() {
    return effective_cpu_count_at("", system_cpu_count(), affinity_size());
}

void register_cpu_budget(nb::module_& m) {
    m.def("effective_cpu_count", []() { return effective_cpu_count(); },
          "Processors this process may use: the system count (8 if unknown), narrowed by the "
          "affinity mask and the cgroup CPU quota; at least 1.");
    m.def("_effective_cpu_count_at", &effective_cpu_count_at,
          nb::sig("def _effective_cpu_count_at(root: str, cpu_count: int | None, "
                  "affinity: int | None) -> int"),
          nb::arg("root"), nb::arg("cpu_count").none(), nb::arg("affinity").none(),
          "effective_cpu_count with its inputs given: cgroup files read under root, the system's "
          "processor count and the affinity set size (None: not known).");
    m.def("default_threads", &default_threads,
          nb::sig("def default_threads(n_interpreters: int = 1, requested: int | None = 0) -> int"),
          nb::arg("n_interpreters").none() = 1, nb::arg("requested").none() = 0,
          "Thread count for each LiteRT interpreter: the request, else LIBQUARO_THREADS, else the "
          "usable cores capped at 24; at most half the cores each when several interpreters run.");
}

}  // namespace l2
