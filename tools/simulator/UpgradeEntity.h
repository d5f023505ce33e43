// The upgrade entity (command 0x5F): what a module's firmware and its loader
// do with an update. Data sent before LOAD is the loader; LOAD starts it (the
// link may drop and come back, as a re-enumerating device does); data sent
// afterwards is checked with SUM and committed to the flash image with WRITE;
// REBOOT starts the new image, whose identity tag (if any) sets the version
// and build the module reports from then on. Faults for the host's error
// paths are switched on per module with --upgrade.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Entity.h"
#include "EventLog.h"

namespace sim {

struct UpgradeConfig {
    uint32_t serial = 0;    // 0: every module
    std::string flashPath;  // the flash image goes here after each WRITE and REBOOT
    std::string
        statsPath;  // at REBOOT: counts and device-side time of the firmware transfer (JSON)
    std::string loaderPath;     // the loader image goes here at LOAD
    bool ueiData = true;        // option 10 (UEI byte run) offered
    uint16_t blockSize = 1024;  // granted by PREPARE
    unsigned loaderDropMs = 0;  // after LOAD the link drops for this long (0: stays)
    unsigned rebootMs = 0;      // after REBOOT the link drops this long (0: module's reboot=)
    // Faults, each for the first N occurrences (0: never).
    unsigned shortData = 0;        // DATA after LOAD answered with one byte fewer (bytes not kept)
    unsigned badSum = 0;           // SUM replies off by one
    unsigned badLoaderSum = 0;     // SUM replies before LOAD (loader blocks) off by one
    unsigned prepareFail = 0;      // PREPARE after LOAD answered with status 1
    unsigned dropAfterData = 0;    // the link drops after this many DATA packets after LOAD
    bool noLoadReply = false;      // LOAD gets no answer
    bool stayAfterReboot = false;  // REBOOT does not drop the link
};

// Parses one --upgrade value: comma-separated key=value items.
bool parseUpgrade(const std::string& text, UpgradeConfig& out, std::string& error);

class UpgradeEntity : public Entity {
  public:
    static constexpr uint8_t kCommand = 0x5F;
    // Tag a firmware image may carry: "LVSIM-ID build=N version=A.B.C;".
    static constexpr const char* kIdentityTag = "LVSIM-ID ";

    void configure(const UpgradeConfig& config) { config_ = config; }
    void handle(Context& c, const Packet& in) override;
    uint8_t hasUEI(uint8_t option, uint8_t index, uint8_t flags) const override;

  private:
    void prepare(Context& c, const std::vector<uint8_t>& d);
    void data(Context& c, const uint8_t* bytes, size_t n, bool uei);
    void commitLoaderBlock();
    void writeFlash(Context& c);
    void reboot(Context& c);
    void writeStats(const std::vector<uint8_t>& image);

    UpgradeConfig config_;
    bool inLoader_ = false;
    uint32_t blockAddress_ = 0;
    uint32_t blockOffset_ = 0;
    std::vector<uint8_t> pending_;                     // bytes since the last SUM/WRITE
    std::map<uint32_t, std::vector<uint8_t>> loader_;  // loader blocks by address
    std::map<uint32_t, std::vector<uint8_t>> flash_;   // committed regions by block address
    ByteRunCollector collector_;
    unsigned dataPackets_ = 0;
    bool silent_ = false;
    // Requests of the firmware transfer (after LOAD), for the benchmark.
    struct Counts {
        unsigned prepares = 0, dataPackets = 0, ueiRuns = 0, ueiPackets = 0, sums = 0, writes = 0;
        std::chrono::steady_clock::time_point firstPrepare;
    } counts_;  // the link is about to drop mid-transfer
};

}  // namespace sim
