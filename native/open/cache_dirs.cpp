// The cache's folders on a shared machine. Folders are checked as ssh checks a
// user's key folder: a name another user can replace is never trusted, and no
// name under the root is followed through a link.
#include "open/cache_dirs.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

namespace op {

namespace {

constexpr int kMaxLinks = 40;  // as the system's own resolver, before ELOOP
constexpr int kMaxCreated = 4096;

// Path components, each marked with whether it came from a link's target.
using Parts = std::deque<std::pair<std::string, bool>>;

void split_path(const std::string& path, Parts& out, bool front, bool from_link = false) {
    std::vector<std::pair<std::string, bool>> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        std::string part = path.substr(i, j - i);
        if (!part.empty() && part != ".") parts.emplace_back(std::move(part), from_link);
        i = j + 1;
    }
    if (front)
        out.insert(out.begin(), parts.begin(), parts.end());
    else
        out.insert(out.end(), parts.begin(), parts.end());
}

std::string joined(const std::vector<std::string>& parts) {
    if (parts.empty()) return "/";
    std::string s;
    for (const std::string& p : parts) s += "/" + p;
    return s;
}

// A directory on the way to the root. Whoever owns it can rename what is in
// it, sticky or not, so it must be the user's or the superuser's; one that
// group or others can write must be sticky, so they cannot rename our names.
const char* chain_fault(const struct stat& st) {
    if (st.st_uid != ::geteuid() && st.st_uid != 0) return "a folder on the avatar cache's path belongs to another user";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX))
        return "a folder on the avatar cache's path can be written by group or others and is not sticky: "
               "remove their write permission from it (chmod go-w)";
    return nullptr;
}

// Resolves `root` component by component, checking every directory traversed
// (those that hold a link included). Sets `missing` to the first path that
// does not exist yet.
DirFault walk_root(const std::string& root, std::string& missing) {
    Parts todo;
    std::string path = root.empty() ? std::string(".") : root;
    if (path[0] != '/') {
        std::vector<char> cwd(PATH_MAX + 1);
        if (!::getcwd(cwd.data(), cwd.size())) return {errno, ".", ""};
        split_path(cwd.data(), todo, false);
    }
    split_path(path, todo, false);

    struct stat st;
    if (::lstat("/", &st) != 0) return {errno, "/", ""};
    if (const char* why = chain_fault(st)) return {EPERM, "/", why};
    std::vector<std::string> at;  // the directory reached so far
    int links = 0;
    while (!todo.empty()) {
        auto [part, from_link] = std::move(todo.front());
        todo.pop_front();
        if (part == "..") {
            if (!at.empty()) at.pop_back();  // its parent was looked at on the way in
            continue;
        }
        std::string here = at.empty() ? "/" + part : joined(at) + "/" + part;
        if (::lstat(here.c_str(), &st) != 0) {
            // A name the path itself asks for is made; one only a link points
            // at is not (as mkdir will not make a dangling link's target).
            if (errno == ENOENT && !from_link) {
                missing = here;
                return {};
            }
            return {errno, here, ""};
        }
        if (S_ISLNK(st.st_mode)) {
            // Its owner can repoint it (in a sticky folder too) between this
            // walk and every later use of the root by name.
            if (st.st_uid != ::geteuid() && st.st_uid != 0)
                return {EPERM, here, "a link on the avatar cache's path belongs to another user"};
            if (++links > kMaxLinks) return {ELOOP, here, ""};
            std::vector<char> target(PATH_MAX + 1);
            ssize_t n = ::readlink(here.c_str(), target.data(), target.size() - 1);
            if (n < 0) return {errno, here, ""};
            std::string t(target.data(), static_cast<size_t>(n));
            if (!t.empty() && t[0] == '/') at.clear();
            split_path(t, todo, true, true);
            continue;
        }
        if (!S_ISDIR(st.st_mode)) return {ENOTDIR, here, ""};
        if (const char* why = chain_fault(st)) return {EPERM, here, why};
        at.push_back(std::move(part));
    }
    return {};
}

DirFault private_dir(const std::string& path, bool create, bool tighten) {
    struct stat st;
    bool made = false;
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT || !create) return {errno, path, ""};
        if (::mkdir(path.c_str(), 0700) == 0)
            made = true;
        else if (errno != EEXIST)
            return {errno, path, ""};
        if (::lstat(path.c_str(), &st) != 0) return {errno, path, ""};
    }
    if (S_ISLNK(st.st_mode)) return {EPERM, path, "the avatar cache folder is a symbolic link"};
    if (!S_ISDIR(st.st_mode)) return {ENOTDIR, path, ""};
    if (st.st_uid != ::geteuid()) return {EPERM, path, "the avatar cache folder belongs to another user"};
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return {EPERM, path,
                "the avatar cache folder can be written by group or others: remove their write permission "
                "from it (chmod go-w)"};
    // Ours: exactly owner-only when we made it (the umask may have taken more),
    // and closed to others when an older version left it readable.
    if (made)
        ::chmod(path.c_str(), 0700);
    else if (tighten && (st.st_mode & 077))
        ::chmod(path.c_str(), st.st_mode & 0700);
    return {};
}

}  // namespace

DirFault ensure_root(const std::string& root) {
    for (int i = 0; i < kMaxCreated; ++i) {
        std::string missing;
        DirFault f = walk_root(root, missing);
        if (f || missing.empty()) return f;
        // Then walk again: the new folder is judged like any other (someone
        // may have made that name first in a sticky folder).
        if (::mkdir(missing.c_str(), 0700) == 0)
            ::chmod(missing.c_str(), 0700);
        else if (errno != EEXIST)
            return {errno, missing, ""};
    }
    return {ELOOP, root, ""};
}

DirFault ensure_private_dir(const std::string& path, bool create) { return private_dir(path, create, true); }

DirFault private_dir_fault(const std::string& path) { return private_dir(path, false, false); }

int make_owner_only(const std::string& top, std::string& where) {
    std::vector<std::string> stack{top};
    if (::chmod(top.c_str(), 0700) != 0) {
        where = top;
        return errno;
    }
    while (!stack.empty()) {
        std::string dir = std::move(stack.back());
        stack.pop_back();
        DIR* d = ::opendir(dir.c_str());
        if (!d) {
            where = dir;
            return errno;
        }
        int err = 0;
        while (dirent* ent = ::readdir(d)) {
            const char* name = ent->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
            std::string full = dir + "/" + name;
            struct stat st;
            if (::lstat(full.c_str(), &st) != 0) {
                err = errno;
            } else if (S_ISDIR(st.st_mode)) {
                if (::chmod(full.c_str(), 0700) != 0)
                    err = errno;
                else
                    stack.push_back(full);
            } else if (S_ISREG(st.st_mode)) {
                if (::chmod(full.c_str(), (st.st_mode & S_IXUSR) ? 0700 : 0600) != 0) err = errno;
            }  // links and the like are never followed
            if (err) {
                where = full;
                break;
            }
        }
        ::closedir(d);
        if (err) return err;
    }
    return 0;
}

int make_scratch_dir(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0) return errno;  // EEXIST for anything already there, a link included
    return ::chmod(path.c_str(), 0700) == 0 ? 0 : errno;
}

std::string scratch_name(const std::string& entry) {
    static thread_local std::mt19937_64 gen{[] {
        std::random_device rd;
        return (static_cast<uint64_t>(rd()) << 32) ^ rd() ^ static_cast<uint64_t>(::getpid());
    }()};
    // Reseeded after a fork, so parent and child never draw the same names.
    static thread_local pid_t seeded_for = ::getpid();
    if (seeded_for != ::getpid()) {
        std::random_device rd;
        gen.seed((static_cast<uint64_t>(rd()) << 32) ^ rd());
        seeded_for = ::getpid();
    }
    static constexpr char kHex[] = "0123456789abcdef";
    uint64_t r = gen();
    std::string tail(16, '0');
    for (char& c : tail) {
        c = kHex[r & 15];
        r >>= 4;
    }
    return entry + ".tmp." + std::to_string(::getpid()) + "." + tail;
}

int lock_dir(const std::string& path) {
    int fd;
    do fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    int err = errno;
    ::close(fd);
    errno = err;
    return err == EWOULDBLOCK ? -2 : -1;
}

bool still_names(int fd, const std::string& path) {
    struct stat a, b;
    return ::fstat(fd, &a) == 0 && ::lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int make_locked_scratch(const std::string& entry, std::string& path, int& fd) {
    int err = EEXIST;
    for (int attempt = 0; attempt < 8 && err == EEXIST; ++attempt) {
        path = scratch_name(entry);
        err = make_scratch_dir(path);
    }
    if (err) return err;
    fd = lock_dir(path);
    // Made a moment ago under a name no one else draws: anything else holding
    // it, or a name that no longer leads to it, is an error.
    err = fd == -2 ? EBUSY : fd < 0 ? errno : still_names(fd, path) ? 0 : ESTALE;
    if (err) {
        if (fd >= 0) ::close(fd);
        fd = -1;
        ::rmdir(path.c_str());  // still empty: nothing was unpacked into it
    }
    return err;
}

int rename_new(const std::string& from, const std::string& to) {
#if defined(__linux__) && defined(RENAME_NOREPLACE)
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;  // else a file system without it: checked by hand
#endif
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

bool make_private_dirs(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        std::string parent = path.substr(0, slash);
        while (!parent.empty() && parent.back() == '/') parent.pop_back();
        if (!parent.empty() && !make_private_dirs(parent)) return false;
    }
    if (::mkdir(path.c_str(), 0700) == 0) return ::chmod(path.c_str(), 0700) == 0;
    return errno == EEXIST && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace op
