// Keeps the handheld from suspending under a run. Nobody touches it while the receiver is
// rewritten, and a handheld on battery switches itself off after its idle timeout, a minute
// at the shortest: a run cut short after the erase leaves the receiver without a complete
// ROM. So from its first act to its last the run holds the machine awake: the desktop
// through the worker thread's execution state, the handheld by resetting its idle timer at
// least every 10 s from wherever the run waits.
//
// Worker thread only, one run at a time; nothing here allocates.
#pragma once

// The run's first act: holds the machine awake and resets the idle timer.
void BeginKeepingAwake();

// Resets the idle timer when a few seconds have passed since the last reset. Every loop
// that waits on the receiver calls it once per attempt; an attempt takes a few tens of
// milliseconds at most.
void KeepAwake();

// The run's last act before it reports its end, however it ended: resets the idle timer
// once more, so that the owner has a whole idle timeout to read the outcome, and lets the
// machine sleep again.
void EndKeepingAwake();
