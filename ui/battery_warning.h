// The warning before a run on a nearly flat battery. A handheld that switches off during
// the update leaves the receiver without a complete ROM, so a run on battery power below
// a fifth of its charge, or with its battery flagged critical, is started only when the
// owner says so. A question, not a refusal: some handhelds report their charge wrongly,
// and the owner must never be locked out of an update. A handheld on mains power is never
// asked about its battery, nor one whose status cannot be read.
#pragma once

#include <windows.h>

// Reads the power status and, when the battery is low, asks the owner whether to update
// anyway: a Yes/No box owned by owner, No the default. True when the run may start: the
// battery is not known to be low, or the owner answered Yes while owner still exists.
bool ConfirmPowerForRun(HWND owner);
