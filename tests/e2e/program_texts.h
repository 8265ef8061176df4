// The texts the updater's status and time lines can show, in the program's words, for the
// tests that read them off the screen and for the one that measures them.
#pragma once

#include <cwchar>
#include <string>
#include <vector>

// Every line the status line can show after a run (the empty line after a fault inside the
// program among them); a port name fills the one message that names a port.
inline std::vector<std::wstring> StatusMessages(const wchar_t* portName) {
    wchar_t portMessage[64];
    swprintf(portMessage, 64, L"Couldn't open GPS receiver port (%ls)", portName);
    return {L"",
            L"Initialising...",
            L"Erasing storage...",
            L"Programming...",
            L"Completed successfully",
            L"Cancelled",
            L"GPS update not supported",
            L"GPS receiver not attached",
            L"Vandrel cannot be used with CompactFlash GPS receivers",
            portMessage,
            L"Error setting port parameters",
            L"Error setting GPS receiver timeouts",
            L"Error: driver 3.1.3 or later required",
            L"Error (write timeout): please check sleeve",
            L"Error (write error): please check sleeve",
            L"Error (read timeout): please check sleeve",
            L"Timeout on erase operation",
            L"Error (damaged file): please copy it again"};
}

// Every text the time line can show for up to maxSeconds remaining, and the empty line.
inline std::vector<std::wstring> TimeLines(unsigned maxSeconds) {
    std::vector<std::wstring> lines = {L""};
    for (unsigned seconds = 0; seconds <= maxSeconds; ++seconds) {
        wchar_t line[32];
        swprintf(line, 32, L"Time remaining: %u:%02u", seconds / 60, seconds % 60);
        lines.push_back(line);
    }
    return lines;
}
