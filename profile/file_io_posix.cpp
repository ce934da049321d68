#include "file_io_posix.h"

#include <unistd.h>

#include <algorithm>

namespace profile_file {

Fd::~Fd() {
    if (fd_ >= 0) ::close(fd_);
}

void Fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

bool Fd::close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
}

bool pread_all(int fd, char* out, std::size_t n, std::uint64_t at) {
    while (n > 0) {
        const ssize_t got = ::pread(fd, out, n, static_cast<off_t>(at));
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) {
            errno = EIO;  // the file is shorter than its locked size said
            return false;
        }
        out += got;
        at += static_cast<std::uint64_t>(got);
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd, bytes.data(), bytes.size());
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

bool pwrite_all(int fd, std::string_view bytes, std::uint64_t at) {
    while (!bytes.empty()) {
        const ssize_t put = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at));
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        at += static_cast<std::uint64_t>(put);
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

namespace {

// Errors by which a file system says it cannot copy inside the kernel.
bool kernel_copy_unsupported(int error) {
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

}  // namespace

bool copy_range(int in, std::uint64_t from, std::uint64_t count, int out, Buffer& buffer) {
    auto offset = static_cast<off_t>(from);
    std::uint64_t left = count;
    bool in_kernel = true;
    while (left > 0) {
        const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(left, 1u << 30));
        ssize_t got;
        if (in_kernel) {
            got = ::copy_file_range(in, &offset, out, nullptr, step, 0);
            if (got < 0 && kernel_copy_unsupported(errno)) {
                in_kernel = false;
                continue;
            }
        } else {
            got = ::pread(in, buffer.data(), std::min(step, Buffer::kSize), offset);
            if (got > 0 &&
                !write_all(out, std::string_view(buffer.data(), static_cast<std::size_t>(got)))) {
                return false;
            }
            if (got > 0) offset += got;
        }
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) break;  // the end of `in`
        left -= static_cast<std::uint64_t>(got);
    }
    if (count != kToEnd && left > 0) {
        errno = EIO;  // the file is shorter than its locked size said
        return false;
    }
    return true;
}

}  // namespace profile_file
