// The three profile operations on Linux: the file layer around the core.
//
// Reads: the file is scanned through one small buffer until the answer is
// settled (a missing, unreadable or non-regular file reads as empty). A
// reader holds a shared lock on the file while it reads, so that it never
// sees a file half updated in place.
//
// Writes, one read-modify-replace under an exclusive lock:
//   1. A symbolic link is followed to the file it names; the link stays.
//   2. The file is opened for reading and writing (an existing file we may
//      not read or not write is refused: its bytes would otherwise be lost);
//      a missing file is first created empty. The exclusive lock is taken
//      (flock, waited for a few seconds at most), and when the name no longer
//      leads to the locked file (another writer replaced it meanwhile) the
//      write starts again, so concurrent writers lose no update.
//   3. The file is scanned and the core plans one splice; when the value is
//      already stored nothing is written at all.
//   4. The splice is put into the file (replace_posix.cpp).
// Any failure returns 0 with errno from the failing call and leaves the file
// as it was (a file created empty in step 2 is removed again).
//
// Values never make lines of their own: inner line breaks are stored as
// blanks (see profile_text::single_line_value), and a section or key name
// holding a line break is refused (EINVAL).
//
// Memory: a call moves the file's bytes through one buffer of 64 KiB, given
// back when it returns; nothing is kept between calls.
//
// The file name is used as given: a name without a folder part is in the
// working directory and backslashes are ordinary characters. An empty name
// is no file (ENOENT).
#include "private_profile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "file_io_posix.h"
#include "profile_text.h"
#include "replace_posix.h"
#include "stored_value.h"

namespace {

using profile_file::Buffer;
using profile_file::Fd;
using profile_file::KeepErrno;

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

// A read's file, open and share-locked; none for a missing, unreadable or
// odd file. errno is left as it was.
void open_for_lookup(const char* path, Fd& fd) {
    KeepErrno keep;
    // A device or FIFO is never opened: opening one can wait (a FIFO without
    // a writer, a serial line) or act on the device (a tape rewinds).
    struct stat st {};
    if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return;
    // O_NONBLOCK in case the name was swapped for a FIFO since the stat.
    fd.reset(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) return;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        fd.reset(-1);
        return;
    }
    // Without the lock (a writer holding it far too long) the file is read
    // anyway: writers that replace it never show a partial file.
    take_lock(fd.get(), LOCK_SH, Clock::now() + kReadLockWait);
}

// Where a read copies a long value or name from: the file it scans.
class FileSource : public profile_text::Source {
public:
    explicit FileSource(const Fd& fd) : fd_(fd) {}
    std::size_t read_at(std::uint64_t offset, char* out, std::size_t n) override {
        KeepErrno keep;
        std::size_t done = 0;
        while (done < n) {
            const ssize_t got =
                ::pread(fd_.get(), out + done, n - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            done += static_cast<std::size_t>(got);
        }
        return done;
    }

private:
    const Fd& fd_;
};

// Scans the file `path` (none: no file) with the read that `start` makes:
// the file's answer, or an empty file's when the file cannot be read (the
// read is then made afresh and sees no bytes). `fd` stays open for copying
// long values and names.
template <class Start>
void lookup(const char* path, std::optional<profile_text::Read>& read, const Start& start, Fd& fd) {
    start();
    if (path) open_for_lookup(path, fd);
    if (fd.get() >= 0) {
        KeepErrno keep;
        Buffer buffer;
        if (profile_file::scan_file(fd.get(), *read, buffer)) return;
        fd.reset(-1);
        start();
    }
    read->finish();
}

profile_text::Name name(const char* text) {
    return text ? profile_text::Name(text) : std::nullopt;
}

// ---------------------------------------------------------------- writing

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
            path = profile_file::folder_of(path).append(target);
        }
    }
    errno = ELOOP;
    return false;
}

// The target, open for reading and writing, locked, and still the file its
// name leads to.
struct Locked {
    Fd fd;
    struct stat st {};
    bool created = false;  // made empty by this write
};

enum class Opened { ok, failed, again, missing };

// Opens the target for reading and writing; a missing one is created empty
// when `create` says so.
Opened open_target(const std::string& target, Locked& t, bool create) {
    struct stat st {};
    if (::stat(target.c_str(), &st) != 0) {
        if (errno != ENOENT) return Opened::failed;
        if (!create) return Opened::missing;
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

Opened open_and_lock(const std::string& target, Locked& t, bool create,
                     Clock::time_point deadline) {
    t.created = false;
    const Opened o = open_target(target, t, create);
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
                  profile_text::Name key, profile_text::Name value) {
    Buffer buffer;
    profile_text::Write write(section, key, value);
    if (!profile_file::scan_file(t.fd.get(), write, buffer)) return false;
    profile_text::Splice splice;
    if (!write.plan(splice)) return true;
    return profile_file::replace_locked(target, t.fd.get(), t.st, splice, buffer);
}

bool holds_line_break(const char* text) {
    return text != nullptr && std::strpbrk(text, "\r\n") != nullptr;
}

// A null key removes the section, a null value the key; a removal from a
// missing file has nothing to do and creates nothing.
bool write_profile(const char* section, const char* key, const char* value, const char* file) {
    if (file == nullptr) {
        errno = EFAULT;  // no name at all, as the kernel answers a null path
        return false;
    }
    if (section == nullptr || file[0] == '\0') {
        errno = ENOENT;
        return false;
    }
    if (holds_line_break(section) || holds_line_break(key)) {
        errno = EINVAL;  // the name would split its line
        return false;
    }
    std::string target;
    if (!resolve_links(file, target)) return false;
    const bool removal = key == nullptr || value == nullptr;
    const std::string stored = removal ? std::string() : profile_text::single_line_value(value);
    const profile_text::Name new_value =
        removal ? std::nullopt : profile_text::Name(std::string_view(stored));
    const Clock::time_point deadline = Clock::now() + kWriteLockWait;
    do {
        Locked t;
        const Opened o = open_and_lock(target, t, !removal, deadline);
        if (o == Opened::again) continue;
        if (o == Opened::missing) return true;
        if (o == Opened::ok && write_locked(target, t, section, name(key), new_value)) return true;
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
    Fd fd;
    FileSource source(fd);
    std::optional<profile_text::Read> read;
    lookup(
        file, read, [&] { read.emplace(name(section), name(key), buffer, size, source); }, fd);
    return read->get_string(default_value ? default_value : "");
}

unsigned GetPrivateProfileIntA(const char* section, const char* key, int default_value,
                               const char* file) {
    Fd fd;
    std::optional<profile_text::Read> read;
    lookup(
        file, read, [&] { read.emplace(name(section), name(key)); }, fd);
    return read->get_int(default_value);
}

int WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                               const char* file) {
    return write_profile(section, key, value, file) ? 1 : 0;
}

}  // extern "C"
