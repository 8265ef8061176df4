#include "tests/e2e/active_drivers.h"

#include <windows.h>

#include <cwchar>
#include <string>

namespace {

const wchar_t ACTIVE_DRIVERS[] = L"Drivers\\Active";

}  // namespace

bool ClearActiveDrivers() {
    const LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, ACTIVE_DRIVERS);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool AddActiveDriver(const DriverInstance& instance) {
    const std::wstring path = std::wstring(ACTIVE_DRIVERS) + L"\\" + instance.subkey;
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    bool written = true;
    for (const DriverValue& value : instance.values) {
        const DWORD bytes = static_cast<DWORD>((wcslen(value.data) + 1) * sizeof(wchar_t));
        written = written &&
                  RegSetValueExW(key, value.name, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(value.data), bytes) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return written;
}
