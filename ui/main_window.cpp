#include "ui/main_window.h"

HWND g_hMainWnd;
HWND g_hStartButton;
HWND g_hCloseButton;
HWND g_hProgress;
int g_lineHeight;
int g_boldLineHeight;
int g_clientWidth;
int g_clientHeight;
HFONT g_normalFont;
HFONT g_boldFont;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return 0; }
