// Program start-up and the main window: its layout units, fonts and controls, fixed
// when the window is created and never changed afterwards (so the worker may read them
// without a lock).
//
// The program takes no command line and reads no files: the entry point uses only the
// instance and the show command. It returns 0 in every case, also when the window
// cannot be created (then at once, showing nothing). One copy runs at a time: a second
// start finds the first copy's window by its class and title, brings it to the front and
// ends at once, before it makes a window or touches the cancel event.
#pragma once

#include <windows.h>

extern HWND g_hMainWnd;
extern HWND g_hStartButton;
extern HWND g_hCloseButton;
extern HWND g_hProgress;      // range 0 to 100
extern int g_lineHeight;      // L: height plus external leading of the default font
extern int g_boldLineHeight;  // B: the same for g_boldFont
extern int g_textLineHeight;  // the same for g_normalFont, the face of the status line
extern int g_clientWidth;     // W
extern int g_clientHeight;    // H
extern HFONT g_normalFont;
extern HFONT g_boldFont;

// The caption of every box the program shows.
constexpr const wchar_t* MESSAGE_BOX_CAPTION = L"Software upgrade";

// The Close button's text whenever no run is in progress (during one it reads "Cancel").
constexpr const wchar_t* CLOSE_TEXT = L"Close";

// Where a control sits, in client coordinates of the main window.
struct ControlPlacement {
    int x;
    int y;
    int width;
    int height;
};

struct ControlLayout {
    ControlPlacement startButton;
    ControlPlacement closeButton;
    ControlPlacement progressBar;
};

// The controls' places, which depend only on L and the client size at creation: the two
// buttons at the bottom right, one above the other, and the bar under the heading lines.
ControlLayout LayOutControls(int lineHeight, int clientWidth, int clientHeight);

// Sets up the state the window and the worker share, before any window or run: faults
// land in the run's handlers, no run has been started, the status lock is ready and both
// lines are empty. EndProgramState releases the lock once no worker can take it.
void InitProgramState();
void EndProgramState();

// Registers the main window's class under className (result not examined: a failed
// registration shows as the window not being created).
void RegisterMainWindowClass(HINSTANCE instance, const wchar_t* className);

// Makes the main window, its fonts, layout units and controls, shows and paints it.
// False when the window could not be created.
bool CreateMainWindow(HINSTANCE instance, int showCommand);

// Sets g_lineHeight from the main window's default font.
void MeasureLineHeight();

// The entry point: the desktop's C runtime calls it, the handheld's start-up code
// (platform/wince/startup.cpp) likewise.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine,
                    int showCommand);
