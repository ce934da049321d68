// Shared by the tests that run profile writes in processes of their own
// (profile_tool): scratch folders, files as bytes, starting and stopping the
// tool, and folders an ordinary user may not add files to.
#pragma once

#include <sys/types.h>

#include "test_support.h"

#include <set>
#include <string>
#include <vector>

// The account root uses to act as an ordinary user ("nobody").
constexpr uid_t kOrdinaryUid = 65534;

using test_support::exists;
using test_support::file_bytes;
using test_support::write_file;

// A scratch folder with permission bits `mode`.
class ScratchDir : public test_support::ScratchFolder {
public:
    explicit ScratchDir(mode_t mode = 0755);
    std::string path() const { return ScratchFolder::path().string(); }
};
ino_t inode_of(const std::string& path);

// The names directly in a folder.
std::set<std::string> names_in(const std::string& dir);

// [section] key as the library reads it ("<missing>" when absent).
std::string read_value(const std::string& file, const char* section, const char* key);

struct ToolRun {
    int exit_code = -1;  // -1 when it did not exit normally
    int signal = 0;      // the signal that ended it, if one did
    std::string output;  // its standard output
};

// The tool started with `arguments`, this process's environment plus
// `environment` ("NAME=value" entries, replacing same-named ones), and the
// descriptor `keep_fd` (when >= 0) inherited under its own number.
class ToolProcess {
public:
    ToolProcess(const std::vector<std::string>& arguments,
                const std::vector<std::string>& environment = {}, int keep_fd = -1);
    ~ToolProcess();
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    pid_t pid() const { return pid_; }
    ToolRun wait();

private:
    pid_t pid_ = -1;
    int output_ = -1;
};

ToolRun run_tool(const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment = {});

// The arguments that make the tool run as the ordinary user (none when this
// process is not root and so is an ordinary user already).
std::vector<std::string> as_ordinary_user();

// Creates `dir`, holding `file` with `bytes` that the tool's user (see
// as_ordinary_user) may write to or not, while it may not add files to the
// folder itself. As root the folder is root's (0755) and a writable file is
// given to the ordinary user; otherwise the folder is made 0555. Returns
// false when no such folder can be made here (not root, yet allowed to write
// to a 0555 folder).
bool make_refusing_folder(const std::string& dir, const std::string& file, const std::string& bytes,
                          bool file_writable);
