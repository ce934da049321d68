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

// A read of [section] key.
class Read {
public:
    // `keep`: see scan::Stream.
    Read(std::string_view section, std::string_view key,
         std::size_t keep = scan::kKeptValueUnits);

    void feed(std::string_view bytes) { scan_.feed(bytes); }
    void finish() { scan_.finish(); }
    bool done() const { return scan_.done(); }

    // After finish(): copies the value (or the default) into buffer, at most
    // size - 1 characters and always terminated when size > 0. Returns the
    // count copied, without the terminator.
    uint32_t get_string(std::string_view default_value, char* buffer, uint32_t size,
                        Source& file) const;
    // After finish(): the value as an unsigned integer, or the default (as
    // unsigned) when the entry is missing or empty.
    uint32_t get_int(int default_value) const;

private:
    scan::Stream scan_;
};

// A write of [section] key = value.
class Write {
public:
    Write(std::string_view section, std::string_view key, std::string_view value);

    void feed(std::string_view bytes) { scan_.feed(bytes); }
    void finish() { scan_.finish(); }
    bool done() const { return scan_.done(); }

    // After finish(): the one edit that stores the value. False when the file
    // already holds it (nothing to change, `out` is left alone).
    bool plan(Splice& out) const;

private:
    std::string section_;
    std::string key_;
    std::string value_;
    scan::Stream scan_;
};

// The whole-file forms.
uint32_t get_string(std::string_view file, std::string_view section, std::string_view key,
                    std::string_view default_value, char* buffer, uint32_t size);
uint32_t get_int(std::string_view file, std::string_view section, std::string_view key,
                 int default_value);
bool plan_put(std::string_view file, std::string_view section, std::string_view key,
              std::string_view value, Splice& out);
// The file's bytes after setting [section] key = value. Bytes the write does
// not have to change are kept exactly; when nothing has to change the result
// equals the input.
std::string put_string(std::string_view file, std::string_view section, std::string_view key,
                       std::string_view value);

}  // namespace profile_text
