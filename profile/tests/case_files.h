// The file-system side of the corpus test, one small file per platform: a
// fresh working folder per case, where the corpus locations are, how a
// program passes a file name, and running a case without administrator
// rights. Everything else in the corpus test is plain standard C++.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace case_files {

// A fresh, empty folder that is the working directory while this object
// lives; afterwards the previous working directory is restored and the folder
// removed with everything in it. `windir_names` are the files the case names
// in the Windows folder (windir: locations and file-name arguments without a
// folder part): where that folder is a real, shared one they are removed
// before the case and after it, and a case naming any takes turns with the
// other test processes doing so (several cases name win.ini, and CTest runs
// cases in parallel). Throws std::runtime_error on failure.
class CaseFolder {
public:
    explicit CaseFolder(std::vector<std::string> windir_names);
    ~CaseFolder();
    CaseFolder(const CaseFolder&) = delete;
    CaseFolder& operator=(const CaseFolder&) = delete;

private:
    std::string previous_;
    std::string path_;
    std::vector<std::string> windir_names_;
    std::shared_ptr<void> windows_folder_turn_;  // held while the case lives, where needed
};

// The path, relative to the working directory, of a corpus location
// ("cwd:REL/PATH" or "windir:NAME"). On Linux a file name without a folder
// part is in the working directory, so windir: and cwd: are the same folder;
// on Windows windir: is the system's Windows folder.
std::string path_of(std::string_view location);

// The file-name argument a program on this platform passes for a corpus FILE
// string, which is written with Windows separators. (A null FILE is passed as
// a null pointer, not through here.)
std::string file_argument(std::string_view windows_name);

bool make_dir(const std::string& path);
bool write_file(const std::string& path, std::string_view bytes, bool readonly);

enum class Kind { absent, file, directory, other };
Kind snapshot(const std::string& path, std::string& bytes);

// Clears what last_error() reports, as the recording did before every call.
void clear_error();

// The error the last call left, as the Windows error code the corpus records
// (GetLastError()): 0 when the call set none, 3 path not found, 5 access
// denied, 2 file not found; other failures give 1000 + the platform's error
// number.
int last_error();

// Called before every operation on `file` (null: the null file name, which
// names win.ini in the Windows folder). Where the service under test keeps
// parsed files in a cache (Wine's kernel32 does, per process), the cache is
// dropped, so that every call reads the bytes on disk, as in the recording.
void forget_cached(const char* file);

// Empty when a read-only file keeps writers out while run_as_ordinary_user
// runs; otherwise why it does not here (such a case cannot be checked).
std::string readonly_unenforced();

// Runs `fn` with the rights of an ordinary user, so that read-only files keep
// writers out, and returns the messages it produced. As administrator (root)
// it runs in a child process that gives up its rights first.
std::vector<std::string> run_as_ordinary_user(const std::function<std::vector<std::string>()>& fn);

}  // namespace case_files
