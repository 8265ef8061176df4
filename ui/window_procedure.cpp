#include <windows.h>

HANDLE g_hCancelEvent;
