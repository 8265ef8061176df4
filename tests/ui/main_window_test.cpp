#include "ui/main_window.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include "tests/ui/window_harness.h"

namespace {

// A placement as a rectangle, to compare it with where a control stands.
RECT AsRect(const ControlPlacement& p) {
    return RECT{p.x, p.y, p.x + p.width, p.y + p.height};
}

void ExpectRect(const RECT& actual, const RECT& expected, const char* what) {
    EXPECT_EQ(actual.left, expected.left) << what;
    EXPECT_EQ(actual.top, expected.top) << what;
    EXPECT_EQ(actual.right, expected.right) << what;
    EXPECT_EQ(actual.bottom, expected.bottom) << what;
}

TEST(ControlLayout, ButtonsSitBottomRightAndTheBarUnderTheHeadings) {
    struct Case {
        int L, W, H;
        RECT start, close, bar;
    };
    const Case cases[] = {
        // A handheld's 240 x 268 client area with a 13-pixel default font: Start at
        // (127, 190), Close at (127, 229), both 100 x 26; the bar at (13, 70), 214 x 20.
        {13, 240, 268, {127, 190, 227, 216}, {127, 229, 227, 255}, {13, 70, 227, 90}},
        // The desktop's default font is taller: everything follows L.
        {16, 762, 551, {646, 455, 746, 487}, {646, 503, 746, 535}, {16, 85, 746, 105}},
    };
    for (const Case& c : cases) {
        const ControlLayout layout = LayOutControls(c.L, c.W, c.H);
        ExpectRect(AsRect(layout.startButton), c.start, "Start");
        ExpectRect(AsRect(layout.closeButton), c.close, "Close");
        ExpectRect(AsRect(layout.progressBar), c.bar, "progress bar");
    }
}

class MainWindow : public harness::MainWindowTest {};

TEST_F(MainWindow, ControlsStandWhereTheUnitsMeasuredAtCreationPutThem) {
    RECT client;
    GetClientRect(g_hMainWnd, &client);
    EXPECT_EQ(g_clientWidth, client.right);
    EXPECT_EQ(g_clientHeight, client.bottom);
    // L comes from the window's own default font, B from the bold one: not the same here.
    HDC dc = GetDC(g_hMainWnd);
    TEXTMETRICW metrics;
    GetTextMetricsW(dc, &metrics);
    EXPECT_EQ(g_lineHeight, metrics.tmHeight + metrics.tmExternalLeading);
    SelectObject(dc, g_boldFont);
    GetTextMetricsW(dc, &metrics);
    EXPECT_EQ(g_boldLineHeight, metrics.tmHeight + metrics.tmExternalLeading);
    ReleaseDC(g_hMainWnd, dc);
    EXPECT_NE(g_lineHeight, g_boldLineHeight);

    // The buttons, 100 wide and two lines high, one line in from the right edge: Close one
    // line above the bottom, Start one button-height and one line above Close. The bar, 20
    // high, one line in from either side, 5 pixels below the first five lines.
    const int L = g_lineHeight, W = g_clientWidth, H = g_clientHeight;
    const struct {
        HWND window;
        RECT place;
        const wchar_t* className;
        const wchar_t* text;
    } controls[] = {
        {g_hStartButton, {W - 100 - L, H - 6 * L, W - L, H - 4 * L}, L"Button", L"Start"},
        {g_hCloseButton, {W - 100 - L, H - 3 * L, W - L, H - L}, L"Button", L"Close"},
        {g_hProgress, {L, 5 * L + 5, W - L, 5 * L + 25}, L"msctls_progress32", L""}};
    for (const auto& c : controls) {
        wchar_t text[32], className[32];
        GetWindowTextW(c.window, text, 32);
        GetClassNameW(c.window, className, 32);
        EXPECT_STREQ(text, c.text);
        EXPECT_STREQ(className, c.className);
        ExpectRect(harness::PlaceOf(c.window), c.place, "control");
        EXPECT_EQ(GetDlgCtrlID(c.window), 0) << "the buttons are told apart by handle";
        EXPECT_TRUE(IsWindowVisible(c.window) && IsWindowEnabled(c.window));
    }
    PBRANGE range = {};
    SendMessageW(g_hProgress, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    EXPECT_EQ(range.iLow, 0);
    EXPECT_EQ(range.iHigh, 100);
}

TEST_F(MainWindow, IsTitledWhiteWithItsIconAndNinePointTahoma) {
    wchar_t title[100];
    GetWindowTextW(g_hMainWnd, title, 100);
    EXPECT_STREQ(title, L"GPS ROM upgrade");
    EXPECT_EQ(GetClassLongPtrW(g_hMainWnd, GCL_STYLE), ULONG_PTR(CS_HREDRAW | CS_VREDRAW));
    EXPECT_EQ(reinterpret_cast<HGDIOBJ>(GetClassLongPtrW(g_hMainWnd, GCLP_HBRBACKGROUND)),
              GetStockObject(WHITE_BRUSH));
    EXPECT_NE(GetClassLongPtrW(g_hMainWnd, GCLP_HICON), 0u);

    // Bold by its face, not by its weight.
    for (HFONT font : {g_boldFont, g_normalFont}) {
        LOGFONTW record = {};
        ASSERT_EQ(GetObjectW(font, sizeof record, &record), int(sizeof record));
        EXPECT_STREQ(record.lfFaceName, font == g_boldFont ? L"Tahoma Bold" : L"Tahoma");
        EXPECT_EQ(record.lfHeight, -12) << "9 points at 96 pixels per inch";
        EXPECT_EQ(record.lfWeight, 0);
    }
}

TEST(Resources, TheStringTableTheIconAndNoAcceleratorTable) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    wchar_t text[100] = L"untouched";
    EXPECT_EQ(LoadStringW(instance, 1, text, 100), 15);
    EXPECT_STREQ(text, L"GPS ROM upgrade");
    EXPECT_EQ(LoadStringW(instance, 3, text, 100), 0) << "the class name's entry is empty";
    EXPECT_EQ(LoadAcceleratorsW(instance, MAKEINTRESOURCEW(3)), nullptr);

    // The icon group: two 16-colour images, 32 x 32 and 16 x 16.
#pragma pack(push, 2)
    struct GroupEntry {
        BYTE width, height, colours, reserved;
        WORD planes, bitCount;
        DWORD bytes;
        WORD id;
    };
    struct Group {
        WORD reserved, type, count;
        GroupEntry entries[2];
    };
#pragma pack(pop)
    HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(101), MAKEINTRESOURCEW(14));
    ASSERT_NE(found, nullptr);
    ASSERT_GE(SizeofResource(instance, found), sizeof(Group));
    const Group* group = static_cast<const Group*>(LockResource(LoadResource(instance, found)));
    ASSERT_EQ(group->count, 2);
    const BYTE sizes[] = {32, 16};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(group->entries[i].width, sizes[i]);
        EXPECT_EQ(group->entries[i].height, sizes[i]);
        EXPECT_EQ(group->entries[i].colours, 16);
        EXPECT_EQ(group->entries[i].bitCount, 4);
    }
}

// The program's entry point, driven by a timer of this thread: the message loop
// dispatches the timer's message, whose procedure then acts on the window. Should the
// action not end the program, a second timer closes the window after a while.
class EntryPoint : public ::testing::Test {
protected:
    static void CALLBACK Act(HWND, UINT, UINT_PTR timer, DWORD) {
        if (IsWindow(g_hMainWnd)) {
            KillTimer(nullptr, timer);
            action();
        }
    }
    static void CALLBACK GiveUp(HWND, UINT, UINT_PTR, DWORD) {
        ADD_FAILURE() << "the program did not end by itself";
        PostMessageW(g_hMainWnd, WM_CLOSE, 0, 0);
    }

    int RunProgram(void (*then)()) {
        g_hMainWnd = nullptr;
        action = then;
        const UINT_PTR acting = SetTimer(nullptr, 0, 1, Act);
        const UINT_PTR givingUp = SetTimer(nullptr, 0, 5000, GiveUp);
        const int exitCode =
            wWinMain(GetModuleHandleW(nullptr), nullptr, const_cast<wchar_t*>(L""), SW_SHOWNORMAL);
        KillTimer(nullptr, acting);
        KillTimer(nullptr, givingUp);
        return exitCode;
    }

    static void (*action)();
};
void (*EntryPoint::action)();

TEST_F(EntryPoint, EndsWithZeroWhenClosedByItsButtonOrFromOutside) {
    EXPECT_EQ(RunProgram([] { PostMessageW(g_hMainWnd, WM_COMMAND, 0, LPARAM(g_hCloseButton)); }),
              0);
    EXPECT_FALSE(IsWindow(g_hMainWnd));
    EXPECT_EQ(RunProgram([] { PostMessageW(g_hMainWnd, WM_CLOSE, 0, 0); }), 0);
    EXPECT_FALSE(IsWindow(g_hMainWnd));
}

// Every message reaches TranslateMessage: a key press comes back as a character.
HHOOK g_messageHook;
bool g_characterSeen;

LRESULT CALLBACK WatchForCharacter(int code, WPARAM wParam, LPARAM lParam) {
    const MSG* message = reinterpret_cast<const MSG*>(lParam);
    if (code >= 0 && wParam == PM_REMOVE && message->message == WM_CHAR &&
        message->hwnd == g_hMainWnd && !g_characterSeen) {
        g_characterSeen = true;
        PostMessageW(g_hMainWnd, WM_CLOSE, 0, 0);
    }
    return CallNextHookEx(g_messageHook, code, wParam, lParam);
}

TEST_F(EntryPoint, KeyPressesAreTranslatedSinceThereAreNoAccelerators) {
    g_characterSeen = false;
    g_messageHook =
        SetWindowsHookExW(WH_GETMESSAGE, WatchForCharacter, nullptr, GetCurrentThreadId());
    EXPECT_EQ(RunProgram([] { PostMessageW(g_hMainWnd, WM_KEYDOWN, 'A', 0x001E0001); }), 0);
    UnhookWindowsHookEx(g_messageHook);
    EXPECT_TRUE(g_characterSeen);
}

// Window creation refused: the program ends at once, with 0, and shows nothing.
int g_creationAttempts;

LRESULT CALLBACK RefuseCreation(int code, WPARAM, LPARAM) {
    if (code == HCBT_CREATEWND) {
        ++g_creationAttempts;
        return 1;
    }
    return 0;
}

TEST_F(EntryPoint, AWindowThatCannotBeMadeEndsTheProgramSilently) {
    g_creationAttempts = 0;
    HHOOK hook = SetWindowsHookExW(WH_CBT, RefuseCreation, nullptr, GetCurrentThreadId());
    EXPECT_EQ(RunProgram([] {}), 0);
    UnhookWindowsHookEx(hook);
    EXPECT_EQ(g_creationAttempts, 1) << "nothing but the main window was attempted";
    EXPECT_EQ(g_hMainWnd, nullptr);
}

}  // namespace
