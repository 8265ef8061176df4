// Keeps Wine's desktop open while the programs of a run of tests come and go. Wine closes a
// desktop a second after the last program on it has ended, and a program that starts while
// the desktop's own process is closing it can be handed that process's windows as they are
// destroyed: the X server then ends the new program with BadWindow. One program that stays
// on the desktop from the first test to the last keeps the desktop, and its windows, there.
//
// It shows nothing and waits until it is ended (vandrel_cleanup, or the world's stop).
#include <windows.h>

int main() {
    GetDesktopWindow();  // joins the desktop
    Sleep(INFINITE);
    return 0;
}
