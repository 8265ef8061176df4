// The operating-system calls that the update engine makes, behind one seam, and the two
// the window makes: reading the power status before a run, and starting a run's thread.
//
// Each function has the name and signature of the Win32 call it stands for, so engine
// code reads as if it called the platform directly. Two definitions exist and a program
// links exactly one: platform/win32 forwards to the real API (see its notes for the few
// places where it adds behaviour), tests/fakes provides a scripted world in virtual time.
//
// Windows, GDI and events are not behind the seam: they are always the real ones. Threads
// are real too; only their creation passes the seam, so that a test can refuse it.
#pragma once

#include <windows.h>
// The control-code macros: the desktop's windows.h brings them too, the handheld's does not.
#include <winioctl.h>

// The sleeve driver's private control code that switches the receiver link to
// 115,200 bit/s: CTL_CODE(FILE_DEVICE_SERIAL_PORT, 24, METHOD_BUFFERED, FILE_ANY_ACCESS).
// The driver accepts it from version 3.1.3 on.
constexpr DWORD IOCTL_RECEIVER_SPEED_SWITCH =
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 24, METHOD_BUFFERED, FILE_ANY_ACCESS);
static_assert(IOCTL_RECEIVER_SPEED_SWITCH == 0x001B0060, "the driver's code is fixed");

#ifndef UNDER_CE
// The desktop's power status is the handheld's without the backup battery's fields, which
// the program does not read.
typedef SYSTEM_POWER_STATUS SYSTEM_POWER_STATUS_EX;
typedef SYSTEM_POWER_STATUS* PSYSTEM_POWER_STATUS_EX;
#endif

namespace os {

// Serial I/O through file handles.
HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);
BOOL GetCommState(HANDLE handle, LPDCB dcb);
BOOL SetCommState(HANDLE handle, LPDCB dcb);
BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts);
BOOL SetCommMask(HANDLE handle, DWORD eventMask);
BOOL PurgeComm(HANDLE handle, DWORD flags);
BOOL DeviceIoControl(HANDLE handle, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                     LPOVERLAPPED overlapped);
// One write attempt. It may accept only part of the bytes; an attempt that cannot make
// progress comes back within a bounded time, having accepted none.
BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped);
// One read attempt. With the port's own time-outs all 0 the platform would wait for a
// byte forever; the seam bounds each attempt to a few tens of milliseconds instead, so
// that a caller polling for cancellation or a time limit gets control back while the
// receiver is silent. Reports 0 bytes read when nothing came.
BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped);

// Time.
DWORD GetTickCount();
void Sleep(DWORD milliseconds);

// Staying awake. SystemIdleTimerReset puts off the handheld's suspending for one whole
// idle timeout, the shortest of which is a minute; the desktop, which has no such call,
// is held awake by SetThreadExecutionState instead, and there the reset does nothing.
// SetThreadExecutionState changes the calling thread's state as on the desktop (a state
// with ES_CONTINUOUS holds until the thread sets another); the handheld has no execution
// states, and there it does nothing and returns 0.
void SystemIdleTimerReset();
EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE state);

// The power supply's state, as the handheld reports it (update: read it afresh rather
// than take the last reading). The desktop fills the fields it shares with the handheld.
// There, for trying the program without a battery, an environment variable
// VANDREL_POWER_STATUS="ACLineStatus,BatteryFlag,BatteryLifePercent" (three decimal
// numbers, as in the structure) stands in for the machine's own status; one that does not
// read as such makes the call fail with ERROR_INVALID_DATA.
BOOL GetSystemPowerStatusEx(PSYSTEM_POWER_STATUS_EX status, BOOL update);

// Threads: a real thread is started, or none and a null handle.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES securityAttributes, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId);

// Registry, read only: keys are opened with KEY_READ. Where the platform's registry has no
// access rights (the handheld's), the seam passes the 0 that its call expects instead.
LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD reserved,
                   LPWSTR className, LPDWORD classChars, PFILETIME lastWriteTime);
LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataBytes);
LONG RegCloseKey(HKEY key);

}  // namespace os
