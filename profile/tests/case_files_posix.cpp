#include "case_files.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <utility>

namespace case_files {
namespace {

// The account a root test run uses to act as an ordinary user ("nobody").
constexpr uid_t kOrdinaryUid = 65534;
constexpr gid_t kOrdinaryGid = 65534;

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd, bytes.data(), bytes.size());
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

}  // namespace

// windir: is the working folder itself (see path_of), so the case's Windows
// folder names need no cleaning of their own.
CaseFolder::CaseFolder(std::vector<std::string> windir_names)
    : windir_names_(std::move(windir_names)) {
    char here[4096];
    if (!::getcwd(here, sizeof here)) throw std::runtime_error("getcwd failed");
    previous_ = here;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/profile-case-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    if (::chdir(path_.c_str()) != 0) throw std::runtime_error("chdir failed");
}

CaseFolder::~CaseFolder() {
    if (::chdir(previous_.c_str()) != 0) {
        // Nothing sensible to do; the folder is still removed below.
    }
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string path_of(std::string_view location) {
    const std::size_t colon = location.find(':');
    return std::string(colon == std::string_view::npos ? location : location.substr(colon + 1));
}

std::string file_argument(std::string_view windows_name) {
    std::string out(windows_name);
    for (char& c : out) {
        if (c == '\\') c = '/';
    }
    return out;
}

bool make_dir(const std::string& path) {
    return ::mkdir(path.c_str(), 0777) == 0;
}

bool write_file(const std::string& path, std::string_view bytes, bool readonly) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    const bool ok = write_all(fd, bytes);
    if (::close(fd) != 0 || !ok) return false;
    return !readonly || ::chmod(path.c_str(), 0444) == 0;
}

Kind snapshot(const std::string& path, std::string& bytes) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return Kind::absent;
    if (S_ISDIR(st.st_mode)) return Kind::directory;
    if (!S_ISREG(st.st_mode)) return Kind::other;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Kind::other;
    bytes.clear();
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return Kind::file;
}

void clear_error() {
    errno = 0;
}

// ENOENT and ENOTDIR come from a missing folder on the way to the file: the
// recording's "path not found". EFAULT is the kernel's error for a null path:
// a null file name names no file at all, the recording's "file not found".
int last_error() {
    switch (errno) {
        case 0:
            return 0;
        case EFAULT:
            return 2;
        case ENOENT:
        case ENOTDIR:
            return 3;
        case EACCES:
        case EPERM:
        case EROFS:
            return 5;
        default:
            return 1000 + errno;
    }
}

// The file layer reads the file afresh on every call: there is no cache.
void forget_cached(const char*) {}

// A read-only file keeps an ordinary user out; run_as_ordinary_user makes
// sure the steps run as one.
std::string readonly_unenforced() {
    return {};
}

std::vector<std::string> run_as_ordinary_user(const std::function<std::vector<std::string>()>& fn) {
    if (::geteuid() != 0) return fn();

    // The ordinary user must be able to enter and write into the case folder:
    // a read-only file must then be refused for its own sake.
    if (::chmod(".", 0777) != 0) return {"cannot open the case folder to an ordinary user"};
    int fds[2];
    if (::pipe(fds) != 0) return {"pipe failed"};
    const pid_t child = ::fork();
    if (child < 0) return {"fork failed"};
    if (child == 0) {
        ::close(fds[0]);
        std::string report;
        if (::setgroups(0, nullptr) != 0 || ::setgid(kOrdinaryGid) != 0 ||
            ::setuid(kOrdinaryUid) != 0) {
            report = std::string("cannot drop to an ordinary user: ") + std::strerror(errno);
            report.push_back('\0');
        } else {
            for (const std::string& m : fn()) {
                report += m;
                report.push_back('\0');
            }
        }
        write_all(fds[1], report);
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string report;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(fds[0], chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        report.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    std::vector<std::string> messages;
    std::size_t pos = 0;
    while (pos < report.size()) {
        const std::size_t end = report.find('\0', pos);
        messages.push_back(report.substr(pos, end - pos));
        pos = end + 1;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        messages.push_back("the ordinary-user child process did not finish normally");
    }
    return messages;
}

}  // namespace case_files
