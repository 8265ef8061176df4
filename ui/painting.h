// The face of the main window: product title, version heading, the red notice, the status
// and time-remaining lines, and a frame around the progress bar. The buttons and the bar
// paint themselves.
//
// Every text is placed in the layout units fixed at creation (L = g_lineHeight,
// B = g_boldLineHeight): the status line in units of L, the other lines in units of B. The
// status and time texts are drawn within the width right of the margin, on a second line
// L below the first when one is too narrow (ui/fitted_line.h).
// The face is drawn whole on every call and the platform clips it to what was
// invalidated, so a band that a status call invalidated is erased and drawn afresh.
#pragma once

// Paints the main window in answer to WM_PAINT; user-interface thread only. Holds
// g_statusLock only while it draws the two shared lines.
void PaintMainWindow();
