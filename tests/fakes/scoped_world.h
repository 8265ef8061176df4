// A fake world owned by a test, or by one case of a table: the world is reset when it is
// made, and the run's cancel event (g_hCancelEvent) is a new one, not signalled, until it
// is destroyed, when the event is closed and the one it replaced comes back. Use it where
// the engine runs without the program's window; window tests get their event from the
// window itself and reset the world with fake::ResetWorld.
#pragma once

#include <windows.h>

#include "engine/upgrade_context.h"
#include "tests/fakes/fake_os.h"

namespace fake {

class ScopedWorld {
public:
    ScopedWorld() : replaced_(g_hCancelEvent) {
        ResetWorld();
        g_hCancelEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~ScopedWorld() {
        CloseHandle(g_hCancelEvent);
        g_hCancelEvent = replaced_;
    }
    ScopedWorld(const ScopedWorld&) = delete;
    ScopedWorld& operator=(const ScopedWorld&) = delete;

private:
    HANDLE replaced_;
};

}  // namespace fake
