// Pooled writes: packets per second through one link over TCP loopback into a
// plain-socket sink, with pooling on and off, against plain-socket floors
// that send the same bytes one packet per send() and 136 packets per send().
//
// Usage: bench_link_pooling [PACKETS]   (default 200000, at most 2000000)
#include <cstdlib>

#include "Lumivance2/common/aLink.h"
#include "Lumivance2/common/aLinkManagerInternal.h"
#include "Lumivance2/common/aPacket.h"
#include "Lumivance2/common/packetfifo.h"
#include "bench_link_common.h"

namespace {

using namespace bench;

constexpr size_t kWire = 30;              // bytes per packet (28 data bytes)
constexpr size_t kPoolPackets = 136;      // packets in one full pooled write
constexpr size_t kQueueHighWater = 800;   // below the outgoing FIFO's 1000
constexpr double kMaxSecondsPerRun = 60;  // every run ends by then
constexpr uint32_t kRounds = 3;

// Accepts one connection and counts bytes until `expected` arrived.
class Sink {
  public:
    explicit Sink(size_t expected) : expected_(expected) {
        listener_ = listenLoopback(&port);
        thread_ = std::thread([this] { run(); });
    }
    ~Sink() {
        if (thread_.joinable()) thread_.join();
        close(listener_);
    }
    // Blocks until every byte arrived (or the run's bound passed).
    Clock::time_point done() {
        if (thread_.joinable()) thread_.join();
        return end_;
    }
    uint16_t port = 0;
    std::atomic<size_t> received{0};

  private:
    void run() {
        const auto limit = Clock::now() + std::chrono::duration<double>(kMaxSecondsPerRun);
        int client = -1;
        while (client < 0 && Clock::now() < limit) {
            pollfd p = {listener_, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) client = accept(listener_, nullptr, nullptr);
        }
        std::vector<uint8_t> buffer(1 << 16);
        while (client >= 0 && received < expected_ && Clock::now() < limit) {
            pollfd p = {client, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            ssize_t r = recv(client, buffer.data(), buffer.size(), 0);
            if (r <= 0) break;
            received += static_cast<size_t>(r);
        }
        end_ = Clock::now();
        if (client >= 0) close(client);
    }
    size_t expected_;
    int listener_ = -1;
    std::thread thread_;
    Clock::time_point end_;
};

std::vector<uint8_t> packetBytes(size_t i) {
    std::vector<uint8_t> w = {0x06, 28};
    for (uint8_t k = 0; k < 28; ++k) w.push_back(static_cast<uint8_t>(i + k));
    return w;
}

// Plain sockets: `perSend` packets per send() call, from bytes prepared
// beforehand (the link's caller also puts prepared packets).
double floorRate(size_t packets, size_t perSend) {
    std::vector<uint8_t> all;
    all.reserve(packets * kWire);
    for (size_t i = 0; i < packets; ++i) {
        std::vector<uint8_t> w = packetBytes(i % 256);
        all.insert(all.end(), w.begin(), w.end());
    }
    Sink sink(packets * kWire);
    int fd = connectLoopback(sink.port);
    if (fd < 0) return 0;
    const size_t chunk = perSend * kWire;
    const auto start = Clock::now();
    for (size_t at = 0; at < all.size(); at += chunk) {
        if (!writeAll(fd, all.data() + at, std::min(chunk, all.size() - at))) break;
    }
    const auto end = sink.done();
    close(fd);
    if (sink.received < packets * kWire) return 0;
    return packets / std::chrono::duration<double>(end - start).count();
}

// Through a link: puts that keep the outgoing FIFO below its capacity.
double linkRate(uint32_t serial, size_t packets, bool pooled) {
    Sink sink(packets * kWire + 3);  // + the start's route packet
    int32_t id = aLink_CreateTCPIP(serial, htonl(INADDR_LOOPBACK), sink.port);
    if (!id) return 0;
    aLink_EnablePooledPackets(id, pooled);
    const aPacketFifoId out = sGetLink(id)->outFifo.load();
    std::vector<aPacket*> pre;
    for (size_t i = 0; i < 256; ++i) {
        std::vector<uint8_t> w = packetBytes(i);
        pre.push_back(aPacket_CreateWithData(w[0], w[1], w.data() + 2));
    }
    const auto limit = Clock::now() + std::chrono::duration<double>(kMaxSecondsPerRun);
    const auto start = Clock::now();
    for (size_t i = 0; i < packets && Clock::now() < limit; ++i) {
        while (aPacketFifo_GetLength(out) > kQueueHighWater && Clock::now() < limit) {
            std::this_thread::yield();
        }
        aLink_PutPacket(id, pre[i % pre.size()]);
    }
    const auto end = sink.done();
    for (aPacket* p : pre) aPacket_Destroy(&p);
    aLink_Destroy(&id);
    if (sink.received < packets * kWire) return 0;
    return packets / std::chrono::duration<double>(end - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    size_t packets = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
    packets = std::max<size_t>(1000, std::min<size_t>(packets, 2000000));
    std::printf(
        "%zu packets of %zu bytes through TCP loopback, packets per second "
        "(median of %u rounds)\n",
        packets, kWire, kRounds);
    // Three rounds, interleaved so that load from elsewhere hits every row
    // alike; each row reports its median round.
    std::vector<double> fs, fp, ls, lp;
    for (uint32_t round = 0; round < kRounds; ++round) {
        fs.push_back(floorRate(packets, 1));
        fp.push_back(floorRate(packets, kPoolPackets));
        ls.push_back(linkRate(0x0D000001 + 2 * round, packets, false));
        lp.push_back(linkRate(0x0D000002 + 2 * round, packets, true));
    }
    const double floorSingle = median(fs);
    const double floorPooled = median(fp);
    const double single = median(ls);
    const double pooled = median(lp);
    std::printf("%-46s %12s %10s\n", "", "packets/s", "vs floor");
    printRow("floor: raw socket, one send() per packet", floorSingle, "pkt/s", floorSingle,
             "floor");
    printRow("floor: raw socket, 136 packets per send()", floorPooled, "pkt/s", floorPooled,
             "floor");
    printRow("link, one write per packet", single, "pkt/s", floorSingle, "vs 1-per-send floor");
    printRow("link, pooled writes", pooled, "pkt/s", floorPooled, "vs 136-per-send floor");
    std::printf("pooled / one write per packet: %.2fx\n", single > 0 ? pooled / single : 0.0);
    return 0;
}
