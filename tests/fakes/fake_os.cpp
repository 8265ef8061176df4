#include "tests/fakes/fake_os.h"

#include "platform/os.h"

#include <map>

namespace {
uint32_t g_ticks = 0;
std::map<HANDLE, int> g_closeCounts;
}

namespace fake {
void SetTickCount(uint32_t ticks) { g_ticks = ticks; }
void AdvanceClock(uint32_t milliseconds) { g_ticks += milliseconds; }
int CloseCount(HANDLE handle) { return g_closeCounts[handle]; }
void ResetWorld() {
    g_ticks = 0;
    g_closeCounts.clear();
}
}  // namespace fake

namespace os {

HANDLE CreateFileW(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    return INVALID_HANDLE_VALUE;
}
BOOL CloseHandle(HANDLE handle) {
    ++g_closeCounts[handle];
    return TRUE;
}
BOOL GetCommState(HANDLE, LPDCB) { return FALSE; }
BOOL SetCommState(HANDLE, LPDCB) { return FALSE; }
BOOL SetCommTimeouts(HANDLE, LPCOMMTIMEOUTS) { return FALSE; }
BOOL SetCommMask(HANDLE, DWORD) { return FALSE; }
BOOL PurgeComm(HANDLE, DWORD) { return FALSE; }
BOOL DeviceIoControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    return FALSE;
}
BOOL WriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) { return FALSE; }
BOOL ReadFile(HANDLE, LPVOID, DWORD, LPDWORD bytesRead, LPOVERLAPPED) {
    *bytesRead = 0;
    return FALSE;
}

DWORD GetTickCount() { return g_ticks; }
void Sleep(DWORD milliseconds) { g_ticks += milliseconds; }

LONG RegOpenKeyExW(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY) { return ERROR_FILE_NOT_FOUND; }
LONG RegEnumKeyExW(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPWSTR, LPDWORD, PFILETIME) {
    return ERROR_NO_MORE_ITEMS;
}
LONG RegQueryValueExW(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
    return ERROR_FILE_NOT_FOUND;
}
LONG RegCloseKey(HKEY) { return ERROR_SUCCESS; }

}  // namespace os
