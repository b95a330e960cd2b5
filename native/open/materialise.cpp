// Materialising an avatar: a directory is used where it lies; a container is
// unpacked once into the content-addressed cache, published by one rename and
// held for the rest of the process. Also the engine-kind lookup.
#include <cerrno>
#include <mutex>
#include <new>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "open/cache.hpp"
#include "open/cache_dirs.hpp"

namespace op {

namespace {

// The scratch directory name carries only the process id, so two threads of
// one process unpacking the same content would share it (and wipe each
// other's work): unpacks inside one process take turns.
std::mutex g_unpack_mutex;

// A child forked while another thread unpacked inherits the mutex locked by a
// thread it does not have: start it afresh there.
void reset_unpack_mutex_in_child() { new (&g_unpack_mutex) std::mutex(); }

bool is_file(nb::handle path) { return marker_present(fs_path(path)); }

// The source, open once: its content key and its unpack both come from this
// descriptor, so the file cannot be swapped between the two.
struct Source {
    int fd = -1;
    struct stat st {};
    ~Source() {
        if (fd >= 0) ::close(fd);
    }
    // A path naming this very open file for the unpacker, which reads by name.
    std::string by_fd() const {
#ifdef __linux__
        const char* dir = ::access("/proc/self/fd", X_OK) == 0 ? "/proc/self/fd/" : "/dev/fd/";
#else
        const char* dir = "/dev/fd/";
#endif
        return dir + std::to_string(fd);
    }
    // Same size and modification time as when it was opened: nothing was
    // written to it since. (Its change time moves when its name is swapped
    // away, which is harmless here: we read the file, not the name.) A file
    // someone else may write is held to its change time too: its owner can
    // rewrite it in place and put the modification time back, which only the
    // change time shows.
    bool unchanged() const {
        struct stat now;
        if (::fstat(fd, &now) != 0) return false;
#ifdef __APPLE__
        const struct timespec &m0 = st.st_mtimespec, &m1 = now.st_mtimespec;
        const struct timespec &c0 = st.st_ctimespec, &c1 = now.st_ctimespec;
#else
        const struct timespec &m0 = st.st_mtim, &m1 = now.st_mtim;
        const struct timespec &c0 = st.st_ctim, &c1 = now.st_ctim;
#endif
        bool others_write = st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH));
        if (others_write && (c0.tv_sec != c1.tv_sec || c0.tv_nsec != c1.tv_nsec)) return false;
        return now.st_size == st.st_size && m0.tv_sec == m1.tv_sec && m0.tv_nsec == m1.tv_nsec;
    }
};

// The unpacker read the source through its descriptor's name: an error of its
// names the source as the user gave it instead (its text and, for an OSError,
// its file name), so the refusal's detail reads as before.
void name_source(nb::handle exc, const std::string& by_fd, nb::handle source) {
    nb::object fd_name = nb::str(by_fd.c_str());
    nb::object old = attr_or(exc, "args", nb::none());
    if (!PyTuple_Check(old.ptr())) return;
    nb::list fixed;
    bool changed = false;
    for (nb::handle a : old) {
        if (PyUnicode_Check(a.ptr()) && PySequence_Contains(a.ptr(), fd_name.ptr()) == 1) {
            fixed.append(a.attr("replace")(fd_name, source));
            changed = true;
        } else {
            fixed.append(a);
        }
    }
    if (changed) nb::setattr(exc, "args", nb::tuple(fixed));
    if (PyObject_TypeCheck(exc.ptr(), reinterpret_cast<PyTypeObject*>(PyExc_OSError))) {
        nb::object fn = attr_or(exc, "filename", nb::none());
        if (PyUnicode_Check(fn.ptr()) && py_compare(fn, fd_name, Py_EQ)) nb::setattr(exc, "filename", source);
    }
}

[[noreturn]] void raise_os(int err, const char* text, nb::handle filename) {
    nb::object exc = nb::handle(PyExc_OSError)(err, nb::str(text), filename);
    throw_obj(exc);
}

void remove_tree(nb::handle path) { py_import("shutil").attr("rmtree")(path, nb::arg("ignore_errors") = true); }

void sweep_from(nb::handle avatars, nb::handle dest) {
    mod_set("_SWEPT", nb::bool_(true));  // before the call: a sweep that ends early is not retried
    mod_get("_sweep")(avatars, dest);
}

nb::object materialise(nb::object source) {
    nb::object os = py_import("os");
    nb::object path = os.attr("path");
    if (nb::cast<bool>(path.attr("isdir")(source))) return source;

    os.attr("stat")(source);  // a source that vanished or cannot be looked at: its own error
    nb::object root = mod_get("_cache_root")();
    nb::object avatars = path.attr("join")(root, "avatars");
    Source src;
    nb::object key;
    try {
        prepare_cache(root, avatars);
        std::string sp = fs_path(source);
        int err = 0;
        {
            nb::gil_scoped_release nogil;
            do src.fd = ::open(sp.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            while (src.fd < 0 && errno == EINTR);
            if (src.fd < 0)
                err = errno;
            else if (::fstat(src.fd, &src.st) != 0)
                err = errno;
        }
        if (err) raise_os_error(err, source);
        if (!S_ISREG(src.st.st_mode)) {
            // A pipe or a device is no container; reading one to key it could
            // wait for a writer or never end.
            nb::object why = checked(PyUnicode_FromFormat("%S is neither a QVX nor a zip container", source.ptr()));
            nb::object e = nb::handle(PyExc_ValueError)(why);
            raise_refusal("InvalidAvatar", nb::str("that is not a usable avatar"), e);
        }
        // The identity is that of the file open here, not of whatever the name
        // points at by now.
        nb::object st = os.attr("fstat")(src.fd);
        key = mod_get("_content_key")(source, st, avatars, src.fd);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_OSError)) throw;
        raise_refusal("Failed", nb::str("could not prepare that avatar"), e.value(), e.value());
    }
    nb::object dest = path.attr("join")(avatars, key);
    nb::object marker = path.attr("join")(dest, "manifest.json");

    // A hit that is evicted before our hold takes is a miss: unpack afresh.
    if (is_file(marker) && hold_entry(dest) != HoldResult::vanished) {
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
    if (is_file(marker) && hold_entry(dest) != HoldResult::vanished) return dest;  // another thread of ours published it
    try {
        remove_tree(tmp);  // a leftover of an earlier attempt under our process id
        std::string tp = fs_path(tmp);
        int err;
        {
            nb::gil_scoped_release nogil;
            err = make_scratch_dir(tp);
        }
        if (err) raise_os_error(err, tmp);
        try {
            unfold_qvx(nb::str(src.by_fd().c_str()), tmp);
        } catch (nb::python_error& e) {
            name_source(e.value(), src.by_fd(), source);
            throw;
        }
        std::string where;
        bool same;
        {
            nb::gil_scoped_release nogil;
            same = src.unchanged();
            err = same ? make_owner_only(tp, where) : 0;
        }
        if (!same) raise_os(ESTALE, "the avatar file changed while it was being unpacked", source);
        if (err) raise_os_error(err, fs_str(where));
        os.attr("replace")(tmp, dest);
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_OSError)) {
            remove_tree(tmp);
            // Another process completed the entry: adopt it, no sweep.
            if (is_file(marker) && hold_entry(dest) != HoldResult::vanished) return dest;
            raise_refusal("Failed", nb::str("could not prepare that avatar"), e.value(), e.value());
        }
        if (!e.matches(PyExc_Exception)) throw;  // an interruption: the scratch directory stays for a sweep
        remove_tree(tmp);
        raise_refusal("InvalidAvatar", nb::str("that is not a usable avatar"), e.value(), e.value());
    }
    lock.unlock();
    if (hold_entry(dest) == HoldResult::vanished) {
        nb::object gone = nb::handle(PyExc_FileNotFoundError)(ENOENT, nb::str("the cache entry was removed as it was made"), dest);
        raise_refusal("Failed", nb::str("could not prepare that avatar"), gone);
    }
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
