// RegOpenKeyExW (Windows CE 5.0 reference, "RegOpenKeyEx"): the handheld's registry has no
// access rights, its call ignores samDesired (which its programs pass as 0) and the key it
// opens allows everything. Wine's key opened for 0 would allow nothing, so the stand-in asks
// for whatever Wine grants.
#include <windows.h>

#include "sim/handheld-x86/handheld_export.h"

extern "C" LONG __cdecl Handheld_RegOpenKeyExW(HKEY key, const wchar_t* subKey, DWORD options,
                                               REGSAM, HKEY* result) {
    return RegOpenKeyExW(key, subKey, options, MAXIMUM_ALLOWED, result);
}
HANDHELD_EXPORT(RegOpenKeyExW);
