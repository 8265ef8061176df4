# The handheld's commctrl calls, passed on to Wine's common controls (forwards.inc says how).
#include "forwards.inc"

STDCALL_FORWARD InitCommonControls, 0
