// The operating-system calls that the update engine makes, behind one seam, and the one
// the window makes to start a run's thread.
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
