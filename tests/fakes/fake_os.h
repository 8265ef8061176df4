// The scripted world behind the platform seam, for tests: a virtual millisecond clock
// that moves only when the code under test waits (Sleep, a read attempt that finds
// nothing) or when a test moves it. No test sleeps to wait for a time-out.
#pragma once

#include <windows.h>

#include <cstdint>

namespace fake {

// Sets the virtual tick count, e.g. just below 0xFFFFFFFF to make it wrap during a run.
void SetTickCount(uint32_t ticks);
void AdvanceClock(uint32_t milliseconds);

// What sits at the far end of the fake serial port (a test script, or the simulated
// receiver through an adapter). The fake port calls it in virtual time.
class SerialPeer {
public:
    virtual ~SerialPeer() = default;
    // Bytes the port accepted from the host, sent at the host's current line speed.
    virtual void OnHostBytes(const uint8_t* bytes, uint32_t count, uint32_t hostBaud,
                             uint32_t nowMs) = 0;
    // The next byte the peer has for the host at time nowMs, if any; hostBaud is the
    // host's line speed when it reads.
    virtual bool TakeByteForHost(uint32_t nowMs, uint32_t hostBaud, uint8_t* byte) = 0;
};

// How many times os::CloseHandle was called with this handle.
int CloseCount(HANDLE handle);

// Puts the whole fake world back to its initial state: an empty registry, no serial
// device, the clock at 0.
void ResetWorld();

}  // namespace fake
