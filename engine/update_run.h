// One complete update, run on its own worker thread.
#pragma once

#include <windows.h>

// Posted to the main window, word and long parameters 0, as the last act of every run.
constexpr UINT WM_UPGRADE_FINISHED = WM_USER + 1;

// Thread procedure: runs one update from the first status message to the finish
// message, and leaves exactly one line on the status line for however the run ended.
// The parameter is not used. Returns 0.
DWORD WINAPI UpgradeThread(LPVOID parameter);
