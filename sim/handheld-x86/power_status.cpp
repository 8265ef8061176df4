// GetSystemPowerStatusEx (Windows CE 5.0 reference, "GetSystemPowerStatusEx",
// "SYSTEM_POWER_STATUS_EX"): the handheld's status of its main and backup batteries, 24
// bytes. The stand-in gives the desktop's status (GetSystemPowerStatus) for the main
// battery, or, where the environment has VANDREL_POWER_STATUS, the status it names, read as
// the desktop's program reads it: "ACLineStatus,BatteryFlag,BatteryLifePercent", three
// decimal numbers of 0 to 255 and nothing else; anything else fails the call with
// ERROR_INVALID_DATA. The fields the status does not give say unknown, and so does the
// backup battery, which the desktop has none of.
#include <windows.h>

#include "platform/power_status_text.h"
#include "platform/wince/power_status_ex.h"
#include "sim/handheld-x86/handheld_export.h"

namespace {

// The structure's page: 255 for an unknown flag or percentage, 0xFFFFFFFF for an unknown
// time.
constexpr BYTE UNKNOWN_BYTE = 255;
constexpr DWORD UNKNOWN_TIME = 0xFFFFFFFF;

void SetUnknown(SYSTEM_POWER_STATUS_EX& status) {
    status = {};
    status.ACLineStatus = UNKNOWN_BYTE;
    status.BatteryFlag = UNKNOWN_BYTE;
    status.BatteryLifePercent = UNKNOWN_BYTE;
    status.BatteryLifeTime = UNKNOWN_TIME;
    status.BatteryFullLifeTime = UNKNOWN_TIME;
    status.BackupBatteryFlag = UNKNOWN_BYTE;
    status.BackupBatteryLifePercent = UNKNOWN_BYTE;
    status.BackupBatteryLifeTime = UNKNOWN_TIME;
    status.BackupBatteryFullLifeTime = UNKNOWN_TIME;
}

BOOL ReadDesktopStatus(SYSTEM_POWER_STATUS_EX& status) {
    SYSTEM_POWER_STATUS desktop;
    if (!GetSystemPowerStatus(&desktop)) {
        return FALSE;
    }
    SetUnknown(status);
    status.ACLineStatus = desktop.ACLineStatus;
    status.BatteryFlag = desktop.BatteryFlag;
    status.BatteryLifePercent = desktop.BatteryLifePercent;
    status.BatteryLifeTime = desktop.BatteryLifeTime;
    status.BatteryFullLifeTime = desktop.BatteryFullLifeTime;
    return TRUE;
}

}  // namespace

// update: the desktop reads its status afresh on every call, as the handheld does for TRUE.
extern "C" BOOL __cdecl Handheld_GetSystemPowerStatusEx(SYSTEM_POWER_STATUS_EX* status, BOOL) {
    wchar_t text[POWER_STATUS_CHARS];
    const DWORD chars = GetEnvironmentVariableW(POWER_STATUS_VARIABLE, text, POWER_STATUS_CHARS);
    if (chars == 0) {
        return ReadDesktopStatus(*status);
    }
    BYTE fields[POWER_STATUS_FIELDS];
    if (chars >= POWER_STATUS_CHARS || !ReadPowerStatusText(text, fields)) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    SetUnknown(*status);
    status->ACLineStatus = fields[0];
    status->BatteryFlag = fields[1];
    status->BatteryLifePercent = fields[2];
    return TRUE;
}
HANDHELD_EXPORT(GetSystemPowerStatusEx);
