// Materialising an avatar: a directory is used where it lies; a container is
// unpacked once into the content-addressed cache, published by one rename and
// held for the rest of the process. Also the engine-kind lookup.
#include <cerrno>
#include <mutex>
#include <new>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

#include "open/cache.hpp"
#include "open/cache_dirs.hpp"

namespace op {

namespace {

// Unpacks inside one process take turns: a second thread that wants the same
// entry then finds it published instead of unpacking it again.
std::mutex g_unpack_mutex;

// A child forked while another thread unpacked inherits the mutex locked by a
// thread it does not have: start it afresh there.
void reset_unpack_mutex_in_child() { new (&g_unpack_mutex) std::mutex(); }

bool is_file(nb::handle path) { return marker_present(fs_path(path)); }

// The source, open once: its content key and its unpack both come from this
// descriptor, so the file cannot be swapped between the two. A file someone
// else may write is read once only, into a private copy (`copy`) that is
// hashed as it is written and then unpacked: its owner can change its bytes
// without moving any of its times (through a shared mapping whose pages were
// dirtied beforehand), so no second read of it could be trusted.
struct Source {
    int fd = -1;
    int copy = -1;
    struct stat st {};
    ~Source() {
        if (fd >= 0) ::close(fd);
        if (copy >= 0) ::close(copy);
    }
    bool others_write() const { return st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)); }
    int unpacked() const { return copy >= 0 ? copy : fd; }
    // A path naming the open file the unpacker reads, which it reads by name.
    std::string by_fd() const {
#ifdef __linux__
        const char* dir = ::access("/proc/self/fd", X_OK) == 0 ? "/proc/self/fd/" : "/dev/fd/";
#else
        const char* dir = "/dev/fd/";
#endif
        return dir + std::to_string(unpacked());
    }
    // Same size and modification time as when it was opened: nothing was
    // written to it since. (Its change time moves when its name is swapped
    // away, which is harmless here: we read the file, not the name.) A file
    // someone else may write is held to its change time too: its owner can
    // rewrite it in place and put the modification time back, which only the
    // change time shows.
    bool unchanged() const {
        if (copy >= 0) return true;  // ours alone, written once
        struct stat now;
        if (::fstat(fd, &now) != 0) return false;
#ifdef __APPLE__
        const struct timespec &m0 = st.st_mtimespec, &m1 = now.st_mtimespec;
        const struct timespec &c0 = st.st_ctimespec, &c1 = now.st_ctimespec;
#else
        const struct timespec &m0 = st.st_mtim, &m1 = now.st_mtim;
        const struct timespec &c0 = st.st_ctim, &c1 = now.st_ctim;
#endif
        if (others_write() && (c0.tv_sec != c1.tv_sec || c0.tv_nsec != c1.tv_nsec)) return false;
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

// A private, nameless file in the (private) avatars folder for the copy of a
// source: an unnamed temporary where the file system makes one, else a name
// made afresh and unlinked at once. -1 with errno set on failure.
int private_copy(const std::string& avatars) {
    int fd;
#ifdef O_TMPFILE
    do fd = ::open(avatars.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    while (fd < 0 && errno == EINTR);
    if (fd >= 0) return fd;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return -1;
#endif
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string name = path_join(avatars, "." + scratch_name("copy"));  // hidden: the sweep skips it
        do fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            ::unlink(name.c_str());
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

// Moves a folder without a completion marker out of the entry's name, to a
// scratch name the eviction pass ages and removes, so that a finished unpack
// can take the name. Under an exclusive lock on the folder itself, and only
// while the name still leads to it and it still has no marker: of several
// processes that find it in their way, one moves it, and none moves anything
// else (an entry published meanwhile carries a marker). 0 when the way may be
// clear now (try again), or an errno.
int move_blocker_aside(const std::string& dest, const std::string& marker) {
    int fd = -2;
    for (int waited_ms = 0; fd == -2; waited_ms += 10) {
        fd = lock_dir(dest);
        if (fd == -1) return errno == ENOENT ? 0 : errno;
        if (fd == -2) {
            if (waited_ms >= 10000) return EBUSY;  // a mover or a sweep keeps it for a moment only
            struct timespec ts{0, 10 * 1000 * 1000};
            ::nanosleep(&ts, nullptr);
        }
    }
    int err = 0;
    struct stat m;
    if (still_names(fd, dest) && !(::lstat(marker.c_str(), &m) == 0 && S_ISREG(m.st_mode))) {
        for (int attempt = 0; attempt < 8; ++attempt) {
            err = rename_new(dest, scratch_name(dest));
            if (err != EEXIST) break;
        }
        if (err == ENOENT) err = 0;
    }
    ::close(fd);
    return err;
}

enum class Published { yes, taken, failed };

// Publishes the finished scratch folder `tp` as the entry `dest` by one
// rename. `taken` when a complete entry (one with its marker) holds the name
// already; a folder without a marker in the way is moved aside first. `failed`
// with `err` and the path it concerns in `where`.
Published publish(const std::string& tp, const std::string& dest, int& err, std::string& where) {
    const std::string marker = path_join(dest, "manifest.json");
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (::rename(tp.c_str(), dest.c_str()) == 0) return Published::yes;
        err = errno;
        where = tp;
        if (err != ENOTEMPTY && err != EEXIST) return Published::failed;
        struct stat m;
        if (::lstat(marker.c_str(), &m) == 0 && S_ISREG(m.st_mode)) return Published::taken;
        int moved = move_blocker_aside(dest, marker);
        if (moved) {
            err = moved;
            where = dest;
            return Published::failed;
        }
    }
    where = dest;
    return Published::failed;
}

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
        if (src.others_write()) {
            std::string ap = fs_path(avatars);
            {
                nb::gil_scoped_release nogil;
                src.copy = private_copy(ap);
                err = src.copy < 0 ? errno : 0;
            }
            if (err) raise_os_error(err, avatars);
        }
        // The identity is that of the file open here, not of whatever the name
        // points at by now.
        nb::object st = os.attr("fstat")(src.fd);
        nb::object copy = src.copy >= 0 ? nb::object(nb::int_(src.copy)) : nb::none();
        key = mod_get("_content_key")(source, st, avatars, src.fd, copy);
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
    std::string dp = fs_path(dest);

    std::unique_lock<std::mutex> lock(g_unpack_mutex, std::defer_lock);
    {
        nb::gil_scoped_release nogil;  // the holder may need the GIL to finish
        lock.lock();
    }
    if (is_file(marker) && hold_entry(dest) != HoldResult::vanished) return dest;  // another thread of ours published it
    // A scratch folder of our own, under a name no other process draws (a
    // leftover of an earlier attempt, ours or not, is the sweep's to remove),
    // locked until it is published or removed so that no sweep takes it.
    orvane::fileio::Fd scratch{-1};
    nb::object tmp;
    std::string tp;
    // Removes the scratch folder, only while its name still leads to the
    // folder we made: whatever else is there now is not ours.
    auto remove_ours = [&] {
        bool ours;
        {
            nb::gil_scoped_release nogil;
            ours = scratch.fd >= 0 && still_names(scratch.fd, tp);
        }
        if (ours) remove_tree(tmp);
    };
    try {
        int err;
        {
            nb::gil_scoped_release nogil;
            err = make_locked_scratch(dp, tp, scratch.fd);
        }
        tmp = fs_str(tp);
        if (err) raise_os_error(err, tmp);  // nothing of ours: the scratch descriptor is not open
        try {
            unfold_qvx(nb::str(src.by_fd().c_str()), tmp);
        } catch (nb::python_error& e) {
            name_source(e.value(), src.by_fd(), source);
            throw;
        }
        std::string where;
        bool same, ours;
        Published done = Published::failed;
        {
            nb::gil_scoped_release nogil;
            same = src.unchanged();
            // The scratch name must still lead to the folder we made and filled.
            ours = same && still_names(scratch.fd, tp);
            err = ours ? make_owner_only(tp, where) : 0;
            if (ours && !err) done = publish(tp, dp, err, where);
        }
        if (!same) raise_os(ESTALE, "the avatar file changed while it was being unpacked", source);
        if (!ours) raise_os(ESTALE, "the unpack folder was moved while the avatar was unpacked", tmp);
        if (done == Published::taken) {
            remove_ours();
            if (hold_entry(dest) != HoldResult::vanished) return dest;  // another process completed the entry: no sweep
            err = ENOTEMPTY;
            where = dp;
        }
        if (done != Published::yes) raise_os_error(err, fs_str(where));
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_OSError)) {
            remove_ours();
            // Another process completed the entry: adopt it, no sweep.
            if (is_file(marker) && hold_entry(dest) != HoldResult::vanished) return dest;
            raise_refusal("Failed", nb::str("could not prepare that avatar"), e.value(), e.value());
        }
        if (!e.matches(PyExc_Exception)) throw;  // an interruption: the scratch directory stays for a sweep
        remove_ours();
        raise_refusal("InvalidAvatar", nb::str("that is not a usable avatar"), e.value(), e.value());
    }
    if (scratch.fd >= 0) {
        ::close(scratch.fd);  // published: the entry's holds are on its marker
        scratch.fd = -1;
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
