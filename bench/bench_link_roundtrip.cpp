// Request/reply round trip of one packet through a link over TCP loopback
// (put, writer thread, device, reader thread, await), against a raw
// ping-pong of the same bytes over plain sockets. The device is the
// simulator process and, separately, a plain-socket responder in this
// process; each subject is compared with the floor over the same device.
//
// Usage: bench_link_roundtrip [ITERATIONS]   (default 2000, at most 100000)
#include <cstdlib>

#include "Lumivance2/common/aLink.h"
#include "Lumivance2/common/aPacket.h"
#include "bench_link_common.h"
#include "tests/unit/test_common_aLink_simulator.h"

namespace {

using namespace bench;

constexpr int kWarmup = 100;

std::vector<double> rawPingPong(uint16_t port, int iterations) {
    std::vector<double> samples;
    int fd = connectLoopback(port);
    if (fd < 0) return samples;
    uint8_t in[8];
    for (int i = 0; i < kWarmup + iterations; ++i) {
        const auto start = Clock::now();
        if (!writeAll(fd, request().data(), request().size()) ||
            !readExactly(fd, in, reply().size())) {
            break;
        }
        if (i >= kWarmup) samples.push_back(micros(Clock::now() - start));
    }
    close(fd);
    return samples;
}

uint8_t matchReply(const aPacket* packet, void*) {
    return packet->address == 0x06 && packet->length == 4 && packet->data[0] == 0x03;
}

std::vector<double> linkRoundTrip(uint32_t serial, uint16_t port, int iterations) {
    std::vector<double> samples;
    int32_t id = aLink_CreateTCPIP(serial, htonl(INADDR_LOOPBACK), port);
    if (!id) return samples;
    aPacket* query = aPacket_CreateWithData(request()[0], request()[1], request().data() + 2);
    for (int i = 0; i < kWarmup + iterations; ++i) {
        const auto start = Clock::now();
        if (aLink_PutPacket(id, query) != aErrNone) break;
        aPacket* answer = aLink_AwaitFirst(id, matchReply, nullptr, 1000);
        if (!answer) break;
        aPacket_Destroy(&answer);
        if (i >= kWarmup) samples.push_back(micros(Clock::now() - start));
    }
    aPacket_Destroy(&query);
    aLink_Destroy(&id);
    return samples;
}

void row(const char* name, const std::vector<double>& samples, int iterations, Stats floor,
         bool subject) {
    Stats s = stats(samples);
    if (static_cast<int>(samples.size()) < iterations) {
        std::printf("%-40s incomplete: %zu of %d round trips\n", name, samples.size(), iterations);
        return;
    }
    std::printf("%-40s %10.1f %10.1f %9.2fx %9.2fx  %s\n", name, s.median, s.p99,
                floor.median > 0 ? s.median / floor.median : 1.0,
                floor.p99 > 0 ? s.p99 / floor.p99 : 1.0,
                subject ? (s.median <= 2 * floor.median ? "goal met (median <= 2x)"
                                                        : "goal MISSED (median > 2x)")
                        : "floor");
}

}  // namespace

int main(int argc, char** argv) {
    int iterations = argc > 1 ? std::atoi(argv[1]) : 2000;
    iterations = std::max(10, std::min(iterations, 100000));

    std::printf("Round trip of one request (5 bytes) and reply (6 bytes), %d iterations\n",
                iterations);
    std::printf("%-40s %10s %10s %10s %10s\n", "", "median us", "p99 us", "median/fl", "p99/fl");

    // In-process plain-socket device.
    std::vector<double> floorLocal, subjectLocal;
    {
        Responder device;
        floorLocal = rawPingPong(device.port, iterations);
    }
    {
        Responder device;
        subjectLocal = linkRoundTrip(0x0B000001, device.port, iterations);
    }
    const Stats fl = stats(floorLocal);
    row("floor: raw sockets <-> socket responder", floorLocal, iterations, fl, false);
    row("link <-> socket responder", subjectLocal, iterations, fl, true);

    // The simulator process as the device.
    if (!SimulatorProcess::available()) {
        std::printf("simulator not built (%s): simulator rows skipped\n",
                    SimulatorProcess::binaryPath().c_str());
        return 0;
    }
    std::vector<double> floorSim, subjectSim;
    {
        SimulatorProcess sim;
        if (!sim.start(
                {"--module", "serial=0B000002,address=6,model=13,hb=0", "--max-seconds", "300"})) {
            std::printf("simulator did not start\n");
            return 1;
        }
        floorSim = rawPingPong(sim.port, iterations);
        // The simulator serves one connection: the new one replaces the raw one.
        subjectSim = linkRoundTrip(0x0B000002, sim.port, iterations);
    }
    const Stats fs = stats(floorSim);
    row("floor: raw socket <-> simulator", floorSim, iterations, fs, false);
    row("link <-> simulator", subjectSim, iterations, fs, true);
    return 0;
}
