// The locked replace. A new version of the file is made beside it and renamed
// over it:
//   - The new content is written into an unnamed file in the same folder
//     (O_TMPFILE), which takes the original's owner and permission bits and
//     is fsynced; only then does it get a name, ".<name>.tmp~", and is renamed
//     over the target. A writer killed before the rename leaves nothing, or
//     that one name, which the next write removes. Where the file system has
//     no unnamed files the same name is written directly.
//   - The unchanged head and tail are copied from the original inside the
//     kernel (copy_file_range), around the splice's new bytes.
// When the folder refuses new files but the file itself is writable, the
// file is updated in place instead: from the first changed byte, the tail
// moves by the change in length through the call's small buffer and the new
// bytes go in; if any step fails, the steps done are undone in reverse.
//
// The folder is not fsynced after the rename: the rename is atomic without
// it, and a crash right after a write can then only lose that whole write
// (the old file is seen), never leave a mix or an empty file. The Windows
// service makes no stronger promise, and a second fsync per write would
// double the cost of the small writes callers make.
//
// Replacing makes a new file: hard links to the old one keep the old bytes,
// and extended attributes and ACLs are not carried over.
#include "replace_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace profile_file {
namespace {

using profile_text::Splice;

// One write's plan: the locked file and the one splice that changes it.
struct Change {
    int fd;                 // the file, locked
    const struct stat& st;  // its status, under the lock
    const Splice& splice;

    std::uint64_t old_size() const { return static_cast<std::uint64_t>(st.st_size); }
    std::uint64_t tail_from() const { return splice.offset + splice.length; }
    std::uint64_t new_size() const { return old_size() - splice.length + splice.bytes.size(); }
};

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

// Gives a new, empty file the original's owner and bits, then the new
// content, and flushes it to the disk.
bool fill_replacement(int out, const Change& c, Buffer& buffer) {
    // Owner first: a change of owner clears the set-id bits. Root gives the
    // new file the original's owner; anyone else is refused, and the file
    // stays the writer's own, as with any program that saves by renaming.
    // So the result is deliberately not looked at.
    [[maybe_unused]] const int owner_kept = ::fchown(out, c.st.st_uid, c.st.st_gid);
    return ::fchmod(out, c.st.st_mode & 07777) == 0 &&
           copy_range(c.fd, 0, c.splice.offset, out, buffer) && write_all(out, c.splice.bytes) &&
           copy_range(c.fd, c.tail_from(), kToEnd, out, buffer) && ::fsync(out) == 0;
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
                                 const Change& c, Buffer& buffer) {
    const std::string folder = folder_of(target);
    Fd fd(::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
            return Replaced::no_unnamed_files;
        }
        return refused_or_failed();
    }
    if (!fill_replacement(fd.get(), c, buffer)) return Replaced::failed;
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
Replaced replace_through_named(const std::string& target, const std::string& temp, const Change& c,
                               Buffer& buffer) {
    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600));
    if (fd.get() < 0) return refused_or_failed();
    const bool filled = fill_replacement(fd.get(), c, buffer);
    if (!fd.close() || !filled) {
        KeepErrno keep;
        ::unlink(temp.c_str());
        return Replaced::failed;
    }
    return rename_over(temp, target);
}

// ---------------------------------------------------------------- in place

// A move of `count` bytes inside the file from `from` to `to`, chunk by chunk
// through the buffer, in the order that never overwrites a byte before it
// has moved (from the far end when moving up). What was done is recorded, so
// that a failed move can be undone.
struct Move {
    std::uint64_t from = 0;
    std::uint64_t to = 0;
    std::uint64_t count = 0;
    std::uint64_t moved = 0;  // bytes moved completely: the top ones when moving up
    // The chunk at hand, when it failed after it was read into the buffer:
    // its own write may have overwritten part of where it came from.
    bool chunk_in_buffer = false;
    std::uint64_t chunk_at = 0;
    std::size_t chunk_size = 0;

    bool up() const { return to > from; }
};

bool run(int fd, Move& m, Buffer& buffer) {
    while (m.moved < m.count) {
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(Buffer::kSize, m.count - m.moved));
        m.chunk_at = m.up() ? m.from + m.count - m.moved - n : m.from + m.moved;
        m.chunk_size = n;
        if (!pread_all(fd, buffer.data(), n, m.chunk_at)) return false;
        m.chunk_in_buffer = true;
        if (!pwrite_all(fd, std::string_view(buffer.data(), n), m.chunk_at + m.to - m.from)) {
            return false;
        }
        m.chunk_in_buffer = false;
        m.moved += n;
    }
    return true;
}

// Puts back what a (partly) done move changed.
void undo(int fd, const Move& m, Buffer& buffer) {
    if (m.chunk_in_buffer &&
        !pwrite_all(fd, std::string_view(buffer.data(), m.chunk_size), m.chunk_at)) {
        return;
    }
    if (m.moved == 0) return;
    Move back;
    back.count = m.moved;
    back.from = m.up() ? m.to + m.count - m.moved : m.to;
    back.to = m.up() ? m.from + m.count - m.moved : m.from;
    run(fd, back, buffer);
}

// Rewrites the file itself from the first changed byte. The bytes the splice
// replaces are kept (the old entry's, which a caller wrote as one value) to
// write them back if a step fails.
bool update_in_place(const Change& c, Buffer& buffer) {
    const Splice& s = c.splice;
    std::string replaced(static_cast<std::size_t>(s.length), '\0');
    if (!pread_all(c.fd, replaced.data(), replaced.size(), s.offset)) return false;
    const bool grows = c.new_size() > c.old_size();
    if (grows) {
        // Reserving the room first makes a full disk fail before anything
        // changes. KEEP_SIZE: the file's length stays as it is for now.
        if (::fallocate(c.fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(c.old_size()),
                        static_cast<off_t>(c.new_size() - c.old_size())) != 0 &&
            errno != EOPNOTSUPP && errno != ENOSYS) {
            return false;
        }
    }
    Move tail;
    tail.from = c.tail_from();
    tail.to = s.offset + s.bytes.size();
    tail.count = tail.from == tail.to ? 0 : c.old_size() - tail.from;
    // Growing, the tail moves up first, out of the new bytes' way; shrinking,
    // the new bytes fit where the old ones were, and the tail follows them.
    bool bytes_written = false;
    const auto write_bytes = [&] {
        bytes_written = true;
        return pwrite_all(c.fd, s.bytes, s.offset);
    };
    bool ok =
        grows ? run(c.fd, tail, buffer) && write_bytes() : write_bytes() && run(c.fd, tail, buffer);
    ok = ok &&
         (c.new_size() >= c.old_size() ||
          ::ftruncate(c.fd, static_cast<off_t>(c.new_size())) == 0) &&
         ::fsync(c.fd) == 0;
    if (!ok) {
        KeepErrno keep;
        undo(c.fd, tail, buffer);
        if (bytes_written) pwrite_all(c.fd, replaced, s.offset);
        if (::ftruncate(c.fd, static_cast<off_t>(c.old_size())) == 0) ::fsync(c.fd);
    }
    return ok;
}

}  // namespace

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool replace_locked(const std::string& target, int fd, const struct stat& st,
                    const profile_text::Splice& splice, Buffer& buffer) {
    const Change c{fd, st, splice};
    const std::string temp = temporary_name(target);
    {
        KeepErrno keep;
        ::unlink(temp.c_str());  // a crashed writer's leftover, if any
    }
    Replaced r = replace_through_unnamed(target, temp, c, buffer);
    if (r == Replaced::no_unnamed_files) r = replace_through_named(target, temp, c, buffer);
    if (r == Replaced::folder_refuses) return update_in_place(c, buffer);
    return r == Replaced::done;
}

}  // namespace profile_file
