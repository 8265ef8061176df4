// bench-engine-throughput: the engine's own cost, away from any line. Complete updates run in
// virtual time against the simulated receiver on the fake serial port, unpaced, on this
// thread; prints the ROM image bytes sent per second of CPU time as "name=value" lines.
// The CPU time includes the simulated receiver and the fake port, so the figure is a
// lower bound on what the engine alone achieves.
#include <cinttypes>
#include <cstdio>

#include "engine/payload_images.h"
#include "tests/integration/update_world.h"

namespace {

constexpr uint64_t MEASURED_CPU_US = 2000000;  // enough ticks of the thread clock to average
const wchar_t COMPLETED_TEXT[] = L"Completed successfully";

uint64_t ThreadCpuUs() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    const auto us = [](const FILETIME& t) {
        return ((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 10;  // 100 ns units
    };
    return us(kernel) + us(user);
}

// One update, its CPU time added to cpuUs. False when it did not deliver the image intact.
bool TimedRun(uint64_t& cpuUs) {
    world::UpdateWorld world;
    const uint64_t before = ThreadCpuUs();
    const world::Outcome outcome = world.Run();
    cpuUs += ThreadCpuUs() - before;
    return outcome.status == COMPLETED_TEXT && world.Receiver().romIdentical;
}

}  // namespace

int main() {
    uint64_t warmUpUs = 0;
    if (!TimedRun(warmUpUs)) {
        fputs("bench-engine-throughput: the update did not complete\n", stderr);
        return 1;
    }
    // The thread clock ticks coarsely: many runs average it out.
    uint64_t runs = 0;
    uint64_t cpuUs = 0;
    while (cpuUs < MEASURED_CPU_US) {
        if (!TimedRun(cpuUs)) {
            fputs("bench-engine-throughput: an update did not complete\n", stderr);
            return 1;
        }
        ++runs;
    }
    printf("runs=%" PRIu64 "\n", runs);
    printf("cpu_us_per_run=%" PRIu64 "\n", cpuUs / runs);
    printf("image_bytes_per_cpu_second=%" PRIu64 "\n",
           uint64_t{ROM_IMAGE_SIZE} * runs * 1000000 / cpuUs);
    return 0;
}
