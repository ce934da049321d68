// The Windows side of the corpus test. Here the three operations are the
// system's own (kernel32; under Wine, Wine's implementation), so the test
// checks the recorded results against the service itself: windir: is the real
// Windows folder and file-name arguments are passed as recorded, with '\'.
#include "case_files.h"

#include <windows.h>

#include <memory>
#include <stdexcept>
#include <utility>

namespace case_files {
namespace {

// Removes a file even when it carries the read-only attribute.
void remove_file(const std::string& path) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
}

// Removes a folder with everything in it.
void remove_tree(const std::string& path) {
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            const std::string child = path + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                remove_tree(child);
            } else {
                remove_file(child);
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryA(path.c_str());
}

std::string windows_folder() {
    char buffer[MAX_PATH + 1];
    const UINT n = GetWindowsDirectoryA(buffer, sizeof buffer);
    if (n == 0 || n > MAX_PATH) throw std::runtime_error("GetWindowsDirectoryA failed");
    return std::string(buffer, n);
}

std::string in_windows_folder(const std::string& name) {
    return windows_folder() + "\\" + name;
}

// The longest a case waits for another test process's case that names files
// in the Windows folder (the test time-out is longer).
constexpr DWORD kWindowsFolderWaitMs = 120 * 1000;

// Waits for the turn of this process to use the Windows folder: a named mutex,
// shared by every process of the same Windows session (under Wine, of the same
// prefix). An abandoned mutex (its holder was killed) is this process's turn.
std::shared_ptr<void> take_windows_folder_turn() {
    const HANDLE mutex = CreateMutexA(nullptr, FALSE, "parport-profile-corpus-windows-folder");
    if (!mutex) throw std::runtime_error("CreateMutexA failed");
    const DWORD waited = WaitForSingleObject(mutex, kWindowsFolderWaitMs);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(mutex);
        throw std::runtime_error("no turn to use the Windows folder (another case holds it)");
    }
    return std::shared_ptr<void>(mutex, [](void* h) {
        ReleaseMutex(h);
        CloseHandle(h);
    });
}

bool write_all(HANDLE h, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD chunk =
            bytes.size() > 0x10000000u ? 0x10000000u : static_cast<DWORD>(bytes.size());
        DWORD put = 0;
        if (!WriteFile(h, bytes.data(), chunk, &put, nullptr) || put == 0) return false;
        bytes.remove_prefix(put);
    }
    return true;
}

}  // namespace

CaseFolder::CaseFolder(std::vector<std::string> windir_names)
    : windir_names_(std::move(windir_names)) {
    if (!windir_names_.empty()) windows_folder_turn_ = take_windows_folder_turn();
    char here[MAX_PATH + 1];
    const DWORD n = GetCurrentDirectoryA(sizeof here, here);
    if (n == 0 || n > MAX_PATH) throw std::runtime_error("GetCurrentDirectoryA failed");
    previous_.assign(here, n);
    char temp[MAX_PATH + 1];
    const DWORD t = GetTempPathA(sizeof temp, temp);
    if (t == 0 || t > MAX_PATH) throw std::runtime_error("GetTempPathA failed");
    // A unique name: this process's id and a counter, tried until one is free.
    static unsigned counter = 0;
    for (int attempt = 0;; ++attempt) {
        const std::string candidate = std::string(temp, t) + "profile-case-" +
                                      std::to_string(GetCurrentProcessId()) + "-" +
                                      std::to_string(++counter);
        if (CreateDirectoryA(candidate.c_str(), nullptr)) {
            path_ = candidate;
            break;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS || attempt > 1000) {
            throw std::runtime_error("CreateDirectoryA failed for " + candidate);
        }
    }
    for (const std::string& name : windir_names_) remove_file(in_windows_folder(name));
    if (!SetCurrentDirectoryA(path_.c_str()))
        throw std::runtime_error("SetCurrentDirectoryA failed");
}

CaseFolder::~CaseFolder() {
    SetCurrentDirectoryA(previous_.c_str());
    remove_tree(path_);
    try {
        for (const std::string& name : windir_names_) remove_file(in_windows_folder(name));
    } catch (const std::runtime_error&) {
        // Without the Windows folder there is nothing of the case's left in it.
    }
}

std::string path_of(std::string_view location) {
    const std::size_t colon = location.find(':');
    std::string rel(colon == std::string_view::npos ? location : location.substr(colon + 1));
    for (char& c : rel) {
        if (c == '/') c = '\\';
    }
    if (location.substr(0, colon) == "windir") return in_windows_folder(rel);
    return rel;
}

// File names are native: '\' is the separator the recording used.
std::string file_argument(std::string_view windows_name) {
    return std::string(windows_name);
}

bool make_dir(const std::string& path) {
    return CreateDirectoryA(path.c_str(), nullptr) != 0;
}

bool write_file(const std::string& path, std::string_view bytes, bool readonly) {
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = write_all(h, bytes);
    if (!CloseHandle(h) || !ok) return false;
    return !readonly || SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY) != 0;
}

Kind snapshot(const std::string& path, std::string& bytes) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return Kind::absent;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Kind::directory;
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return Kind::other;
    bytes.clear();
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(h, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
    CloseHandle(h);
    return Kind::file;
}

void clear_error() {
    SetLastError(0);
}

// The corpus records GetLastError() itself.
int last_error() {
    return static_cast<int>(GetLastError());
}

// A call with only the file name set drops the service's cached copy of that
// file (documented as flushing it); the recording did the same before every
// call. The null file name is win.ini in the Windows folder, which the
// recording flushed by that name.
void forget_cached(const char* file) {
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, file ? file : "win.ini");
}

// Tries the real thing in the case folder: a read-only probe file that can
// still be opened for writing means the attribute is not enforced (Wine run
// by root ignores it, as root ignores Unix permissions).
std::string readonly_unenforced() {
    const std::string probe = "readonly-probe.tmp";
    if (!write_file(probe, "probe", true)) return "cannot create a read-only probe file";
    const HANDLE h = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string why;
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        why =
            "a file with the read-only attribute opened for writing here (Wine run by root "
            "ignores the attribute); run the tests as an ordinary user to check this case";
    }
    remove_file(probe);
    return why;
}

// Rights cannot be dropped inside a process here; readonly_unenforced() tells
// when that matters.
std::vector<std::string> run_as_ordinary_user(const std::function<std::vector<std::string>()>& fn) {
    return fn();
}

}  // namespace case_files
