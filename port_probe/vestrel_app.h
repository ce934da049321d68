// CVestrelApp: one request run of Vestrel.
//
// The run reads the request file (section "Vestrel": LogFile, LptPort), probes
// the parallel port, and writes ReturnValue ("Success" or "Failed") and
// FailureReason back into the same file. An optional run log, named by
// LogFile, is appended to; each entry is a line feed, "MM/DD/YY HH:MM:SS: "
// and the message, flushed at once. The program exits with status 0 in every
// case; the outcome is reported only through the request file and the log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// What the platform entry point hands the application before InitInstance:
// the program's name (the caption of its one message) and the command-line
// remainder after that name, which is the request file name.
class CProgramApp {
public:
    std::string m_strAppName;
    std::string m_strCmdLine;
};

class CVestrelApp : public CProgramApp {
public:
    CVestrelApp();
    ~CVestrelApp();
    CVestrelApp(const CVestrelApp&) = delete;
    CVestrelApp& operator=(const CVestrelApp&) = delete;

    // The whole run. Returns false always: there is no message loop to enter.
    bool InitInstance();

    // Opens the run log and probes the requested port. Returns true when the
    // device answered; m_szMessage then holds the summary, otherwise the
    // reason.
    bool ReadIniFile(const char* request_file);

    // Writes ReturnValue and FailureReason (= m_szMessage). Returns result.
    bool WriteIniFile(const char* request_file, bool result);

    // Appends one time-stamped entry to the run log when it is open.
    void WriteLog(const char* message);

    static constexpr std::size_t kMessageSize = 300;

    int32_t m_nLptPort;
    uint32_t m_nPortAddress;  // 16-bit base address; 0 means failure
    char m_szMessage[kMessageSize];
    bool m_bLogOpen;
    std::FILE* m_pLogFile;

private:
    void CloseLog();
};

// The single application object of the program.
extern CVestrelApp theApp;
