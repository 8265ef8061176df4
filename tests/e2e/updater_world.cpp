#include "tests/e2e/updater_world.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <vector>

#include "tests/e2e/active_drivers.h"

const DriverInstance SLEEVE_DRIVER = {L"12",
                                      {{L"Key", L"Drivers\\OptPack\\0100"}, {L"Name", L"COM5:"}}};

namespace {

// The line's ends in the world: the updater's and the receiver's.
const wchar_t* const UPDATER_PORT = L"COM5:";
const wchar_t* const RECEIVER_PORT = L"COM6:";
const wchar_t UPDATER_PROGRAM[] = L"" VANDREL_BIN_DIR "/vandrel.exe";
const wchar_t UPDATER_DIRECTORY[] = L"" VANDREL_BIN_DIR;
// The handheld's program is started by the simulated handheld's loader, which is given it.
const wchar_t HANDHELD_PROGRAM[] = L"" VANDREL_BIN_DIR "/handheld/vandrel.exe";
const wchar_t HANDHELD_LOADER[] = L"" VANDREL_BIN_DIR "/handheld-standin/handheld-launch.exe";
const wchar_t HANDHELD_DIRECTORY[] = L"" VANDREL_BIN_DIR "/handheld-standin";
// The stand-in's handheld lacks the call this names (sim/handheld-x86/import_binding.h).
const wchar_t WITHHELD_CALL_VARIABLE[] = L"VANDREL_WITHHELD_CALL";
// The damaged copy of the desktop's program, and the payload files it holds a copy of.
const wchar_t DAMAGED_PROGRAM[] = L"" VANDREL_BIN_DIR "/damaged-vandrel.exe";
const wchar_t ROM_FILE[] = L"" VANDREL_SOURCE_DIR "/res/rom-2.3.7.bin";
const wchar_t LOADER_FILE[] = L"" VANDREL_SOURCE_DIR "/res/loader.bin";

constexpr DWORD WINDOW_MS = 30000;        // Wine starts a program slowly on a busy machine
constexpr DWORD QUIET_MS = 200;           // a line end with nothing more for this long is drained
constexpr unsigned MAX_TIME_SHOWN = 120;  // seconds; no run here is estimated longer
// An idle window repaints its status line at once: one that stays unreadable this long will
// not be read, and waiting out the run's limit would only delay the failure.
constexpr DWORD UNREADABLE_MS = 10000;
// An ended run's time line is painted with the window's next turn; a busy machine may delay
// that turn, not this long.
constexpr DWORD EMPTY_TIME_LINE_MS = 2000;
const char EVIDENCE_DIRECTORY[] = VANDREL_BIN_DIR "/evidence";

// Wine's names of files on the host ("Z:/work/...") as the host names them.
std::string HostPaths(std::string text) {
    for (size_t at = text.find("Z:/"); at != std::string::npos; at = text.find("Z:/", at)) {
        text.erase(at, 2);
    }
    return text;
}

// Where the pictures of a failure of the running test go: the build folder's evidence/,
// under the test's full name.
std::string EvidenceStem() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "." + test->name();
    std::replace(name.begin(), name.end(), '/', '.');
    CreateDirectoryA(EVIDENCE_DIRECTORY, nullptr);
    return std::string(EVIDENCE_DIRECTORY) + "/" + name;
}

// Reads and drops whatever an earlier test left on its way to one end of the line.
void Drain(const wchar_t* port) {
    HANDLE line =
        CreateFileW(port, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(line, INVALID_HANDLE_VALUE) << "the line's end is missing: is the world started?";
    COMMTIMEOUTS immediate = {MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(line, &immediate);
    PurgeComm(line, PURGE_RXCLEAR | PURGE_TXCLEAR);
    DWORD lastByte = GetTickCount();
    while (GetTickCount() - lastByte < QUIET_MS) {
        char buffer[4096];
        DWORD read = 0;
        if (ReadFile(line, buffer, sizeof buffer, &read, nullptr) && read > 0) {
            lastByte = GetTickCount();
        } else {
            Sleep(10);
        }
    }
    CloseHandle(line);
}

std::vector<char> ReadFileBytes(const wchar_t* path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

// Writes a copy of the desktop's program with the byte in the middle of the payload (the
// file's bytes, found among the program's) changed.
::testing::AssertionResult WriteDamagedCopy(const wchar_t* payloadFile) {
    std::vector<char> program = ReadFileBytes(UPDATER_PROGRAM);
    const std::vector<char> payload = ReadFileBytes(payloadFile);
    const auto at = std::search(program.begin(), program.end(), payload.begin(), payload.end());
    if (payload.empty() || at == program.end()) {
        return ::testing::AssertionFailure() << payloadFile << " is not inside vandrel.exe";
    }
    at[payload.size() / 2] ^= 0x01;
    std::ofstream out(DAMAGED_PROGRAM, std::ios::binary | std::ios::trunc);
    out.write(program.data(), static_cast<std::streamsize>(program.size()));
    out.close();
    if (!out) {
        return ::testing::AssertionFailure() << "the damaged copy could not be written";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

void UpdaterWorld::SetUp() {
    statusMessages_ = StatusMessages(UPDATER_PORT);
    ASSERT_TRUE(ClearActiveDrivers());
    Drain(UPDATER_PORT);
    Drain(RECEIVER_PORT);
}

void UpdaterWorld::TearDown() {
    updater.End();
    ClearActiveDrivers();
}

::testing::AssertionResult UpdaterWorld::Register(const std::vector<DriverInstance>& drivers) {
    for (const DriverInstance& driver : drivers) {
        if (!AddActiveDriver(driver)) {
            return ::testing::AssertionFailure() << "the registry could not be written";
        }
        for (const DriverValue& value : driver.values) {
            if (wcscmp(value.name, L"Name") == 0) {
                const std::vector<std::wstring> more = StatusMessages(value.data);
                statusMessages_.insert(statusMessages_.end(), more.begin(), more.end());
            }
        }
    }
    return ::testing::AssertionSuccess();
}

bool UpdaterWorld::Use(Program program) {
    program_ = program;
    switch (program) {
        case Program::DESKTOP:
            return true;
        case Program::HANDHELD:
            return GetFileAttributesW(HANDHELD_PROGRAM) != INVALID_FILE_ATTRIBUTES &&
                   GetFileAttributesW(HANDHELD_LOADER) != INVALID_FILE_ATTRIBUTES;
        case Program::DESKTOP_ROM_DAMAGED:
        case Program::DESKTOP_LOADER_DAMAGED:
            EXPECT_TRUE(
                WriteDamagedCopy(program == Program::DESKTOP_ROM_DAMAGED ? ROM_FILE : LOADER_FILE));
            return true;
    }
    return false;
}

bool UpdaterWorld::StartUpdater(ChildProcess& copy) const {
    if (program_ == Program::HANDHELD) {
        return copy.Start(HANDHELD_LOADER, std::wstring(L"\"") + HANDHELD_PROGRAM + L"\"",
                          HANDHELD_DIRECTORY);
    }
    const bool damaged =
        program_ == Program::DESKTOP_ROM_DAMAGED || program_ == Program::DESKTOP_LOADER_DAMAGED;
    return copy.Start(damaged ? DAMAGED_PROGRAM : UPDATER_PROGRAM, L"", UPDATER_DIRECTORY);
}

::testing::AssertionResult UpdaterWorld::LaunchLacking(const wchar_t* call, const std::wstring& box,
                                                       const std::wstring& receiverOptions,
                                                       DWORD silenceMs) {
    SetEnvironmentVariableW(WITHHELD_CALL_VARIABLE, call);
    const bool started = StartUpdater(updater);
    SetEnvironmentVariableW(WITHHELD_CALL_VARIABLE, nullptr);
    if (!started) {
        return ::testing::AssertionFailure()
               << "the handheld's program did not start: " << updater.StartFailure();
    }
    const HWND shown = UpdaterWindow::AwaitOwnerlessBox(updater.Id(), WINDOW_MS);
    if (shown == nullptr) {
        return ::testing::AssertionFailure()
               << "no box without an owner appeared" << UpdaterEnded();
    }
    wchar_t caption[64] = L"";
    GetWindowTextW(shown, caption, 64);
    const std::wstring text = UpdaterWindow::BoxText(shown);
    if (text != box || std::wstring(caption) != L"Software upgrade") {
        return ::testing::AssertionFailure()
               << "the box \"" << caption << "\" reads \"" << text << "\"";
    }
    if (window.Find(0, updater.Id())) {
        return ::testing::AssertionFailure() << "the program made its window";
    }
    if (!UpdaterWindow::PressBoxButton(shown, IDOK)) {
        return ::testing::AssertionFailure() << "OK could not be pressed";
    }
    if (::testing::AssertionResult ended = AwaitExitWithZero("OK"); !ended) {
        return ended;
    }
    if (!receiver.Start(receiverOptions, silenceMs)) {
        return ::testing::AssertionFailure()
               << "receiver-sim.exe did not start: " << receiver.StartFailure();
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult UpdaterWorld::Launch(const std::wstring& receiverOptions,
                                                DWORD silenceMs) {
    if (!StartUpdater(updater)) {
        return ::testing::AssertionFailure()
               << "vandrel.exe did not start: " << updater.StartFailure();
    }
    if (!window.Find(WINDOW_MS, updater.Id())) {
        return ::testing::AssertionFailure()
               << "the updater's window did not appear" << UpdaterEnded();
    }
    lines_ = std::make_unique<ScreenLines>(window);
    if (!receiver.Start(receiverOptions, silenceMs)) {
        return ::testing::AssertionFailure()
               << "receiver-sim.exe did not start: " << receiver.StartFailure();
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult UpdaterWorld::AwaitEnd(const std::wstring& status, DWORD timeoutMs) {
    // Over when the window is idle again with one of the lines that end a run on it.
    const std::vector<std::wstring> progressLines = {L"", L"Initialising...", L"Erasing storage...",
                                                     L"Programming..."};
    std::wstring seen;
    DWORD unreadableSince = 0;
    bool unreadable = false;
    const bool ended = WaitFor(
        [&] {
            if (!window.IsIdle()) {
                unreadableSince = 0;
                return false;
            }
            seen = StatusLine();
            if (seen == UNREADABLE_LINE) {
                const DWORD now = GetTickCount() | 1;  // 0 means "readable"
                unreadableSince = unreadableSince != 0 ? unreadableSince : now;
                unreadable = now - unreadableSince > UNREADABLE_MS;
                return unreadable;
            }
            unreadableSince = 0;
            return std::find(progressLines.begin(), progressLines.end(), seen) ==
                   progressLines.end();
        },
        timeoutMs);
    if (ended && seen == status) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << (unreadable ? "the idle window's status line stayed unreadable"
               : ended    ? "the run ended"
                          : "the run did not end")
           << " with the status line reading \"" << seen << "\", Close reading \""
           << window.CloseCaption() << "\" and Start "
           << (window.StartEnabled() ? "enabled" : "disabled")
           << "; pictures of the line: " << HostPaths(lines_->SaveStatus(status, EvidenceStem()))
           << UpdaterEnded();
}

std::string UpdaterWorld::UpdaterEnded() {
    DWORD exitCode;
    return updater.Wait(0, &exitCode)
               ? "; the updater had ended, with exit code " + std::to_string(exitCode)
               : "";
}

std::wstring UpdaterWorld::StatusLine() const {
    return lines_->ReadStatus(statusMessages_);
}

std::wstring UpdaterWorld::TimeLine() const {
    return lines_->ReadTime(TimeLines(MAX_TIME_SHOWN));
}

::testing::AssertionResult UpdaterWorld::AwaitEmptyTimeLine() const {
    std::wstring seen;
    if (WaitFor([&] { return (seen = TimeLine()).empty(); }, EMPTY_TIME_LINE_MS)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the time line still reads \"" << seen << "\"";
}

::testing::AssertionResult UpdaterWorld::AwaitExitWithZero(const char* pressed) {
    DWORD exitCode;
    if (!updater.Wait(EXIT_MS, &exitCode)) {
        return ::testing::AssertionFailure() << "the program did not end after " << pressed;
    }
    if (exitCode != 0) {
        return ::testing::AssertionFailure() << "the program ended with exit code " << exitCode;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult UpdaterWorld::CloseAndAwaitExit() {
    if (!window.PressClose()) {
        return ::testing::AssertionFailure() << "Close could not be pressed";
    }
    return AwaitExitWithZero("Close");
}
