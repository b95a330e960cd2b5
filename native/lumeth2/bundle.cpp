// Bundle container access: `_qvx_toc`, `_member_bytes`, `_listing`.
// Nothing is cached: every call opens the bundle anew. The QVX table is parsed
// here; zip archives go through the interpreter's zipfile module so that what
// counts as an archive, and how a member is checked, is exactly that reader's.
#include "lumeth2/bundle.hpp"
#include "lumeth2/staging.hpp"
#include "lumeth2/startup_py.hpp"
#include "common/fileio.hpp"

#include <nanobind/stl/optional.h>

#include <cstring>

namespace l2 {

namespace {

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint64_t le64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// A path argument as the bytes the OS sees (str, bytes or os.PathLike, like open()).
// nullopt for a path with an embedded NUL byte, which can name no file.
std::optional<nb::bytes> fs_path(nb::handle path) {
    PyObject* out = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &out)) {
        if (PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return std::nullopt;
        }
        throw nb::python_error();
    }
    return nb::steal<nb::bytes>(out);
}

[[noreturn]] void raise_os_error(nb::handle filename) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    throw nb::python_error();
}

// Opens `path` read-only, raising the OSError open() would raise.
int open_or_raise(nb::handle path) {
    std::optional<nb::bytes> p = fs_path(path);
    if (!p) orvane::raise_value_error("embedded null byte");
    int fd;
    {
        nb::gil_scoped_release unlocked;
        fd = orvane::fileio::open_rdonly(p->c_str());
    }
    if (fd < 0) raise_os_error(path);
    return fd;
}

// Reads `n` bytes at `offset` (stopping early at end of file) into a new bytes object.
nb::bytes pread_bytes(int fd, uint64_t offset, uint64_t n, nb::handle filename) {
    if (n > static_cast<uint64_t>(PY_SSIZE_T_MAX)) n = static_cast<uint64_t>(PY_SSIZE_T_MAX);
    PyObject* raw = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (!raw) throw nb::python_error();
    int64_t got;
    {
        nb::gil_scoped_release unlocked;
        got = orvane::fileio::pread_upto(fd, PyBytes_AS_STRING(raw), static_cast<size_t>(n), offset);
    }
    if (got < 0) {
        Py_DECREF(raw);
        raise_os_error(filename);
    }
    if (static_cast<uint64_t>(got) != n && _PyBytes_Resize(&raw, static_cast<Py_ssize_t>(got)) < 0)
        throw nb::python_error();
    return nb::steal<nb::bytes>(raw);
}

uint64_t file_size_of(int fd, nb::handle filename) {
    struct stat st;
    if (::fstat(fd, &st) != 0) raise_os_error(filename);
    return st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// The whole content of a directory member (at most `cap` bytes). A file that
// grows while it is read is followed to its end, like a plain read().
nb::bytes read_file(nb::handle path, std::optional<uint64_t> cap) {
    orvane::fileio::Fd f(open_or_raise(path));
    uint64_t limit = file_size_of(f.fd, path);
    if (cap && *cap < limit) limit = *cap;
    nb::bytes head = pread_bytes(f.fd, 0, limit, path);
    uint64_t have = static_cast<uint64_t>(head.size());
    if (have < limit || (cap && have >= *cap)) return head;
    nb::list parts;
    parts.append(head);
    while (true) {
        uint64_t step = uint64_t(1) << 20;
        if (cap) {
            if (have >= *cap) break;
            if (*cap - have < step) step = *cap - have;
        }
        nb::bytes more = pread_bytes(f.fd, have, step, path);
        if (more.size() == 0) break;
        have += more.size();
        parts.append(more);
    }
    if (nb::len(parts) == 1) return head;
    return nb::borrow<nb::bytes>(nb::bytes("").attr("join")(parts));
}

nb::object os_path() { return orvane::py_import("os").attr("path"); }

bool truthy(nb::handle h) {
    int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

uint64_t as_u64(nb::handle h) {
    unsigned long long v = PyLong_AsUnsignedLongLong(h.ptr());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw nb::python_error();
    return v;
}

nb::tuple absent() { return nb::make_tuple(nb::none(), nb::none()); }

// Steps of a capped zip read. A stored or deflated member yields at most the
// bytes asked for per read. The zip reader hands every compressed read whole to
// the other decompressors (bzip2, LZMA) with no bound on what comes out, and a
// few kilobytes of bzip2 inflate to gigabytes in one call: for those, reads of a
// few compressed bytes keep each call's output to about one compressed block, so
// the cap bounds the memory too.
constexpr uint64_t ZIP_BOUNDED_STEP = uint64_t(1) << 16;
constexpr uint64_t ZIP_UNBOUNDED_STEP = 16;

// The zip reader's own words for a member whose bytes do not match its entry.
[[noreturn]] void BoundedInflate_mismatch(nb::handle name) {
    nb::object err = orvane::py_import("zipfile").attr("BadZipFile")(nb::str("Bad CRC-32 for file {!r}").format(name));
    PyErr_SetObject((PyObject*)Py_TYPE(err.ptr()), err.ptr());
    throw nb::python_error();
}

// Compressed members inflated here rather than by the zip reader's stream,
// which hands each bzip2 or LZMA read whole to the decompressor with no bound
// on what comes out (a few hundred bytes of bzip2 make gigabytes), and cuts
// every member silently at its declared size, however much more its data
// holds (deflate included): the compressed
// bytes come from the member stream's own file position and count, and every
// call asks for at most one block of output. The CRC-32 and the declared size
// are checked at the end as the reader itself checks them. nullopt when the
// stream does not expose what this needs (or is encrypted): the caller then
// reads through the stream a few compressed bytes at a time.
class BoundedInflate {
  public:
    static std::optional<BoundedInflate> open(nb::handle member, nb::handle method, nb::module_& zipfile) {
        nb::object raw = nb::getattr(member, "_fileobj", nb::none());
        nb::object left = nb::getattr(member, "_compress_left", nb::none());
        nb::object decrypter = nb::getattr(member, "_decrypter", nb::none());
        if (raw.is_none() || !PyLong_CheckExact(left.ptr()) || !decrypter.is_none()) return std::nullopt;
        BoundedInflate b;
        b.raw_ = raw;
        b.left_ = as_u64(left);
        if (method.equal(zipfile.attr("ZIP_DEFLATED"))) {
            b.decomp_ = orvane::py_import("zlib").attr("decompressobj")(-15);  // raw deflate, as in a zip
            b.zlib_ = true;
        } else if (method.equal(zipfile.attr("ZIP_BZIP2"))) {
            b.decomp_ = orvane::py_import("bz2").attr("BZ2Decompressor")();
        } else if (method.equal(zipfile.attr("ZIP_LZMA"))) {
            // the zip form of LZMA: version (2 bytes), properties size (2), properties
            nb::bytes head = b.take(4);
            if (head.size() < 4) zip_error("truncated LZMA header");
            const unsigned char* h = reinterpret_cast<const unsigned char*>(head.c_str());
            nb::bytes props = b.take(le16(h + 2));
            nb::module_ lzma = orvane::py_import("lzma");
            nb::object filt = lzma.attr("_decode_filter_properties")(lzma.attr("FILTER_LZMA1"), props);
            nb::list filters;
            filters.append(filt);
            b.decomp_ = lzma.attr("LZMADecompressor")(lzma.attr("FORMAT_RAW"), nb::arg("filters") = filters);
        } else {
            return std::nullopt;
        }
        return b;
    }

    // The next piece of output (at most `block` bytes); empty at the end.
    nb::object next(size_t block) {
        nb::object max_len = nb::int_((Py_ssize_t)block);
        while (!eof_) {
            nb::object out;
            if (zlib_) {
                // zlib keeps the input it did not get to in `unconsumed_tail`
                nb::object tail = decomp_.attr("unconsumed_tail");
                if (PyObject_Length(tail.ptr()) > 0) {
                    out = decomp_.attr("decompress")(tail, max_len);
                } else if (left_ > 0) {
                    nb::bytes chunk = take(left_ < (uint64_t(1) << 16) ? left_ : (uint64_t(1) << 16));
                    if (chunk.size() == 0) zip_error("member ends before its compressed stream");
                    out = decomp_.attr("decompress")(chunk, max_len);
                } else {
                    // input spent: what zlib still holds, then the end
                    out = decomp_.attr("decompress")(nb::bytes("", 0), max_len);
                    if (PyObject_Length(out.ptr()) == 0) break;
                }
            } else if (nb::cast<bool>(decomp_.attr("needs_input"))) {
                if (left_ == 0) zip_error("member ends before its compressed stream");
                nb::bytes chunk = take(left_ < (uint64_t(1) << 16) ? left_ : (uint64_t(1) << 16));
                if (chunk.size() == 0) zip_error("member ends before its compressed stream");
                out = decomp_.attr("decompress")(chunk, nb::arg("max_length") = max_len);
            } else {
                out = decomp_.attr("decompress")(nb::bytes("", 0), nb::arg("max_length") = max_len);
            }
            eof_ = nb::cast<bool>(decomp_.attr("eof"));
            if (PyObject_Length(out.ptr()) > 0) {
                crc_ = orvane::py_import("zlib").attr("crc32")(out, crc_);
                return out;
            }
        }
        return nb::bytes("", 0);
    }

    nb::object crc() const { return crc_; }

  private:
    nb::bytes take(uint64_t n) {
        nb::object got = raw_.attr("read")(nb::int_((Py_ssize_t)n));
        nb::bytes b = nb::borrow<nb::bytes>(got);
        left_ -= b.size() < left_ ? b.size() : left_;
        return b;
    }
    [[noreturn]] static void zip_error(const std::string& why) {
        nb::object err = orvane::py_import("zipfile").attr("BadZipFile")(why);
        PyErr_SetObject((PyObject*)Py_TYPE(err.ptr()), err.ptr());
        throw nb::python_error();
    }

    nb::object raw_, decomp_;
    uint64_t left_ = 0;
    bool eof_ = false;
    bool zlib_ = false;
    nb::object crc_ = nb::int_(0);
};


// One zip member's bytes in pieces, checked against its entry. A member whose
// data holds more than the entry declares (stored bytes past the declared
// size, or a compressed stream that inflates past it) is a damaged member and
// refused; one that ends short of it, or whose CRC-32 differs, fails as the
// zip reader fails it.
class ZipMemberStream {
  public:
    ZipMemberStream(nb::handle zf, nb::handle info, std::string what) : info_(nb::borrow(info)), what_(std::move(what)) {
        nb::module_ zipfile = orvane::py_import("zipfile");
        declared_ = as_u64(info.attr("file_size"));
        nb::object method = info.attr("compress_type");
        const bool stored = method.equal(zipfile.attr("ZIP_STORED"));
        const bool encrypted = (as_u64(info.attr("flag_bits")) & 1) != 0;
        if (stored && !encrypted && as_u64(info.attr("compress_size")) > declared_) past_declared();
        member_ = zf.attr("open")(info);
        try {
            if (!stored) own_ = BoundedInflate::open(member_, method, zipfile);
            stepwise_ = !own_ && !stored && !method.equal(zipfile.attr("ZIP_DEFLATED"));
            // the stream reads at least MIN_READ_SIZE compressed bytes per step; an
            // instance attribute narrows that for this stream only
            if (stepwise_) member_.attr("MIN_READ_SIZE") = ZIP_UNBOUNDED_STEP;
            read_ = member_.attr("read");
        } catch (...) {
            close();
            throw;
        }
    }

    // At most `block` bytes; empty at the end of the member.
    nb::object next(size_t block) {
        if (stepwise_ && block > ZIP_UNBOUNDED_STEP) block = ZIP_UNBOUNDED_STEP;
        nb::object chunk = own_ ? own_->next(block) : read_(nb::int_((Py_ssize_t)block));
        Py_ssize_t got = PyObject_Length(chunk.ptr());
        if (got < 0) throw nb::python_error();
        if (got == 0) {
            if (own_ && (have_ != declared_ || !own_->crc().equal(info_.attr("CRC"))))
                BoundedInflate_mismatch(info_.attr("filename"));
            return chunk;
        }
        if (have_ + (uint64_t)got > declared_) past_declared();
        have_ += (uint64_t)got;
        return chunk;
    }

    void close() { member_.attr("close")(); }

  private:
    [[noreturn]] void past_declared() {
        raise_member_refused(what_ + " inflates past its declared size of " + std::to_string(declared_) +
                             " bytes: the archive is damaged");
    }

    nb::object info_, member_, read_;
    std::string what_;
    std::optional<BoundedInflate> own_;
    uint64_t declared_ = 0, have_ = 0;
    bool stepwise_ = false;
};

// Up to `cap` bytes of a zip member, checked as ZipMemberStream checks it (its
// CRC-32 and size when the member ends within the cap).
nb::object read_zip_member_capped(nb::handle zf, nb::handle stored, uint64_t cap) {
    nb::object info = zf.attr("getinfo")(stored);
    ZipMemberStream member(zf, info, sp::text(stored) + " in " + sp::text(zf.attr("filename")));
    nb::list parts;
    try {
        uint64_t have = 0;
        while (have < cap) {
            uint64_t want = cap - have < ZIP_BOUNDED_STEP ? cap - have : ZIP_BOUNDED_STEP;
            nb::object chunk = member.next(static_cast<size_t>(want));
            Py_ssize_t got = PyObject_Length(chunk.ptr());
            if (got == 0) break;
            have += static_cast<uint64_t>(got);
            parts.append(chunk);
        }
    } catch (...) {
        member.close();
        throw;
    }
    member.close();
    return nb::bytes("").attr("join")(parts);
}

}  // namespace

std::optional<std::vector<QvxRawEntry>> qvx_read_table(int fd) {
    orvane::fileio::SeqReader in(fd);
    unsigned char hdr[8];
    if (!in.take(hdr, 8)) return std::nullopt;
    if (std::memcmp(hdr, QVX_MAGIC, 4) != 0) return std::nullopt;
    const unsigned count = le16(hdr + 6);  // bytes 4-5 are not looked at
    std::vector<QvxRawEntry> out;
    out.reserve(count < 1024 ? count : 1024);
    unsigned char fixed[16];
    for (unsigned i = 0; i < count; ++i) {
        unsigned char lenb[2];
        if (!in.take(lenb, 2)) return std::nullopt;
        QvxRawEntry e;
        e.name.resize(le16(lenb));  // at most 65535: bounded whatever the file says
        if (!in.take(e.name.data(), e.name.size())) return std::nullopt;
        if (!in.take(fixed, 16)) return std::nullopt;
        e.offset = le64(fixed);
        e.size = le64(fixed + 8);
        out.push_back(std::move(e));
    }
    return out;
}

nb::object qvx_toc(nb::handle path) {
    std::optional<nb::bytes> p = fs_path(path);
    if (!p) return nb::none();
    std::optional<std::vector<QvxRawEntry>> table;
    {
        nb::gil_scoped_release unlocked;
        // Non-blocking open, then only a regular file is read: a FIFO or a
        // device named as a bundle is no container, and must not hang here.
        orvane::fileio::Fd f(orvane::fileio::open_rdonly(p->c_str(), O_NONBLOCK));
        struct stat st;
        if (f.fd >= 0 && ::fstat(f.fd, &st) == 0 && S_ISREG(st.st_mode)) table = qvx_read_table(f.fd);
    }
    if (!table) return nb::none();
    nb::list toc;
    for (const QvxRawEntry& e : *table) {
        PyObject* name = PyUnicode_DecodeUTF8(e.name.data(), static_cast<Py_ssize_t>(e.name.size()),
                                              "strict");
        if (!name) {
            // one undecodable name makes the whole table unreadable
            if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
                PyErr_Clear();
                return nb::none();
            }
            throw nb::python_error();
        }
        toc.append(nb::make_tuple(nb::steal(name), nb::steal(PyLong_FromUnsignedLongLong(e.offset)),
                                  nb::steal(PyLong_FromUnsignedLongLong(e.size))));
    }
    return toc;
}

// The one lookup behind `_member_bytes` and `_member_ref`: the first of `names`
// that the bundle holds goes to the visitor of its kind, whose tuple is the
// answer; (None, None) when it holds none of them.
//   on_dir(cand, file path), on_qvx(cand, toc entry), on_zip(cand, open ZipFile, stored name)
template <class OnDir, class OnQvx, class OnZip>
nb::tuple find_member(nb::handle bundle, nb::handle names, OnDir on_dir, OnQvx on_qvx, OnZip on_zip) {
    nb::object path = os_path();
    if (truthy(path.attr("isdir")(bundle))) {
        // Members of a directory are its own files; containers inside are not looked at.
        for (nb::handle cand : names) {
            nb::object p = path.attr("join")(bundle, cand);
            if (truthy(path.attr("isfile")(p))) return on_dir(cand, p);
        }
        return absent();
    }

    // Containers are regular files. Anything else (missing, a FIFO, a device)
    // has no members: it is not handed to the zip reader, which would block on
    // a FIFO or read a device such as /dev/zero without end.
    if (!truthy(path.attr("isfile")(bundle))) return absent();
    nb::object basename = path.attr("basename");
    nb::object toc = mod_get("_qvx_toc")(bundle);
    if (!toc.is_none()) {
        // Lookup by base name; a later entry with the same base name wins.
        nb::dict index;
        for (nb::handle entry : toc) index[basename(entry[0])] = entry;
        for (nb::handle cand : names)
            if (index.contains(cand)) return on_qvx(cand, nb::object(index[cand]));
        return absent();
    }

    nb::module_ zipfile = orvane::py_import("zipfile");
    if (truthy(zipfile.attr("is_zipfile")(bundle))) {
        nb::object zf = zipfile.attr("ZipFile")(bundle);
        nb::tuple result = absent();
        try {
            nb::dict index;
            for (nb::handle stored : zf.attr("namelist")()) index[basename(stored)] = stored;
            for (nb::handle cand : names) {
                if (!index.contains(cand)) continue;
                result = on_zip(cand, zf, nb::object(index[cand]));
                break;
            }
        } catch (...) {
            zf.attr("close")();
            throw;
        }
        zf.attr("close")();
        return result;
    }
    return absent();
}

nb::tuple member_bytes(nb::handle bundle, nb::handle names, std::optional<uint64_t> max_size) {
    std::optional<uint64_t> cap;
    if (max_size) cap = *max_size == UINT64_MAX ? *max_size : *max_size + 1;
    return find_member(
        bundle, names,
        [&](nb::handle cand, nb::handle p) { return nb::make_tuple(cand, read_file(p, cap)); },
        [&](nb::handle cand, nb::handle entry) {
            orvane::fileio::Fd f(open_or_raise(bundle));
            uint64_t offset = as_u64(entry[1]), size = as_u64(entry[2]);
            uint64_t n = qvx_clamped_size(file_size_of(f.fd, bundle), offset, size, cap);
            return nb::make_tuple(cand, pread_bytes(f.fd, offset, n, bundle));
        },
        [&](nb::handle cand, nb::handle zf, nb::handle stored) {
            // With a cap, at most cap bytes are taken, whatever size the archive
            // declares (it may lie), so an oversized member is seen as such
            // without being inflated whole.
            nb::object data = read_zip_member_capped(zf, stored, cap ? *cap : UINT64_MAX);
            return nb::make_tuple(cand, data);
        });
}

nb::list listing(nb::handle bundle) {
    nb::object path = os_path();
    if (truthy(path.attr("isdir")(bundle)))
        return nb::borrow<nb::list>(orvane::py_import("os").attr("listdir")(bundle));
    nb::object basename = path.attr("basename");
    nb::list out;
    if (!truthy(path.attr("isfile")(bundle))) return out;  // not a container: see member_bytes
    nb::object toc = mod_get("_qvx_toc")(bundle);
    if (!toc.is_none()) {
        for (nb::handle entry : toc) out.append(basename(entry[0]));
        return out;
    }
    nb::module_ zipfile = orvane::py_import("zipfile");
    if (truthy(zipfile.attr("is_zipfile")(bundle))) {
        nb::object zf = zipfile.attr("ZipFile")(bundle);
        try {
            for (nb::handle stored : zf.attr("namelist")()) out.append(basename(stored));
        } catch (...) {
            zf.attr("close")();
            throw;
        }
        zf.attr("close")();
    }
    return out;
}

namespace {

PyObject* g_member_refused = nullptr;

std::string fs_text(nb::handle path) {
    std::optional<nb::bytes> p = fs_path(path);
    if (!p) orvane::raise_value_error("embedded null byte");
    return std::string(p->c_str(), p->size());
}

nb::str fs_decoded(const std::string& raw) {
    PyObject* s = PyUnicode_DecodeFSDefaultAndSize(raw.data(), static_cast<Py_ssize_t>(raw.size()));
    if (!s) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

nb::tuple with_ref(nb::handle cand, MemberRef ref);

std::string human_bytes(uint64_t n) { return std::to_string(n) + " bytes"; }

// Writes a whole block to the staged file with the GIL released.
void write_block(int fd, const void* p, size_t n) {
    int rc, err = 0;
    {
        nb::gil_scoped_release unlocked;
        rc = orvane::fileio::write_all(fd, p, n);
        if (rc != 0) err = errno;
    }
    if (rc != 0) {
        errno = err;
        PyErr_SetFromErrno(PyExc_OSError);
        nb::python_error e;
        mark_staging_error(e.value());
        throw e;
    }
}

constexpr size_t COPY_BLOCK = size_t(1) << 20;

// A regular file's bytes [offset, offset + n) copied to `out` in blocks.
uint64_t copy_file_range_blocks(int in, uint64_t offset, uint64_t n, int out) {
    std::unique_ptr<char[]> buf(new char[COPY_BLOCK]);
    uint64_t done = 0;
    while (done < n) {
        size_t want = n - done < COPY_BLOCK ? static_cast<size_t>(n - done) : COPY_BLOCK;
        int64_t got;
        {
            nb::gil_scoped_release unlocked;
            got = orvane::fileio::pread_upto(in, buf.get(), want, offset + done);
        }
        if (got < 0) {
            PyErr_SetFromErrno(PyExc_OSError);
            throw nb::python_error();
        }
        if (got == 0) break;
        write_block(out, buf.get(), static_cast<size_t>(got));
        done += static_cast<uint64_t>(got);
    }
    return done;
}

uint64_t copy_plain_file(const MemberRef& ref, const std::string& src, uint64_t offset, uint64_t declared,
                         int fd, const std::string& what) {
    int in_fd;
    {
        nb::gil_scoped_release unlocked;
        in_fd = orvane::fileio::open_rdonly(src.c_str(), O_NONBLOCK);
    }
    if (in_fd < 0) raise_os_error(fs_decoded(src));
    orvane::fileio::Fd in(in_fd);
    struct stat st;
    if (::fstat(in.fd, &st) != 0) raise_os_error(fs_decoded(src));
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        raise_os_error(fs_decoded(src));
    }
    const uint64_t fsize = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    const uint64_t n = ref.kind == MemberRef::Qvx ? qvx_clamped_size(fsize, offset, declared) : fsize;
    if (n > MODEL_MEMBER_CAP)
        raise_member_refused(what + " holds " + human_bytes(n) + ", more than the " +
                             human_bytes(MODEL_MEMBER_CAP) + " a model may have");
    uint64_t got = copy_file_range_blocks(in.fd, ref.kind == MemberRef::Qvx ? offset : 0, n, fd);
    return got;
}

// The zip reader's member stream, copied in blocks. Stored and deflated members
// come out at most a block per read; bzip2 and LZMA ones through BoundedInflate.
uint64_t copy_zip_member(const MemberRef& ref, int fd, const std::string& what) {
    nb::module_ zipfile = orvane::py_import("zipfile");
    nb::str bundle = fs_decoded(ref.bundle);
    nb::object stored = nb::steal(PyUnicode_DecodeUTF8(ref.stored.data(), (Py_ssize_t)ref.stored.size(),
                                                       "surrogatepass"));
    if (!stored.is_valid()) throw nb::python_error();
    nb::object zf = zipfile.attr("ZipFile")(bundle);
    uint64_t have = 0;
    try {
        nb::object info = zf.attr("getinfo")(stored);
        const uint64_t declared = as_u64(info.attr("file_size"));
        const uint64_t packed = as_u64(info.attr("compress_size"));
        // the directory's compressed size is the archive's word (it may claim up to
        // 2^64 - 1): compared by division so that nothing wraps
        uint64_t limit = MODEL_MEMBER_CAP;
        if (packed < MODEL_MEMBER_CAP / MODEL_MAX_RATIO) {
            const uint64_t by_ratio = packed * MODEL_MAX_RATIO;
            limit = by_ratio > MODEL_RATIO_FLOOR ? by_ratio : MODEL_RATIO_FLOOR;
        }
        auto out_of_bounds = [&](uint64_t n, const char* verb) {
            if (n > MODEL_MEMBER_CAP)
                raise_member_refused(what + " " + verb + " " + human_bytes(n) + ", more than the " +
                                     human_bytes(MODEL_MEMBER_CAP) + " a model may have");
            raise_member_refused(what + " " + verb + " " + human_bytes(n) + " from " + human_bytes(packed) +
                                 " compressed, more than " + std::to_string(MODEL_MAX_RATIO) +
                                 " times its compressed size: a model does not compress like that");
        };
        if (declared > limit) out_of_bounds(declared, "declares");
        ZipMemberStream member(zf, info, what);
        try {
            while (true) {
                nb::object chunk = member.next(COPY_BLOCK);
                Py_buffer view;
                if (PyObject_GetBuffer(chunk.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
                const size_t got = static_cast<size_t>(view.len);
                if (got == 0) {
                    PyBuffer_Release(&view);
                    break;
                }
                if (have + got > limit) {
                    PyBuffer_Release(&view);
                    out_of_bounds(have + got, "inflates past");
                }
                try {
                    write_block(fd, view.buf, got);
                } catch (...) {
                    PyBuffer_Release(&view);
                    throw;
                }
                PyBuffer_Release(&view);
                have += got;
            }
        } catch (...) {
            member.close();
            throw;
        }
        member.close();
    } catch (...) {
        zf.attr("close")();
        throw;
    }
    zf.attr("close")();
    return have;
}

// Python face of MemberRef: what `_member_ref` hands to `_stage_tflite`.
struct MemberHandle {
    MemberRef ref;
};

}  // namespace

[[noreturn]] void raise_member_refused(const std::string& text) {
    PyObject* msg = PyUnicode_DecodeUTF8(text.data(), (Py_ssize_t)text.size(), "surrogatepass");
    if (!msg) throw nb::python_error();
    PyErr_SetObject(g_member_refused, msg);
    Py_DECREF(msg);
    throw nb::python_error();
}

uint64_t copy_member(const MemberRef& ref, int fd, const std::string& what) {
    switch (ref.kind) {
        case MemberRef::Dir: return copy_plain_file(ref, ref.stored, 0, 0, fd, what);
        case MemberRef::Qvx: return copy_plain_file(ref, ref.bundle, ref.offset, ref.size, fd, what);
        case MemberRef::Zip: return copy_zip_member(ref, fd, what);
    }
    return 0;
}

const MemberRef* member_ref_of(nb::handle obj) {
    MemberHandle* h = nullptr;
    if (!nb::try_cast<MemberHandle*>(obj, h) || !h) return nullptr;
    return &h->ref;
}

namespace {

nb::tuple with_ref(nb::handle cand, MemberRef ref) {
    return nb::make_tuple(cand, nb::cast(MemberHandle{std::move(ref)}));
}

}  // namespace

nb::tuple member_ref(nb::handle bundle, nb::handle names) {
    return find_member(
        bundle, names,
        [&](nb::handle cand, nb::handle p) {
            MemberRef r;
            r.kind = MemberRef::Dir;
            r.bundle = fs_text(bundle);
            r.stored = fs_text(p);
            return with_ref(cand, std::move(r));
        },
        [&](nb::handle cand, nb::handle entry) {
            MemberRef r;
            r.kind = MemberRef::Qvx;
            r.bundle = fs_text(bundle);
            r.offset = as_u64(entry[1]);
            r.size = as_u64(entry[2]);
            return with_ref(cand, std::move(r));
        },
        [&](nb::handle cand, nb::handle, nb::handle stored) {
            nb::object raw = nb::steal(PyUnicode_AsEncodedString(stored.ptr(), "utf-8", "surrogatepass"));
            if (!raw.is_valid()) throw nb::python_error();
            MemberRef r;
            r.kind = MemberRef::Zip;
            r.bundle = fs_text(bundle);
            r.stored = std::string(PyBytes_AS_STRING(raw.ptr()), (size_t)PyBytes_GET_SIZE(raw.ptr()));
            return with_ref(cand, std::move(r));
        });
}

void register_bundle(nb::module_& m) {
    m.def("_qvx_toc", &qvx_toc,
          nb::sig("def _qvx_toc(path: str) -> list[tuple[str, int, int]] | None"),
          nb::arg("path").none(),
          "Table of contents of a QVX container: [(name, offset, size), ...], or None when the "
          "file is not a readable, complete QVX container.");
    m.def("_member_bytes", &member_bytes,
          nb::sig("def _member_bytes(bundle: str, names: list[str], *, "
                  "max_size: int | None = None) -> tuple[str, bytes] | tuple[None, None]"),
          nb::arg("bundle").none(), nb::arg("names").none(), nb::kw_only(),
          nb::arg("max_size") = nb::none(),
          "(candidate, bytes) for the first of names that the bundle (directory, QVX container or "
          "zip) holds, else (None, None). With max_size, at most max_size + 1 bytes of the member "
          "are read, so an oversized member is seen as such without being loaded whole.");
    g_member_refused = PyErr_NewExceptionWithDoc(
        "orvane._lumeth2._chain_host._MemberRefused",
        "A container member that is refused: too large or a bomb to copy out, or holding more than its entry declares.", PyExc_ValueError,
        nullptr);
    if (!g_member_refused) throw nb::python_error();
    m.attr("_MemberRefused") = nb::handle(g_member_refused);
    nb::class_<MemberHandle>(m, "_Member",
                             "A bundle member located but not read; _stage_tflite copies it in blocks.")
        .def_prop_ro("kind", [](const MemberHandle& h) {
            static const char* kinds[] = {"dir", "qvx", "zip"};
            return kinds[h.ref.kind];
        });
    m.def("_member_ref", &member_ref,
          nb::sig("def _member_ref(bundle: str, names: list[str]) -> tuple[str, _Member] | tuple[None, None]"),
          nb::arg("bundle").none(), nb::arg("names").none(),
          "(candidate, member) for the first of names that the bundle holds, like _member_bytes, "
          "without reading the member.");
    m.def("_listing", &listing, nb::sig("def _listing(bundle: str) -> list[str]"),
          nb::arg("bundle").none(),
          "Member names of a bundle: a directory's entries, a container's base names, else [].");
}

}  // namespace l2
