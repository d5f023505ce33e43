// One live link between the host and a module over one byte stream: turns
// incoming bytes into packets (raw or COBS framed), answers synchronisation,
// takes route packets, sends heartbeats and checks their answers, passes
// everything else to the module, and queues the replies as bytes. Fault
// injection sits on both directions. No I/O happens here.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "Codec.h"

namespace sim {

class Module;
class EventLog;
class FaultInjector;

using Clock = std::chrono::steady_clock;

enum class Framing { Raw, Cobs };

class Session {
  public:
    // `heartbeatsAtOnce`: a connection (TCP) starts heartbeats at once; a
    // terminal waits for the host's first packet and stops at its route 0.
    Session(Module& module, Framing framing, std::string transport, EventLog& log,
            FaultInjector* faults, bool heartbeatsAtOnce, Clock::time_point now);

    void receive(const uint8_t* data, size_t length, Clock::time_point now);
    void tick(Clock::time_point now);
    // Bytes due for the transport by `now`.
    std::vector<uint8_t> takeOutput(Clock::time_point now);
    // Earliest time at which tick() or takeOutput() has something to do.
    Clock::time_point nextWake() const;
    // Milliseconds the link must stay away, or -1 when it stays up.
    int takeDisconnect();

    struct Stats {
        uint64_t packetsIn = 0, packetsOut = 0, heartbeatsSent = 0, heartbeatsAnswered = 0,
                 heartbeatsMissed = 0, badFrames = 0;
    };
    const Stats& stats() const { return stats_; }

  private:
    void handle(Packet p, Clock::time_point now);
    void send(const Packet& p, const char* kind, Clock::time_point now);
    void logPacket(const char* event, const Packet& p, const char* kind);
    void setActive(bool on, Clock::time_point now);

    Module& module_;
    Framing framing_;
    std::string transport_;
    EventLog& log_;
    FaultInjector* faults_;
    PacketParser parser_;
    Clock::time_point lastByte_;
    std::vector<uint8_t> frame_;
    bool frameOverflow_ = false;
    struct Pending {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
    };
    std::deque<Pending> out_;
    bool active_ = false;
    Clock::time_point nextHeartbeat_;
    uint8_t heartbeatValue_ = 0;
    bool awaitingAnswer_ = false;
    uint8_t expectedAnswer_ = 0;
    int disconnectMs_ = -1;
    Clock::time_point nextSample_{};
    Stats stats_;
};

}  // namespace sim
