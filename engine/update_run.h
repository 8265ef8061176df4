// One complete update, run on its own worker thread.
#pragma once

#include <windows.h>

// Thread procedure: runs one update from the first status message to ReportRunFinished,
// its last act, and leaves exactly one line on the status line for however the run ended.
// The machine is kept awake from the first to the last (engine/keep_awake.h).
// The parameter is not used. Returns 0.
DWORD WINAPI UpgradeThread(LPVOID parameter);
