// The stand-in for the power status where there is no battery to read, for trying the
// program on a desktop and for the simulated handheld: the environment variable
// VANDREL_POWER_STATUS="ACLineStatus,BatteryFlag,BatteryLifePercent", three decimal numbers
// of 0 to 255 as in the power status structures, and nothing else.
#pragma once

#include <windows.h>

constexpr wchar_t POWER_STATUS_VARIABLE[] = L"VANDREL_POWER_STATUS";
constexpr DWORD POWER_STATUS_CHARS = 16;  // "255,255,255" and its terminator fit
constexpr int POWER_STATUS_FIELDS = 3;

// The three fields of the variable's text, or false when it does not read as them.
inline bool ReadPowerStatusText(const wchar_t* text, BYTE (&fields)[POWER_STATUS_FIELDS]) {
    constexpr DWORD MOST_FIELD_DIGITS = 3;
    constexpr DWORD MOST_FIELD_VALUE = 255;
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
