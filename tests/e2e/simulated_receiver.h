// receiver-sim.exe on the far end of the updater's line (COM6:), playing a receiver as a
// scenario's options say, and the facts it reports about the update it took part in.
#pragma once

#include <windows.h>

#include <map>
#include <string>

#include "tests/e2e/child_process.h"

class SimulatedReceiver {
public:
    // Starts it. It ends by itself once the update is over, or once the updater has been
    // silent for silenceMs (from the start on, too).
    bool Start(const std::wstring& scenarioOptions, DWORD silenceMs);
    // Why the last Start failed (ChildProcess::StartFailure).
    const std::string& StartFailure() const { return process_.StartFailure(); }

    // Waits up to timeoutMs for it to end and reads its report; false if it did not end or
    // wrote no report.
    bool AwaitReport(DWORD timeoutMs);

    // One fact of the report ("chunks received"), as it reads there; empty if absent.
    std::string Fact(const std::string& name) const;

    // The fact as a number; -1 if absent.
    long Count(const std::string& name) const;

    // The file it writes its report to.
    static const wchar_t* ReportPath();

private:
    ChildProcess process_;
    std::map<std::string, std::string> facts_;
};
