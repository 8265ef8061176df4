#include "ui/battery_warning.h"

#include "platform/os.h"
#include "platform/wide_format.h"
#include "ui/main_window.h"

namespace {

constexpr BYTE LOW_CHARGE_PERCENT = 20;  // below this, a run on battery asks first
constexpr BYTE MOST_PERCENT = 100;       // a figure above it is not a charge (255: unknown)
constexpr int WARNING_CHARS = 256;

// %ls is CHARGE_FORMAT with the figure where the charge is known, else nothing: a battery
// flagged critical without a figure is simply "low".
const wchar_t LOW_BATTERY_FORMAT[] =
    L"The battery is low%ls. Connect the handheld to mains power before updating: a handheld "
    L"that switches off during the update leaves the receiver without a complete ROM. Update "
    L"anyway?";
const wchar_t CHARGE_FORMAT[] = L" (%u%%)";
constexpr int CHARGE_CHARS = 8;

bool IsChargeKnown(const SYSTEM_POWER_STATUS_EX& status) {
    return status.BatteryLifePercent <= MOST_PERCENT;
}

// BATTERY_FLAG_UNKNOWN has every bit set, the critical and the no-battery ones among them.
bool HasFlag(const SYSTEM_POWER_STATUS_EX& status, BYTE flag) {
    return status.BatteryFlag != BATTERY_FLAG_UNKNOWN && (status.BatteryFlag & flag) != 0;
}

bool IsFlaggedCritical(const SYSTEM_POWER_STATUS_EX& status) {
    return HasFlag(status, BATTERY_FLAG_CRITICAL);
}

// Only a machine known to be off mains can run out: on mains, on backup power, where the
// line's state is unknown and where there is no battery, the battery is not what the run
// depends on.
bool IsBatteryLow(const SYSTEM_POWER_STATUS_EX& status) {
    if (status.ACLineStatus != AC_LINE_OFFLINE || HasFlag(status, BATTERY_FLAG_NO_BATTERY)) {
        return false;
    }
    return (IsChargeKnown(status) && status.BatteryLifePercent < LOW_CHARGE_PERCENT) ||
           IsFlaggedCritical(status);
}

}  // namespace

bool ConfirmPowerForRun(HWND owner) {
    SYSTEM_POWER_STATUS_EX status;
    if (!os::GetSystemPowerStatusEx(&status, TRUE) || !IsBatteryLow(status)) {
        return true;
    }
    wchar_t charge[CHARGE_CHARS] = L"";
    if (IsChargeKnown(status)) {
        swprintf(charge, CHARGE_CHARS, CHARGE_FORMAT,
                 static_cast<unsigned>(status.BatteryLifePercent));
    }
    wchar_t warning[WARNING_CHARS];
    swprintf(warning, WARNING_CHARS, LOW_BATTERY_FORMAT, charge);
    warning[WARNING_CHARS - 1] = L'\0';
    const int answer =
        MessageBoxW(owner, warning, MESSAGE_BOX_CAPTION, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
    // The window may have been closed from outside while the box was up; a run then would
    // outlive it.
    return answer == IDYES && IsWindow(owner);
}
