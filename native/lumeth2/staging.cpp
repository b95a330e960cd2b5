// Model staging: `_STAGED`, `_stage_dir`, `_stage_tflite`, `_release_staged`,
// `_drop_staged` (registered with atexit). The registry is looked up through
// the module at every call.
//
// The staging directory may be shared with other users, so copies never live
// in it directly: each process makes its own folder there (mode 0700, named
// "lumeth2-stage.<pid>.<random>", flock'ed for the life of the process),
// creates its copies inside through that folder's descriptor, and keeps each
// copy's descriptor open until the copy is released. The interpreters load a
// copy through /proc/self/fd/N, that is through the very file this process
// wrote, so no one who can rename names in a shared directory can put another
// file under a staged path. Copies are removed through the folder's descriptor
// and the folder through its parent's, so a folder that someone renamed while
// the host ran is still emptied. A folder whose process is gone (killed before
// its exit sweep ran) is removed by the next process that stages there.
#include "lumeth2/staging.hpp"
#include "lumeth2/bundle.hpp"
#include "lumeth2/elog.hpp"
#include "lumeth2/startup_py.hpp"
#include "common/fileio.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>

#include <cctype>
#include <cstdlib>
#include <vector>
#include <cstring>
#include <map>
#include <random>
#include <string>

namespace l2 {

namespace {

constexpr const char* PRIVATE_PREFIX = "lumeth2-stage.";

struct PrivateDir {
    std::string path;    // OS bytes
    std::string name;    // its last component, as made in the staging directory
    int fd = -1;         // O_DIRECTORY, flock'ed while this process lives
    int parent_fd = -1;  // the staging directory it was made in
};

// A copy this process wrote: its descriptor, and where its name lives (a
// descriptor of its folder, held apart from the folder's own entry, and the
// name in it), so that it is removed wherever the folder has been moved.
struct StagedFile {
    int fd = -1;
    int dir_fd = -1;
    std::string name;
    std::string member;  // the bundle member it holds
};

std::map<std::string, PrivateDir> g_dirs;    // staging directory -> this process's folder in it
std::map<std::string, StagedFile> g_files;   // staged path -> the copy written there

nb::list staged() { return nb::borrow<nb::list>(mod_get("_STAGED")); }

bool truthy(nb::handle h) {
    int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

std::string os_bytes(nb::handle path) {
    PyObject* out = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &out)) throw nb::python_error();
    std::string s(PyBytes_AS_STRING(out), static_cast<size_t>(PyBytes_GET_SIZE(out)));
    Py_DECREF(out);
    return s;
}

nb::str os_text(const std::string& raw) {
    PyObject* s = PyUnicode_DecodeFSDefaultAndSize(raw.data(), static_cast<Py_ssize_t>(raw.size()));
    if (!s) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

[[noreturn]] void raise_errno(int err, const std::string& path) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, os_text(path).ptr());
    throw nb::python_error();
}

// "lumeth2-stage.<pid>.<random>": the pid of the process that owns the folder.
bool owner_pid_of(const char* name, long* pid) {
    const size_t plen = std::strlen(PRIVATE_PREFIX);
    if (std::strncmp(name, PRIVATE_PREFIX, plen) != 0) return false;
    const char* p = name + plen;
    const char* digits = p;
    while (*p >= '0' && *p <= '9') ++p;
    if (p == digits || p - digits > 9 || *p != '.') return false;
    const char* rnd = p + 1;
    if (std::strlen(rnd) != 6) return false;
    for (const char* q = rnd; *q; ++q)
        if (!std::isalnum(static_cast<unsigned char>(*q)) && *q != '_') return false;
    *pid = std::strtol(digits, nullptr, 10);
    return *pid > 0;
}

// Removes the folders in `parent` that this user's staging processes left
// behind when they were killed: only names of our pattern, only real folders
// owned by this user, only when their pid is gone and no one holds their lock
// (a pid seen from another pid namespace may look gone while its owner lives).
void sweep_dead(const std::string& parent) {
    nb::gil_scoped_release unlocked;
    int pfd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (pfd < 0) return;
    orvane::fileio::Fd pguard(pfd);
    int lfd = ::dup(pfd);
    if (lfd < 0) return;
    DIR* d = ::fdopendir(lfd);
    if (!d) {
        ::close(lfd);
        return;
    }
    std::vector<std::string> dead;
    while (dirent* e = ::readdir(d)) {
        long pid = 0;
        if (!owner_pid_of(e->d_name, &pid) || pid == static_cast<long>(::getpid())) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        dead.emplace_back(e->d_name);
    }
    ::closedir(d);
    for (const std::string& name : dead) {
        int dfd = ::openat(pfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dfd < 0) continue;
        orvane::fileio::Fd dguard(dfd);
        struct stat st;
        if (::fstat(dfd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) continue;
        if (::flock(dfd, LOCK_EX | LOCK_NB) != 0) continue;
        int efd = ::dup(dfd);
        if (efd < 0) continue;
        DIR* sub = ::fdopendir(efd);
        if (!sub) {
            ::close(efd);
            continue;
        }
        std::vector<std::string> entries;
        while (dirent* e = ::readdir(sub)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                entries.emplace_back(e->d_name);
        }
        ::closedir(sub);
        for (const std::string& f : entries) ::unlinkat(dfd, f.c_str(), 0);
        ::unlinkat(pfd, name.c_str(), AT_REMOVEDIR);
    }
}

// This process's private folder inside `parent` (None: the default temp dir).
PrivateDir& private_dir(nb::handle parent) {
    nb::object where = parent.is_none() ? nb::object(orvane::py_import("tempfile").attr("gettempdir")())
                                        : nb::borrow(parent);
    const std::string key = os_bytes(where);
    auto it = g_dirs.find(key);
    if (it != g_dirs.end()) {
        struct stat st;
        if (::fstat(it->second.fd, &st) == 0 && st.st_nlink > 0) return it->second;
        ::close(it->second.fd);
        if (it->second.parent_fd >= 0) ::close(it->second.parent_fd);
        g_dirs.erase(it);
    }
    sweep_dead(key);
    std::string tmpl = key + "/" + PRIVATE_PREFIX + std::to_string(::getpid()) + ".XXXXXX";
    int fd = -1, err = 0;
    {
        nb::gil_scoped_release unlocked;
        if (::mkdtemp(tmpl.data()) == nullptr) {  // mode 0700
            err = errno;
        } else {
            fd = ::open(tmpl.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            struct stat st;
            if (fd < 0) {
                err = errno;
            } else if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
                // replaced between its creation and its opening: not ours to use
                err = EPERM;
                ::close(fd);
                fd = -1;
            } else {
                ::flock(fd, LOCK_EX | LOCK_NB);
            }
        }
    }
    if (fd < 0) raise_errno(err, err == EPERM ? tmpl : key);
    const int parent_fd = ::open(key.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return g_dirs[key] = PrivateDir{tmpl, tmpl.substr(key.size() + 1), fd, parent_fd};
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Removes the folder `held` from the directory `parent_fd`, under `name` or,
// when someone renamed it within that directory, under whatever name it has
// now. Only the very folder is removed (checked by device and inode), and only
// when it is empty.
bool remove_folder(int parent_fd, const std::string& name, int held) {
    struct stat mine, there;
    if (parent_fd < 0 || ::fstat(held, &mine) != 0) return false;
    if (::fstatat(parent_fd, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && same_file(mine, there))
        return ::unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) == 0;
    int lfd = ::openat(parent_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lfd < 0) return false;
    DIR* d = ::fdopendir(lfd);
    if (!d) {
        ::close(lfd);
        return false;
    }
    std::string now;
    while (dirent* e = ::readdir(d)) {
        if (e->d_ino != mine.st_ino) continue;
        if (::fstatat(parent_fd, e->d_name, &there, AT_SYMLINK_NOFOLLOW) == 0 && same_file(mine, there)) {
            now = e->d_name;
            break;
        }
    }
    ::closedir(d);
    return !now.empty() && ::unlinkat(parent_fd, now.c_str(), AT_REMOVEDIR) == 0;
}

// Removes the private folders that hold no more copies (the exit sweep and
// releases leave them empty).
void tidy_dirs() {
    for (auto it = g_dirs.begin(); it != g_dirs.end();) {
        if (remove_folder(it->second.parent_fd, it->second.name, it->second.fd)) {
            ::close(it->second.fd);
            ::close(it->second.parent_fd);
            it = g_dirs.erase(it);
        } else {
            ++it;
        }
    }
}

void forget_file(const std::string& path) {
    auto it = g_files.find(path);
    if (it == g_files.end()) return;
    ::close(it->second.fd);
    if (it->second.dir_fd >= 0) ::close(it->second.dir_fd);
    g_files.erase(it);
}

// Removes a recorded path: a copy of ours through its folder's descriptor, any
// other path by name. Raises the OSError of a failed removal.
void unlink_staged(nb::handle path) {
    nb::object unlink = orvane::py_import("os").attr("unlink");
    std::string key;
    if (PyUnicode_Check(path.ptr()) || PyBytes_Check(path.ptr())) key = os_bytes(path);
    auto it = g_files.find(key);
    if (it == g_files.end() || it->second.dir_fd < 0) {
        unlink(path);
        return;
    }
    unlink(os_text(it->second.name), nb::arg("dir_fd") = it->second.dir_fd);
}

nb::object stage_dir() {
    nb::module_ os = orvane::py_import("os");
    nb::object d = os.attr("environ").attr("get")("LUMETH2_STAGE_DIR", "").attr("strip")();
    if (!truthy(d)) return nb::none();
    try {
        os.attr("makedirs")(d, nb::arg("exist_ok") = true);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_OSError)) throw;
        nb::str why(e.value());
        nb::object msg =
            nb::str("LUMETH2_STAGE_DIR={} unusable ({}) \u2014 staging in the default temp dir "
                    "instead")
                .attr("format")(nb::repr(d), why);
        elog(msg);
        return nb::none();
    }
    return d;
}

// Writes a bytes-like member through the copy's descriptor, with the GIL
// released: model members run to hundreds of megabytes.
void write_member(int fd, nb::handle data, const std::string& path) {
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
    int rc, err = 0;
    {
        nb::gil_scoped_release unlocked;
        rc = orvane::fileio::write_all(fd, view.buf, static_cast<size_t>(view.len));
        if (rc != 0) err = errno;
    }
    PyBuffer_Release(&view);
    if (rc != 0) {
        try {
            raise_errno(err, path);
        } catch (nb::python_error& e) {
            mark_staging_error(e.value());
            throw;
        }
    }
}

// A new copy's name: the temp-file style "tmp" + 8 random characters, then "_"
// and the member's base name, created exclusively inside the private folder.
int create_copy(const PrivateDir& dir, const std::string& base, std::string* name) {
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789_";
    static std::mt19937_64 rng{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string n = "tmp";
        for (int i = 0; i < 8; ++i) n += alphabet[rng() % (sizeof alphabet - 1)];
        n += "_" + base;
        int fd;
        do fd = ::openat(dir.fd, n.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            *name = n;
            return fd;
        }
        if (errno != EEXIST) raise_errno(errno, dir.path + "/" + n);
    }
    raise_errno(EEXIST, dir.path);
}

}  // namespace

namespace {
PyObject* g_staging_error = nullptr;  // the last one only; never released at exit
}  // namespace

void mark_staging_error(nb::handle exc) {
    Py_XINCREF(exc.ptr());
    Py_XDECREF(g_staging_error);
    g_staging_error = exc.ptr();
}

bool is_staging_error(nb::handle exc) { return g_staging_error != nullptr && exc.ptr() == g_staging_error; }

std::string staged_member(nb::handle path) {
    if (!PyUnicode_Check(path.ptr()) && !PyBytes_Check(path.ptr())) return {};
    auto it = g_files.find(os_bytes(path));
    return it == g_files.end() ? std::string() : it->second.member;
}

nb::object staged_load_path(nb::handle path) {
    if (!PyUnicode_Check(path.ptr()) && !PyBytes_Check(path.ptr())) return nb::str(path);
    auto it = g_files.find(os_bytes(path));
    if (it == g_files.end() || ::access("/proc/self/fd", X_OK) != 0) return nb::str(path);
    return nb::str(("/proc/self/fd/" + std::to_string(it->second.fd)).c_str());
}

nb::object stage_tflite(nb::handle bundle, nb::handle nm, nb::handle data) {
    nb::module_ os = orvane::py_import("os");
    nb::object path = os.attr("path");
    if (truthy(path.attr("isdir")(bundle))) {
        nb::object own = path.attr("join")(bundle, nm);
        if (truthy(path.attr("isfile")(own))) return own;
    }
    const std::string base = os_bytes(path.attr("basename")(nm));
    nb::object where = mod_get("_stage_dir")();
    PrivateDir* dirp = nullptr;
    std::string name;
    int fd = -1;
    try {
        dirp = &private_dir(where);
        fd = create_copy(*dirp, base, &name);
    } catch (nb::python_error& e) {
        mark_staging_error(e.value());
        throw;
    }
    PrivateDir& dir = *dirp;
    const std::string full = dir.path + "/" + name;
    nb::str text = os_text(full);
    try {
        if (const MemberRef* ref = member_ref_of(data))
            copy_member(*ref, fd, sp::text(nm) + " in " + sp::text(bundle));
        else
            write_member(fd, data, full);
        staged().attr("append")(text);
    } catch (...) {
        // A failed write (disk full, file too large, a refused member) must not
        // leave a partial copy behind, nor may a copy that could not be recorded
        // (the exit sweep would never see it): remove it, then report the error.
        ::close(fd);
        ::unlinkat(dir.fd, name.c_str(), 0);
        tidy_dirs();
        throw;
    }
    g_files[full] = StagedFile{fd, ::fcntl(dir.fd, F_DUPFD_CLOEXEC, 0), name, sp::text(nm)};
    return text;
}

void release_staged(nb::handle paths) {
    nb::list snapshot = nb::steal<nb::list>(PySequence_List(paths.ptr()));
    if (!snapshot.is_valid()) throw nb::python_error();
    for (nb::handle item : snapshot) {
        nb::str text(item);
        nb::list reg = staged();
        int known = PySequence_Contains(reg.ptr(), text.ptr());
        if (known < 0) throw nb::python_error();
        if (!known) continue;  // a bundle's own file: never removed
        try {
            unlink_staged(text);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_OSError)) throw;
            continue;  // stays recorded; the exit sweep tries again
        }
        reg.attr("remove")(text);
        forget_file(os_bytes(text));
    }
    tidy_dirs();
}

namespace {

void drop_staged() {
    while (true) {
        nb::list reg = staged();
        if (nb::len(reg) == 0) break;
        nb::object p = reg.attr("pop")();  // newest first
        try {
            unlink_staged(p);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_OSError)) throw;
        }
        try {
            forget_file(os_bytes(p));
        } catch (nb::python_error&) {
        }
    }
    tidy_dirs();
}

}  // namespace

void register_staging(nb::module_& m) {
    m.attr("_STAGED") = nb::list();
    m.def("_stage_dir", &stage_dir, nb::sig("def _stage_dir() -> str | None"),
          "LUMETH2_STAGE_DIR (stripped, created if needed), or None for the default temp dir.");
    m.def("_drop_staged", &drop_staged, "Remove every staged file still recorded, newest first.");
    orvane::py_import("atexit").attr("register")(m.attr("_drop_staged"));
    m.def("_release_staged", &release_staged,
          nb::sig("def _release_staged(paths: list[str]) -> None"), nb::arg("paths").none(),
          "Remove the given paths that are staged temporary files; others are left alone.");
    m.def("_stage_tflite", &stage_tflite,
          nb::sig("def _stage_tflite(bundle: str, nm: str, data: bytes | bytearray | memoryview | _Member) "
                  "-> str"),
          nb::arg("bundle").none(), nb::arg("nm").none(), nb::arg("data").none(),
          "A loadable path for member nm: the directory bundle's own file, else a new file in this "
          "process's private staging folder holding data (recorded in _STAGED).");
}

}  // namespace l2
