// Shared pieces of the link benchmarks: a loopback TCP peer that answers the
// model query like a device, timing helpers and the ratio table.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

struct Stats {
    double median = 0;
    double p99 = 0;
};

inline Stats stats(std::vector<double> samples) {
    Stats s;
    if (samples.empty()) return s;
    std::sort(samples.begin(), samples.end());
    s.median = samples[samples.size() / 2];
    s.p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    return s;
}

inline int listenLoopback(uint16_t* port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    *port = ntohs(a.sin_port);
    return fd;
}

inline int connectLoopback(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv = {2, 0};  // every blocking read ends within 2 s
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

// Reads exactly n bytes (bounded by the socket's receive time-out).
inline bool readExactly(int fd, uint8_t* out, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = recv(fd, out + got, n - got, 0);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

inline bool writeAll(int fd, const uint8_t* data, size_t n) {
    size_t sent = 0;
    while (sent < n) {
        ssize_t r = send(fd, data + sent, n - sent, MSG_NOSIGNAL);
        if (r <= 0) return false;
        sent += static_cast<size_t>(r);
    }
    return true;
}

// The model query of module 6 and its reply.
inline const std::vector<uint8_t>& request() {
    static const std::vector<uint8_t> r = {0x06, 0x03, 0x03, 0x48, 0x20};
    return r;
}
inline const std::vector<uint8_t>& reply() {
    static const std::vector<uint8_t> r = {0x06, 0x04, 0x03, 0x08, 0x00, 0x0D};
    return r;
}

// A plain-socket device on loopback: reads packets and answers each model
// query with its reply; every other packet is ignored. One connection; ends
// when the peer closes, on stop, or after maxSeconds.
class Responder {
  public:
    explicit Responder(double maxSeconds = 120) {
        listener_ = listenLoopback(&port);
        thread_ = std::thread([this, maxSeconds] { run(maxSeconds); });
    }
    ~Responder() {
        stop_ = true;
        thread_.join();
        if (listener_ >= 0) close(listener_);
    }
    uint16_t port = 0;

  private:
    void run(double maxSeconds) {
        const auto end = Clock::now() + std::chrono::duration<double>(maxSeconds);
        int client = -1;
        while (!stop_ && client < 0 && Clock::now() < end) {
            pollfd p = {listener_, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) client = accept(listener_, nullptr, nullptr);
        }
        if (client < 0) return;
        int one = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        timeval tv = {0, 100000};
        setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        uint8_t packet[32];
        while (!stop_ && Clock::now() < end) {
            ssize_t r = recv(client, packet, 2, MSG_WAITALL);
            if (r == 0) break;
            if (r != 2) continue;  // time-out: check the stop flag
            if (packet[1] > 28 || !readExactly(client, packet + 2, packet[1])) break;
            if (std::equal(request().begin(), request().end(), packet)) {
                if (!writeAll(client, reply().data(), reply().size())) break;
            }
        }
        close(client);
    }

    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

inline void printRow(const char* name, double value, const char* unit, double floor,
                     const char* goal) {
    std::printf("%-46s %12.2f %-6s %8.2fx  %s\n", name, value, unit, floor > 0 ? value / floor : 0,
                goal);
}

}  // namespace bench
