#include "tests/e2e/child_process.h"

#include <vector>

namespace {

constexpr DWORD END_WAIT_MS = 5000;
constexpr DWORD SECOND_START_AFTER_MS = 500;

std::vector<std::string> g_refusalsOvercome;

// "call: error N, the system's text", for the error that the call has just left.
std::string Failed(const char* call) {
    const DWORD error = GetLastError();
    char text[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   text, sizeof text, nullptr);
    std::string said = text;
    said.erase(said.find_last_not_of(" \r\n") + 1);
    return std::string(call) + ": error " + std::to_string(error) + ", " +
           (said.empty() ? "no text for it" : said);
}

}  // namespace

bool ChildProcess::Start(const std::wstring& program, const std::wstring& arguments,
                         const std::wstring& directory) {
    End();
    if (StartOnce(program, arguments, directory)) {
        return true;
    }
    const std::string refusal = startFailure_;
    Sleep(SECOND_START_AFTER_MS);
    if (!StartOnce(program, arguments, directory)) {
        startFailure_ = refusal + "; again " + std::to_string(SECOND_START_AFTER_MS) +
                        " ms later: " + startFailure_;
        return false;
    }
    g_refusalsOvercome.push_back(std::string(program.begin(), program.end()) + ": " + refusal);
    return true;
}

const std::vector<std::string>& ChildProcess::RefusalsOvercome() {
    return g_refusalsOvercome;
}

bool ChildProcess::StartOnce(const std::wstring& program, const std::wstring& arguments,
                             const std::wstring& directory) {
    startFailure_.clear();
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE nothing =
        CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inheritable, OPEN_EXISTING, 0, nullptr);
    if (nothing == INVALID_HANDLE_VALUE) {
        startFailure_ = Failed("CreateFileW(NUL)");
        return false;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing;
    startup.hStdOutput = nothing;
    startup.hStdError = nothing;
    std::wstring line = L"\"" + program + L"\"";
    if (!arguments.empty()) {
        line += L" " + arguments;
    }
    std::vector<wchar_t> writableLine(line.begin(), line.end());
    writableLine.push_back(L'\0');
    const BOOL started = CreateProcessW(program.c_str(), writableLine.data(), nullptr, nullptr,
                                        TRUE, 0, nullptr, directory.c_str(), &startup, &info_);
    if (!started) {
        startFailure_ = Failed("CreateProcessW");  // before CloseHandle changes the last error
    }
    CloseHandle(nothing);
    if (!started) {
        info_ = {};
        return false;
    }
    CloseHandle(info_.hThread);
    info_.hThread = nullptr;
    return true;
}

bool ChildProcess::Wait(DWORD timeoutMs, DWORD* exitCode) {
    if (info_.hProcess == nullptr ||
        WaitForSingleObject(info_.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    return GetExitCodeProcess(info_.hProcess, exitCode) != FALSE;
}

void ChildProcess::End() {
    if (info_.hProcess == nullptr) {
        return;
    }
    if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(info_.hProcess, 1);
        WaitForSingleObject(info_.hProcess, END_WAIT_MS);
    }
    CloseHandle(info_.hProcess);
    info_ = {};
}
