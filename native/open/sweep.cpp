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
#include <unistd.h>

#include "open/cache.hpp"
#include "open/cache_dirs.hpp"

namespace op {

namespace {

constexpr double kStaleTmpIdleS = 86400;  // a day: leftovers of live processes go too

struct Candidate {
    double idle;
    uint64_t size;
    std::string key;  // path bytes, for ordering
    nb::object path;
};

// Modification time in seconds as the interpreter's st_mtime computes it.
double mtime_of(const struct stat& st) {
#ifdef __APPLE__
    const struct timespec& t = st.st_mtimespec;
#else
    const struct timespec& t = st.st_mtim;
#endif
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Whether the cache itself makes this name: an entry "sha256-" and 32 lowercase
// hex digits, or an unpack leftover of one, the entry's name then ".tmp." and a
// process id, and then (as made now) "." and 16 lowercase hex digits drawn at
// random (process ids alone clash across containers). The avatars directory
// may be a folder the user keeps other things in (an empty cache root puts it
// in the working directory): every other name is theirs, neither counted nor
// removed. Hidden names (the memo directory) never match.
bool cache_made(const char* name) {
    static constexpr char kPrefix[] = "sha256-";
    if (std::strncmp(name, kPrefix, sizeof kPrefix - 1) != 0) return false;
    const char* p = name + (sizeof kPrefix - 1);
    for (int i = 0; i < 32; ++i, ++p)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f'))) return false;
    if (*p == '\0') return true;
    if (std::strncmp(p, ".tmp.", 5) != 0) return false;
    p += 5;
    if (*p < '0' || *p > '9') return false;
    while (*p >= '0' && *p <= '9') ++p;
    if (*p == '\0') return true;
    if (*p++ != '.') return false;
    for (int i = 0; i < 16; ++i, ++p)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f'))) return false;
    return *p == '\0';
}

// Removes an unpack leftover unless someone holds a lock on it: an unpack in
// progress keeps its scratch folder locked, so one run by a process whose id
// means something else here (another container on the same cache volume)
// is never taken from under it.
void remove_leftover(const std::string& full, nb::handle path, nb::handle rmtree) {
    int fd = -1;
    if (!locks_unavailable()) {
        nb::gil_scoped_release nogil;
        fd = lock_dir(full);
    }
    if (fd == -2) return;
    orvane::fileio::Fd closer{fd};
    rmtree(path, nb::arg("ignore_errors") = true);
}

// One listing of the avatars directory, in the file system's order, only the
// names the cache makes.
std::vector<std::string> list_avatars(const std::string& dir) {
    std::vector<std::string> names;
    int err = 0;
    {
        nb::gil_scoped_release nogil;
        DIR* d = ::opendir(dir.c_str());  // "" names nothing (never the working directory)
        if (!d) {
            err = errno;
        } else {
            while (dirent* ent = ::readdir(d)) {
                if (!cache_made(ent->d_name)) continue;  // memos, hidden and foreign names
                names.emplace_back(ent->d_name);
            }
            ::closedir(d);
        }
    }
    if (err) raise_os_error(err, fs_str(dir));
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
    if (rc != 0) raise_os_error(err, fs_str(path));
    mtime = mtime_of(st);
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
    return nb::cast<double>(mod_get("time").attr("time")()) - mtime_of(st) < min_idle;
}

// Evicts one entry. Under an exclusive lock on its marker (no one can take a
// hold meanwhile; an entry without one is locked as a folder, as an unpack
// that finds it in its way does before moving it aside) and once more making
// sure no open touched it, the entry leaves its name by one rename, to a fresh
// scratch name (a leftover a later pass removes should this removal stop
// midway); only then is the lock dropped and the tree removed. An opener that
// waited on the lock finds its entry gone and unpacks afresh; one that comes
// later finds no entry at all, never one half removed. False when the entry is being opened: left alone.
bool evict(const Candidate& c, double min_idle, nb::handle rmtree, nb::handle lexists, bool& left) {
    struct Claim {
        int fd = -1;
        ~Claim() {
            if (fd >= 0) ::close(fd);
        }
    } claim;
    std::string aside = scratch_name(c.key);
    bool moved = false;
    if (!locks_unavailable()) {
        nb::gil_scoped_release nogil;
        claim.fd = claim_entry(c.key);
        if (claim.fd == -1) {
            claim.fd = lock_dir(c.key);
            if (claim.fd >= 0 && !still_names(claim.fd, c.key)) {  // moved aside meanwhile
                ::close(claim.fd);
                claim.fd = -2;
            }
        }
    }
    if (claim.fd == -2) return false;  // a hold came in after the probe, or someone moves it
    if (opened_since(c.key, min_idle)) return false;
    {
        nb::gil_scoped_release nogil;
        // Should the fresh name be taken after all: removed in place.
        moved = rename_new(c.key, aside) == 0;
        if (claim.fd >= 0) {
            ::close(claim.fd);
            claim.fd = -1;
        }
    }
    nb::object gone = moved ? fs_str(aside) : c.path;
    rmtree(gone, nb::arg("ignore_errors") = true);
    left = truthy(lexists(gone)) || truthy(lexists(c.path));
    return true;
}

uint64_t to_u64(nb::handle n) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow > 0) return UINT64_MAX;
    if (overflow < 0 || v < 0) return 0;
    return static_cast<uint64_t>(v);
}

void sweep_pass(nb::handle avatars, nb::handle keep) {
    nb::object os = py_import("os");
    nb::object join_py = os.attr("path").attr("join");
    nb::object lexists = os.attr("path").attr("lexists");
    nb::object rmtree = py_import("shutil").attr("rmtree");
    double now = nb::cast<double>(mod_get("time").attr("time")());
    nb::object cap_obj = nb::steal(PyNumber_Index(mod_get("_cache_cap_bytes")().ptr()));
    if (!cap_obj.is_valid()) throw nb::python_error();
    uint64_t cap = to_u64(cap_obj);
    double min_idle = nb::cast<double>(nb::float_(mod_get("_EVICT_MIN_IDLE_S")));
    nb::object tmp_re = mod_get("_TMP_RE");
    nb::object pid_alive = mod_get("_pid_alive");
    nb::object du = mod_get("_du");
    nb::object in_use = mod_get("_in_use");

    std::string dir = fs_path(avatars);
    // Only a folder of ours that no one else can write: a link or another
    // user's folder here could make the pass remove what is not the cache's.
    DirFault unsafe;
    {
        nb::gil_scoped_release nogil;
        unsafe = private_dir_fault(dir);
    }
    if (unsafe) return;
    std::vector<Candidate> entries;
    uint64_t total = 0;
    for (const std::string& raw : list_avatars(dir)) {
        std::string full = path_join(dir, raw);
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
                remove_leftover(full, path, rmtree);
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
        bool left = false;
        if (!evict(c, min_idle, rmtree, lexists, left)) continue;
        if (!left) total -= std::min(total, c.size);  // what survived still counts
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
    m.def("_sweep", &sweep, nb::arg("avatars").none(), nb::arg("keep").none(),
          "Evict idle, unheld cache entries (and stale unpack leftovers) until the cache fits its cap.");
}

}  // namespace op
