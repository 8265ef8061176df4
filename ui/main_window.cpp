#include "ui/main_window.h"

#include <commctrl.h>

#include <wchar.h>

#include "engine/upgrade_context.h"
#include "platform/foreground.h"
#include "ui/point_font.h"
#include "ui/status_lines.h"
#include "ui/window_procedure.h"

HWND g_hMainWnd;
HWND g_hStartButton;
HWND g_hCloseButton;
HWND g_hProgress;
int g_lineHeight;
int g_boldLineHeight;
int g_textLineHeight;
int g_clientWidth;
int g_clientHeight;
HFONT g_normalFont;
HFONT g_boldFont;

namespace {

// Resources.
constexpr UINT TITLE_STRING_ID = 1;       // "GPS ROM upgrade"
constexpr UINT CLASS_NAME_STRING_ID = 3;  // left empty in the string table
constexpr WORD ICON_ID = 101;
constexpr WORD ACCELERATOR_TABLE_ID = 3;  // not in the program: nothing is translated
constexpr int NAME_CHARS = 100;           // buffers for the title and the class name

// The string table has no text under the class name's identifier, so the name the window
// is registered and created under is this one.
const wchar_t FALLBACK_CLASS_NAME[] = L"VandrelMainWindow";

const wchar_t BOLD_FACE[] = L"Tahoma Bold";
const wchar_t NORMAL_FACE[] = L"Tahoma";
constexpr int32_t FONT_HEIGHT = 90;  // 9 points

const wchar_t BUTTON_WINDOW_CLASS[] = L"button";
const wchar_t START_TEXT[] = L"Start";
const wchar_t PROGRESS_BAR_CLASS[] = L"msctls_progress32";
constexpr int PROGRESS_MAXIMUM = 100;

// Layout in pixels, beside the multiples of L.
constexpr int BUTTON_WIDTH = 100;
constexpr int PROGRESS_HEIGHT = 20;
constexpr int PROGRESS_GAP = 5;  // between five lines of text and the bar

struct WindowNames {
    wchar_t className[NAME_CHARS];
    wchar_t title[NAME_CHARS];
};

// The class and title that the main window is registered and created under, and by which a
// second copy of the program finds the first one's window.
void LoadWindowNames(HINSTANCE instance, WindowNames& names) {
    if (LoadStringW(instance, CLASS_NAME_STRING_ID, names.className, NAME_CHARS) == 0) {
        wcscpy(names.className, FALLBACK_CLASS_NAME);
    }
    names.title[0] = L'\0';
    LoadStringW(instance, TITLE_STRING_ID, names.title, NAME_CHARS);
}

// Every copy of the program shares the one named cancel event, so a second copy's Start or
// end would stop the first copy's run halfway. A second start therefore only brings the
// first copy's window to the front (or the box it shows); true when there was one.
bool BringFirstCopyForward(HINSTANCE instance) {
    WindowNames names;
    LoadWindowNames(instance, names);
    HWND firstCopy = FindWindowW(names.className, names.title);
    if (firstCopy == nullptr) {
        return false;
    }
    BringWindowForward(firstCopy);
    return true;
}

int LineHeightOf(HDC dc) {
    TEXTMETRICW metrics = {};
    GetTextMetricsW(dc, &metrics);
    return metrics.tmHeight + metrics.tmExternalLeading;
}

HWND CreateControl(HINSTANCE instance, const wchar_t* className, const wchar_t* text,
                   const ControlPlacement& place) {
    // Every control has identifier 0: the window procedure tells them apart by handle.
    return CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE, place.x, place.y, place.width,
                           place.height, g_hMainWnd, nullptr, instance, nullptr);
}

void CreateControls(HINSTANCE instance) {
    const ControlLayout layout = LayOutControls(g_lineHeight, g_clientWidth, g_clientHeight);
    g_hStartButton = CreateControl(instance, BUTTON_WINDOW_CLASS, START_TEXT, layout.startButton);
    g_hCloseButton = CreateControl(instance, BUTTON_WINDOW_CLASS, CLOSE_TEXT, layout.closeButton);
    InitCommonControls();
    g_hProgress = CreateControl(instance, PROGRESS_BAR_CLASS, nullptr, layout.progressBar);
    SendMessageW(g_hProgress, PBM_SETRANGE, 0, MAKELPARAM(0, PROGRESS_MAXIMUM));
}

}  // namespace

ControlLayout LayOutControls(int lineHeight, int clientWidth, int clientHeight) {
    const int L = lineHeight;
    const int buttonX = clientWidth - BUTTON_WIDTH - L;
    ControlLayout layout;
    layout.startButton = {buttonX, clientHeight - 6 * L, BUTTON_WIDTH, 2 * L};
    layout.closeButton = {buttonX, clientHeight - 3 * L, BUTTON_WIDTH, 2 * L};
    layout.progressBar = {L, 5 * L + PROGRESS_GAP, clientWidth - 2 * L, PROGRESS_HEIGHT};
    return layout;
}

void RegisterMainWindowClass(HINSTANCE instance, const wchar_t* className) {
    WNDCLASSW windowClass = {};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(ICON_ID));
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = className;
    RegisterClassW(&windowClass);
}

void MeasureLineHeight() {
    HDC dc = GetDC(g_hMainWnd);
    g_lineHeight = LineHeightOf(dc);
    ReleaseDC(g_hMainWnd, dc);
}

bool CreateMainWindow(HINSTANCE instance, int showCommand) {
    WindowNames names;
    LoadWindowNames(instance, names);
    RegisterMainWindowClass(instance, names.className);

    // WS_VISIBLE alone: no caption, border or system menu; the handheld gives the window
    // the whole screen.
    HWND window =
        CreateWindowExW(0, names.className, names.title, WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        return false;
    }
    g_hMainWnd = window;
    MeasureLineHeight();

    HDC dc = GetDC(window);
    RECT client;
    GetClientRect(window, &client);
    g_clientWidth = client.right;
    g_clientHeight = client.bottom;
    g_boldFont = CreatePointFont(dc, BOLD_FACE, FONT_HEIGHT, 0, 0, true);
    g_normalFont = CreatePointFont(dc, NORMAL_FACE, FONT_HEIGHT, 0, 0, true);
    SelectObject(dc, g_normalFont);
    g_textLineHeight = LineHeightOf(dc);
    SelectObject(dc, g_boldFont);
    g_boldLineHeight = LineHeightOf(dc);
    // A window's common device context is reset on release, so the font need not be
    // selected out first.
    ReleaseDC(window, dc);

    CreateControls(instance);
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    return true;
}

void InitProgramState() {
    InstallFaultLanding();
    g_hWorkerThread = nullptr;
    InitializeCriticalSection(&g_statusLock);
    g_statusText[0] = L'\0';
    g_timeText[0] = L'\0';
}

void EndProgramState() {
    DeleteCriticalSection(&g_statusLock);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int showCommand) {
    // Before any window is made or the cancel event touched.
    if (BringFirstCopyForward(instance)) {
        return 0;
    }
    InitProgramState();

    if (!CreateMainWindow(instance, showCommand)) {
        return 0;
    }
    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(ACCELERATOR_TABLE_ID));
    MSG message = {};
    // GetMessageW gives -1 only for a bad window filter, which there is none of; stopping
    // on it anyway keeps the loop from spinning.
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (TranslateAcceleratorW(message.hwnd, accelerators, &message) == 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    EndProgramState();
    DeleteObject(g_boldFont);
    DeleteObject(g_normalFont);
    return static_cast<int>(message.wParam);
}
