// Program start-up and the main window: its layout units, fonts and controls, fixed
// when the window is created and never changed afterwards (so the worker may read them
// without a lock).
#pragma once

#include <windows.h>

extern HWND g_hMainWnd;
extern HWND g_hStartButton;
extern HWND g_hCloseButton;
extern HWND g_hProgress;   // range 0 to 100
extern int g_lineHeight;   // L: height plus external leading of the default font
extern int g_boldLineHeight;  // B: the same for g_boldFont
extern int g_clientWidth;     // W
extern int g_clientHeight;    // H
extern HFONT g_normalFont;
extern HFONT g_boldFont;
