// The window's side of the run's report (engine/run_report.h): the two text lines, the
// progress bar, and the message that tells the window a run has ended.
//
// The worker writes the lines under g_statusLock and invalidates only the band where
// the line is drawn (for the status line, down to the foot of the second line that a text
// too wide for one takes: ui/fitted_line.h); the window repaints it on its own thread.
#pragma once

#include <windows.h>

#include "engine/run_report.h"

constexpr int STATUS_LINE_CHARS = 256;  // including the terminator

// Where the two lines are drawn, and so the bands that the calls invalidate: the status
// line counts in default-font lines (g_lineHeight), the time line in bold lines
// (g_boldLineHeight).
constexpr int TIME_ROW = 3;
constexpr int STATUS_ROW = 7;

// Posted to the main window by ReportRunFinished, word and long parameters 0.
constexpr UINT WM_UPGRADE_FINISHED = WM_USER + 1;

extern wchar_t g_statusText[STATUS_LINE_CHARS];
extern wchar_t g_timeText[STATUS_LINE_CHARS];
extern CRITICAL_SECTION g_statusLock;
