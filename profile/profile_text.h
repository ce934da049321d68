// The profile-file core: file bytes plus one operation give a result and, for
// a write, the one edit of the file's bytes. It does no I/O, so it is tested
// without files, fuzzed, and compared in one process with the Windows service.
//
// The bytes come in pieces of any size (a line, a name, a value or a UTF-16
// unit may be split anywhere), and an operation keeps a fixed, small amount
// of memory whatever the file's size; it says when more bytes can no longer
// change its answer. The whole-file forms below feed a file in one piece.
//
// A missing file is passed as empty bytes: it reads like an empty file.
//
// File format: see profile_scan.cpp. Besides:
// - Matching quotes around a value are removed when it is read.
// - A file starting with the UTF-16LE byte-order mark FF FE is read as UTF-16
//   and its values are handed out in code page 1252; writes keep it UTF-16LE.
//   Any other file is bytes in code page 1252 (no other mark is recognised).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "profile_scan.h"

namespace profile_text {

// A write as one edit of the file's bytes: the `length` bytes at `offset` are
// replaced by `bytes`. The file layer copies the untouched head and tail
// from the original file.
struct Splice {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::string bytes;
};

// Where a read finds the bytes of a value longer than what the scan keeps.
class Source {
public:
    virtual ~Source() = default;
    // Copies up to `n` bytes from byte `offset` of the file into `out`;
    // returns how many it copied (fewer only at the file's end or on error).
    virtual std::size_t read_at(std::uint64_t offset, char* out, std::size_t n) = 0;
};

// A name the caller passed, or none for a null pointer.
using Name = std::optional<std::string_view>;

// A source over the file's bytes in memory.
class BytesSource : public Source {
public:
    explicit BytesSource(std::string_view bytes) : bytes_(bytes) {}
    std::size_t read_at(std::uint64_t offset, char* out, std::size_t n) override;

private:
    std::string_view bytes_;
};

// A read. With a section and a key: the key's value. With a section and no
// key: the section's key names. With no section: the file's section names.
// A list holds each name with its terminator and ends with one more; a list
// that does not fit is cut to size - 2 characters and two terminators, and
// its count is size - 2.
class Read : private scan::NameSink {
public:
    // A string read into `buffer` of `size` characters. `file` gives back
    // bytes the scan did not keep; at most `keep` units (kKeptValueUnits at
    // most) are handed out from what the scan kept, so fewer lets tests
    // reach the copy from the file with short values and names.
    Read(Name section, Name key, char* buffer, uint32_t size, Source& file,
         std::size_t keep = scan::kKeptValueUnits);
    // An integer read: the value, or the first name of a list.
    Read(Name section, Name key);

    void feed(std::string_view bytes) { scan_.feed(bytes); }
    void finish() { scan_.finish(); }
    bool done() const { return scan_.done(); }

    // After finish(): the count copied, without the terminator. A missing
    // entry, or a key list without names, gives the default, at most
    // size - 1 characters and always terminated when size > 0.
    uint32_t get_string(std::string_view default_value) const;
    // After finish(): the value as an unsigned integer, or the default (as
    // unsigned) when the entry is missing or empty or the list has no names.
    uint32_t get_int(int default_value) const;

private:
    bool name(const scan::Findings& f, std::uint64_t begin, std::uint64_t length) override;
    // Copies `n` units at unit position `at` into `out`: from what the scan
    // kept when they are among its first `keep_`, else from the file.
    std::size_t copy(const scan::Findings& f, std::uint64_t at, std::size_t kept_from,
                     std::size_t n, char* out) const;

    scan::Goal goal_;
    char* buffer_;
    uint32_t size_;
    Source* file_;
    std::size_t keep_;
    char number_[32] = {};  // an integer read's list
    // A list: the characters written so far, whether any name came, and
    // its count once cut.
    std::uint64_t used_ = 0;
    bool listed_ = false;
    bool cut_ = false;
    scan::Stream scan_;
};

// A write of [section] key = value. With no value it removes the key's line;
// with no key, the section's lines (its header through the line before the
// next header).
class Write {
public:
    Write(std::string_view section, Name key, Name value);

    void feed(std::string_view bytes) { scan_.feed(bytes); }
    void finish() { scan_.finish(); }
    bool done() const { return scan_.done(); }

    // After finish(): the one edit. False when there is nothing to change
    // (the value is already stored; nothing to remove): `out` is left alone.
    bool plan(Splice& out) const;

private:
    scan::Goal goal_;
    std::string section_;
    std::string key_;
    std::string value_;
    scan::Stream scan_;
};

// The whole-file forms.
uint32_t get_string(std::string_view file, Name section, Name key, std::string_view default_value,
                    char* buffer, uint32_t size);
uint32_t get_int(std::string_view file, Name section, Name key, int default_value);
bool plan_put(std::string_view file, std::string_view section, Name key, Name value, Splice& out);
// The file's bytes after the write. Bytes the write does not have to change
// are kept exactly; when nothing has to change the result equals the input.
std::string put_string(std::string_view file, std::string_view section, Name key, Name value);

}  // namespace profile_text
