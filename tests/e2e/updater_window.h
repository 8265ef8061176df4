// The updater's window as its user meets it, from another process: found by its title, its
// buttons pressed with real mouse input at their places on the screen, and read the way the
// user reads it: the buttons' captions and whether Start can be pressed, the progress bar's
// position, and the status and time lines as they are drawn on the screen (see
// screen_lines.h).
//
// Every wait is bounded; a window that stops answering shows as a failed call, not a hang.
#pragma once

#include <windows.h>

#include <string>

class UpdaterWindow {
public:
    // Waits up to timeoutMs for the window titled "GPS ROM upgrade" to be shown with its two
    // buttons and its progress bar. With a process id, only a window of that process counts.
    bool Find(DWORD timeoutMs, DWORD processId = 0);

    HWND Window() const { return window_; }
    bool Exists() const { return IsWindow(window_) != FALSE; }

    // Presses a button as the user does: moves the mouse to the middle of the button and
    // clicks. Twice: two clicks given to the input queue at once, faster than any user.
    bool PressStart() { return Press(start_, 1); }
    bool PressStartTwice() { return Press(start_, 2); }
    bool PressClose() { return Press(close_, 1); }

    std::wstring CloseCaption() const { return Caption(close_); }
    bool StartEnabled() const { return IsWindowEnabled(start_) != FALSE; }

    // The progress bar's position, or -1 if the window does not answer within a second.
    int ProgressPosition() const;

    // The idle window: Start enabled, Close reading "Close".
    bool IsIdle() const { return StartEnabled() && CloseCaption() == L"Close"; }
    // A run in progress: Start disabled, Close reading "Cancel".
    bool IsRunning() const { return !StartEnabled() && CloseCaption() == L"Cancel"; }

    // Waits up to timeoutMs for a message box that the window owns to be shown; null when
    // none came. Its button with identifier id (IDYES, IDNO, ...) is pressed as the user
    // presses it.
    HWND AwaitBox(DWORD timeoutMs) const;
    static bool PressBoxButton(HWND box, int id) { return Press(GetDlgItem(box, id), 1); }
    // The same for a box of the process with no owner window, as a program shows before it
    // has made its window; and the text that a message box shows.
    static HWND AwaitOwnerlessBox(DWORD processId, DWORD timeoutMs);
    static std::wstring BoxText(HWND box);

    // Asks the window to close, as the system does when it shuts a program down.
    void AskToClose() const { PostMessageW(window_, WM_CLOSE, 0, 0); }

    // The window's client area on the screen.
    RECT ClientOnScreen() const;

    // The unit of the window's layout: the height of a line of its default font. The
    // buttons are two such lines high.
    int LineHeight() const;

private:
    static std::wstring Caption(HWND control);
    static bool Press(HWND button, int clicks);

    HWND window_ = nullptr;
    HWND start_ = nullptr;
    HWND close_ = nullptr;
    HWND progress_ = nullptr;
};

// Waits up to timeoutMs for condition to hold, looking every few milliseconds.
template <typename Condition>
bool WaitFor(Condition condition, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMs) {
            return false;
        }
        Sleep(10);
    }
    return true;
}
