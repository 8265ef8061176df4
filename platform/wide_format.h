// Wide formatting with a count: swprintf(buffer, count, format, ...) and
// vswprintf(buffer, count, format, arguments), as the desktop's C library has them.
//
// The handheld's C library has swprintf and vswprintf only in their older form, without a
// count; its _snwprintf and _vsnwprintf take the count in the same place, so there the two
// names stand for those. The forms differ only for a text that does not fit: the desktop's
// ends it inside the buffer, the handheld's leaves the buffer full and unterminated, and
// both report a result that is negative or not less than the count. Callers whose text may
// not fit terminate the buffer's last character themselves.
#pragma once

#include <wchar.h>

#ifdef UNDER_CE
#define swprintf _snwprintf
#define vswprintf _vsnwprintf
#endif
