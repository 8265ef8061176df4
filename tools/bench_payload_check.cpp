// bench-payload-check: what the run's payload check (engine/payload_check.h) costs the
// desktop's processor. Runs CheckPayloads, as a run does, over and over for about a second of
// wall time on this thread and prints the mean time of one check as a "name=value" line.
#include <windows.h>

#include <cinttypes>
#include <cstdio>

#include "engine/payload_check.h"

namespace {

constexpr int64_t MEASURED_MS = 1000;

int64_t Ticks() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

void CheckOnce(UpgradeContext& context) {
    CheckPayloads(context);
}

}  // namespace

int main() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    UpgradeContext context;
    InitContext(context);
    // A damaged payload leaves the check for the handler, and the figure would mean nothing.
    if (!RunCatchingUpgradeErrors(context, CheckOnce)) {
        fputs("bench-payload-check: the payloads fail their check\n", stderr);
        return 1;
    }
    int64_t checks = 0;
    const int64_t start = Ticks();
    const int64_t end = start + frequency.QuadPart * MEASURED_MS / 1000;
    int64_t now = start;
    while (now < end) {
        CheckPayloads(context);
        ++checks;
        now = Ticks();
    }
    printf("checks=%" PRId64 "\n", checks);
    printf("check_us=%" PRId64 "\n", (now - start) * 1000000 / frequency.QuadPart / checks);
    return 0;
}
