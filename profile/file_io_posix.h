// Small file helpers of the Linux profile layer: descriptors that close
// themselves, errno kept across clean-up, the one buffer a call moves bytes
// through, and loops that finish reads, writes and copies.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace profile_file {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd();
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd);
    // Closes the descriptor and says whether the close succeeded.
    bool close();

private:
    int fd_;
};

// Keeps errno across clean-up calls that may change it.
class KeepErrno {
public:
    KeepErrno() : saved_(errno) {}
    ~KeepErrno() { errno = saved_; }
    KeepErrno(const KeepErrno&) = delete;
    KeepErrno& operator=(const KeepErrno&) = delete;

private:
    int saved_;
};

// The buffer one call reads and copies through: small and fixed, whatever
// the file's size, and given back when the call ends.
class Buffer {
public:
    static constexpr std::size_t kSize = std::size_t{64} * 1024;
    Buffer() : data_(new char[kSize]) {}
    char* data() { return data_.get(); }

private:
    std::unique_ptr<char[]> data_;
};

// Feeds the file `fd` from its current position to a scan (anything with
// feed(std::string_view), done() and finish()) until the scan is done or the
// file ends. False (errno set) on a read error.
template <class Scan>
bool scan_file(int fd, Scan& scan, Buffer& buffer) {
    while (!scan.done()) {
        const ssize_t got = ::read(fd, buffer.data(), Buffer::kSize);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) break;
        scan.feed(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
    }
    scan.finish();
    return true;
}

// Reads the `n` bytes at `at` (false with EIO when the file ends first).
bool pread_all(int fd, char* out, std::size_t n, std::uint64_t at);
bool write_all(int fd, std::string_view bytes);
bool pwrite_all(int fd, std::string_view bytes, std::uint64_t at);

// Appends bytes of `in` from `from` to `out` at its position: `count` bytes
// (false with EIO when `in` ends first), or everything up to the end of `in`
// when `count` is kToEnd. The kernel copies them (copy_file_range); where
// the file system refuses that, they go through `buffer`.
constexpr std::uint64_t kToEnd = ~std::uint64_t{0};
bool copy_range(int in, std::uint64_t from, std::uint64_t count, int out, Buffer& buffer);

}  // namespace profile_file
