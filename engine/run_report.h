// How a run reports to whoever shows it: the status line, the time-remaining line and the
// progress bar. The engine only calls these; the window defines them (ui/status_lines.cpp),
// so the engine knows nothing of windows, fonts or messages.
//
// Once the run is cancelled, the calls given UNLESS_CANCELLED do nothing, so a cancelled
// run falls silent at once while its final word (given FORCED) still reaches the screen.
// Every call may be made from the worker thread while the window's thread runs.
#pragma once

#include <stdint.h>

#include "engine/upgrade_context.h"

constexpr bool FORCED = true;
constexpr bool UNLESS_CANCELLED = false;

constexpr uint32_t TIME_REMAINING_NONE = 0xFFFFFFFF;  // clears the time line

// Replaces the status line. A text of more than 255 characters is cut to fit.
void SetStatusText(UpgradeContext& context, const wchar_t* text, bool force);

// Shows "Time remaining: M:SS" for seconds, or empties the line for TIME_REMAINING_NONE.
void SetTimeRemaining(UpgradeContext& context, uint32_t seconds, bool force);

// Moves the progress bar to context.progressPercent (a synchronous send to the window's
// thread), unless the run is cancelled.
void SetProgress(UpgradeContext& context);

// Moves the progress bar back to 0 (a synchronous send), cancelled or not.
void ResetProgress();

// Tells the window, without waiting for it, that the run has ended. Always takes effect;
// a run's last act.
void ReportRunFinished();
