#include "process_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "private_profile.h"

extern char** environ;

namespace fs = std::filesystem;

ScratchDir::ScratchDir(mode_t mode) : ScratchFolder("profile-process-") {
    ::chmod(path().c_str(), mode);
}

ino_t inode_of(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::set<std::string> names_in(const std::string& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) names.insert(e.path().filename());
    return names;
}

std::string read_value(const std::string& file, const char* section, const char* key) {
    char value[4096];
    GetPrivateProfileStringA(section, key, "<missing>", value, sizeof value, file.c_str());
    return value;
}

ToolProcess::ToolProcess(const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment, int keep_fd) {
    std::vector<std::string> args{PROFILE_TOOL};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& extra : environment) {
            replaced = replaced || extra.substr(0, extra.find('=')) == name;
        }
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        if (keep_fd >= 0) ::fcntl(keep_fd, F_SETFD, 0);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out[1]);
    output_ = out[0];
}

ToolProcess::~ToolProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        wait();
    }
    if (output_ >= 0) ::close(output_);
}

ToolRun ToolProcess::wait() {
    ToolRun run;
    if (pid_ <= 0) return run;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(output_, buffer, sizeof buffer)) > 0) {
        run.output.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(output_);
    output_ = -1;
    return run;
}

ToolRun run_tool(const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment) {
    return ToolProcess(arguments, environment).wait();
}

std::vector<std::string> as_ordinary_user() {
    if (::geteuid() != 0) return {};
    return {"--as", std::to_string(kOrdinaryUid)};
}

bool make_refusing_folder(const std::string& dir, const std::string& file, const std::string& bytes,
                          bool file_writable) {
    if (::mkdir(dir.c_str(), 0755) != 0) return false;
    const std::string path = dir + "/" + file;
    write_file(path, bytes);
    if (::geteuid() == 0) {
        ::chmod(path.c_str(), 0644);
        return !file_writable || ::chown(path.c_str(), kOrdinaryUid, kOrdinaryUid) == 0;
    }
    ::chmod(path.c_str(), file_writable ? 0644 : 0444);
    ::chmod(dir.c_str(), 0555);
    // A process allowed to override permissions could still add a file.
    const std::string probe = dir + "/probe";
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) return true;
    ::close(fd);
    ::unlink(probe.c_str());
    return false;
}
