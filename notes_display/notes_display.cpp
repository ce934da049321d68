// PNFileAvailable and PNDisplayFile: the same logic on every platform. The
// platform parts are the existence test (file_probe.h), the profile read
// (private_profile.h) and the process start (process_start.h).
#include "quorle.h"

#include "file_probe.h"
#include "private_profile.h"
#include "process_start.h"

#include <cstddef>
#include <cstring>
#include <string>

namespace {

constexpr char kSection[] = "ZOR_PNotes_File";
constexpr char kKey[] = "PNotesCommandLine";
// The default of the read: reading it back means no command line is configured.
constexpr char kNotFound[] = "!! NOT FOUND !!";
constexpr char kDefaultViewer[] = "notepad.exe";

// The default command is the viewer, one blank and the file name; a longer
// name would be cut off, so it is refused.
constexpr std::size_t kLongestDefaultFileName =
    quorle::kCommandLineSize - 1 - (sizeof kDefaultViewer - 1) - 1;
static_assert(kLongestDefaultFileName == 375, "notepad.exe and a blank leave 375 characters");

}  // namespace

extern "C" QUORLE_API int32_t QUORLE_CALL PNFileAvailable(const char* file_name) {
    if (file_name == nullptr || file_name[0] == '\0') {
        return 0;
    }
    return quorle::file_can_be_opened(file_name) ? 1 : 0;
}

extern "C" QUORLE_API int32_t QUORLE_CALL PNDisplayFile(const char* file_name) {
    if (PNFileAvailable(file_name) == 0) {
        return 0;
    }
    // Nothing may escape to the host: a step that cannot get memory fails.
    try {
        char command_line[quorle::kCommandLineSize];
        const std::string profile_name = quorle::notes_profile_name(file_name);
        const auto length =
            GetPrivateProfileStringA(kSection, kKey, kNotFound, command_line,
                                     quorle::kCommandLineSize, profile_name.c_str());
        // A command that fills the buffer may have been cut; the cut one is
        // a command nobody wrote, so nothing is started.
        if (length >= quorle::kCommandLineSize - 1) {
            return 0;
        }
        if (std::strcmp(command_line, kNotFound) != 0) {
            return quorle::start_command_line(command_line) ? 1 : 0;
        }
        if (std::strlen(file_name) > kLongestDefaultFileName) {
            return 0;
        }
        return quorle::start_default_viewer(kDefaultViewer, file_name) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}
