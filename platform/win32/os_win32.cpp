// The platform seam's real definition: forwarding to the Win32 API, plus what the seam
// promises and a plain serial port does not give by itself: read and write attempts that
// come back within a bounded time, and, on a desktop, a stand-in for the sleeve driver's
// speed switch and, where asked for, for the power status.
#include "platform/os.h"
#include "platform/power_status_text.h"

namespace {

// The longest a read or write attempt waits on the line. Short enough that the engine
// sees cancellation and its own limits within a few tens of milliseconds; long enough
// that a silent receiver costs a wake-up now and then and no CPU to speak of.
constexpr DWORD ATTEMPT_BOUND_MS = 20;

bool NoReadTimeouts(const COMMTIMEOUTS& timeouts) {
    return timeouts.ReadIntervalTimeout == 0 && timeouts.ReadTotalTimeoutMultiplier == 0 &&
           timeouts.ReadTotalTimeoutConstant == 0;
}

bool NoWriteTimeouts(const COMMTIMEOUTS& timeouts) {
    return timeouts.WriteTotalTimeoutMultiplier == 0 && timeouts.WriteTotalTimeoutConstant == 0;
}

#ifndef UNDER_CE
// Reads the stand-in's text into the fields it gives; the remaining fields say unknown.
bool ReadStandInPowerStatus(const wchar_t* text, SYSTEM_POWER_STATUS& status) {
    BYTE fields[POWER_STATUS_FIELDS];
    if (!ReadPowerStatusText(text, fields)) {
        return false;
    }
    status.ACLineStatus = fields[0];
    status.BatteryFlag = fields[1];
    status.BatteryLifePercent = fields[2];
    status.Reserved1 = 0;
    status.BatteryLifeTime = BATTERY_LIFE_UNKNOWN;
    status.BatteryFullLifeTime = BATTERY_LIFE_UNKNOWN;
    return true;
}
#endif

}  // namespace

namespace os {

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile) {
    return ::CreateFileW(fileName, desiredAccess, shareMode, securityAttributes,
                         creationDisposition, flagsAndAttributes, templateFile);
}

BOOL CloseHandle(HANDLE handle) {
    return ::CloseHandle(handle);
}
BOOL GetCommState(HANDLE handle, LPDCB dcb) {
    return ::GetCommState(handle, dcb);
}
BOOL SetCommState(HANDLE handle, LPDCB dcb) {
    return ::SetCommState(handle, dcb);
}

// A direction with all time-outs 0 asks for none of the port's own: the caller keeps its
// limits itself. Taken literally, a read would then wait for a byte forever and a write
// forever for a far end that takes nothing, both out of the caller's reach. The seam
// bounds every attempt instead, so such a direction gets the bound here:
//  - read: return at once with the bytes already queued; with none queued, return as soon
//    as one arrives, or with none after ATTEMPT_BOUND_MS (MAXDWORD, MAXDWORD, constant);
//  - write: return after ATTEMPT_BOUND_MS at most, reporting the bytes the port took.
// The port's waits happen in the driver, so the caller neither spins nor misses a byte.
BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    COMMTIMEOUTS bounded = *timeouts;
    if (NoReadTimeouts(bounded)) {
        bounded.ReadIntervalTimeout = MAXDWORD;
        bounded.ReadTotalTimeoutMultiplier = MAXDWORD;
        bounded.ReadTotalTimeoutConstant = ATTEMPT_BOUND_MS;
    }
    if (NoWriteTimeouts(bounded)) {
        bounded.WriteTotalTimeoutConstant = ATTEMPT_BOUND_MS;
    }
    return ::SetCommTimeouts(handle, &bounded);
}

BOOL SetCommMask(HANDLE handle, DWORD eventMask) {
    return ::SetCommMask(handle, eventMask);
}
BOOL PurgeComm(HANDLE handle, DWORD flags) {
    return ::PurgeComm(handle, flags);
}

BOOL DeviceIoControl(HANDLE handle, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                     LPOVERLAPPED overlapped) {
#ifndef UNDER_CE
    // Only the handheld has the sleeve's driver, which switches the receiver link on this
    // code. A desktop UART changes speed through SetCommState alone, so here the code is
    // accepted on any handle that is a serial port, and nothing else is done. It must not
    // reach a desktop port driver, for which the same number is a request of its own
    // (reading the flow-control settings) that fails without an output buffer.
    if (ioControlCode == IOCTL_RECEIVER_SPEED_SWITCH) {
        DCB dcb;
        dcb.DCBlength = sizeof dcb;
        if (bytesReturned != nullptr) {
            *bytesReturned = 0;
        }
        return ::GetCommState(handle, &dcb);
    }
#endif
    return ::DeviceIoControl(handle, ioControlCode, inBuffer, inBufferSize, outBuffer,
                             outBufferSize, bytesReturned, overlapped);
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
    return ::WriteFile(handle, buffer, bytesToWrite, bytesWritten, overlapped);
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped) {
    if (::ReadFile(handle, buffer, bytesToRead, bytesRead, overlapped)) {
        return TRUE;
    }
    // A port that fails at once (a sleeve pulled out) would otherwise be retried in a
    // tight loop; failing no faster than a silent port keeps the caller's polling cheap.
    const DWORD error = ::GetLastError();
    ::Sleep(ATTEMPT_BOUND_MS);
    ::SetLastError(error);
    return FALSE;
}

DWORD GetTickCount() {
    return ::GetTickCount();
}
void Sleep(DWORD milliseconds) {
    ::Sleep(milliseconds);
}

void SystemIdleTimerReset() {
#ifdef UNDER_CE
    ::SystemIdleTimerReset();
#endif
    // The desktop has no such timer to put off: the thread's execution state holds it awake.
}

EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE state) {
#ifdef UNDER_CE
    // The handheld has no execution states; SystemIdleTimerReset alone keeps it awake.
    (void)state;
    return 0;
#else
    return ::SetThreadExecutionState(state);
#endif
}

BOOL GetSystemPowerStatusEx(PSYSTEM_POWER_STATUS_EX status, BOOL update) {
#ifdef UNDER_CE
    return ::GetSystemPowerStatusEx(status, update);
#else
    // The desktop reads its status afresh on every call.
    (void)update;
    wchar_t standIn[POWER_STATUS_CHARS];
    const DWORD chars =
        ::GetEnvironmentVariableW(POWER_STATUS_VARIABLE, standIn, POWER_STATUS_CHARS);
    if (chars == 0) {
        return ::GetSystemPowerStatus(status);
    }
    if (chars >= POWER_STATUS_CHARS || !ReadStandInPowerStatus(standIn, *status)) {
        ::SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    return TRUE;
#endif
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES securityAttributes, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId) {
    return ::CreateThread(securityAttributes, stackSize, startAddress, parameter, creationFlags,
                          threadId);
}

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result) {
#ifdef UNDER_CE
    // The handheld's registry grants every caller everything; its call takes no access
    // mask and expects 0 in its place.
    desired = 0;
#endif
    return ::RegOpenKeyExW(key, subKey, options, desired, result);
}
LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD reserved,
                   LPWSTR className, LPDWORD classChars, PFILETIME lastWriteTime) {
    return ::RegEnumKeyExW(key, index, name, nameChars, reserved, className, classChars,
                           lastWriteTime);
}
LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataBytes) {
    return ::RegQueryValueExW(key, valueName, reserved, type, data, dataBytes);
}
LONG RegCloseKey(HKEY key) {
    return ::RegCloseKey(key);
}

}  // namespace os
