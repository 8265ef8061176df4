// A program that a test starts and sees to its end: a test that fails half-way leaves no
// process behind.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { End(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts program (a path) with the arguments after its name, in directory. Its console
    // output is dropped. A start that fails is tried once more after half a second: Wine
    // has refused, once in a long soak, a start that it made on the run's replay. False if
    // both failed; StartFailure then says why.
    bool Start(const std::wstring& program, const std::wstring& arguments,
               const std::wstring& directory);

    // Why the last Start failed: the call that failed, its error code and the system's
    // text for it ("CreateProcessW: error 2, File not found."), for each try. Empty after a
    // start.
    const std::string& StartFailure() const { return startFailure_; }

    // The first tries' failures, program by program, of the starts that the second try
    // made, in this process so far: for a summary, so that no refusal passes unseen.
    static const std::vector<std::string>& RefusalsOvercome();

    DWORD Id() const { return info_.dwProcessId; }

    // Waits up to timeoutMs for the process to end; true, with its exit code, if it has.
    bool Wait(DWORD timeoutMs, DWORD* exitCode);

    // Ends the process if it still runs.
    void End();

private:
    bool StartOnce(const std::wstring& program, const std::wstring& arguments,
                   const std::wstring& directory);

    PROCESS_INFORMATION info_ = {};
    std::string startFailure_;
};
