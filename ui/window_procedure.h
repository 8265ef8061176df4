// The main window's procedure and run control: it starts one worker run per press of
// Start, turns Close into Cancel while a run is going, puts the window back when the
// worker reports the end of the run, and on destruction stops any run and waits for it
// before ending the message loop. A window whose cancel event could not be made starts no
// run: each press of Start says so again. On a low battery, Start first asks whether to
// update anyway (ui/battery_warning.h); No leaves the window idle.
//
// A run's report of its end, its last act, gives the window back: from then on Start starts
// the next run and Close closes the window, also in the moment before the run's thread has
// ended (a Start waits that moment out, a bounded wait; the window's destruction waits for
// the thread anyway). Until the report, a Start does nothing and Close only cancels.
// The handle of an ended run is closed when the next Start replaces it or when the window
// is destroyed, whichever comes first.
#pragma once

#include <windows.h>

#include "engine/upgrade_context.h"  // g_hCancelEvent

extern HANDLE g_hWorkerThread;  // the latest run's thread; null before the first Start

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
