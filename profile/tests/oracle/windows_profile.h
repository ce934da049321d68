// Runs one operation through the system's private-profile service
// (GetPrivateProfileStringA, GetPrivateProfileIntA, WritePrivateProfileStringA)
// on given file bytes, through a scratch file in the working folder.
#pragma once

#include "operation.h"

namespace oracle {

class WindowsProfile {
public:
    // `file_name` is a name in the working folder, passed as ".\<name>".
    explicit WindowsProfile(std::string file_name);
    ~WindowsProfile();
    WindowsProfile(const WindowsProfile&) = delete;
    WindowsProfile& operator=(const WindowsProfile&) = delete;

    // Puts `file` on disk, drops the service's cache of it and runs `op`.
    Outcome run(const File& file, const Operation& op);

    // The parts of run(): write the bytes (or delete the file), make the
    // service forget what it cached of the file, and the call itself.
    void store(const File& file);
    void forget();
    Outcome call(const Operation& op);

private:
    File load() const;
    std::string path_;
};

}  // namespace oracle
