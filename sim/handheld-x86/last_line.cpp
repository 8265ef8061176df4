#include "sim/handheld-x86/last_line.h"

#include <cstdarg>
#include <cstdio>

namespace {

const char LINE_START[] = "handheld stand-in: ";
constexpr int LINE_CHARS = 512;  // more than any line the stand-in writes

}  // namespace

void EndWithLine(UINT exitCode, const char* format, ...) {
    char line[LINE_CHARS];
    int length = snprintf(line, sizeof line, "%s", LINE_START);
    const int room = LINE_CHARS - length - 1;  // keeps a place for the newline
    va_list arguments;
    va_start(arguments, format);
    int said = vsnprintf(line + length, room, format, arguments);
    va_end(arguments);
    if (said < 0 || said >= room) {
        said = room - 1;  // cut, but still one line
    }
    length += said;
    line[length++] = '\n';
    // Unbuffered, so that nothing of the line is lost to the abrupt end below.
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, length, &written, nullptr);
    TerminateProcess(GetCurrentProcess(), exitCode);
    ExitProcess(exitCode);  // only should the system refuse to end the process abruptly
}
