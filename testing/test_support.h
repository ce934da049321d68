// Helpers every test suite uses, on Linux and on Windows alike: scratch
// folders, switching the working folder, whole files as bytes, and naming
// parameterised tests after their table rows.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>

namespace test_support {

// A fresh, empty folder under the system's temporary folder, named after
// `prefix`, removed with everything in it afterwards (entries a test made
// read-only included).
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& prefix = "parport-test-");
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The path of `name` in the folder, as a string.
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    // The names of the entries directly in the folder.
    std::set<std::string> entries() const;

private:
    std::filesystem::path path_;
};

// Makes `folder` the working folder while it lives, then restores the
// previous one.
class WorkingFolder {
public:
    explicit WorkingFolder(const std::filesystem::path& folder);
    ~WorkingFolder();
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;

private:
    std::filesystem::path previous_;
};

// A scratch folder that is the working folder while it lives.
class ScratchWorkingFolder : public ScratchFolder {
public:
    explicit ScratchWorkingFolder(const std::string& prefix = "parport-test-")
        : ScratchFolder(prefix), working_(path()) {}

private:
    WorkingFolder working_;
};

// A file's bytes, or nothing when it cannot be read.
std::optional<std::string> read_file(const std::filesystem::path& path);
// A file's bytes, empty when it cannot be read.
std::string file_bytes(const std::filesystem::path& path);
// Replaces the file's content with `bytes`; throws when it cannot.
void write_file(const std::filesystem::path& path, const std::string& bytes);
// Whether anything has the name, a dangling symbolic link included.
bool exists(const std::filesystem::path& path);

// Names a parameterised test after its table row's `name` field:
// INSTANTIATE_TEST_SUITE_P(Rows, Suite, ValuesIn(kRows), RowName()).
struct RowName {
    template <class Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& row) const {
        return row.param.name;
    }
};

}  // namespace test_support
