// SYSTEM_POWER_STATUS_EX (Windows CE 5.0 reference, "SYSTEM_POWER_STATUS_EX"): the handheld's
// power status, the desktop's with the backup battery's four fields after it; 24 bytes. Read
// by the handheld's programs (through platform/wince/handheld.h) and filled by the simulated
// handheld for x86 (sim/handheld-x86), which is a desktop program.
#pragma once

#include <windows.h>

struct SYSTEM_POWER_STATUS_EX {
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
typedef SYSTEM_POWER_STATUS_EX* PSYSTEM_POWER_STATUS_EX;
static_assert(sizeof(SYSTEM_POWER_STATUS_EX) == 24, "the handheld's structure");
