#include "ui/window_procedure.h"

#include "engine/update_run.h"
#include "platform/os.h"
#include "ui/battery_warning.h"
#include "ui/main_window.h"
#include "ui/painting.h"
#include "ui/status_lines.h"

HANDLE g_hWorkerThread;

namespace {

// A run's report of its end has not been handled yet. Each run reports its end exactly
// once, as its last act, and ends a moment later: its thread may have ended while its
// report still waits in the queue, and a press handled then must neither start a second
// run nor close the window before the run's last status is shown.
bool g_runUnreported;

// Named, so that every copy of the program shares the one cancel signal.
const wchar_t CANCEL_EVENT_NAME[] = L"Vandrel Event";

const wchar_t EVENT_CREATION_FAILED[] = L"Event creation failed";
const wchar_t THREAD_CREATION_FAILED[] = L"Processing thread creation failed";
const wchar_t CANCEL_TEXT[] = L"Cancel";

void ShowError(const wchar_t* text) {
    MessageBoxW(nullptr, text, MESSAGE_BOX_CAPTION, MB_OK | MB_ICONERROR);
}

// How long a Start waits for the thread of a run whose report has been handled: its last
// act was that report, and it has nothing left to do but end.
const DWORD WORKER_END_BOUND_MS = 5000;

// Closes the handle of a run that has ended; nothing else needs it once it has.
void ReleaseWorkerThread() {
    if (g_hWorkerThread != nullptr) {
        CloseHandle(g_hWorkerThread);
        g_hWorkerThread = nullptr;
    }
}

// Waits until the worker has ended, or for at most timeoutMs (INFINITE for no limit),
// serving meanwhile the messages that other threads send to this one: a worker may still
// send positions to the progress bar after it has been cancelled, and such a send
// completes only when this thread serves it. Posted messages stay queued. True once the
// worker has ended (at once when there is none).
bool WaitForWorkerServingSends(DWORD timeoutMs) {
    if (g_hWorkerThread == nullptr) {
        return true;
    }
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD waited = GetTickCount() - start;
        DWORD left = INFINITE;
        if (timeoutMs != INFINITE) {
            left = waited < timeoutMs ? timeoutMs - waited : 0;
        }
        const DWORD woke =
            MsgWaitForMultipleObjects(1, &g_hWorkerThread, FALSE, left, QS_SENDMESSAGE);
        if (woke != WAIT_OBJECT_0 + 1) {
            return woke == WAIT_OBJECT_0;
        }
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    }
}

void PressStart() {
    // Start is disabled until the report; a press queued before that finds the run going.
    if (g_runUnreported) {
        return;
    }
    // Start is enabled again from the report on, while the run's thread may still be ending:
    // a press in that moment starts the next run once it has. A thread that does not end
    // within the bound (it never should) starts none: one worker thread at a time.
    if (!WaitForWorkerServingSends(WORKER_END_BOUND_MS)) {
        return;
    }
    // A run that could not be cancelled would hold the window's end until it ended by
    // itself, however long the receiver stayed silent: none is started.
    if (g_hCancelEvent == nullptr) {
        ShowError(EVENT_CREATION_FAILED);
        return;
    }
    if (!ConfirmPowerForRun(g_hMainWnd)) {
        return;  // the owner connects mains power first
    }
    ResetProgress();
    ResetEvent(g_hCancelEvent);
    ReleaseWorkerThread();  // the previous run has ended
    g_hWorkerThread = os::CreateThread(nullptr, 0, UpgradeThread, nullptr, 0, nullptr);
    if (g_hWorkerThread == nullptr) {
        ShowError(THREAD_CREATION_FAILED);
    } else {
        g_runUnreported = true;
    }
    // Also when no thread was made: Start stays disabled, and the next press of the button
    // that reads "Cancel" finds no run and closes the window.
    EnableWindow(g_hStartButton, FALSE);
    SetWindowTextW(g_hCloseButton, CANCEL_TEXT);
}

// During a run, Close only cancels it; the window stays until the worker reports the end.
// Once the report has been handled the button reads "Close" and closes the window, even
// while the run's thread is still ending: the window's destruction waits for it.
void PressClose(HWND window) {
    if (g_runUnreported) {
        SetEvent(g_hCancelEvent);
    } else {
        DestroyWindow(window);
    }
}

void OnCreate() {
    g_runUnreported = false;
    g_hCancelEvent = CreateEventW(nullptr, TRUE, FALSE, CANCEL_EVENT_NAME);
    if (g_hCancelEvent == nullptr) {
        // The window is made all the same, and can still be closed; it starts no runs.
        ShowError(EVENT_CREATION_FAILED);
    }
}

// Both buttons have identifier 0, so the sender's handle tells them apart.
void OnCommand(HWND window, HWND control) {
    if (control == g_hCloseButton) {
        PressClose(window);
    } else if (control == g_hStartButton) {
        PressStart();
    }
}

void OnPaint() {
    PaintMainWindow();
}

void OnFinished() {
    g_runUnreported = false;
    SetWindowTextW(g_hCloseButton, CLOSE_TEXT);
    EnableWindow(g_hStartButton, TRUE);
    ResetProgress();
}

void OnDestroy() {
    SetEvent(g_hCancelEvent);
    WaitForWorkerServingSends(INFINITE);
    ReleaseWorkerThread();
    PostQuitMessage(0);
}

}  // namespace

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            OnCreate();
            return 0;
        case WM_COMMAND:
            OnCommand(window, reinterpret_cast<HWND>(lParam));
            return 0;
        case WM_PAINT:
            OnPaint();
            return 0;
        case WM_UPGRADE_FINISHED:
            OnFinished();
            return 0;
        case WM_DESTROY:
            OnDestroy();
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}
