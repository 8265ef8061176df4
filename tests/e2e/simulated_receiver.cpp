#include "tests/e2e/simulated_receiver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const wchar_t PROGRAM[] = L"" VANDREL_BIN_DIR "/receiver-sim.exe";
const wchar_t REPORT_PATH[] = L"" VANDREL_BIN_DIR "/e2e-receiver-report.txt";
const wchar_t PORT[] = L"COM6:";
// The receiver finds its payloads (res/) from the repository's root.
const wchar_t DIRECTORY[] = L"" VANDREL_SOURCE_DIR;

}  // namespace

bool SimulatedReceiver::Start(const std::wstring& scenarioOptions, DWORD silenceMs) {
    facts_.clear();
    DeleteFileW(REPORT_PATH);
    std::wstring arguments = std::wstring(PORT) + L" --summary \"" + REPORT_PATH +
                             L"\" --timeout-ms " + std::to_wstring(silenceMs);
    if (!scenarioOptions.empty()) {
        arguments += L" " + scenarioOptions;
    }
    return process_.Start(PROGRAM, arguments, DIRECTORY);
}

bool SimulatedReceiver::AwaitReport(DWORD timeoutMs) {
    DWORD exitCode;
    if (!process_.Wait(timeoutMs, &exitCode) || exitCode != 0) {
        return false;
    }
    FILE* report = _wfopen(REPORT_PATH, L"r");
    if (report == nullptr) {
        return false;
    }
    char line[4096];
    while (fgets(line, sizeof line, report) != nullptr) {
        line[strcspn(line, "\r\n")] = '\0';
        const char* colon = strstr(line, ": ");
        if (colon != nullptr) {
            facts_[std::string(line, static_cast<size_t>(colon - line))] = colon + 2;
        }
    }
    fclose(report);
    return !facts_.empty();
}

std::string SimulatedReceiver::Fact(const std::string& name) const {
    auto found = facts_.find(name);
    return found == facts_.end() ? std::string() : found->second;
}

long SimulatedReceiver::Count(const std::string& name) const {
    const std::string fact = Fact(name);
    return fact.empty() ? -1 : strtol(fact.c_str(), nullptr, 10);
}

const wchar_t* SimulatedReceiver::ReportPath() {
    return REPORT_PATH;
}
