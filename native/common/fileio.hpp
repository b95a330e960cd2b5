// Plain POSIX file helpers shared by the modules: whole-count reads
// and writes that retry on EINTR and stop at end of file. No Python objects:
// callers run them with the GIL released.
#pragma once
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace orvane::fileio {

// Reads up to n bytes, at the current position or (with `offset`) at an
// absolute offset without moving the file position; returns the count read
// (less than n only at end of file) or -1 with errno set.
inline int64_t read_upto(int fd, void* dst, size_t n, const uint64_t* offset = nullptr) {
    size_t done = 0;
    auto* p = static_cast<char*>(dst);
    while (done < n) {
        ssize_t r = offset ? ::pread(fd, p + done, n - done, static_cast<off_t>(*offset + done))
                           : ::read(fd, p + done, n - done);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
}

inline int64_t pread_upto(int fd, void* dst, size_t n, uint64_t offset) {
    return read_upto(fd, dst, n, &offset);
}

// open(path, O_RDONLY | extra), retried on EINTR; -1 with errno set on failure.
inline int open_rdonly(const char* path, int extra_flags = 0) {
    int fd;
    do fd = ::open(path, O_RDONLY | O_CLOEXEC | O_BINARY | extra_flags);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Writes all n bytes, at the current position or (with `offset`) at an
// absolute offset without moving the file position; returns 0, or -1 with
// errno set (ENOSPC, EFBIG …).
inline int write_all(int fd, const void* src, size_t n, const uint64_t* offset = nullptr) {
    size_t done = 0;
    const auto* p = static_cast<const char*>(src);
    while (done < n) {
        ssize_t w = offset ? ::pwrite(fd, p + done, n - done, static_cast<off_t>(*offset + done))
                           : ::write(fd, p + done, n - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<size_t>(w);
    }
    return 0;
}

// Small sequential reader with its own buffer, for parsing tables field by field.
// The buffer lives on the heap: callers may run on threads with small stacks.
class SeqReader {
  public:
    explicit SeqReader(int fd) : fd_(fd), buf_(new char[BUF_SIZE]) {}
    // true when all n bytes were read; false on a short read or an error.
    bool take(void* dst, size_t n) {
        auto* out = static_cast<char*>(dst);
        while (n > 0) {
            if (pos_ == len_) {
                if (n >= BUF_SIZE) {  // large field: straight into the destination
                    int64_t r = read_upto(fd_, out, n);
                    return r == static_cast<int64_t>(n);
                }
                int64_t r = read_upto(fd_, buf_.get(), BUF_SIZE);
                if (r <= 0) return false;
                pos_ = 0;
                len_ = static_cast<size_t>(r);
            }
            size_t k = len_ - pos_ < n ? len_ - pos_ : n;
            for (size_t i = 0; i < k; ++i) out[i] = buf_[pos_ + i];
            pos_ += k;
            out += k;
            n -= k;
        }
        return true;
    }

  private:
    static constexpr size_t BUF_SIZE = size_t(1) << 16;
    int fd_;
    std::unique_ptr<char[]> buf_;
    size_t pos_ = 0, len_ = 0;
};

// Closes a descriptor on scope exit.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace orvane::fileio
