#include "command_line.h"

namespace {

bool is_blank(char c) {
    const auto code = static_cast<unsigned char>(c);
    return code >= 1 && code <= 32;
}

bool ends_token(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

}  // namespace

std::string request_file_from_remainder(const char* remainder) {
    while (is_blank(*remainder)) ++remainder;
    return remainder;
}

std::size_t program_name_length(const char* command_line) {
    const char* p = command_line;
    if (*p == '"') {
        ++p;
        while (*p != '\0' && *p != '"') ++p;
        if (*p == '"') ++p;
    } else {
        while (!ends_token(*p)) ++p;
    }
    return static_cast<std::size_t>(p - command_line);
}

std::string request_file_from_command_line(const char* command_line) {
    return request_file_from_remainder(command_line + program_name_length(command_line));
}

std::string request_file_from_arguments(int argc, const char* const* argv) {
    std::string remainder;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) remainder += ' ';
        remainder += argv[i];
    }
    return request_file_from_remainder(remainder.c_str());
}

std::string caption_from_program_path(const char* path) {
    std::string name = path;
    const auto folder_end = name.find_last_of("/\\");
    if (folder_end != std::string::npos) name.erase(0, folder_end + 1);
    const auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    return name;
}
