// The platform seam's real definition: straight forwarding to the Win32 API.
#include "platform/os.h"

namespace os {

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile) {
    return ::CreateFileW(fileName, desiredAccess, shareMode, securityAttributes,
                         creationDisposition, flagsAndAttributes, templateFile);
}

BOOL CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }
BOOL GetCommState(HANDLE handle, LPDCB dcb) { return ::GetCommState(handle, dcb); }
BOOL SetCommState(HANDLE handle, LPDCB dcb) { return ::SetCommState(handle, dcb); }
BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    return ::SetCommTimeouts(handle, timeouts);
}
BOOL SetCommMask(HANDLE handle, DWORD eventMask) { return ::SetCommMask(handle, eventMask); }
BOOL PurgeComm(HANDLE handle, DWORD flags) { return ::PurgeComm(handle, flags); }

BOOL DeviceIoControl(HANDLE handle, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                     LPOVERLAPPED overlapped) {
    return ::DeviceIoControl(handle, ioControlCode, inBuffer, inBufferSize, outBuffer,
                             outBufferSize, bytesReturned, overlapped);
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
    return ::WriteFile(handle, buffer, bytesToWrite, bytesWritten, overlapped);
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped) {
    return ::ReadFile(handle, buffer, bytesToRead, bytesRead, overlapped);
}

DWORD GetTickCount() { return ::GetTickCount(); }
void Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result) {
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
LONG RegCloseKey(HKEY key) { return ::RegCloseKey(key); }

}  // namespace os
