#include "vestrel_app.h"

#include "lpt_port.h"
#include "platform.h"
#include "private_profile.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace {

const char kSection[] = "Vestrel";
const char kMissingArgument[] = "Error: Give ini-file name as command line parameter!";

// The value of a decimal text: leading blanks and one sign accepted, digits
// read up to the first other character, 0 without leading digits. Values
// beyond the 32-bit range are clamped.
int32_t decimal_value(const char* text) {
    const long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

}  // namespace

CVestrelApp::CVestrelApp()
    : m_nLptPort(0), m_nPortAddress(0), m_szMessage(), m_bLogOpen(false), m_pLogFile(nullptr) {}

CVestrelApp::~CVestrelApp() {
    CloseLog();
}

void CVestrelApp::CloseLog() {
    if (!m_bLogOpen) return;
    m_bLogOpen = false;
    std::fclose(m_pLogFile);
    m_pLogFile = nullptr;
}

bool CVestrelApp::InitInstance() {
    const char* request_file = m_strCmdLine.c_str();
    if (*request_file == '\0') {
        show_warning_message(m_strAppName.c_str(), kMissingArgument);
        return false;
    }
    const bool result = ReadIniFile(request_file);
    WriteIniFile(request_file, result);
    CloseLog();
    return false;
}

bool CVestrelApp::ReadIniFile(const char* request_file) {
    bool result = true;

    // A name that fills the buffer may have been cut: the cut name is another
    // file, perhaps in another folder, so such a log is not opened at all.
    char log_file[kMessageSize];
    const uint32_t log_name_length =
        GetPrivateProfileStringA(kSection, "LogFile", "", log_file, sizeof log_file, request_file);
    if (log_name_length != 0 && log_name_length < sizeof log_file - 1 && log_file[0] != '\0') {
        // A log that cannot be opened is no reason to stop the run.
        if (std::FILE* f = open_log_for_append(log_file)) {
            m_pLogFile = f;
            m_bLogOpen = true;
            WriteLog("CVestrelApp::ReadIniFile: Log opened!\n");
        }
    }

    if (GetPrivateProfileStringA(kSection, "LptPort", "", m_szMessage, sizeof m_szMessage,
                                 request_file) == 0) {
        std::snprintf(m_szMessage, sizeof m_szMessage,
                      "File:%s does not contain Entry:%s or Section:%s ", request_file, "LptPort",
                      kSection);
        result = false;
        WriteLog(m_szMessage);
    } else {
        m_nLptPort = decimal_value(m_szMessage);
    }

    if (result) {
        WriteLog("init_parallel_port");
        m_nPortAddress = init_parallel_port(m_nLptPort, m_szMessage, sizeof m_szMessage);
        result = m_nPortAddress != 0;
        if (result) {
            std::snprintf(m_szMessage, sizeof m_szMessage, "%s: port = %d, addr = %lu\n",
                          request_file, m_nLptPort, static_cast<unsigned long>(m_nPortAddress));
            WriteLog(m_szMessage);
        }
    }
    return result;
}

bool CVestrelApp::WriteIniFile(const char* request_file, bool result) {
    WriteLog("CVestrelApp::WriteIniFile");
    WritePrivateProfileStringA(kSection, "ReturnValue", result ? "Success" : "Failed",
                               request_file);
    WritePrivateProfileStringA(kSection, "FailureReason", m_szMessage, request_file);
    WriteLog(m_szMessage);
    return result;
}

void CVestrelApp::WriteLog(const char* message) {
    if (!m_bLogOpen) return;
    char stamp[32] = "";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* local = std::localtime(&now))
        std::strftime(stamp, sizeof stamp, "%m/%d/%y %H:%M:%S", local);
    std::fprintf(m_pLogFile, "\n%s: %s", stamp, message);
    std::fflush(m_pLogFile);
}
