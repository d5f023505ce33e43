// CPU cost of reading a silent transport, as a link's reader thread does:
// one thread reads one byte at a time for SECONDS, and its own CPU time and
// read count are reported per transport. The floor is a thread that only
// sleeps in 100 ms steps; the plain serial stream, which answers "not ready"
// at once, shows what a reader costs when the transport does not wait.
//
// Usage: bench_stream_idle [SECONDS]   (default 3, at most 60)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Lumivance2/common/aStream.h"
#include "Lumivance2/common/lvusb_driver.h"
#include "Lumivance2/common/memory_stream.h"

namespace {

using Clock = std::chrono::steady_clock;

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Result {
    double cpuPercent = 0;
    double readsPerSecond = 0;
};

// Runs `step` on a fresh thread until `seconds` have passed (and at most
// ten million times); returns that thread's CPU use and step rate.
Result measure(double seconds, const std::function<void()>& step) {
    Result r;
    std::thread worker([&] {
        const double cpu0 = threadCpuSeconds();
        const auto start = Clock::now();
        const auto end = start + std::chrono::duration<double>(seconds);
        long steps = 0;
        while (steps < 10000000 && Clock::now() < end) {
            step();
            steps++;
        }
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        r.cpuPercent = 100.0 * (threadCpuSeconds() - cpu0) / wall;
        r.readsPerSecond = steps / wall;
    });
    worker.join();
    return r;
}

Result readSilent(aStream* s, double seconds) {
    return measure(seconds, [s] {
        uint8_t b;
        aStream_Read(s, &b, 1);
    });
}

struct Pty {
    int master = -1;
    std::string path;
    bool open() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
        path = ptsname(master);
        return true;
    }
    ~Pty() {
        if (master >= 0) close(master);
    }
};

void row(const char* name, const Result& r, double floorCpu) {
    const double ratio = floorCpu > 0 ? r.cpuPercent / floorCpu : 0;
    std::printf("%-28s %12.0f %10.3f %10.1f\n", name, r.readsPerSecond, r.cpuPercent, ratio);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 3;
    if (seconds <= 0 || seconds > 60) seconds = 3;

    std::printf("%-28s %12s %10s %10s\n", "reader over", "reads/s", "CPU %", "x floor");
    const Result floor =
        measure(seconds, [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); });
    const double floorCpu = floor.cpuPercent > 0.001 ? floor.cpuPercent : 0.001;
    row("floor (sleeping thread)", floor, floorCpu);

    {
        aStream* a = nullptr;
        aStream* b = nullptr;
        if (aStream_CreateMemoryPair(&a, &b, 100) == aErrNone) {
            row("memory pair (100 ms wait)", readSilent(a, seconds), floorCpu);
            aStream_Destroy(&a);
            aStream_Destroy(&b);
        }
    }
    {
        int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
            listen(listener, 1) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
            aStream* s = nullptr;
            if (aStream_CreateSocket(htonl(INADDR_LOOPBACK), ntohs(addr.sin_port), &s) ==
                aErrNone) {
                int peer = accept(listener, nullptr, nullptr);
                row("TCP socket", readSilent(s, seconds), floorCpu);
                aStream_Destroy(&s);
                if (peer >= 0) close(peer);
            }
        }
        close(listener);
    }
    {
        Pty pty;
        aStream* s = nullptr;
        if (pty.open() &&
            aStream_CreateSerial_Packetized(pty.path.c_str(), 6, 0, 0, 0, &s) == aErrNone) {
            row("serial, framed (link)", readSilent(s, seconds), floorCpu);
            aStream_Destroy(&s);
        }
    }
    {
        Pty pty;
        char dir[] = "/tmp/benchusbXXXXXX";
        if (pty.open() && mkdtemp(dir)) {
            setenv(LVUSB_DEVICE_DIR_ENV, dir, 1);
            std::string node = std::string(dir) + "/lumivance.0BE2C4A1";
            aStream* s = nullptr;
            if (symlink(pty.path.c_str(), node.c_str()) == 0 &&
                aStream_CreateUSB(0x0BE2C4A1, &s) == aErrNone) {
                row("USB driver node", readSilent(s, seconds), floorCpu);
                aStream_Destroy(&s);
            }
            unlink(node.c_str());
            rmdir(dir);
            unsetenv(LVUSB_DEVICE_DIR_ENV);
        }
    }
    {
        Pty pty;
        aStream* s = nullptr;
        if (pty.open() && aStream_CreateSerial(pty.path.c_str(), 6, 0, 0, 0, &s) == aErrNone) {
            row("serial, plain (no wait)", readSilent(s, seconds), floorCpu);
            aStream_Destroy(&s);
        }
    }
    return 0;
}
