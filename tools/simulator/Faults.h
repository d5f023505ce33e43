// Fault injection on a module's byte stream: packets dropped or corrupted at
// a given rate, replies delayed, and the link dropped after a number of sent
// packets (it comes back after a down time). Decisions come from a seeded
// generator, so a run repeats exactly.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace sim {

struct FaultConfig {
    uint32_t serial = 0;           // 0: every module
    std::string transport;         // "tcp", "serial", "usb"; empty: every transport
    double drop = 0;               // probability per packet
    double corrupt = 0;            // probability per packet
    bool inbound = false;          // drop/corrupt packets from the host
    bool outbound = true;          // drop/corrupt packets to the host
    unsigned delayMs = 0;          // extra delay of every packet to the host
    uint64_t after = 0;            // packets passed unharmed before faults start
    uint64_t limit = UINT64_MAX;   // at most this many drops and corruptions
    uint64_t disconnectAfter = 0;  // drop the link after this many packets sent (0: never)
    unsigned disconnects = 1;      // how many times to do that
    unsigned downMs = 1000;        // how long the link stays away
    unsigned seed = 1;
};

// Parses "key=value,..." into a fault; false and a message for bad input.
bool parseFault(const std::string& text, FaultConfig& out, std::string& error);

// Mutable state of one fault for one module and transport; it outlives the
// connections so that counts and limits hold across reconnects.
class FaultInjector {
  public:
    explicit FaultInjector(const FaultConfig& config);
    const FaultConfig& config() const { return config_; }

    enum class Action { Pass, Drop, Corrupt };
    Action onPacket(bool outbound);
    // Flips one bit of one byte, never producing a zero byte (COBS delimiter).
    void corruptBytes(std::vector<uint8_t>& bytes);
    // Called per packet sent; true when the link is to drop now.
    bool countSentAndCheckDisconnect();

  private:
    FaultConfig config_;
    std::mt19937 rng_;
    uint64_t seenIn_ = 0, seenOut_ = 0, faults_ = 0;
    uint64_t sentSinceConnect_ = 0;
    unsigned disconnectsDone_ = 0;
};

}  // namespace sim
