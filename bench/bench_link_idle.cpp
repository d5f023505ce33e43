// CPU time of an idle, connected link: the process's own CPU time (user +
// system, the simulator child excluded) while the main thread sleeps, with
// no link (the floor), with a link to a silent device, and with a link that
// answers a heartbeat every second.
//
// Usage: bench_link_idle [SECONDS]   (default 10, at most 120)
#include <sys/resource.h>

#include <cstdlib>

#include "Lumivance2/common/aLink.h"
#include "Lumivance2/common/memory_stream.h"
#include "bench_link_common.h"
#include "tests/unit/test_common_aLink_simulator.h"

namespace {

using namespace bench;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Percent of one core used by this process over `seconds` of sleep.
double idlePercent(double seconds) {
    const double cpu0 = cpuSeconds();
    const auto wall0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    return 100.0 * (cpuSeconds() - cpu0) / wall;
}

// A link to a simulator module with the given heartbeat interval, left idle.
bool measureLink(const char* heartbeat, uint32_t serial, double seconds, double* percent) {
    SimulatorProcess sim;
    char module[96];
    std::snprintf(module, sizeof module, "serial=%08X,address=6,hb=%s", serial, heartbeat);
    if (!sim.start({"--module", module, "--max-seconds", "300"})) return false;
    int32_t id = aLink_CreateTCPIP(serial, htonl(INADDR_LOOPBACK), sim.port);
    if (!id) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // settle after start
    *percent = idlePercent(seconds);
    const bool running = aLink_GetStatus(id) == LINK_STATUS_RUNNING;
    aLink_Destroy(&id);
    return running;
}

// A link over an in-memory stream whose reads never wait: the engine's own
// guard has to keep its reader from spinning.
bool measureNonWaitingStream(double seconds, double* percent) {
    aStream* linkEnd = nullptr;
    aStream* device = nullptr;
    if (aStream_CreateMemoryPair(&linkEnd, &device, 0) != aErrNone) return false;
    int32_t id = aLink_Create(linkEnd);
    if (!id) {
        aStream_Destroy(&device);
        return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    *percent = idlePercent(seconds);
    const bool running = aLink_GetStatus(id) == LINK_STATUS_RUNNING;
    aLink_Destroy(&id);
    aStream_Destroy(&device);
    return running;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    seconds = std::max(1.0, std::min(seconds, 120.0));
    if (!SimulatorProcess::available()) {
        std::printf("simulator not built: %s\n", SimulatorProcess::binaryPath().c_str());
        return 1;
    }
    std::printf("CPU of this process over %.0f s idle, in %% of one core (goal: link < 1%%)\n",
                seconds);
    const double floor = idlePercent(seconds);
    std::printf("%-46s %10.3f %%\n", "floor: no link", floor);
    const struct {
        const char* name;
        const char* hb;
        uint32_t serial;
    } cases[] = {
        {"TCP link, silent device", "0", 0x0C000001},
        {"TCP link, heartbeat every 1000 ms", "1000", 0x0C000002},
    };
    for (const auto& c : cases) {
        double percent = 0;
        if (!measureLink(c.hb, c.serial, seconds, &percent)) {
            std::printf("%-46s failed (link did not stay running)\n", c.name);
            continue;
        }
        std::printf("%-46s %10.3f %%  (+%.3f over floor)  %s\n", c.name, percent, percent - floor,
                    percent < 1.0 ? "goal met" : "goal MISSED");
    }
    double percent = 0;
    const char* name = "memory stream that never waits (engine guard)";
    if (measureNonWaitingStream(seconds, &percent)) {
        std::printf("%-46s %10.3f %%  (+%.3f over floor)  %s\n", name, percent, percent - floor,
                    percent < 1.0 ? "goal met" : "goal MISSED");
    } else {
        std::printf("%-46s failed (link did not stay running)\n", name);
    }
    return 0;
}
