#include "engine/keep_awake.h"

#include "platform/os.h"

namespace {

// Half the 10 s that the run promises as the longest gap between resets, so that a wait
// whose attempt comes back late still keeps the promise.
constexpr DWORD RESET_EVERY_MS = 5000;

DWORD g_lastReset;  // tick count of the run's latest idle-timer reset

void ResetIdleTimer() {
    os::SystemIdleTimerReset();
    g_lastReset = os::GetTickCount();
}

}  // namespace

void BeginKeepingAwake() {
    os::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    ResetIdleTimer();
}

void KeepAwake() {
    if (os::GetTickCount() - g_lastReset >= RESET_EVERY_MS) {
        ResetIdleTimer();
    }
}

void EndKeepingAwake() {
    ResetIdleTimer();
    os::SetThreadExecutionState(ES_CONTINUOUS);
}
