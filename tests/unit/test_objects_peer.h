// A scripted device peer for the object-layer tests. It sits at the far end
// of a byte pipe (one end of an in-memory stream pair, or a TCP connection
// accepted on 127.0.0.1), answers the engine's module-address queries, and
// checks every other packet against a table of expected requests, writing
// back the scripted replies: packets, raw garbage bytes, or nothing at all.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Lumivance2/common/aStream.h"
#include "Lumivance2/common/memory_stream.h"

namespace objtest {

using Bytes = std::vector<uint8_t>;

// The wire bytes of one packet: address, length, data.
inline Bytes pkt(uint8_t address, Bytes data) {
    Bytes wire;
    wire.reserve(data.size() + 2);
    wire.push_back(address);
    wire.push_back(static_cast<uint8_t>(data.size()));
    for (uint8_t b : data) wire.push_back(b);
    return wire;
}

// One expected request (wire bytes) and what the device sends back: each
// reply is written as given (packets made with pkt, or raw garbage); an empty
// list is silence.
struct Exchange {
    Bytes request;
    std::vector<Bytes> replies;
};

inline std::string hex(const Bytes& b) {
    std::ostringstream o;
    for (size_t i = 0; i < b.size(); ++i) {
        char t[4];
        std::snprintf(t, sizeof t, "%02X", b[i]);
        o << (i ? " " : "") << t;
    }
    return o.str();
}

class ScriptedPeer {
  public:
    // Bound on the life of the peer thread, whatever the test does.
    static constexpr auto kMaxLife = std::chrono::seconds(60);

    explicit ScriptedPeer(uint8_t moduleAddress) : address_(moduleAddress) {}
    ~ScriptedPeer() { stop(); }

    // Adds expected exchanges (in order).
    void expect(Bytes request, std::vector<Bytes> replies) {
        std::lock_guard<std::mutex> g(lock_);
        script_.push_back({std::move(request), std::move(replies)});
    }
    // Answers requests that arrive once the script is used up (for traffic
    // whose order is not fixed, such as requests from several threads).
    void respondWith(std::function<std::vector<Bytes>(const Bytes&)> responder) {
        std::lock_guard<std::mutex> g(lock_);
        responder_ = std::move(responder);
    }
    // Answer (or ignore) the 0xAD module-address query.
    void answerAddressQuery(bool on) { answerSync_ = on; }

    // Makes an in-memory pair, keeps one end and returns the other for the link.
    aStream* startMemory() {
        aStream* mine = nullptr;
        aStream* theirs = nullptr;
        if (aStream_CreateMemoryPair(&mine, &theirs, 20) != aErrNone) return nullptr;
        stream_ = mine;
        thread_ = std::thread([this] { runMemory(); });
        return theirs;
    }

    // Listens on 127.0.0.1, port chosen by the system; accepts connections one
    // after another. Returns the port (0 on failure).
    uint16_t startTcp() {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (listenFd_ < 0) return 0;
        int one = 1;
        ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 0;
        if (::listen(listenFd_, 4) != 0) return 0;
        socklen_t len = sizeof a;
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
        thread_ = std::thread([this] { runTcp(); });
        return ntohs(a.sin_port);
    }

    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (stream_) aStream_Destroy(&stream_);
        if (listenFd_ >= 0) ::close(listenFd_);
        listenFd_ = -1;
    }

    // Everything that went wrong so far: unexpected packets, requests that
    // differ from the script. Empty when the device saw what it expected.
    std::vector<std::string> failures() {
        std::lock_guard<std::mutex> g(lock_);
        return failures_;
    }
    // Number of scripted exchanges not yet reached.
    size_t pending() {
        std::lock_guard<std::mutex> g(lock_);
        return script_.size() - next_;
    }
    // Every packet received other than address queries, route and heartbeat
    // answers, in order.
    std::vector<Bytes> received() {
        std::lock_guard<std::mutex> g(lock_);
        return received_;
    }
    size_t addressQueries() const { return addressQueries_.load(); }
    size_t connections() const { return connections_.load(); }

    // Waits (bounded) until the script is used up.
    bool waitScriptDone(int ms = 3000) {
        for (int i = 0; i < ms / 5; ++i) {
            if (pending() == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return pending() == 0;
    }

  private:
    // Byte source: 1 with a byte, 0 with none yet, -1 at the end.
    template <typename Read, typename Write>
    void serve(Read readByte, Write writeBytes, std::chrono::steady_clock::time_point deadline) {
        Bytes packet;
        while (!stop_ && std::chrono::steady_clock::now() < deadline) {
            uint8_t b;
            int r = readByte(&b);
            if (r < 0) return;
            if (r == 0) continue;
            packet.push_back(b);
            if (packet.size() >= 2 && packet.size() == packet[1] + 2u) {
                handle(packet, writeBytes);
                packet.clear();
            }
        }
    }

    template <typename Write>
    void handle(const Bytes& packet, Write writeBytes) {
        uint8_t addr = packet[0];
        if (addr == 0xAD && packet[1] == 0) {
            ++addressQueries_;
            if (answerSync_) writeBytes(Bytes{address_, 0});
            return;
        }
        if (addr == 0xAF) return;                      // route packet
        if (packet[1] == 2 && packet[2] == 0) return;  // heartbeat answer
        std::vector<Bytes> replies;
        {
            std::lock_guard<std::mutex> g(lock_);
            received_.push_back(packet);
            if (next_ < script_.size()) {
                const Exchange& e = script_[next_++];
                if (e.request != packet)
                    failures_.push_back("expected " + hex(e.request) + " got " + hex(packet));
                replies = e.replies;
            } else if (responder_) {
                replies = responder_(packet);
            } else {
                failures_.push_back("unexpected request " + hex(packet));
            }
        }
        for (const Bytes& r : replies) writeBytes(r);
    }

    void runMemory() {
        auto deadline = std::chrono::steady_clock::now() + kMaxLife;
        serve(
            [this](uint8_t* b) {
                aErr e = aStream_Read(stream_, b, 1);
                if (e == aErrNone) return 1;
                if (e == aErrNotReady) return 0;
                return -1;
            },
            [this](const Bytes& w) { aStream_Write(stream_, w.data(), w.size()); }, deadline);
    }

    void runTcp() {
        auto deadline = std::chrono::steady_clock::now() + kMaxLife;
        while (!stop_ && std::chrono::steady_clock::now() < deadline) {
            pollfd p{listenFd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            int fd = ::accept(listenFd_, nullptr, nullptr);
            if (fd < 0) continue;
            ++connections_;
            serve(
                [fd](uint8_t* b) {
                    pollfd q{fd, POLLIN, 0};
                    if (::poll(&q, 1, 20) <= 0) return 0;
                    ssize_t n = ::recv(fd, b, 1, 0);
                    return n == 1 ? 1 : -1;
                },
                [fd](const Bytes& w) { (void)!::send(fd, w.data(), w.size(), MSG_NOSIGNAL); },
                deadline);
            ::close(fd);
        }
    }

    const uint8_t address_;
    std::atomic<bool> answerSync_{true};
    std::atomic<bool> stop_{false};
    std::atomic<size_t> addressQueries_{0};
    std::atomic<size_t> connections_{0};
    aStream* stream_ = nullptr;
    int listenFd_ = -1;
    std::thread thread_;
    std::mutex lock_;
    std::vector<Exchange> script_;
    std::function<std::vector<Bytes>(const Bytes&)> responder_;
    size_t next_ = 0;
    std::vector<Bytes> received_;
    std::vector<std::string> failures_;
};

// The loopback address as linkSpec holds it (bytes 127, 0, 0, 1 in memory).
inline uint32_t loopbackAddress() {
    uint32_t a = htonl(INADDR_LOOPBACK);
    return a;
}

}  // namespace objtest
