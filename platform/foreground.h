// Bringing a window to the front as its user expects: the window, or the box it owns that
// was last active in front of it (a question the window is waiting on), not the disabled
// window behind that box.
#pragma once

#include <windows.h>

inline void BringWindowForward(HWND window) {
#ifdef UNDER_CE
    // The handheld reactivates a window's last active owned window only for the handle
    // combined with 0x01 (SetForegroundWindow, Windows CE 5.0 reference).
    SetForegroundWindow(reinterpret_cast<HWND>(reinterpret_cast<ULONG_PTR>(window) | 0x01));
#else
    // The desktop brings up exactly the window it is given.
    SetForegroundWindow(GetLastActivePopup(window));
#endif
}
