// Starting a test program on Windows with CreateProcessA. The arguments are
// joined to one command line with single blanks and no quoting, so the
// program sees exactly the remainder that the arguments spell.
#include "run_command_line_win32.h"

#include <windows.h>

#include <cctype>
#include <cstring>
#include <thread>

namespace {

std::string upper_name(const std::string& entry) {
    std::string name = entry.substr(0, entry.find('=', 1));
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

// This process's environment block with `extra` entries replacing or adding
// variables (names compare without case, as Windows does).
std::string environment_block(const std::vector<std::string>& extra) {
    std::string block;
    if (char* strings = GetEnvironmentStringsA()) {
        for (const char* e = strings; *e != '\0'; e += std::strlen(e) + 1) {
            bool replaced = false;
            for (const auto& x : extra) replaced = replaced || upper_name(x) == upper_name(e);
            if (!replaced) block.append(e).push_back('\0');
        }
        FreeEnvironmentStringsA(strings);
    }
    for (const auto& x : extra) block.append(x).push_back('\0');
    block.push_back('\0');
    return block;
}

std::string drain(HANDLE pipe) {
    std::string text;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
    return text;
}

bool make_pipe(HANDLE& read_end, HANDLE& write_end) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return false;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    return true;
}

}  // namespace

ProgramRun run_command_line(const std::string& program, const std::string& command_line,
                            const std::vector<std::string>& environment) {
    ProgramRun run;
    HANDLE out_read = nullptr, out_write = nullptr, err_read = nullptr, err_write = nullptr;
    if (!make_pipe(out_read, out_write)) return run;
    if (!make_pipe(err_read, err_write)) {
        CloseHandle(out_read);
        CloseHandle(out_write);
        return run;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
    PROCESS_INFORMATION process{};
    std::string line = command_line;
    std::string block = environment_block(environment);
    const BOOL started = CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                                        block.data(), nullptr, &startup, &process);
    CloseHandle(out_write);
    CloseHandle(err_write);
    if (started) {
        std::thread err_reader([&] { run.standard_error = drain(err_read); });
        run.standard_output = drain(out_read);
        err_reader.join();
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        if (GetExitCodeProcess(process.hProcess, &code)) run.exit_code = static_cast<int>(code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        run.standard_error = "CreateProcessA failed: " + std::to_string(GetLastError());
    }
    CloseHandle(out_read);
    CloseHandle(err_read);
    return run;
}

ProgramRun run_program(const std::string& program, const std::vector<std::string>& arguments,
                       const std::vector<std::string>& environment) {
    const std::string path =
        program.find_first_of("\\/:") == std::string::npos ? beside_this_program(program) : program;
    std::string line = "\"" + path + "\"";
    for (const auto& a : arguments) line += " " + a;
    return run_command_line(path, line, environment);
}

std::vector<std::string> library_folder_environment(const std::string&) {
    return {};  // the loader looks in the program's own folder first
}
