// The cache's folders on a shared machine: a root no other user can steer,
// `avatars/` and `.idx/` private to the user, names under them never followed
// through a link, and unpacked entries readable by their owner alone.
#pragma once
#include <string>

namespace op {

// Why a folder cannot hold the cache: an errno, the folder it concerns and,
// for a folder that exists but is unsafe, a sentence saying why (empty for a
// plain system error such as ENOTDIR or EACCES).
struct DirFault {
    int err = 0;
    std::string path;
    std::string why;
    explicit operator bool() const { return err != 0; }
};

// ---- kernels (no Python objects; run with the GIL released) ----

// Walks `root` the way the system resolves it (links in the path followed,
// every directory on the way looked at) and creates what is missing, owner-only.
// A link on the way must be the user's or the superuser's, as its owner can repoint it.
// Every directory traversed must belong to the user or to the superuser, and one
// that group or others can write must be sticky (as /tmp is): anyone else who
// could rename a folder on the way could swap the cache for their own.
DirFault ensure_root(const std::string& root);

// One of the cache's own folders (`avatars`, `.idx`): created 0700 when missing
// (`create`), otherwise refused when it is a link, not a directory, not the
// user's, or writable by group or others; a folder of the user's that others
// may read is tightened to 0700.
DirFault ensure_private_dir(const std::string& path, bool create);

// The same test without creating or changing anything; ENOENT when missing.
DirFault private_dir_fault(const std::string& path);

// Owner-only modes over a freshly unpacked tree: directories 0700, files 0600
// (0700 when the owner could run them), whatever the umask was. Links are not
// followed. 0, or an errno.
int make_owner_only(const std::string& top, std::string& where);

// A scratch directory created afresh, owner-only: never an existing one, never
// through a link. 0, or an errno.
int make_scratch_dir(const std::string& path);

// A fresh scratch name for `entry`: `<entry>.tmp.<pid>.<16 hex>`. The random
// part keeps names apart where process ids are not (containers sharing one
// cache volume, one home folder on two machines). The eviction pass knows this
// form and the older `<entry>.tmp.<pid>`.
std::string scratch_name(const std::string& entry);

// A scratch directory for `entry` made under a fresh name (set in `path`) and
// locked (see lock_dir) for as long as `fd` stays open: the eviction pass
// leaves a locked scratch directory alone, whatever its age or the process id
// in its name. 0, or an errno.
int make_locked_scratch(const std::string& entry, std::string& path, int& fd);

// An exclusive advisory lock on the directory `path` itself (never through a
// link), without waiting: its descriptor, -1 when it cannot be opened (errno
// set), -2 when someone else holds a lock on it.
int lock_dir(const std::string& path);

// `path` still names the file open on `fd` (links not followed).
bool still_names(int fd, const std::string& path);

// Renames `from` to `to` unless `to` exists (then EEXIST). 0, or an errno.
int rename_new(const std::string& from, const std::string& to);

// `<dir>/<name>` created 0700 with the missing parents of `dir` (0700 too).
bool make_private_dirs(const std::string& path);

}  // namespace op
