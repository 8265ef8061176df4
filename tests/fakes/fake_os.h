// The scripted world behind the platform seam, for tests: a registry tree, one serial port
// with whatever sits at its far end, and a virtual millisecond clock that moves only when
// the code under test waits (Sleep, a read attempt that finds nothing, a write attempt set
// to take time) or when a test moves it. No test sleeps to wait for a time-out.
//
// A test builds its world after ResetWorld() and before the code under test runs. While
// that code runs the fake allocates nothing (its records are reserved by ResetWorld), so
// a test may count heap allocations across a whole update. One thread at a time drives it.
//
// Use it directly for one engine part in virtual time (discovery, the serial link, the
// protocol). Prefer fake::ScopedWorld (scoped_world.h) where the test also needs the cancel
// event, world::UpdateWorld for a whole run, and harness::MainWindowTest for the window.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/os.h"

namespace fake {

// --- Clock -------------------------------------------------------------------------------

// Sets the virtual tick count, e.g. just below 0xFFFFFFFF to make it wrap during a run.
void SetTickCount(uint32_t ticks);
void AdvanceClock(uint32_t milliseconds);

// --- Registry: HKEY_LOCAL_MACHINE "Drivers\Active" and the driver instances under it ------
//
// Keys open as a desktop opens HKEY_LOCAL_MACHINE to a program that is not elevated: an
// open that asks for more than KEY_READ is refused (access denied), and an open key serves
// enumeration and value reads only if its open asked for the right to them.

// Makes "Drivers\Active" exist (it does not after ResetWorld), with no instances yet.
void CreateActiveDriversKey();

// Adds an instance under "Drivers\Active" (creating that key if need be), enumerated after
// those added before it. Returns its number, which is also its enumeration index. The
// name may have any length; one of 256 characters or more does not fit the caller's
// buffer, and its enumeration fails as the registry's does.
DWORD AddDriverInstance(const std::wstring& name);

// The sleeve's receiver as the device manager lists it: an instance whose "Key" is the
// sleeve's driver key and whose "Name" is port. Returns the instance's number.
DWORD RegisterSleeveOn(const std::wstring& port);
// RegisterSleeveOn(port), and the serial port of that name: the usual world of a run.
DWORD ListSleeve(const std::wstring& port);

// Sets a value of an instance to exactly these bytes, whatever their length.
void SetValue(DWORD instance, const std::wstring& valueName, const std::vector<uint8_t>& data);
// The bytes of a string value as the registry normally holds it: the text and its
// terminating zero; and the text alone, for values stored without the zero.
std::vector<uint8_t> Terminated(const std::wstring& text);
std::vector<uint8_t> Unterminated(const std::wstring& text);

// Enumerating this index fails (access denied), whatever lies there or beyond.
void FailEnumerationAt(DWORD index);
// Opening this instance's key fails (access denied).
void FailOpenOf(DWORD instance);

// Successful opens, closes and value reads of one key; a close after a failed open is not
// a close of the key but a stray one.
struct KeyUse {
    int opens;
    int closes;
    int valueReads;
};
KeyUse ActiveDriversKeyUse();
KeyUse InstanceKeyUse(DWORD instance);
int StrayKeyCloses();   // RegCloseKey with a handle that no open returned
int RefusedKeyOpens();  // RegOpenKeyExW asking for more than KEY_READ

// --- Serial port -------------------------------------------------------------------------

// What a read attempt that finds no byte (or a write attempt that takes none) costs in
// virtual time: the bound of the real one.
constexpr uint32_t READ_ATTEMPT_MS = 20;

// What sits at the far end of the fake serial port instead of the byte queue below (the
// simulated receiver through an adapter). The fake port calls it in virtual time.
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

// Makes the one serial port, which CreateFileW opens by exactly this name; every other
// name fails, and so does a second open while it is open. It starts with
// InitialPortSettings() and no time-outs.
void AddSerialPort(const std::wstring& name);
HANDLE PortHandle();  // what CreateFileW returns for it
// Deliberately far from 8N1 at 38,400 bit/s, so that a test sees which fields were set.
DCB InitialPortSettings();

// How the port behaves; change the fields before the code under test runs.
struct PortBehaviour {
    bool getCommStateFails = false;  // and leaves the caller's DCB as it was
    bool setCommStateFails = false;
    bool setCommTimeoutsFails = false;
    bool refusesSpeedSwitch = false;         // DeviceIoControl with IOCTL_RECEIVER_SPEED_SWITCH
    uint32_t maxBytesPerWrite = UINT32_MAX;  // a write attempt takes at most this many; 0 stalls
    // Virtual time each write attempt takes. One that takes no byte lasts READ_ATTEMPT_MS at
    // least, as a real attempt that cannot proceed waits out its bound.
    uint32_t msPerWrite = 0;
    // The write attempt that would carry this byte (0 = the first byte ever accepted)
    // fails and takes nothing.
    uint32_t failWriteAtByte = UINT32_MAX;
    // g_hCancelEvent is set as the port call with this number (0 = the first call
    // recorded in Calls()) is made, before it takes effect.
    uint32_t cancelAtCall = UINT32_MAX;
};
PortBehaviour& Behaviour();

// Bytes the receiver sends: the host can read them from virtual time atTick on, in order
// after those queued before. A read attempt returns a byte that falls due while it waits.
// PurgeComm drops those already due.
void DeliverToHost(const std::vector<uint8_t>& bytes, uint32_t atTick);
// Puts a peer at the far end instead of the queue; it must outlive the code under test.
void AttachPeer(SerialPeer* peer);

// Every call on the port, and every Sleep, in order.
enum class Call : uint8_t {
    CreateFile,
    GetCommState,
    SetCommState,
    SetCommTimeouts,
    SetCommMask,
    PurgeComm,
    DeviceIoControl,
    WriteFile,
    ReadFile,
    CloseHandle,
    Sleep,
};
struct CallRecord {
    Call call;
    uint32_t tick;  // when the call was made
    // SetCommState: the speed asked for; SetCommMask: the mask; PurgeComm: the flags;
    // DeviceIoControl: the code; WriteFile, ReadFile: the bytes accepted or delivered;
    // Sleep: the milliseconds; otherwise 0.
    uint32_t value;
};
const std::vector<CallRecord>& Calls();

// Called with each port call (and Sleep) as it is recorded, before the call takes effect
// (so its value is not known yet) and after a cancelAtCall has been signalled; on the
// thread that makes the call. Null for none; ResetWorld removes it. It must not allocate.
using CallObserver = void (*)(const CallRecord& record);
void ObserveCalls(CallObserver observer);

// Every byte the port accepted from the host, in order, with the line speed and the
// virtual time at which it left.
struct SentByte {
    uint8_t value;
    uint32_t baud;
    uint32_t tick;
};
const std::vector<SentByte>& SentBytes();

// What the port holds now.
struct PortState {
    bool open;
    int opens;
    DCB settings;
    COMMTIMEOUTS timeouts;
    DWORD eventMask;
    // The last CreateFileW call, whichever name it asked for.
    wchar_t openedName[64];
    DWORD openAccess;
    DWORD openShareMode;
    DWORD openDisposition;
    DWORD openFlags;
};
const PortState& Port();

// How many times os::CloseHandle was called with this handle (any handle).
int CloseCount(HANDLE handle);

// --- Threads -----------------------------------------------------------------------------

// os::CreateThread starts a real thread, unless this was called since ResetWorld: then it
// starts none and returns null, as when the platform has no room for another thread.
void FailThreadCreation();

// Threads that os::CreateThread starts from now on end this long (real time) after their
// procedure has returned, as a thread does on a loaded machine.
void HoldThreadEnds(DWORD milliseconds);

// --- Staying awake, and the power supply --------------------------------------------------

// How the code under test has kept the machine awake since ResetWorld.
struct Wakefulness {
    int idleTimerResets;
    uint32_t firstResetTick;         // with at least one reset
    uint32_t lastResetTick;          // with at least one reset
    uint32_t longestResetGapMs;      // between two resets in a row; 0 with fewer than two
    EXECUTION_STATE executionState;  // as last set, 0 before the first SetThreadExecutionState
    EXECUTION_STATE statesSet;       // every state set since ResetWorld, or'ed together
};
const Wakefulness& Awake();

// What GetSystemPowerStatusEx reports: after ResetWorld, mains power and a full battery.
// With readFails, the call fails.
struct PowerSupply {
    SYSTEM_POWER_STATUS_EX status;
    bool readFails;
    int reads;  // calls made
};
PowerSupply& Power();

// --- Faults inside a run ------------------------------------------------------------------

// A fault that one port call (or Sleep) makes on the calling thread, as the call is
// recorded and before it takes effect: as if the code around the call had faulted there.
enum class Fault : uint8_t {
    NONE,
    ACCESS_VIOLATION,  // a write through a null pointer
    DIVIDE_BY_ZERO,    // an integer division by zero
    RAISED,            // RaiseException with an error code of the program's own
};
struct FaultInjection {
    Fault fault = Fault::NONE;
    Call call = Call::CreateFile;
    uint32_t nth = 0;  // of the calls of that kind, 0 = the first
};
// Change it before the code under test runs.
FaultInjection& InjectedFault();

// Puts the whole fake world back to its initial state: no registry keys, no serial port,
// nothing recorded or queued, default behaviour, no fault, the clock at 0.
void ResetWorld();

}  // namespace fake
