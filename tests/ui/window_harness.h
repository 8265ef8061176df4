// What the window tests share: the program's main window made as start-up makes it, a
// message pump that stops on a condition, and the client area's pixels.
//
// Use it for what the window shows and how it answers the buttons, with the engine on the
// fake platform. Prefer world::UpdateWorld (integration/update_world.h) when only the run's
// outcome matters, and the end-to-end world (e2e/updater_world.h) for the real program.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <vector>

#include "ui/main_window.h"
#include "ui/status_lines.h"
#include "ui/window_procedure.h"

namespace harness {

// Serves this thread's messages until done() holds (true) or timeoutMs has passed (false).
// A quit message is left in the queue.
inline bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 10000) {
    const DWORD start = GetTickCount();
    MSG message;
    while (!done()) {
        if (GetTickCount() - start > timeoutMs) {
            return false;
        }
        if (PeekMessageW(&message, nullptr, 0, WM_QUIT - 1, PM_REMOVE) ||
            PeekMessageW(&message, nullptr, WM_QUIT + 1, 0xFFFFFFFF, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        } else {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
    }
    return true;
}

// The client area's pixels as 0xRRGGBB, once everything waiting to be painted is painted.
struct Capture {
    int width;
    std::vector<uint32_t> pixels;
    uint32_t At(int x, int y) const { return pixels[size_t(y) * width + x] & 0xFFFFFF; }
};

inline Capture CaptureClient(HWND window) {
    RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    RECT client;
    GetClientRect(window, &client);
    BITMAPINFO info = {};
    info.bmiHeader = {
        sizeof info.bmiHeader, client.right, -client.bottom, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC windowDc = GetDC(window);
    HDC memoryDc = CreateCompatibleDC(windowDc);
    SelectObject(memoryDc, bitmap);
    BitBlt(memoryDc, 0, 0, client.right, client.bottom, windowDc, 0, 0, SRCCOPY);
    GdiFlush();
    const uint32_t* first = static_cast<const uint32_t*>(bits);
    Capture capture{client.right, {first, first + client.right * client.bottom}};
    DeleteDC(memoryDc);
    ReleaseDC(window, windowDc);
    DeleteObject(bitmap);
    return capture;
}

// Text ink on white: black is grey and darker than white, red keeps its red at full.
inline bool IsDark(uint32_t pixel) {
    const int r = (pixel >> 16) & 0xFF, g = (pixel >> 8) & 0xFF, b = pixel & 0xFF;
    return r < 192 && std::abs(r - g) < 24 && std::abs(g - b) < 24;
}
inline bool IsReddish(uint32_t pixel) {
    const int r = (pixel >> 16) & 0xFF, g = (pixel >> 8) & 0xFF, b = pixel & 0xFF;
    return r > 192 && r - g > 64 && g == b;
}

// The bounding box of the ink of one kind within an area (empty if there is none), and
// how many pixels of it there are.
inline RECT InkBox(const Capture& face, RECT area, bool (*isInk)(uint32_t), int* count) {
    RECT box = {LONG_MAX, LONG_MAX, LONG_MIN, LONG_MIN};
    const int height = int(face.pixels.size()) / face.width;
    *count = 0;
    for (LONG y = std::max(area.top, 0L); y < std::min(area.bottom, LONG(height)); ++y) {
        for (LONG x = std::max(area.left, 0L); x < std::min(area.right, LONG(face.width)); ++x) {
            if (isInk(face.At(x, y))) {
                ++*count;
                box = {std::min(box.left, x), std::min(box.top, y), std::max(box.right, x + 1),
                       std::max(box.bottom, y + 1)};
            }
        }
    }
    return *count != 0 ? box : RECT{};
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
        InitProgramState();
        ASSERT_TRUE(CreateMainWindow(GetModuleHandleW(nullptr), SW_SHOWNORMAL));
    }
    void TearDown() override {
        EndWindow();
        EndProgramState();
    }

    // Destroys the window if it is still there, drops what its end left queued (the quit
    // message among it) and deletes what the program deletes or leaves to its end: the
    // fonts, and the cancel event, so that its name is free again.
    static void EndWindow() {
        if (IsWindow(g_hMainWnd)) {
            DestroyWindow(g_hMainWnd);
        }
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
        for (HFONT* font : {&g_boldFont, &g_normalFont}) {
            DeleteObject(*font);
            *font = nullptr;
        }
        if (g_hCancelEvent != nullptr) {
            CloseHandle(g_hCancelEvent);
            g_hCancelEvent = nullptr;
        }
    }
};

}  // namespace harness
