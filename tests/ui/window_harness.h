// What the window tests share: the program's main window made as start-up makes it, a
// message pump that stops on a condition, and a capture of the client area's pixels.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "ui/main_window.h"
#include "ui/status_lines.h"
#include "ui/window_procedure.h"

namespace harness {

// Serves this thread's messages until done() holds or timeoutMs passes; true if it held.
// A quit message (the window's destruction posts one) is taken off the queue and noted.
inline bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 10000,
                      bool* quitSeen = nullptr) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs) {
            return false;
        }
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                if (quitSeen != nullptr) {
                    *quitSeen = true;
                }
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (!done()) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
    }
    return true;
}

// The client area's pixels, as 0x00RRGGBB.
struct Capture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;

    uint32_t At(int x, int y) const { return pixels[size_t(y) * width + x]; }
};

inline Capture CaptureClient(HWND window) {
    RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    RECT client;
    GetClientRect(window, &client);
    Capture capture;
    capture.width = client.right;
    capture.height = client.bottom;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = capture.width;
    info.bmiHeader.biHeight = -capture.height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC windowDc = GetDC(window);
    HDC memoryDc = CreateCompatibleDC(windowDc);
    HGDIOBJ previous = SelectObject(memoryDc, bitmap);
    BitBlt(memoryDc, 0, 0, capture.width, capture.height, windowDc, 0, 0, SRCCOPY);
    GdiFlush();
    const uint32_t* begin = static_cast<const uint32_t*>(bits);
    capture.pixels.assign(begin, begin + size_t(capture.width) * capture.height);
    for (uint32_t& pixel : capture.pixels) {
        pixel &= 0x00FFFFFF;
    }
    SelectObject(memoryDc, previous);
    DeleteDC(memoryDc);
    ReleaseDC(window, windowDc);
    DeleteObject(bitmap);
    return capture;
}

// Ink classes of text drawn on white, smoothed edges included.
inline int Red(uint32_t pixel) {
    return (pixel >> 16) & 0xFF;
}
inline int Green(uint32_t pixel) {
    return (pixel >> 8) & 0xFF;
}
inline int Blue(uint32_t pixel) {
    return pixel & 0xFF;
}
inline bool IsWhite(uint32_t pixel) {
    return pixel == 0xFFFFFF;
}
inline bool IsDark(uint32_t pixel) {  // black ink: grey, and clearly darker than white
    return Red(pixel) < 192 && std::abs(Red(pixel) - Green(pixel)) < 24 &&
           std::abs(Green(pixel) - Blue(pixel)) < 24;
}
inline bool IsReddish(uint32_t pixel) {  // red ink: red well above green and blue
    return Red(pixel) > 192 && Red(pixel) - Green(pixel) > 64 && Green(pixel) == Blue(pixel);
}

// The bounding box of the pixels of one class within an area; empty if there are none.
inline RECT InkBox(const Capture& capture, RECT area, bool (*isInk)(uint32_t),
                   int* count = nullptr) {
    RECT box = {LONG_MAX, LONG_MAX, LONG_MIN, LONG_MIN};
    int found = 0;
    for (int y = std::max<LONG>(area.top, 0); y < std::min<LONG>(area.bottom, capture.height);
         ++y) {
        for (int x = std::max<LONG>(area.left, 0); x < std::min<LONG>(area.right, capture.width);
             ++x) {
            if (isInk(capture.At(x, y))) {
                ++found;
                box.left = std::min<LONG>(box.left, x);
                box.top = std::min<LONG>(box.top, y);
                box.right = std::max<LONG>(box.right, x + 1);
                box.bottom = std::max<LONG>(box.bottom, y + 1);
            }
        }
    }
    if (count != nullptr) {
        *count = found;
    }
    return found != 0 ? box : RECT{};
}

// A control's rectangle in its parent's client coordinates.
inline RECT PlaceOf(HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// The program's main window as start-up makes it, and everything start-up makes before it.
class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_hWorkerThread = nullptr;
        InitializeCriticalSection(&g_statusLock);
        g_statusText[0] = L'\0';
        g_timeText[0] = L'\0';
        ASSERT_TRUE(CreateMainWindow(GetModuleHandleW(nullptr), SW_SHOWNORMAL));
    }

    void TearDown() override {
        EndWindow();
        DeleteCriticalSection(&g_statusLock);
    }

    // Destroys the window if it is still there, drops whatever its end left queued (the
    // quit message among it) and deletes the fonts, as the program does when it ends. The
    // cancel event, which the program keeps until it ends, goes too, so that its name is
    // free again.
    static void EndWindow() {
        if (IsWindow(g_hMainWnd)) {
            DestroyWindow(g_hMainWnd);
        }
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
        DeleteObject(g_boldFont);
        DeleteObject(g_normalFont);
        g_boldFont = nullptr;
        g_normalFont = nullptr;
        if (g_hCancelEvent != nullptr) {
            CloseHandle(g_hCancelEvent);
            g_hCancelEvent = nullptr;
        }
    }
};

}  // namespace harness
