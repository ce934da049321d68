// The three profile operations on Linux: the file layer around the core.
//
// Reads: the file is read whole (a missing, unreadable or non-regular file
// reads as empty) and handed to the core. A reader holds a shared lock on the
// file while it reads, so that it never sees a file half updated in place.
//
// Writes, one read-modify-replace under an exclusive lock:
//   1. A symbolic link is followed to the file it names; the link stays.
//   2. The file is opened for reading and writing (an existing file we may
//      not read or not write is refused: its bytes would otherwise be lost);
//      a missing file is first created empty. The exclusive lock is taken
//      (flock, waited for a few seconds at most), and when the name no longer
//      leads to the locked file (another writer replaced it meanwhile) the
//      write starts again, so concurrent writers lose no update.
//   3. The current bytes are read and the core plans one splice; when the
//      value is already stored nothing is written at all.
//   4. The new content is written into an unnamed file in the same folder
//      (O_TMPFILE), which takes the original's owner and permission bits and
//      is fsynced; only then does it get a name, ".<name>.tmp~", and is
//      renamed over the target. A writer killed before the rename leaves
//      nothing, or that one name, which the next write removes. Where the
//      file system has no unnamed files the same name is written directly.
//   5. When the folder refuses new files but the file itself is writable,
//      the file is updated in place: room is reserved first, the bytes from
//      the first changed one are rewritten, the file is cut to its new size
//      and fsynced; if any of that fails the old bytes are written back.
// Any failure returns 0 with errno from the failing call and leaves the file
// as it was (a file created empty in step 2 is removed again).
//
// Values never make lines of their own: inner line breaks are stored as
// blanks (see profile_text::single_line_value), and a section or key name
// holding a line break is refused (EINVAL).
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
// Memory: each call owns the buffer of the file's bytes and gives it back to
// the system when it returns; nothing is kept between calls.
//
// The file name is used as given: a name without a folder part is in the
// working directory and backslashes are ordinary characters. An empty name
// is no file (ENOENT).
#include "private_profile.h"

#include <fcntl.h>
#include <sys/file.h>
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
#include <thread>

#include "profile_text.h"
#include "stored_value.h"

namespace {

// The bytes of one file, in pages mapped for this call alone: never
// zero-filled by us, and returned to the system as a whole when the call
// ends, so that a large file leaves nothing behind in the host.
class Bytes {
public:
    Bytes() = default;
    ~Bytes() { release(); }
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;

    // Room for at least `needed` bytes, keeping the current contents.
    bool reserve(std::size_t needed) {
        if (needed <= capacity_) return true;
        void* p =
            ::mmap(nullptr, needed, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return false;
        if (size_ > 0) std::memcpy(p, data_, size_);
        const std::size_t size = size_;
        release();
        data_ = static_cast<char*>(p);
        capacity_ = needed;
        size_ = size;
        return true;
    }
    char* data() { return data_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    void set_size(std::size_t n) { size_ = n; }
    std::string_view view() const { return {data_ ? data_ : "", size_}; }

private:
    void release() {
        if (data_) ::munmap(data_, capacity_);
        data_ = nullptr;
        capacity_ = 0;
        size_ = 0;
    }
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes the descriptor and says whether the close succeeded.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

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

// ---------------------------------------------------------------- locks

using Clock = std::chrono::steady_clock;

// How long a call waits for other writers. Each holds the lock for one small
// read-modify-replace, so a lock held longer belongs to something else. A
// writer waits this long in all, however often it finds the file replaced
// while it waited (many writers at once take turns).
constexpr std::chrono::milliseconds kReadLockWait{2000};
constexpr std::chrono::milliseconds kWriteLockWait{5000};

enum class Lock { held, unsupported, timed_out };

// Takes a flock of kind `op` (LOCK_SH or LOCK_EX) on `fd`, polling so that
// the wait is bounded. A file system without locks (ENOLCK, EINVAL, ...)
// reports `unsupported`: the caller goes on without the lock, as before locks
// existed.
Lock take_lock(int fd, int op, Clock::time_point deadline) {
    std::chrono::microseconds pause{50};
    for (;;) {
        if (::flock(fd, op | LOCK_NB) == 0) return Lock::held;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return Lock::unsupported;
        if (Clock::now() >= deadline) return Lock::timed_out;
        std::this_thread::sleep_for(pause);
        if (pause < std::chrono::milliseconds(5)) pause *= 2;
    }
}

// ---------------------------------------------------------------- reading

// Sets errno for something that is not a regular file.
void set_not_regular_error(const struct stat& st) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
}

// Reads the open regular file `fd` whole, from its start, into `out`.
bool read_all(int fd, std::size_t expected, Bytes& out) {
    out.set_size(0);
    if (!out.reserve(expected + 1)) return false;
    for (;;) {
        if (out.size() == out.capacity() && !out.reserve(out.capacity() * 2)) {
            return false;  // the file grew while we read it, and no room
        }
        const ssize_t got = ::read(fd, out.data() + out.size(), out.capacity() - out.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return true;
        out.set_size(out.size() + static_cast<std::size_t>(got));
    }
}

// The bytes a read sees: empty for a missing, unreadable or odd file. errno
// is left as it was.
void read_for_lookup(const char* path, Bytes& out) {
    KeepErrno keep;
    out.set_size(0);
    // A device or FIFO is never opened: opening one can wait (a FIFO without
    // a writer, a serial line) or act on the device (a tape rewinds).
    struct stat st {};
    if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return;
    // O_NONBLOCK in case the name was swapped for a FIFO since the stat.
    Fd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    // Without the lock (a writer holding it far too long) the file is read
    // anyway: writers that replace it never show a partial file.
    take_lock(fd.get(), LOCK_SH, Clock::now() + kReadLockWait);
    if (::fstat(fd.get(), &st) != 0 ||
        !read_all(fd.get(), static_cast<std::size_t>(st.st_size), out)) {
        out.set_size(0);
    }
}

// ---------------------------------------------------------------- names

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
        if (!target.empty() && target[0] == '/') {
            path = target;
        } else {
            path = folder_of(path).append(target);
        }
    }
    errno = ELOOP;
    return false;
}

// The one name a replacement gets before it is renamed over `target`:
// ".<name>.tmp~" beside it. Only the holder of the target's lock uses it, so
// a file of that name found by a lock holder is a crashed writer's and may be
// removed. Long names are shortened to stay within the name-length limit,
// with a hash of the whole name so that two long names keep apart.
std::string temporary_name(const std::string& target) {
    const std::string folder = folder_of(target);
    std::string base = target.substr(folder.size());
    if (base.size() > 200) {
        unsigned long long hash = 14695981039346656037ULL;  // FNV-1a
        for (const char c : base) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
        char tag[24];
        std::snprintf(tag, sizeof tag, "~%016llx", hash);
        base = base.substr(0, 180) + tag;
    }
    return folder + "." + base + ".tmp~";
}

// ---------------------------------------------------------------- writing

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

bool pwrite_all(int fd, std::string_view bytes, off_t at) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t put = ::pwrite(fd, p, left, at);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += put;
        at += put;
        left -= static_cast<std::size_t>(put);
    }
    return true;
}

// One write's plan: the file as it is and the one splice that changes it.
struct Change {
    const struct stat& st;  // the file's status, under the lock
    std::string_view old;   // its bytes
    const profile_text::Splice& splice;

    std::string_view head() const { return old.substr(0, splice.offset); }
    std::string_view tail() const { return old.substr(splice.offset + splice.length); }
    std::size_t new_size() const { return old.size() - splice.length + splice.bytes.size(); }
};

// Gives a new, empty file the original's owner and bits, then the new
// content, and flushes it to the disk.
bool fill_replacement(int fd, const Change& c) {
    // Owner first: a change of owner clears the set-id bits. Only root may
    // give a file to another owner; otherwise the new file is ours, as with
    // any program that saves by renaming.
    if (::fchown(fd, c.st.st_uid, c.st.st_gid) != 0) {
    }
    return ::fchmod(fd, c.st.st_mode & 07777) == 0 && write_all(fd, c.head()) &&
           write_all(fd, c.splice.bytes) && write_all(fd, c.tail()) && ::fsync(fd) == 0;
}

enum class Replaced { done, failed, no_unnamed_files, folder_refuses };

Replaced refused_or_failed() {
    return (errno == EACCES || errno == EPERM) ? Replaced::folder_refuses : Replaced::failed;
}

// Renames the complete replacement `temp` over `target`; removes it when that
// fails.
Replaced rename_over(const std::string& temp, const std::string& target) {
    if (::rename(temp.c_str(), target.c_str()) == 0) return Replaced::done;
    KeepErrno keep;
    ::unlink(temp.c_str());
    return Replaced::failed;
}

// Gives the unnamed file `fd` the name `temp`.
bool link_unnamed(int fd, const std::string& temp) {
    char proc[40];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    if (::linkat(AT_FDCWD, proc, AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    // Without /proc, the same needs CAP_DAC_READ_SEARCH.
    return ::linkat(fd, "", AT_FDCWD, temp.c_str(), AT_EMPTY_PATH) == 0;
}

// The replacement written as an unnamed file, named only when complete.
Replaced replace_through_unnamed(const std::string& target, const std::string& temp,
                                 const Change& c) {
    const std::string folder = folder_of(target);
    Fd fd(::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
            return Replaced::no_unnamed_files;
        }
        return refused_or_failed();
    }
    if (!fill_replacement(fd.get(), c)) return Replaced::failed;
    if (!link_unnamed(fd.get(), temp)) {
        // The content is sound; a named file can still carry it.
        return errno == EEXIST ? Replaced::failed : Replaced::no_unnamed_files;
    }
    if (!fd.close()) {
        KeepErrno keep;
        ::unlink(temp.c_str());
        return Replaced::failed;
    }
    return rename_over(temp, target);
}

// The replacement written under its name from the start.
Replaced replace_through_named(const std::string& target, const std::string& temp,
                               const Change& c) {
    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600));
    if (fd.get() < 0) return refused_or_failed();
    const bool filled = fill_replacement(fd.get(), c);
    if (!fd.close() || !filled) {
        KeepErrno keep;
        ::unlink(temp.c_str());
        return Replaced::failed;
    }
    return rename_over(temp, target);
}

// Rewrites the file itself from the first changed byte. On failure the old
// bytes are written back, so the file reads as before.
bool update_in_place(int fd, const Change& c) {
    const auto at = static_cast<off_t>(c.splice.offset);
    const std::size_t size = c.new_size();
    if (size > c.old.size()) {
        // Reserving the room first makes a full disk fail before anything
        // changes. KEEP_SIZE: the file's length stays as it is for now.
        if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(c.old.size()),
                        static_cast<off_t>(size - c.old.size())) != 0 &&
            errno != EOPNOTSUPP && errno != ENOSYS) {
            return false;
        }
    }
    const bool ok = pwrite_all(fd, c.splice.bytes, at) &&
                    pwrite_all(fd, c.tail(), at + static_cast<off_t>(c.splice.bytes.size())) &&
                    (size >= c.old.size() || ::ftruncate(fd, static_cast<off_t>(size)) == 0) &&
                    ::fsync(fd) == 0;
    if (!ok) {
        KeepErrno keep;
        if (pwrite_all(fd, c.old.substr(c.splice.offset), at)) {
            if (::ftruncate(fd, static_cast<off_t>(c.old.size())) == 0) ::fsync(fd);
        }
    }
    return ok;
}

// Puts the change into `target`, whose lock is held on `fd`.
bool apply_change(const std::string& target, int fd, const Change& c) {
    const std::string temp = temporary_name(target);
    {
        KeepErrno keep;
        ::unlink(temp.c_str());  // a crashed writer's leftover, if any
    }
    Replaced r = replace_through_unnamed(target, temp, c);
    if (r == Replaced::no_unnamed_files) r = replace_through_named(target, temp, c);
    if (r == Replaced::folder_refuses) return update_in_place(fd, c);
    return r == Replaced::done;
}

// The target, open for reading and writing, locked, and still the file its
// name leads to.
struct Locked {
    Fd fd;
    struct stat st {};
    bool created = false;  // made empty by this write
};

enum class Opened { ok, failed, again };

// Opens the target for reading and writing; a missing one is created empty.
Opened open_target(const std::string& target, Locked& t) {
    struct stat st {};
    if (::stat(target.c_str(), &st) != 0) {
        if (errno != ENOENT) return Opened::failed;
        t.fd.reset(::open(target.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
        if (t.fd.get() < 0) return errno == EEXIST ? Opened::again : Opened::failed;
        t.created = true;
        return Opened::ok;
    }
    if (!S_ISREG(st.st_mode)) {
        set_not_regular_error(st);
        return Opened::failed;
    }
    // O_NONBLOCK in case the name was swapped for a FIFO since the stat.
    t.fd.reset(::open(target.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (t.fd.get() < 0) return errno == ENOENT ? Opened::again : Opened::failed;
    return Opened::ok;
}

Opened open_and_lock(const std::string& target, Locked& t, Clock::time_point deadline) {
    t.created = false;
    const Opened o = open_target(target, t);
    if (o != Opened::ok) return o;
    if (take_lock(t.fd.get(), LOCK_EX, deadline) == Lock::timed_out) {
        // Whoever holds the lock has the file now, even one we created.
        t.created = false;
        errno = EBUSY;
        return Opened::failed;
    }
    // Another writer may have replaced the file while we waited for its lock.
    struct stat now {};
    if (::fstat(t.fd.get(), &t.st) != 0) return Opened::failed;
    if (!S_ISREG(t.st.st_mode)) {  // swapped for something else since the stat
        set_not_regular_error(t.st);
        return Opened::failed;
    }
    const bool named = ::stat(target.c_str(), &now) == 0;
    if (!named && errno != ENOENT) return Opened::failed;
    if (!named || now.st_dev != t.st.st_dev || now.st_ino != t.st.st_ino || t.st.st_nlink == 0) {
        t.created = false;  // no longer ours to remove
        return Opened::again;
    }
    return Opened::ok;
}

// Removes the empty file this write created, when the write fails.
void remove_created(const std::string& target, const Locked& t) {
    if (!t.created) return;
    KeepErrno keep;
    ::unlink(target.c_str());
}

bool write_locked(const std::string& target, Locked& t, std::string_view section,
                  std::string_view key, std::string_view value) {
    Bytes old;
    if (!read_all(t.fd.get(), static_cast<std::size_t>(t.st.st_size), old)) return false;
    profile_text::Splice splice;
    if (!profile_text::plan_put(old.view(), section, key, value, splice)) return true;
    return apply_change(target, t.fd.get(), Change{t.st, old.view(), splice});
}

bool holds_line_break(const char* text) {
    return std::strpbrk(text, "\r\n") != nullptr;
}

bool write_profile(const char* section, const char* key, const char* value, const char* file) {
    if (file[0] == '\0') {
        errno = ENOENT;
        return false;
    }
    if (holds_line_break(section) || holds_line_break(key)) {
        errno = EINVAL;  // the name would split its line
        return false;
    }
    std::string target;
    if (!resolve_links(file, target)) return false;
    const std::string stored = profile_text::single_line_value(value);
    const Clock::time_point deadline = Clock::now() + kWriteLockWait;
    do {
        Locked t;
        const Opened o = open_and_lock(target, t, deadline);
        if (o == Opened::again) continue;
        if (o == Opened::ok && write_locked(target, t, section, key, stored)) return true;
        remove_created(target, t);
        return false;
    } while (Clock::now() < deadline);
    errno = EBUSY;  // replaced under us at every attempt
    return false;
}

}  // namespace

extern "C" {

uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                                  char* buffer, uint32_t size, const char* file) {
    Bytes bytes;
    read_for_lookup(file, bytes);
    return profile_text::get_string(bytes.view(), section, key, default_value, buffer, size);
}

unsigned GetPrivateProfileIntA(const char* section, const char* key, int default_value,
                               const char* file) {
    Bytes bytes;
    read_for_lookup(file, bytes);
    return profile_text::get_int(bytes.view(), section, key, default_value);
}

int WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                               const char* file) {
    return write_profile(section, key, value, file) ? 1 : 0;
}

}  // extern "C"
