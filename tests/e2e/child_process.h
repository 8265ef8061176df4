// A program that a test starts and sees to its end: a test that fails half-way leaves no
// process behind.
#pragma once

#include <windows.h>

#include <string>

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { End(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts program (a path) with the arguments after its name, in directory. Its console
    // output is dropped. False if it could not be started; StartFailure then says why.
    bool Start(const std::wstring& program, const std::wstring& arguments,
               const std::wstring& directory);

    // Why the last Start failed: the call that failed, its error code and the system's
    // text for it ("CreateProcessW: error 2, File not found."). Empty after a start.
    const std::string& StartFailure() const { return startFailure_; }

    DWORD Id() const { return info_.dwProcessId; }

    // Waits up to timeoutMs for the process to end; true, with its exit code, if it has.
    bool Wait(DWORD timeoutMs, DWORD* exitCode);

    // Ends the process if it still runs.
    void End();

private:
    PROCESS_INFORMATION info_ = {};
    std::string startFailure_;
};
