// The two text lines and the progress bar through which the worker reports a run.
//
// The worker writes the lines under g_statusLock and invalidates only the band where
// the line is drawn; the window repaints it on its own thread. Once the run is
// cancelled, calls that are not forced do nothing, so a cancelled run falls silent at
// once while its final word (a forced call) still reaches the screen.
#pragma once

#include <windows.h>

#include <cstdint>

#include "engine/upgrade_context.h"

constexpr int STATUS_LINE_CHARS = 256;  // including the terminator
constexpr uint32_t TIME_REMAINING_NONE = 0xFFFFFFFF;  // clears the time line

extern wchar_t g_statusText[STATUS_LINE_CHARS];
extern wchar_t g_timeText[STATUS_LINE_CHARS];
extern CRITICAL_SECTION g_statusLock;

// Replaces the status line. A text of more than 255 characters is cut to fit.
void SetStatusText(UpgradeContext& context, const wchar_t* text, bool force);

// Shows "Time remaining: M:SS" for seconds, or empties the line for TIME_REMAINING_NONE.
void SetTimeRemaining(UpgradeContext& context, uint32_t seconds, bool force);

// Moves the progress bar to context.progressPercent (a synchronous send to the window's
// thread), unless the run is cancelled.
void SetProgress(UpgradeContext& context);
