// Avatar bundle access: unpacked directory, QVX container (by magic, whatever
// the file name) or zip archive.
//
// QVX layout, all integers unsigned little-endian:
//   0  "QVX\0"   4 magic
//   4  u16       not interpreted
//   6  u16       entry count N
//   8  N entries: u16 name length L, L bytes UTF-8 name, u64 data offset, u64 data size
// Member data lies anywhere in the file; nothing ties offsets or sizes to the
// file's length, so every member read is clamped to the bytes that exist.
#pragma once
#include "lumeth2/host_module.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace l2 {

inline constexpr char QVX_MAGIC[4] = {'Q', 'V', 'X', '\0'};

// Most bytes read of a JSON member (manifest.json, color.json), which is a few
// kilobytes in practice: a container member that inflates past it (a zip bomb)
// or a device behind the name is refused instead of being read whole.
inline constexpr uint64_t JSON_MEMBER_CAP = uint64_t(16) << 20;

struct QvxRawEntry {
    std::string name;  // raw bytes as stored (UTF-8 not yet checked)
    uint64_t offset = 0;
    uint64_t size = 0;
};

// Kernel: the table of a QVX container read sequentially from the start of an
// open descriptor. nullopt when the header is short, the magic differs, or any
// field of the table comes up short. Touches no member data.
std::optional<std::vector<QvxRawEntry>> qvx_read_table(int fd);

// Kernel: how many bytes a member read at `offset` of `size` yields from a file
// of `file_size` bytes, optionally capped at `cap`.
inline uint64_t qvx_clamped_size(uint64_t file_size, uint64_t offset, uint64_t size,
                                 std::optional<uint64_t> cap = std::nullopt) {
    if (offset >= file_size) return 0;
    uint64_t n = file_size - offset;
    if (size < n) n = size;
    if (cap && *cap < n) n = *cap;
    return n;
}

// `_qvx_toc(path)`: list of (name, offset, size) or None.
nb::object qvx_toc(nb::handle path);

// `_member_bytes(bundle, names)`: (candidate, bytes) or (None, None).
// With `max_size`, no member is read past max_size + 1 bytes (a zip member whose
// declared size is larger is not extracted whole): a member longer than the
// caller's expected size comes back long enough for the caller's own length
// check to refuse it, without the whole of it ever being allocated.
nb::tuple member_bytes(nb::handle bundle, nb::handle names,
                       std::optional<uint64_t> max_size = std::nullopt);

// `_listing(bundle)`: the bundle's member names.
nb::list listing(nb::handle bundle);

// Bounds on a model member copied out of a container into a staged file. A
// LiteRT model is one flatbuffer, which cannot exceed 2 GiB; a member past that
// is no model. Models are float or int8 weights that compress little (about 1:1
// to 3:1 with deflate): a member that inflates to more than MODEL_MAX_RATIO
// times its compressed size is a bomb, unless it stays under MODEL_RATIO_FLOOR
// (small members, such as mostly-zero test models, may compress very well).
inline constexpr uint64_t MODEL_MEMBER_CAP = uint64_t(2) << 30;
inline constexpr uint64_t MODEL_MAX_RATIO = 100;
inline constexpr uint64_t MODEL_RATIO_FLOOR = uint64_t(16) << 20;

// A member found in a bundle but not read: where its bytes are, so that they can
// be copied to a file in blocks. Plain data, no Python references.
struct MemberRef {
    enum Kind : int { Dir = 0, Qvx = 1, Zip = 2 };
    Kind kind = Dir;
    std::string bundle;  // the bundle path as the OS sees it
    std::string stored;  // Dir: the member file's path (OS bytes); Zip: the stored name (UTF-8)
    uint64_t offset = 0, size = 0;  // Qvx: the declared data range
};

// `_member_ref(bundle, names)`: (candidate, _Member) or (None, None); the same
// lookup as `_member_bytes`, without reading the member.
nb::tuple member_ref(nb::handle bundle, nb::handle names);

// Copies the member into `fd` in blocks, refusing (`_MemberRefused`, naming
// `what`) a member past MODEL_MEMBER_CAP or out of proportion to its compressed
// size before more than the bound has been read. Returns the bytes written.
uint64_t copy_member(const MemberRef& ref, int fd, const std::string& what);

// The member behind a `_Member` object, or nullptr for any other object.
const MemberRef* member_ref_of(nb::handle obj);

// Raised for a container member that staging refuses to copy out; bundle loading
// turns it into a bundle fault.
[[noreturn]] void raise_member_refused(const std::string& text);

}  // namespace l2
