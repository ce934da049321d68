// The three profile operations on Linux: the file layer around the core.
//
// Reads: the file is read whole (a missing, unreadable or non-regular file
// reads as empty) and handed to the core.
//
// Writes replace the file atomically, so a reader or a crash sees either the
// old file or the new one, never a mix:
//   1. A symbolic link is followed to the file it names; the link stays.
//   2. The current bytes are read; an existing file we may not write, or may
//      not read, is refused (the old bytes would otherwise be lost).
//   3. The core plans one splice; when the value is already stored nothing is
//      written at all (the file and its times stay as they are).
//   4. A new file is created beside the target (same folder, so the rename
//      cannot cross file systems) with O_EXCL, and receives the untouched head,
//      the new bytes and the untouched tail; it takes the original's owner
//      and permission bits (a new file gets 0666 less the umask).
//   5. fsync, then rename over the target. fsync first makes sure the new
//      name never points at a file whose data is not yet on the disk.
// Any failure (no room, file-size limit, missing folder, no permission)
// removes the temporary file and returns 0 with errno from the failing call;
// the original is never opened for writing, so it stays byte-identical.
//
// The folder is not fsynced after the rename: the rename is atomic without
// it, and a crash right after a write can then only lose that whole write
// (the old file is seen), never leave a mix or an empty file. The Windows
// service makes no stronger promise, and a second fsync per write would
// double the cost of the small writes callers make.
//
// Replacing makes a new file: hard links to the old one keep the old bytes,
// and extended attributes and ACLs are not carried over.
//
// The file name is used as given: a name without a folder part is in the
// working directory and backslashes are ordinary characters. An empty name
// is no file (ENOENT).
#include "private_profile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "profile_text.h"

namespace {

// A buffer for a file's contents, in pages mapped for it alone (never
// zero-filled by us, returned to the system as a whole).
class Bytes {
public:
    Bytes() = default;
    ~Bytes() { release(); }
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;

    // Room for at least `needed` bytes, keeping the current contents. Grows
    // with some slack, so that a file growing by a line does not remap.
    bool reserve(std::size_t needed) {
        if (needed <= capacity_) return true;
        std::size_t capacity = needed + needed / 4;
        capacity = (capacity + 0xFFFF) & ~static_cast<std::size_t>(0xFFFF);
        void* p =
            ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return false;
        if (size_ > 0) std::memcpy(p, data_, size_);
        const std::size_t size = size_;
        release();
        data_ = static_cast<char*>(p);
        capacity_ = capacity;
        size_ = size;
        return true;
    }
    void release() {
        if (data_) ::munmap(data_, capacity_);
        data_ = nullptr;
        capacity_ = 0;
        size_ = 0;
    }
    char* data() { return data_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    void set_size(std::size_t n) { size_ = n; }
    std::string_view view() const { return {data_ ? data_ : "", size_}; }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Each thread reuses one buffer from call to call. Memory the process has
// just been given is slow to fill the first time (page faults; on virtual
// machines much more so than the copy itself), so reading a large file into
// reused pages is several times faster. Buffers above kKeepAtMost are given
// back after the call; below it the buffer stays, sized to the largest file
// this thread has read.
constexpr std::size_t kKeepAtMost = std::size_t{64} << 20;

class ScratchBuffer {
public:
    ScratchBuffer() : bytes_(slot()) { bytes_.set_size(0); }
    ~ScratchBuffer() {
        if (bytes_.capacity() > kKeepAtMost) bytes_.release();
        bytes_.set_size(0);
    }
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;
    Bytes& get() { return bytes_; }

private:
    static Bytes& slot() {
        thread_local Bytes buffer;
        return buffer;
    }
    Bytes& bytes_;
};

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

enum class ReadStatus { ok, missing, failed };

// Sets errno for something that is not a regular file.
ReadStatus not_regular(const struct stat& st) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return ReadStatus::failed;
}

// Reads a regular file whole. `st` receives its status. Sets errno on failure
// (EISDIR / EINVAL for something that is not a regular file).
ReadStatus read_file(const char* path, Bytes& out, struct stat& st) {
    // A device or FIFO is never opened: opening one can wait (a FIFO without
    // a writer, a serial line) or act on the device (a tape rewinds).
    if (::stat(path, &st) != 0) return errno == ENOENT ? ReadStatus::missing : ReadStatus::failed;
    if (!S_ISREG(st.st_mode)) return not_regular(st);
    // O_NONBLOCK in case the name was swapped for a FIFO since the stat.
    Fd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) return errno == ENOENT ? ReadStatus::missing : ReadStatus::failed;
    if (::fstat(fd.get(), &st) != 0) return ReadStatus::failed;
    if (!S_ISREG(st.st_mode)) return not_regular(st);
    out.set_size(0);
    if (!out.reserve(static_cast<std::size_t>(st.st_size) + 1)) return ReadStatus::failed;
    for (;;) {
        if (out.size() == out.capacity() && !out.reserve(out.capacity() * 2)) {
            return ReadStatus::failed;  // the file grew while we read it, and no room
        }
        const ssize_t got = ::read(fd.get(), out.data() + out.size(), out.capacity() - out.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            return ReadStatus::failed;
        }
        if (got == 0) return ReadStatus::ok;
        out.set_size(out.size() + static_cast<std::size_t>(got));
    }
}

// The bytes a read sees: empty for a missing, unreadable or odd file.
void read_for_lookup(const char* path, Bytes& b) {
    struct stat st {};
    const int saved = errno;
    if (read_file(path, b, st) != ReadStatus::ok) b.set_size(0);
    errno = saved;
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file a write has to replace: symbolic links followed, so the link
// itself is kept. Returns false (errno ELOOP or from readlink) on failure.
bool resolve_links(const char* name, std::string& path) {
    path = name;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        for (;;) {
            const ssize_t len = ::readlink(path.c_str(), target.data(), target.size());
            if (len < 0) return false;
            if (static_cast<std::size_t>(len) < target.size()) {
                target.resize(static_cast<std::size_t>(len));
                break;
            }
            target.resize(target.size() * 2);
        }
        path = (!target.empty() && target[0] == '/') ? target : folder_of(path) + target;
    }
    errno = ELOOP;
    return false;
}

bool write_all(int fd, std::string_view bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t put = ::write(fd, p, left);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += put;
        left -= static_cast<std::size_t>(put);
    }
    return true;
}

// Creates a new, empty temporary file beside `target`, with permission bits
// `mode` (less the umask).
int create_temporary(const std::string& target, mode_t mode, std::string& temp_path) {
    const std::string folder = folder_of(target);
    std::string base = target.substr(folder.size());
    if (base.size() > 200) base.resize(200);  // stay within the name-length limit
    auto seed = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    seed ^= static_cast<unsigned long long>(::getpid()) << 32;
    for (int attempt = 0; attempt < 100; ++attempt) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%012llx.tmp", (seed >> 16) & 0xFFFFFFFFFFFFULL);
        temp_path = folder + "." + base + suffix;
        const int fd =
            ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool write_profile(const char* section, const char* key, const char* value, const char* file) {
    if (file[0] == '\0') {
        errno = ENOENT;
        return false;
    }
    std::string target;
    if (!resolve_links(file, target)) return false;

    ScratchBuffer buffer;
    Bytes& old = buffer.get();
    struct stat st {};
    const ReadStatus status = read_file(target.c_str(), old, st);
    if (status == ReadStatus::failed) return false;
    const bool exists = status == ReadStatus::ok;
    if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return false;

    profile_text::Splice splice;
    if (!profile_text::plan_put(old.view(), section, key, value, splice)) return true;

    // A copy of an existing file is private until it has the original's
    // owner and bits, so its contents are never open to more users than the
    // original's are.
    std::string temp_path;
    Fd fd(create_temporary(target, exists ? 0600 : 0666, temp_path));
    if (fd.get() < 0) return false;

    const std::string_view bytes = old.view();
    bool ok = true;
    if (exists) {
        // Owner first: a change of owner clears the set-id bits.
        if (::fchown(fd.get(), st.st_uid, st.st_gid) != 0) {
            // Only root may give a file to another owner; otherwise the new
            // file is ours, as with any program that saves by renaming.
        }
        ok = ::fchmod(fd.get(), st.st_mode & 07777) == 0;
    }
    ok = ok && write_all(fd.get(), bytes.substr(0, splice.offset)) &&
         write_all(fd.get(), splice.bytes) &&
         write_all(fd.get(), bytes.substr(splice.offset + splice.length)) && ::fsync(fd.get()) == 0;
    const int raw = fd.release();
    ok = (::close(raw) == 0) && ok;
    ok = ok && ::rename(temp_path.c_str(), target.c_str()) == 0;
    if (!ok) {
        const int saved = errno;
        ::unlink(temp_path.c_str());
        errno = saved;
    }
    return ok;
}

}  // namespace

extern "C" {

uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                                  char* buffer, uint32_t size, const char* file) {
    ScratchBuffer bytes;
    read_for_lookup(file, bytes.get());
    return profile_text::get_string(bytes.get().view(), section, key, default_value, buffer, size);
}

unsigned GetPrivateProfileIntA(const char* section, const char* key, int default_value,
                               const char* file) {
    ScratchBuffer bytes;
    read_for_lookup(file, bytes.get());
    return profile_text::get_int(bytes.get().view(), section, key, default_value);
}

int WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                               const char* file) {
    return write_profile(section, key, value, file) ? 1 : 0;
}

}  // extern "C"
