// GetSystemPowerStatusEx (Windows CE 5.0 reference, "GetSystemPowerStatusEx",
// "SYSTEM_POWER_STATUS_EX"): the handheld's status of its main and backup batteries, 24
// bytes. The stand-in gives the desktop's status (GetSystemPowerStatus) for the main
// battery, or, where the environment has VANDREL_POWER_STATUS, the status it names, read as
// the desktop's program reads it: "ACLineStatus,BatteryFlag,BatteryLifePercent", three
// decimal numbers of 0 to 255 and nothing else; anything else fails the call with
// ERROR_INVALID_DATA. The fields the status does not give say unknown, and so does the
// backup battery, which the desktop has none of.
#include <windows.h>

#include "sim/handheld-x86/handheld_export.h"

namespace {

struct HandheldPowerStatus {
    BYTE ACLineStatus;
    BYTE BatteryFlag;
    BYTE BatteryLifePercent;
    BYTE Reserved1;
    DWORD BatteryLifeTime;
    DWORD BatteryFullLifeTime;
    BYTE Reserved2;
    BYTE BackupBatteryFlag;
    BYTE BackupBatteryLifePercent;
    BYTE Reserved3;
    DWORD BackupBatteryLifeTime;
    DWORD BackupBatteryFullLifeTime;
};
static_assert(sizeof(HandheldPowerStatus) == 24, "the handheld's structure");

const wchar_t POWER_STATUS_VARIABLE[] = L"VANDREL_POWER_STATUS";
constexpr DWORD POWER_STATUS_CHARS = 16;  // "255,255,255" and its terminator fit
constexpr int POWER_STATUS_FIELDS = 3;
constexpr DWORD MOST_FIELD_DIGITS = 3;
constexpr DWORD MOST_FIELD_VALUE = 255;
// The structure's page: 255 for an unknown flag or percentage, 0xFFFFFFFF for an unknown
// time.
constexpr BYTE UNKNOWN_BYTE = 255;
constexpr DWORD UNKNOWN_TIME = 0xFFFFFFFF;

// The three fields of the variable's text, or false when it does not read as them.
bool ReadStatusText(const wchar_t* text, BYTE (&fields)[POWER_STATUS_FIELDS]) {
    for (int i = 0; i < POWER_STATUS_FIELDS; ++i) {
        DWORD value = 0;
        DWORD digits = 0;
        for (; *text >= L'0' && *text <= L'9' && digits < MOST_FIELD_DIGITS; ++text, ++digits) {
            value = value * 10 + (*text - L'0');
        }
        const wchar_t end = i + 1 < POWER_STATUS_FIELDS ? L',' : L'\0';
        if (digits == 0 || value > MOST_FIELD_VALUE || *text != end) {
            return false;
        }
        fields[i] = static_cast<BYTE>(value);
        ++text;
    }
    return true;
}

void SetUnknown(HandheldPowerStatus& status) {
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

BOOL ReadDesktopStatus(HandheldPowerStatus& status) {
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
extern "C" BOOL __cdecl Handheld_GetSystemPowerStatusEx(HandheldPowerStatus* status, BOOL) {
    wchar_t text[POWER_STATUS_CHARS];
    const DWORD chars = GetEnvironmentVariableW(POWER_STATUS_VARIABLE, text, POWER_STATUS_CHARS);
    if (chars == 0) {
        return ReadDesktopStatus(*status);
    }
    BYTE fields[POWER_STATUS_FIELDS];
    if (chars >= POWER_STATUS_CHARS || !ReadStatusText(text, fields)) {
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
