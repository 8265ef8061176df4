// A seeded random fault campaign: thousands of whole update runs, each in a world drawn
// from its own seed (registry, port, driver, receiver, clock, cancellation), in virtual
// time against the simulated receiver. Every run must end as its scenario calls for, and
// whatever the faults:
// - once cancellation is signalled the run ends within one port attempt and the speed
//   switch's 100 ms pause (no cancelled run waits out a 5,000 ms link limit), with no
//   write or read at the port after the call during which it was signalled;
// - exactly one finish report, after the port is closed, the last progress sent and
//   everything else the run posts;
// - "Completed successfully" only with the whole image in the receiver, byte for byte; no
//   chunk accepted that differs from the image; nothing sent at the wrong line speed;
// - the port closed exactly once when it was opened, never when it was not;
// - the progress bar only moves forward, and after cancellation only back to 0;
// - no heap allocation during the run, and the memory next to the two status lines
//   untouched;
// - a fault at a port call (an access violation, a division by zero, an exception raised)
//   ends the run as a failure does, with the last upgrade error's text or an empty status
//   line, and in the handshake wait as a receiver that never answers.
//
// VANDREL_SEED=<n> runs the one scenario a failure names; VANDREL_SCENARIOS and
// VANDREL_CAMPAIGN_SEED set how many scenarios run and the seed of the first (./soak).
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/os.h"
#include "tests/integration/fault_scenario.h"
#include "tests/integration/update_world.h"
#include "ui/window_procedure.h"

namespace {

using campaign::Ending;
using campaign::Expectation;
using campaign::FaultScenario;

constexpr uint64_t DEFAULT_CAMPAIGN_SEED = 20240601;
constexpr uint64_t DEFAULT_SCENARIOS = 2000;
constexpr int FAILURES_SHOWN = 5;
constexpr DWORD STALL_LIMIT_MS = 60000;  // one scenario, in real time

// After cancellation a run may still finish the port attempt under way and the speed
// switch's pause, which does not poll; nothing else may take time.
constexpr uint32_t SWITCH_PAUSE_MS = 100;
uint32_t CancellationBoundMs(const fake::PortBehaviour& port) {
    return SWITCH_PAUSE_MS + std::max<uint32_t>(port.msPerWrite, fake::READ_ATTEMPT_MS);
}
static_assert(SWITCH_PAUSE_MS + campaign::SLOWEST_WRITE_ATTEMPT_MS < campaign::LINK_LIMIT_MS,
              "a cancelled run must end before any link limit could pass");

uint64_t Setting(const char* name, uint64_t fallback) {
    const char* value = getenv(name);
    return value != nullptr ? strtoull(value, nullptr, 0) : fallback;
}

// --- What the campaign watches while a run goes on ------------------------------------------

struct RunWatch {
    uint32_t cancelCall;
    size_t positionsAtCancel;  // progress positions sent before cancellation was signalled
    bool finishedTooEarly;     // the finish report was posted before a port call or a send
};
RunWatch g_watch;

bool FinishReportQueued() {
    MSG message;
    return PeekMessageW(&message, g_hMainWnd, WM_UPGRADE_FINISHED, WM_UPGRADE_FINISHED,
                        PM_NOREMOVE) != 0;
}

// Opening and closing the port are the first and last port calls of a run: the finish
// report must not be out yet at either.
void WatchPortCall(const fake::CallRecord& record) {
    if (fake::Calls().size() - 1 == g_watch.cancelCall) {
        g_watch.positionsAtCancel = world::BarPositions().size();
    }
    if ((record.call == fake::Call::CreateFile || record.call == fake::Call::CloseHandle) &&
        FinishReportQueued()) {
        g_watch.finishedTooEarly = true;
    }
}

WNDPROC g_recordingProgressProc;
LRESULT CALLBACK WatchingProgressProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == PBM_SETPOS && FinishReportQueued()) {
        g_watch.finishedTooEarly = true;
    }
    return CallWindowProcW(g_recordingProgressProc, window, message, wParam, lParam);
}

// The linker puts the window's thread handle right after one of the status lines, and the
// campaign counts on it: the handle serves as a canary, since only the window procedure
// uses it and the campaign runs none. A pattern there shows even a terminator
// written one place past the end, which would not change the zero the handle holds.
constexpr uintptr_t CANARY = 0xC0DEC0DEC0DEC0DEull;
bool PlaceCanary() {
    const uint8_t* handle = reinterpret_cast<const uint8_t*>(&g_hWorkerThread);
    for (const wchar_t* line : {g_statusText, g_timeText}) {
        if (handle == reinterpret_cast<const uint8_t*>(line) + sizeof g_statusText) {
            g_hWorkerThread = reinterpret_cast<HANDLE>(CANARY);
            return true;
        }
    }
    return false;
}

// The bytes on either side of the two status lines, except where one line borders the
// other: nothing a run does may change them.
class LineGuards {
public:
    void Take() {
        used_ = 0;
        for (const wchar_t* line : {g_statusText, g_timeText}) {
            const uint8_t* begin = reinterpret_cast<const uint8_t*>(line);
            Collect(begin - SPAN, begin);
            Collect(begin + sizeof g_statusText, begin + sizeof g_statusText + SPAN);
        }
    }
    bool Intact() const {
        for (size_t i = 0; i < used_; ++i) {
            if (*bytes_[i].at != bytes_[i].value) {
                return false;
            }
        }
        return true;
    }

private:
    static constexpr size_t SPAN = 32;
    static bool InALine(const uint8_t* at) {
        for (const wchar_t* line : {g_statusText, g_timeText}) {
            const uint8_t* begin = reinterpret_cast<const uint8_t*>(line);
            if (at >= begin && at < begin + sizeof g_statusText) {
                return true;
            }
        }
        return false;
    }
    void Collect(const uint8_t* from, const uint8_t* to) {
        for (const uint8_t* at = from; at < to; ++at) {
            if (!InALine(at)) {
                bytes_[used_++] = {at, *at};
            }
        }
    }
    struct Byte {
        const uint8_t* at;
        uint8_t value;
    };
    Byte bytes_[4 * SPAN];
    size_t used_ = 0;
};

// --- What a run must end with -------------------------------------------------------------

// A cancelled run ends "Cancelled", except where the failure came first: the port's
// opening and configuration, which poll nothing, run to their end; and a failure raised by
// the very call during which cancellation was signalled, or before the port closes,
// stands.
Ending WhenCancelled(Ending uncancelled, const fake::CallRecord& at) {
    switch (uncancelled) {
        case Ending::OPEN_FAILED:
        case Ending::PORT_SETTINGS:
        case Ending::PORT_TIMEOUTS:
            return uncancelled;
        default:
            break;
    }
    if (campaign::RaisedAfterConfiguring(uncancelled)) {
        const bool failingCall =
            at.call == fake::Call::CloseHandle ||
            (uncancelled == Ending::OLD_DRIVER && at.call == fake::Call::DeviceIoControl) ||
            (uncancelled == Ending::WRITE_ERROR && at.call == fake::Call::WriteFile &&
             at.value == 0);
        if (failingCall) {
            return uncancelled;
        }
    }
    return Ending::CANCELLED;
}

Ending EndingOfStatus(const std::wstring& status, const std::wstring& registeredName) {
    for (int i = 0; i < static_cast<int>(Ending::COUNT); ++i) {
        if (campaign::StatusLine(static_cast<Ending>(i), registeredName) == status) {
            return static_cast<Ending>(i);
        }
    }
    return Ending::COUNT;
}

// Where in the run the user cancelled, from the port calls before it.
enum class Phase : uint8_t {
    OPENING,
    SWITCH,
    LOADER,
    HANDSHAKE,
    ERASE,
    PROGRAMMING,
    CLOSING,
    COUNT
};
const char* const PHASE_NAMES[] = {"opening the port", "speed switch", "loader", "handshake wait",
                                   "erase wait",       "programming",  "closing"};

Phase PhaseOfCall(uint32_t index) {
    const std::vector<fake::CallRecord>& calls = fake::Calls();
    uint32_t written = 0;
    bool switching = false;
    for (uint32_t i = 0; i < index; ++i) {
        written += calls[i].call == fake::Call::WriteFile ? calls[i].value : 0;
        switching = switching || calls[i].call == fake::Call::DeviceIoControl;
    }
    const uint32_t loaderEnd =
        2 * campaign::SPEED_MESSAGE_BYTES + 2 * campaign::LENGTH_BYTES + campaign::LOADER_BYTES;
    if (calls[index].call == fake::Call::CloseHandle) {
        return Phase::CLOSING;
    }
    if (!switching && calls[index].call != fake::Call::DeviceIoControl) {
        return Phase::OPENING;
    }
    if (written < 2 * campaign::SPEED_MESSAGE_BYTES) {
        return Phase::SWITCH;
    }
    if (written < loaderEnd) {
        return Phase::LOADER;
    }
    return written == loaderEnd       ? Phase::HANDSHAKE
           : written == loaderEnd + 1 ? Phase::ERASE
                                      : Phase::PROGRAMMING;
}

// The index of the port call at which the scenario's fault struck; false when the run
// ended before it.
bool FaultCall(const fake::FaultInjection& fault, size_t* index) {
    const std::vector<fake::CallRecord>& calls = fake::Calls();
    uint32_t seen = 0;
    for (size_t i = 0; fault.fault != fake::Fault::NONE && i < calls.size(); ++i) {
        if (calls[i].call == fault.call && seen++ == fault.nth) {
            *index = i;
            return true;
        }
    }
    return false;
}

// --- Figures -----------------------------------------------------------------------------

struct Figures {
    uint64_t scenarios = 0;
    uint64_t failures = 0;
    uint64_t endings[static_cast<int>(Ending::COUNT) + 1] = {};  // the last: no known status
    uint64_t cancelled[static_cast<int>(Phase::COUNT)] = {};
    uint64_t completedIdentical = 0;
    uint64_t faultsStruck = 0, faultsInHandshake = 0;
    uint64_t corrupted = 0;  // accepted chunks that differ from the image, or garbled bytes
    uint64_t runaways = 0;
    uint32_t longestAfterCancelMs = 0;

    // Faults drawn (each scenario may carry several).
    uint64_t noActiveKey = 0, registryInstances = 0, longNames = 0, unterminatedValues = 0;
    uint64_t enumerationFailures = 0, unopenableKeys = 0, wrongPortNames = 0;
    uint64_t getStateFails = 0, setStateFails = 0, timeoutsFail = 0, driverRefuses = 0;
    uint64_t partialWrites = 0, slowWrites = 0, stalledWrites = 0, writeFailures = 0;
    uint64_t noHandshake = 0, lateHandshake = 0, delayedHandshake = 0, noisyAnswers = 0;
    uint64_t longErases = 0, silentErases = 0, eraseNoise = 0, naks = 0, flips = 0;
    uint64_t receiverHangs = 0, endAnswerN = 0, endAnswerOther = 0, paced = 0, wraps = 0;
};

void CountFaults(const FaultScenario& s, Figures& f) {
    f.noActiveKey += !s.registry.activeDriversExists;
    f.registryInstances += s.registry.instances.size();
    f.enumerationFailures += s.registry.failEnumerationAt < s.registry.instances.size();
    for (const fake::RegistryInstance& instance : s.registry.instances) {
        f.longNames += instance.name.size() > 240;
        f.unopenableKeys += instance.openFails;
        for (const fake::RegistryValue& value : instance.values) {
            const size_t chars = value.data.size() / 2;
            f.unterminatedValues += value.data.size() % 2 != 0 ||
                                    fake::registry_walk::TextOf(value.data, chars).size() == chars;
        }
    }
    const fake::PortBehaviour& p = s.port;
    f.getStateFails += p.getCommStateFails;
    f.setStateFails += p.setCommStateFails;
    f.timeoutsFail += p.setCommTimeoutsFails;
    f.driverRefuses += p.refusesSpeedSwitch;
    f.partialWrites += p.maxBytesPerWrite != UINT32_MAX && p.maxBytesPerWrite != 0;
    f.stalledWrites += p.maxBytesPerWrite == 0;
    f.slowWrites += p.msPerWrite != 0;
    f.writeFailures += p.failWriteAtByte != UINT32_MAX;
    const ReceiverScenario& r = s.receiver;
    f.noHandshake += !r.handshake;
    f.lateHandshake += r.handshake && r.handshakeDelayMs >= campaign::HANDSHAKE_TOO_LATE_MS;
    f.delayedHandshake += r.handshake && r.handshakeDelayMs > 0 &&
                          r.handshakeDelayMs < campaign::HANDSHAKE_TOO_LATE_MS;
    f.noisyAnswers += r.noiseCount > 0;
    f.longErases += !r.silentErase && r.eraseMs > campaign::ERASE_LIMIT_MS;
    f.silentErases += r.silentErase;
    f.eraseNoise += r.eraseNoiseEveryMs > 0;
    for (uint32_t chunk = 0; chunk < campaign::CHUNKS; ++chunk) {
        f.naks += r.nakTimes[chunk];
        f.flips += r.flipTimes[chunk];
    }
    f.receiverHangs += r.stopAfterChunks != NEVER;
    f.endAnswerN += r.endAnswer == 'N';
    f.endAnswerOther += r.endAnswer != 'Y' && r.endAnswer != 'N';
    f.paced += r.paced;
}

void PrintFigures(const Figures& f, uint64_t firstSeed, double seconds) {
    printf("\n%" PRIu64 " scenarios from seed %" PRIu64 " in %.1f s; %" PRIu64 " failed, %" PRIu64
           " hung, %" PRIu64 " lost or corrupted images\n",
           f.scenarios, firstSeed, seconds, f.failures, f.runaways, f.corrupted);
    printf("endings:");
    for (int i = 0; i <= static_cast<int>(Ending::COUNT); ++i) {
        if (f.endings[i] != 0) {
            printf(" %s %" PRIu64 ";", campaign::EndingName(static_cast<Ending>(i)), f.endings[i]);
        }
    }
    printf("\n  %" PRIu64 " completed runs left the receiver with the image byte for byte\n",
           f.completedIdentical);
    printf("cancelled while:");
    for (int i = 0; i < static_cast<int>(Phase::COUNT); ++i) {
        printf(" %s %" PRIu64 ";", PHASE_NAMES[i], f.cancelled[i]);
    }
    printf("\n  longest from cancellation to the end of a run: %" PRIu32 " virtual ms\n",
           f.longestAfterCancelMs);
    printf("faults struck at a port call: %" PRIu64 " (%" PRIu64 " in the handshake wait)\n",
           f.faultsStruck, f.faultsInHandshake);
    printf("faults drawn:\n");
    const struct {
        const char* name;
        uint64_t count;
    } rows[] = {
        {"registry without Drivers\\Active", f.noActiveKey},
        {"registry instances (pathological ones among them)", f.registryInstances},
        {"instance names past 240 characters", f.longNames},
        {"values without terminator or of odd length", f.unterminatedValues},
        {"enumerations failing part of the way", f.enumerationFailures},
        {"instance keys that do not open", f.unopenableKeys},
        {"GetCommState failing", f.getStateFails},
        {"SetCommState failing", f.setStateFails},
        {"SetCommTimeouts failing", f.timeoutsFail},
        {"driver refusing the speed switch", f.driverRefuses},
        {"ports taking part of a write per attempt", f.partialWrites},
        {"slow write attempts", f.slowWrites},
        {"ports taking nothing", f.stalledWrites},
        {"write failures at a random byte", f.writeFailures},
        {"receivers never giving the handshake", f.noHandshake},
        {"handshakes after the limit", f.lateHandshake},
        {"handshakes delayed within the limit", f.delayedHandshake},
        {"noise before every answer", f.noisyAnswers},
        {"erases longer than the limit", f.longErases},
        {"erases without 'E'", f.silentErases},
        {"noise during the erase", f.eraseNoise},
        {"'N' answers to chunks", f.naks},
        {"chunks damaged on the line", f.flips},
        {"receivers falling silent after a chunk", f.receiverHangs},
        {"end markers answered 'N'", f.endAnswerN},
        {"end markers answered otherwise", f.endAnswerOther},
        {"paced lines", f.paced},
        {"tick counts wrapping during the run", f.wraps},
    };
    for (const auto& row : rows) {
        printf("  %-52s %" PRIu64 "\n", row.name, row.count);
    }
    fflush(stdout);
}

// --- One scenario ------------------------------------------------------------------------

// Each check adds to the reasons rather than stopping at the first, so a report says all
// that went wrong.
class Checks {
public:
    void That(bool holds, const std::string& what) {
        if (!holds) {
            reasons_ += "  - " + what + "\n";
        }
    }
    bool Passed() const { return reasons_.empty(); }
    const std::string& Reasons() const { return reasons_; }

private:
    std::string reasons_;
};

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    return out;
}

void CheckProgress(const std::vector<int>& positions, size_t atCancel, bool cancelled,
                   Ending ending, Checks& checks) {
    // Forward only, within 1 to 100; then back to 0 at the end: once when a run completes,
    // once when a cancelled run ends, twice when a completed run is cancelled as it closes
    // the port.
    size_t climb = 0;
    while (climb < positions.size() && positions[climb] > 0 && positions[climb] <= 100 &&
           (climb == 0 || positions[climb] > positions[climb - 1])) {
        ++climb;
    }
    size_t resets = 0;
    while (climb + resets < positions.size() && positions[climb + resets] == 0) {
        ++resets;
    }
    checks.That(climb + resets == positions.size() && resets <= 2,
                "the progress bar moved backwards or out of range");
    if (cancelled) {
        const size_t after = positions.size() - std::min(atCancel, positions.size());
        checks.That(after == 0 || (after == 1 && positions.back() == 0),
                    "progress sent after cancellation (other than the reset to 0)");
    }
    if (ending == Ending::COMPLETED) {
        checks.That(positions.size() >= 2 && positions[positions.size() - 2] == 100 &&
                        positions.back() == 0,
                    "a completed run did not climb to 100 and return to 0");
    }
    if (ending == Ending::CANCELLED) {
        checks.That(!positions.empty() && positions.back() == 0,
                    "a cancelled run did not put the bar back to 0");
    }
}

bool RunScenario(uint64_t seed, Figures& figures) {
    const FaultScenario s = campaign::DrawScenario(seed);
    const Expectation expected = campaign::Expect(s);
    CountFaults(s, figures);

    world::UpdateWorld world(s.receiver);
    world.ForgetRegistryAndPort();
    fake::SetTickCount(s.startTick);
    fake::InstallRegistryTree(s.registry);
    fake::AddSerialPort(s.portName);
    fake::Behaviour() = s.port;
    fake::InjectedFault() = s.fault;
    fake::ObserveCalls(WatchPortCall);
    g_watch = {s.port.cancelAtCall, 0, false};
    g_timeText[0] = L'\0';  // as in a program just started
    PlaceCanary();
    LineGuards guards;
    guards.Take();

    const world::Outcome outcome = world.Run();
    const uint32_t endTick = os::GetTickCount();
    const std::vector<fake::CallRecord>& calls = fake::Calls();
    const ReceiverSummary& receiver = world.Receiver();

    Checks checks;
    const bool cancelled = calls.size() > s.port.cancelAtCall;
    if (cancelled && !s.cancels) {
        ++figures.runaways;
        checks.That(false, "the run was still going after " +
                               std::to_string(campaign::RUNAWAY_CALLS) + " port calls");
    }
    const uint32_t c = s.port.cancelAtCall;
    size_t faultAt;
    const bool faulted = FaultCall(s.fault, &faultAt);
    Ending ending = expected.ending;
    if (cancelled) {
        ending = WhenCancelled(expected.ending, calls[c]);
    } else if (faulted) {
        const bool inHandshakeWait =
            calls[faultAt].call == fake::Call::ReadFile && PhaseOfCall(faultAt) == Phase::HANDSHAKE;
        ending = campaign::WhenFaulted(inHandshakeWait);
        ++figures.faultsStruck;
        figures.faultsInHandshake += inHandshakeWait;
    }
    const std::wstring status = StatusLine(ending, expected.registeredName);
    checks.That(outcome.status == status,
                "status \"" + Narrow(outcome.status) + "\", expected \"" + Narrow(status) + "\"");
    const Ending shown = EndingOfStatus(outcome.status, expected.registeredName);
    ++figures.endings[static_cast<int>(shown)];

    // The receiver's side: the image whole when the run says so, never damaged.
    const std::vector<uint8_t>& rom = world::RomFile();
    const bool romIntact = receiver.romBytes <= rom.size() &&
                           memcmp(world.Model().Rom(), rom.data(), receiver.romBytes) == 0;
    const bool clean = romIntact && receiver.bytesGarbled == 0;
    figures.corrupted += !clean;
    checks.That(romIntact, "the receiver accepted a chunk that differs from the image");
    checks.That(receiver.bytesGarbled == 0, "bytes reached the receiver at the wrong speed");
    if (outcome.status == L"Completed successfully") {
        checks.That(receiver.romIdentical, "completed, but the receiver lacks the whole image");
        figures.completedIdentical += receiver.romIdentical;
    }
    if (!cancelled && !faulted) {
        checks.That(receiver.loaderIntact == expected.sendsLoader,
                    expected.sendsLoader ? "the loader did not arrive whole"
                                         : "the loader arrived though the run ended before");
        if (ending == Ending::COMPLETED) {
            checks.That(receiver.naks == expected.resends,
                        "chunks sent again " + std::to_string(receiver.naks) + " times, expected " +
                            std::to_string(expected.resends));
        }
    }

    // The window's side.
    checks.That(outcome.finishMessages == 1,
                std::to_string(outcome.finishMessages) + " finish reports");
    checks.That(outcome.messagesAfterFinish == 0 && !g_watch.finishedTooEarly,
                "the finish report came before the run's last act");
    CheckProgress(world::BarPositions(), g_watch.positionsAtCancel, cancelled, shown, checks);
    // A fault, like a failure after cancellation, finds no raise site to clear the time.
    const bool staleTimeAllowed =
        faulted || (cancelled && campaign::RaisedAfterConfiguring(ending));
    checks.That(outcome.time.empty() || staleTimeAllowed,
                "time line left as \"" + Narrow(outcome.time) + "\"");
    checks.That(outcome.allocations == 0,
                std::to_string(outcome.allocations) + " heap allocations during the run");
    checks.That(guards.Intact(), "memory next to the status lines changed");

    // The port's side.
    const int opens = fake::Port().opens;
    checks.That(opens == (expected.opensPort ? 1 : 0),
                "the port was opened " + std::to_string(opens) + " times");
    if (!calls.empty()) {
        // The name from the registry reaches the open whole: nothing cut, nothing added.
        checks.That(fake::Port().openedName == expected.registeredName,
                    "opened \"" + Narrow(fake::Port().openedName) + "\", registered \"" +
                        Narrow(expected.registeredName) + "\"");
    }
    checks.That(fake::CloseCount(fake::PortHandle()) == opens,
                "the port was closed " + std::to_string(fake::CloseCount(fake::PortHandle())) +
                    " times after " + std::to_string(opens) + " opens");
    checks.That(fake::CloseCount(INVALID_HANDLE_VALUE) == 0 && fake::CloseCount(nullptr) == 0,
                "a handle that was never open was closed");
    checks.That(!fake::Port().open, "the port is still open");
    if (opens == 1) {
        checks.That(calls.back().call == fake::Call::CloseHandle,
                    "port calls after the port was closed");
    }
    if (cancelled) {
        bool traffic = false;
        for (size_t i = c + 1; i < calls.size(); ++i) {
            traffic = traffic || calls[i].call == fake::Call::WriteFile ||
                      calls[i].call == fake::Call::ReadFile;
        }
        checks.That(!traffic, "port traffic after cancellation was signalled");
        const uint32_t afterCancelMs = endTick - calls[c].tick;
        checks.That(afterCancelMs <= CancellationBoundMs(s.port),
                    "the run took " + std::to_string(afterCancelMs) +
                        " virtual ms to end after cancellation");
        figures.longestAfterCancelMs = std::max(figures.longestAfterCancelMs, afterCancelMs);
        ++figures.cancelled[static_cast<int>(PhaseOfCall(c))];
    }
    figures.wraps += endTick < s.startTick;
    fake::ObserveCalls(nullptr);

    if (!checks.Passed()) {
        ++figures.failures;
        ADD_FAILURE() << "VANDREL_SEED=" << seed << ": expected \"" << campaign::EndingName(ending)
                      << "\"\n"
                      << checks.Reasons() << campaign::Describe(s);
    }
    return checks.Passed();
}

// Ends the program if one scenario does not finish: a run that waits for ever cannot
// report itself.
class StallWatch {
public:
    StallWatch() {
        stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, Watch, this, 0, nullptr);
    }
    ~StallWatch() {
        SetEvent(stop_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        CloseHandle(stop_);
    }
    void Starting(uint64_t seed) {
        __atomic_store_n(&seed_, seed, __ATOMIC_RELAXED);
        __atomic_add_fetch(&started_, 1, __ATOMIC_RELAXED);
    }

private:
    static DWORD WINAPI Watch(LPVOID self) {
        StallWatch* watch = static_cast<StallWatch*>(self);
        uint64_t seen = 0;
        DWORD still = 0;
        while (WaitForSingleObject(watch->stop_, 1000) == WAIT_TIMEOUT) {
            const uint64_t started = __atomic_load_n(&watch->started_, __ATOMIC_RELAXED);
            still = started == seen ? still + 1000 : 0;
            seen = started;
            if (still >= STALL_LIMIT_MS) {
                fprintf(stderr, "VANDREL_SEED=%" PRIu64 " has not ended after %lu s: hung\n",
                        __atomic_load_n(&watch->seed_, __ATOMIC_RELAXED), still / 1000ul);
                fflush(stderr);
                TerminateProcess(GetCurrentProcess(), 3);
            }
        }
        return 0;
    }
    HANDLE stop_;
    HANDLE thread_;
    uint64_t seed_ = 0;
    uint64_t started_ = 0;
};

TEST(FaultCampaign, EveryRunEndsAsItsScenarioCallsFor) {
    // The window the runs report to, with the campaign's own watch on the progress bar.
    { world::UpdateWorld first; }
    g_recordingProgressProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        g_hProgress, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WatchingProgressProc)));
    ASSERT_EQ(world::RomFile().size(), campaign::ROM_BYTES);
    ASSERT_EQ(world::LoaderFile().size(), campaign::LOADER_BYTES);

    // Without the canary a terminator written one place past a line would go unseen.
    ASSERT_TRUE(PlaceCanary()) << "the canary cannot be placed: the linker no longer puts "
                                  "g_hWorkerThread right after a status line";

    Figures figures;
    StallWatch stallWatch;
    if (getenv("VANDREL_SEED") != nullptr) {
        const uint64_t seed = Setting("VANDREL_SEED", 0);
        printf("%s\n", campaign::Describe(campaign::DrawScenario(seed)).c_str());
        stallWatch.Starting(seed);
        RunScenario(seed, figures);
        g_hWorkerThread = nullptr;
        return;
    }
    const uint64_t firstSeed = Setting("VANDREL_CAMPAIGN_SEED", DEFAULT_CAMPAIGN_SEED);
    const uint64_t scenarios = Setting("VANDREL_SCENARIOS", DEFAULT_SCENARIOS);
    const DWORD start = GetTickCount();
    for (uint64_t i = 0; i < scenarios && figures.failures < FAILURES_SHOWN; ++i) {
        stallWatch.Starting(firstSeed + i);
        RunScenario(firstSeed + i, figures);
        ++figures.scenarios;
    }
    g_hWorkerThread = nullptr;
    PrintFigures(figures, firstSeed, (GetTickCount() - start) / 1000.0);
    EXPECT_EQ(figures.scenarios, scenarios);
}

}  // namespace
