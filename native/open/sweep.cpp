// The cache eviction pass: stale unpack leftovers go, then whole entries, the
// longest idle first, until the cache fits its cap. Best effort: the first
// error ends the pass silently.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

#include "open/cache.hpp"

namespace op {

namespace {

constexpr double kStaleTmpIdleS = 86400;  // a day: leftovers of live processes go too



struct Candidate {
    double idle;
    uint64_t size;
    std::string key;  // path bytes, for ordering
    nb::object path;
};

[[noreturn]] void raise_os_error(int err, const std::string& path) {
    errno = err;
    nb::object name = fs_str(path);
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
    throw nb::python_error();
}

std::string join(const std::string& a, const std::string& b) {
    if (a.empty() || a.back() == '/') return a + b;
    return a + "/" + b;
}

// One listing of the avatars directory, in the file system's order, hidden
// names left out.
std::vector<std::string> list_avatars(const std::string& dir) {
    std::vector<std::string> names;
    int err = 0;
    {
        nb::gil_scoped_release nogil;
        DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
        if (!d) {
            err = errno;
        } else {
            while (dirent* ent = ::readdir(d)) {
                if (ent->d_name[0] == '.') continue;  // memos and every other hidden name
                names.emplace_back(ent->d_name);
            }
            ::closedir(d);
        }
    }
    if (err) raise_os_error(err, dir);
    return names;
}

// The name's own status (links not followed): directory or not, and its
// modification time in seconds as the interpreter's st_mtime computes it. A
// name that vanished since the listing raises, which ends the pass.
bool own_status(const std::string& path, double& mtime) {
    struct stat st;
    int rc, err = 0;
    {
        nb::gil_scoped_release nogil;
        rc = ::lstat(path.c_str(), &st);
        if (rc != 0) err = errno;
    }
    if (rc != 0) raise_os_error(err, path);
    mtime = static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) * 1e-9;
    return S_ISDIR(st.st_mode);
}

// Every open touches the entry before it asks for its lock, so an entry whose
// time moved since the listing is being opened right now: leave it. This
// narrows the moment between the in-use probe and the removal, in which a new
// holder is otherwise protected by nothing.
bool opened_since(const std::string& path, double min_idle) {
    struct stat st;
    int rc;
    {
        nb::gil_scoped_release nogil;
        rc = ::lstat(path.c_str(), &st);
    }
    if (rc != 0) return false;  // gone already: the removal finds nothing
    double mtime = static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) * 1e-9;
    return nb::cast<double>(py_import("time").attr("time")()) - mtime < min_idle;
}

uint64_t to_u64(nb::handle n) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow > 0) return UINT64_MAX;
    if (overflow < 0 || v < 0) return 0;
    return static_cast<uint64_t>(v);
}

bool truthy(nb::handle h) {
    int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

void sweep_pass(nb::handle avatars, nb::handle keep) {
    nb::object os = py_import("os");
    nb::object join_py = os.attr("path").attr("join");
    nb::object lexists = os.attr("path").attr("lexists");
    nb::object rmtree = py_import("shutil").attr("rmtree");
    double now = nb::cast<double>(py_import("time").attr("time")());
    nb::object cap_obj = nb::steal(PyNumber_Index(mod_get("_cache_cap_bytes")().ptr()));
    if (!cap_obj.is_valid()) throw nb::python_error();
    uint64_t cap = to_u64(cap_obj);
    double min_idle = nb::cast<double>(nb::float_(mod_get("_EVICT_MIN_IDLE_S")));
    nb::object tmp_re = mod_get("_TMP_RE");
    nb::object pid_alive = mod_get("_pid_alive");
    nb::object du = mod_get("_du");
    nb::object in_use = mod_get("_in_use");

    std::string dir = fs_bytes(avatars);
    std::vector<Candidate> entries;
    uint64_t total = 0;
    for (const std::string& raw : list_avatars(dir)) {
        std::string full = join(dir, raw);
        double mtime;
        if (!own_status(full, mtime)) continue;  // plain files and links (to directories too) are not ours
        double idle = now - mtime;
        nb::object name = fs_str(raw);
        nb::object path = join_py(avatars, name);
        nb::object m = tmp_re.attr("match")(name);
        if (!m.is_none()) {
            // An unpack in progress or left behind: judged by its owner's
            // liveness and its age, never counted.
            if (idle > min_idle && (idle > kStaleTmpIdleS || !truthy(pid_alive(nb::int_(m.attr("group")(1))))))
                rmtree(path, nb::arg("ignore_errors") = true);
            continue;
        }
        uint64_t size = to_u64(nb::steal(PyNumber_Index(du(path).ptr())));
        total += size;
        int same = PyObject_RichCompareBool(path.ptr(), keep.ptr(), Py_EQ);
        if (same < 0) throw nb::python_error();
        if (!same) entries.push_back({idle, size, full, path});
    }
    // Longest idle first; then the larger; then the greater path.
    std::sort(entries.begin(), entries.end(), [](const Candidate& a, const Candidate& b) {
        if (a.idle != b.idle) return a.idle > b.idle;
        if (a.size != b.size) return a.size > b.size;
        return a.key > b.key;
    });
    for (Candidate& c : entries) {
        if (total <= cap) break;
        if (c.idle < min_idle || truthy(in_use(c.path, nb::float_(c.idle)))) continue;
        if (opened_since(c.key, min_idle)) continue;
        rmtree(c.path, nb::arg("ignore_errors") = true);
        if (!truthy(lexists(c.path))) total -= std::min(total, c.size);  // what survived still counts
    }
}

void sweep(nb::handle avatars, nb::handle keep) {
    try {
        sweep_pass(avatars, keep);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;  // interruptions pass; every error ends the pass quietly
    } catch (const nb::builtin_exception&) {
    } catch (const std::exception&) {
    }
}

}  // namespace

void register_sweep(nb::module_& m) {
    m.def("_sweep", &sweep, nb::arg("avatars"), nb::arg("keep"),
          "Evict idle, unheld cache entries (and stale unpack leftovers) until the cache fits its cap.");
}

}  // namespace op
