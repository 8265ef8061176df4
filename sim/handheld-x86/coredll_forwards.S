# The handheld's coredll calls that the stand-in passes on to Wine unchanged (forwards.inc
# says how). The calls that differ on the handheld are the C++ files beside this one.
#include "forwards.inc"

# Windows and messages.
STDCALL_FORWARD CreateWindowExW, 48
STDCALL_FORWARD DefWindowProcW, 16
STDCALL_FORWARD DestroyWindow, 4
STDCALL_FORWARD DispatchMessageW, 4
STDCALL_FORWARD EnableWindow, 8
STDCALL_FORWARD FindWindowW, 8
STDCALL_FORWARD GetClientRect, 8
STDCALL_FORWARD GetMessageW, 16
STDCALL_FORWARD InvalidateRect, 12
STDCALL_FORWARD IsWindow, 4
STDCALL_FORWARD MessageBoxW, 16
STDCALL_FORWARD MsgWaitForMultipleObjectsEx, 20
STDCALL_FORWARD PeekMessageW, 20
STDCALL_FORWARD PostMessageW, 16
STDCALL_FORWARD PostQuitMessage, 4
STDCALL_FORWARD SendMessageW, 16
STDCALL_FORWARD SetWindowTextW, 8
STDCALL_FORWARD ShowWindow, 8
STDCALL_FORWARD TranslateAcceleratorW, 12
STDCALL_FORWARD TranslateMessage, 4
STDCALL_FORWARD UpdateWindow, 4

# Resources, found in the program's mapped image by its instance (its image base): Wine's
# calls read the resource directory through the headers at that address.
STDCALL_FORWARD LoadAcceleratorsW, 8
STDCALL_FORWARD LoadIconW, 8
STDCALL_FORWARD LoadStringW, 16

# Painting.
STDCALL_FORWARD BeginPaint, 8
STDCALL_FORWARD CreateFontIndirectW, 4
STDCALL_FORWARD DeleteObject, 4
STDCALL_FORWARD EndPaint, 8
STDCALL_FORWARD ExtTextOutW, 32
STDCALL_FORWARD GetDC, 4
STDCALL_FORWARD GetDeviceCaps, 8
STDCALL_FORWARD GetStockObject, 4
STDCALL_FORWARD GetTextExtentExPointW, 28
STDCALL_FORWARD GetTextMetricsW, 8
STDCALL_FORWARD Rectangle, 20
STDCALL_FORWARD ReleaseDC, 8
STDCALL_FORWARD RestoreDC, 8
STDCALL_FORWARD SaveDC, 4
STDCALL_FORWARD SelectObject, 8
STDCALL_FORWARD SetTextColor, 8

# Files and the serial port.
STDCALL_FORWARD CloseHandle, 4
STDCALL_FORWARD CreateFileW, 28
STDCALL_FORWARD GetCommState, 8
STDCALL_FORWARD PurgeComm, 8
STDCALL_FORWARD ReadFile, 20
STDCALL_FORWARD SetCommMask, 8
STDCALL_FORWARD SetCommState, 8
STDCALL_FORWARD SetCommTimeouts, 8
STDCALL_FORWARD WriteFile, 20

# The registry, once a key is open.
STDCALL_FORWARD RegCloseKey, 4
STDCALL_FORWARD RegEnumKeyExW, 32
STDCALL_FORWARD RegQueryValueExW, 24

# Kernel.
STDCALL_FORWARD CreateEventW, 16
STDCALL_FORWARD GetLastError, 0
STDCALL_FORWARD GetTickCount, 0
STDCALL_FORWARD InterlockedExchange, 8
STDCALL_FORWARD SetLastError, 4
STDCALL_FORWARD Sleep, 4
STDCALL_FORWARD WaitForSingleObject, 8

# The C library: Microsoft's formatting (%s and %ls of a wide format take a wide text),
# which Wine's msvcrt has.
CDECL_FORWARD _snwprintf
CDECL_FORWARD _vsnwprintf
CDECL_FORWARD wcscpy
CDECL_FORWARD wcslen
CDECL_FORWARD wcsncmp
CDECL_FORWARD wcsncpy
