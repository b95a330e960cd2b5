// Avatar cache: root, cap, content keys with their memo files, holds on
// entries, the liveness probe for unpack leftovers and disk usage.
#include "open/cache.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <future>
#include <memory>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "open/cache_dirs.hpp"

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

namespace op {

namespace {

constexpr size_t kHashBlock = 4194304;       // 4 MiB: memory use stays flat whatever the container's size
constexpr double kNoLockInUseWindow = 604800;  // seven days
// How long a hold waits out an exclusive lock: a sweep keeps one only while it
// looks at an entry and moves it out of the way, so this is ample.
constexpr double kHoldWaitS = 10.0;

// Non-blocking, so that a named pipe put where a memo, marker or container
// should be cannot stall the open waiting for a writer (regular files read
// as usual).
int open_rdonly(const char* path, int extra = 0) {
    int fd;
    do fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | extra);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// A name under the cache root: never followed through a link.
int open_cached(const std::string& path) { return open_rdonly(path.c_str(), O_NOFOLLOW); }

bool is_regular(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A memo folder (and the avatars folder above it) that is missing (it will be
// made private) or private to us. Anything else may hold another user's
// memos, or take ours somewhere else: memos are then neither read nor written.
bool memo_dir_usable(const std::string& avatars, const std::string& idx_dir) {
    for (const std::string* p : {&avatars, &idx_dir}) {
        DirFault f = private_dir_fault(*p);
        if (f && f.err != ENOENT) return false;
    }
    return true;
}

// White space as str.strip() sees it in a memo read as UTF-8 text: the ASCII
// set and the UTF-8 forms of the other Unicode spaces.
bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f); }

constexpr std::string_view kWideSpaces[] = {
    "\xc2\x85", "\xc2\xa0", "\xe1\x9a\x80", "\xe2\x80\x80", "\xe2\x80\x81", "\xe2\x80\x82",
    "\xe2\x80\x83", "\xe2\x80\x84", "\xe2\x80\x85", "\xe2\x80\x86", "\xe2\x80\x87", "\xe2\x80\x88",
    "\xe2\x80\x89", "\xe2\x80\x8a", "\xe2\x80\xa8", "\xe2\x80\xa9", "\xe2\x80\xaf", "\xe2\x81\x9f",
    "\xe3\x80\x80"};

// 1: `seq` is one wide space; 0: a proper prefix of one; -1: neither.
int wide_space(std::string_view seq) {
    int found = -1;
    for (std::string_view w : kWideSpaces) {
        if (w == seq) return 1;
        if (w.substr(0, seq.size()) == seq) found = 0;
    }
    return found;
}

// The memo's key: exactly 32 lowercase hex digits once surrounding white space
// is stripped; empty when the memo is missing, unreadable or holds anything
// else. Read as a stream, so memory stays flat whatever the file holds.
std::string read_memo(const std::string& idx) {
    int fd = open_cached(idx);
    if (fd < 0) return {};
    std::string key, wide;
    bool space_after_key = false, bad = false;
    char buf[4096];
    for (;;) {
        int64_t n = orvane::fileio::read_upto(fd, buf, sizeof buf);
        if (n <= 0) {
            bad = bad || n < 0;
            break;
        }
        for (int64_t i = 0; i < n && !bad; ++i) {
            unsigned char c = static_cast<unsigned char>(buf[i]);
            bool space;
            if (!wide.empty() || c >= 0x80) {
                wide.push_back(static_cast<char>(c));
                int w = wide_space(wide);
                if (w < 0) bad = true;
                if (w != 1) continue;
                wide.clear();
                space = true;
            } else {
                space = is_ascii_space(c);
            }
            if (space) {
                space_after_key = !key.empty();
            } else if (((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) && !space_after_key && key.size() < 32) {
                key.push_back(static_cast<char>(c));
            } else {
                bad = true;
            }
        }
        if (bad) break;
    }
    ::close(fd);
    if (bad || !wide.empty() || key.size() != 32) return {};
    return key;
}

// Best effort: write `key` under a name carrying our process id, then rename it
// over the memo so readers never see a half-written memo. The temporary is
// made afresh (never an existing file, never through a link), owner-only.
void write_memo(const std::string& idx_dir, const std::string& idx, const std::string& key) {
    if (!make_private_dirs(idx_dir) || private_dir_fault(idx_dir)) return;
    std::string tmp = idx + "." + std::to_string(::getpid());
    int fd = -1;
    for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
        do fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        while (fd < 0 && errno == EINTR);
        if (fd < 0 && errno == EEXIST) ::unlink(tmp.c_str());  // our own leftover: a link goes, not its target
    }
    if (fd < 0) return;
    bool ok = orvane::fileio::write_all(fd, key.data(), key.size()) == 0;
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(tmp.c_str(), idx.c_str()) == 0) return;
    ::unlink(tmp.c_str());
}

// Whether the block holds zeros only: such blocks of a private copy are left as
// holes, so a sparse container stays sparse in its copy.
bool all_zero(const char* p, size_t n) {
    static const char kZeros[4096] = {};
    while (n) {
        size_t k = n < sizeof kZeros ? n : sizeof kZeros;
        if (std::memcmp(p, kZeros, k) != 0) return false;
        p += k;
        n -= k;
    }
    return true;
}

// SHA-256 over the whole file open on `fd` (read from its start, the file
// position left alone) through hashlib, reading the next block on a helper
// thread (no GIL) while hashlib digests the current one (it drops the GIL for
// large updates), so disk and hashing overlap on a cold container.
//
// With `copy_fd`, every block hashed is also written there, at its offset, and
// the copy is cut to the length read: the copy then holds exactly the bytes
// the key names, whatever happens to the source afterwards. A write error
// names `copy_name`.
std::string hash_fd_hex(nb::handle source, int fd, int copy_fd = -1, nb::handle copy_name = nb::handle()) {
    nb::object h = py_import("hashlib").attr("sha256")();
    nb::object update = h.attr("update");
    std::unique_ptr<char[]> bufs[2] = {std::unique_ptr<char[]>(new char[kHashBlock]),
                                       std::unique_ptr<char[]>(new char[kHashBlock])};
    struct Read {
        int64_t n;
        int err;
    };
    uint64_t offset = 0;
    auto start = [fd](char* dst, uint64_t at) {
        return std::async(std::launch::async, [fd, dst, at] {
            int64_t n = orvane::fileio::pread_upto(fd, dst, kHashBlock, at);
            return Read{n, n < 0 ? errno : 0};
        });
    };
    auto settle = [&](std::future<Read>& pending) {
        if (pending.valid()) {
            nb::gil_scoped_release nogil;
            pending.wait();
        }
    };
    int cur = 0;
    std::future<Read> pending = start(bufs[cur].get(), offset);
    for (;;) {
        Read r;
        {
            nb::gil_scoped_release nogil;
            r = pending.get();
        }
        if (r.n < 0) raise_os_error(r.err, source);
        if (r.n == 0) break;
        char* block = bufs[cur].get();
        cur ^= 1;
        uint64_t at = offset;
        offset += static_cast<uint64_t>(r.n);
        // Read ahead only after a full block: a short one was the end of the file.
        if (static_cast<size_t>(r.n) == kHashBlock) pending = start(bufs[cur].get(), offset);
        if (copy_fd >= 0) {
            int err = 0;
            {
                nb::gil_scoped_release nogil;
                const size_t n = static_cast<size_t>(r.n);
                if (!all_zero(block, n) && orvane::fileio::write_all(copy_fd, block, n, &at) != 0) err = errno;
            }
            if (err) {
                settle(pending);
                raise_os_error(err, copy_name);
            }
        }
        nb::object view = nb::steal(PyMemoryView_FromMemory(block, static_cast<Py_ssize_t>(r.n), PyBUF_READ));
        if (!view.is_valid()) throw nb::python_error();
        try {
            update(view);
        } catch (...) {
            settle(pending);
            throw;
        }
        if (!pending.valid()) break;
    }
    if (copy_fd >= 0 && ::ftruncate(copy_fd, static_cast<off_t>(offset)) != 0) raise_os_error(errno, copy_name);
    return nb::cast<std::string>(h.attr("hexdigest")()).substr(0, 32);
}

std::string hash_file_hex(nb::handle source, const std::string& path) {
    int fd;
    {
        nb::gil_scoped_release nogil;
        fd = open_rdonly(path.c_str());
    }
    if (fd < 0) raise_os_error(errno, source);
    orvane::fileio::Fd guard{fd};
    return hash_fd_hex(source, fd);
}

nb::object cache_root() {
    nb::object os = py_import("os");
    nb::object raw = os.attr("environ").attr("get")("ORVANE_CACHE_DIR", "~/.cache/orvane");
    return os.attr("path").attr("expanduser")(raw);
}

// A plain decimal number in ASCII, blanks around it allowed: sign, digits with
// an optional fraction, an optional exponent; or the words for an infinity or
// not-a-number (which then fail as a cap). float() alone would also take
// "1_5", other scripts' digits and Unicode spaces.
bool plain_decimal(std::string_view t) {
    auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (!t.empty() && blank(t.front())) t.remove_prefix(1);
    while (!t.empty() && blank(t.back())) t.remove_suffix(1);
    if (!t.empty() && (t.front() == '+' || t.front() == '-')) t.remove_prefix(1);
    std::string word;
    for (char c : t) word.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
    if (word == "inf" || word == "infinity" || word == "nan") return true;
    size_t i = 0, digits = 0;
    auto digit = [&](size_t k) { return k < t.size() && t[k] >= '0' && t[k] <= '9'; };
    while (digit(i)) ++i, ++digits;
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (digit(i)) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        if (!digit(i)) return false;
        while (digit(i)) ++i;
    }
    return i == t.size();
}

nb::object cache_cap_bytes() {
    nb::object raw = py_import("os").attr("environ").attr("get")("ORVANE_AVATAR_CACHE_GB", "");
    nb::object fallback = mod_get("_DEFAULT_CACHE_GB");
    double gb = nb::cast<double>(fallback);
    if (nb::bool_(raw)) {
        Py_ssize_t n = 0;
        const char* text = PyUnicode_Check(raw.ptr()) ? PyUnicode_AsUTF8AndSize(raw.ptr(), &n) : nullptr;
        if (!text) PyErr_Clear();  // not text, or text that is no UTF-8 (a lone surrogate): unreadable
        if (text && plain_decimal(std::string_view(text, static_cast<size_t>(n))))
            gb = nb::cast<double>(nb::handle(reinterpret_cast<PyObject*>(&PyFloat_Type))(raw));
    }
    // Negative settings mean no room; an infinity of either sign stays one, so
    // that it fails below like not-a-number does.
    if (std::isfinite(gb) && gb < 0.0) gb = 0.0;
    // int() of the product: truncation toward zero; OverflowError for an
    // infinity, ValueError for not-a-number, in the interpreter's own words.
    PyObject* n = PyLong_FromDouble(gb * 1e9);
    if (!n) throw nb::python_error();
    return nb::steal(n);
}

nb::object content_key(nb::handle source, nb::handle st, nb::handle avatars, nb::handle fd, nb::handle copy) {
    nb::object os = py_import("os");
    nb::object hashlib = py_import("hashlib");
    std::string abs_path = fs_bytes(os.attr("path").attr("abspath")(source));
    // Identity text: path NUL size NUL mtime_ns NUL inode. The path goes in as
    // its file-system bytes, so a name that is not valid UTF-8 still gets a key.
    std::string ident = abs_path;
    ident.push_back('\0');
    ident += py_str(st.attr("st_size"));
    ident.push_back('\0');
    ident += py_str(st.attr("st_mtime_ns"));
    ident.push_back('\0');
    ident += py_str(st.attr("st_ino"));
    nb::object memo_name =
        hashlib.attr("sha256")(nb::bytes(ident.data(), ident.size())).attr("hexdigest")()[nb::slice(0, 32)];
    std::string avatars_dir = fs_path(avatars);
    std::string idx_dir = path_join(avatars_dir, ".idx");
    std::string idx = path_join(idx_dir, nb::cast<std::string>(memo_name));
    std::string source_path = fs_path(source);

    // A file someone else may write can be rewritten in place with its size and
    // modification time put back: its identity no longer vouches for its bytes,
    // so it is hashed every time (memos are a saving only).
    long long uid = nb::cast<long long>(st.attr("st_uid"));
    long long mode = nb::cast<long long>(st.attr("st_mode"));
    bool others_write = uid != static_cast<long long>(::geteuid()) || (mode & (S_IWGRP | S_IWOTH));

    // Python's own reading of a descriptor argument: TypeError, ValueError
    // or OverflowError for anything that is not one
    auto descriptor = [](nb::handle h) {
        const int v = PyObject_AsFileDescriptor(h.ptr());
        if (v < 0) throw nb::python_error();
        return v;
    };
    const int copy_fd = copy.is_none() ? -1 : descriptor(copy);

    std::string memo;
    bool usable = !others_write;
    if (usable) {
        nb::gil_scoped_release nogil;
        usable = memo_dir_usable(avatars_dir, idx_dir);
        // A copy asked for must be made: the bytes are read in any case.
        if (usable && copy_fd < 0) memo = read_memo(idx);
    }
    if (!memo.empty()) return nb::str(("sha256-" + memo).c_str());

    // With a descriptor, the bytes keyed are those of the file the caller has
    // open (and will unpack), whatever the path names by now; with a copy too,
    // they are those the copy holds.
    std::string key;
    if (fd.is_none() && copy_fd < 0) {
        key = hash_file_hex(source, source_path);
    } else if (fd.is_none()) {
        int src;
        {
            nb::gil_scoped_release nogil;
            src = open_rdonly(source_path.c_str());
        }
        if (src < 0) raise_os_error(errno, source);
        orvane::fileio::Fd guard{src};
        key = hash_fd_hex(source, src, copy_fd, avatars);
    } else {
        key = hash_fd_hex(source, descriptor(fd), copy_fd, avatars);
    }
    if (usable) {
        nb::gil_scoped_release nogil;
        write_memo(idx_dir, idx, key);
    }
    return nb::str(("sha256-" + key).c_str());
}

// Whether `marker` still names the file open on `fd`: an entry moved away or
// removed after we opened its marker is not the entry at that path any more.
bool still_named(int fd, const std::string& marker) {
    struct stat a, b;
    return ::fstat(fd, &a) == 0 && ::lstat(marker.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

void hold(nb::handle dest) { hold_entry(dest); }

bool in_use(nb::handle entry, nb::handle idle_s) {
    if (locks_unavailable()) {
        int r = PyObject_RichCompareBool(idle_s.ptr(), nb::float_(kNoLockInUseWindow).ptr(), Py_LT);
        if (r < 0) throw nb::python_error();
        return r == 1;
    }
    std::string marker = path_join(fs_path(entry), "manifest.json");
    nb::gil_scoped_release nogil;
    int fd = open_cached(marker);
    if (fd < 0) return false;
    // A fresh description: any other lock on the marker, our own holds
    // included, refuses the exclusive probe. Closing drops a probe that won.
    bool used = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return used;
}

bool pid_alive(nb::handle pid) {
    if (nb::cast<std::string>(py_import("os").attr("name")) == "nt") return true;
    nb::object n = nb::steal(PyNumber_Index(pid.ptr()));
    if (!n.is_valid()) throw nb::python_error();
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    // An id no process can carry: gone. (Letting it raise would end a sweep at
    // every pass over a stray directory name.)
    if (overflow != 0 || v < INT_MIN || v > INT_MAX) return false;
    nb::gil_scoped_release nogil;
    if (::kill(static_cast<pid_t>(v), 0) == 0) return true;
    return errno != ESRCH;
}

nb::object du(nb::handle path) {
    std::string p = fs_path(path);
    uint64_t total;
    {
        nb::gil_scoped_release nogil;
        total = disk_usage(p);
    }
    return nb::steal(PyLong_FromUnsignedLongLong(total));
}

}  // namespace

int claim_entry(const std::string& entry) {
    int fd = open_cached(path_join(entry, "manifest.json"));
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    ::close(fd);
    return -2;
}

HoldResult hold_entry(nb::handle dest) {
    std::string d = fs_path(dest);
    std::string marker = path_join(d, "manifest.json");
    {
        nb::gil_scoped_release nogil;
        ::utimensat(AT_FDCWD, d.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
    }
    auto gone_or = [&](HoldResult r) {
        bool present;
        {
            nb::gil_scoped_release nogil;
            present = is_regular(marker);
        }
        return present ? r : HoldResult::vanished;
    };
    if (locks_unavailable()) return gone_or(HoldResult::unheld);
    nb::object held = mod_get("_HELD");
    if (PySequence_Contains(held.ptr(), dest.ptr()) == 1) return HoldResult::held;
    if (PyErr_Occurred()) throw nb::python_error();
    FdCloser f{-1};
    {
        nb::gil_scoped_release nogil;
        f.fd = open_cached(marker);
    }
    if (f.fd < 0) return gone_or(HoldResult::unheld);
    // A sweep takes an exclusive lock for a moment while it looks at an entry
    // (and, when it evicts it, while it moves it aside): wait that out, up to a
    // bound, on the module's clock so that a test can drive the wait.
    bool waited = false;
    double deadline = 0, pause = 0.001;
    for (;;) {
        int rc, err;
        {
            nb::gil_scoped_release nogil;
            rc = ::flock(f.fd, LOCK_SH | LOCK_NB);
            err = errno;
        }
        if (rc == 0) break;
        if (err != EWOULDBLOCK && err != EINTR) return gone_or(HoldResult::unheld);
        double now = nb::cast<double>(time_call("monotonic"));
        if (!waited) {
            deadline = now + kHoldWaitS;
            waited = true;
        } else if (now >= deadline) {
            return gone_or(HoldResult::unheld);
        }
        {
            nb::gil_scoped_release nogil;
            struct timespec ts{0, static_cast<long>(pause * 1e9)};
            ::nanosleep(&ts, nullptr);
        }
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
        pause = std::min(pause * 2, 0.05);
    }
    bool named;
    {
        nb::gil_scoped_release nogil;
        named = still_named(f.fd, marker);
    }
    if (!named) return HoldResult::vanished;  // evicted while we waited: not a hold on anything
    held[dest] = nb::int_(f.fd);
    f.fd = -1;
    return HoldResult::held;
}

bool marker_present(const std::string& marker) {
    nb::gil_scoped_release nogil;
    return is_regular(marker);
}

[[noreturn]] static void raise_dir_fault(const DirFault& f) {
    if (f.why.empty()) raise_os_error(f.err, fs_str(f.path));
    // What to do about it, too: a folder that is unsafe for the cache stays so
    // (a process run as the superuser in a user's folder, say) until the cache
    // is put elsewhere.
    std::string text = f.why + "; set ORVANE_CACHE_DIR to a folder of your own";
    nb::object exc = nb::handle(PyExc_OSError)(f.err, nb::str(text.c_str()), fs_str(f.path));
    throw_obj(exc);
}

void prepare_cache(nb::handle root, nb::handle avatars) {
    std::string r = fs_path(root), a = fs_path(avatars);
    DirFault f;
    {
        nb::gil_scoped_release nogil;
        f = ensure_root(r);
        if (!f) f = ensure_private_dir(a, true);
        if (!f) {
            f = ensure_private_dir(path_join(a, ".idx"), true);
            if (f.why.empty()) f = DirFault{};  // memos are a saving only: no memo folder, no memos
        }
    }
    if (f) raise_dir_fault(f);
}

std::string path_join(const std::string& a, const std::string& b) {
    if (a.empty() || a.back() == '/') return a + b;
    return a + "/" + b;
}

[[noreturn]] void raise_os_error(int err, nb::handle filename) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    throw nb::python_error();
}

uint64_t disk_usage(const std::string& top) {
    uint64_t total = 0;
    std::vector<std::string> stack{top};
    while (!stack.empty()) {
        std::string dir = std::move(stack.back());
        stack.pop_back();
        DIR* d = ::opendir(dir.c_str());
        if (!d) continue;  // cannot be listed: skipped
        while (dirent* ent = ::readdir(d)) {
            const char* name = ent->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
            std::string full = path_join(dir, name);
            // Classified as a directory listing does it: by the entry type, or
            // by following the link when the type is a link or unknown.
            bool is_dir = false, is_link = false;
            if (ent->d_type == DT_DIR) {
                is_dir = true;
            } else if (ent->d_type == DT_LNK || ent->d_type == DT_UNKNOWN) {
                struct stat st;
                is_dir = ::stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
                if (is_dir) {
                    struct stat lst;
                    is_link = ::lstat(full.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode);
                }
            }
            if (is_dir) {
                if (!is_link) stack.push_back(std::move(full));  // links to directories are not followed
                continue;
            }
            struct stat lst;
            if (::lstat(full.c_str(), &lst) != 0) continue;
            uint64_t size = static_cast<uint64_t>(lst.st_size);
            // A file with holes takes only its allocated blocks: a few kilobytes
            // naming gigabytes must not push other entries out of the cache.
            if (S_ISREG(lst.st_mode)) size = std::min(size, static_cast<uint64_t>(lst.st_blocks) * 512u);
            total += size;
        }
        ::closedir(d);
    }
    return total;
}

nb::object import_from(const char* module, const char* name) { return from_import(py_import(module), name); }

std::string fs_bytes(nb::handle path) {
    nb::object b = py_import("os").attr("fsencode")(path);
    return std::string(PyBytes_AS_STRING(b.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
}

std::string fs_path(nb::handle path) {
    std::string b = fs_bytes(path);
    // A C string would end at the NUL and name another file.
    if (b.find('\0') != std::string::npos) orvane::raise_value_error("embedded null byte");
    return b;
}

nb::object fs_str(const std::string& path) {
    return py_import("os").attr("fsdecode")(nb::bytes(path.data(), path.size()));
}

bool locks_unavailable() { return mod_get("_fcntl").is_none(); }

void register_cache(nb::module_& m) {
    m.def("_cache_root", &cache_root, "The cache root: ORVANE_CACHE_DIR (an empty value counts), else ~/.cache/orvane.");
    m.def("_cache_cap_bytes", &cache_cap_bytes, "Cache cap in bytes from ORVANE_AVATAR_CACHE_GB (decimal gigabytes).");
    m.def("_content_key", &content_key, nb::arg("source"), nb::arg("st"), nb::arg("avatars"),
          nb::arg("fd").none() = nb::none(), nb::arg("copy").none() = nb::none(),
          "Content key of a container: 'sha256-' and 32 hex digits, memoised by the file's identity. With `copy`\n"
          "(a descriptor open for writing), the bytes hashed are written there too, in the one read.");
    m.def("_hold", &hold, nb::arg("dest"),
          "Touch a cache entry and hold a shared lock on it for the process's life (waiting out a sweep's probe).");
    m.def("_in_use", &in_use, nb::arg("entry"), nb::arg("idle_s").none(), "Whether anyone holds the cache entry.");
    m.def("_pid_alive", &pid_alive, nb::arg("pid"), "False only when the process is known to be gone.");
    m.def("_du", &du, nb::arg("path"),
          "Bytes of the files under a directory (apparent sizes, no more than a file's allocated blocks).");
}

}  // namespace op
