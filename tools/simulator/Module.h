// One simulated module: its identity, the settings its entities keep, the
// table of entity handlers and the modules on its I2C network (when it is a
// router). Transports hand it the packets addressed to it; it appends the
// replies. It knows nothing about sockets or terminals.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Codec.h"
#include "Entity.h"

namespace sim {

class EventLog;

struct ModuleConfig {
    uint32_t serial = 0;
    uint8_t model = 4;
    unsigned versionMajor = 2, versionMinor = 12, versionPatch = 2;
    uint32_t build = 1;
    std::string name;
    uint8_t address = 2;
    uint32_t routerSerial = 0;  // non-zero: this module sits behind that router
    uint32_t features = 0x80000000u;
    unsigned heartbeatMs = 1000;  // 0: no heartbeats
    unsigned rebootMs = 500;      // how long a reset keeps the link down
    unsigned streamMs = 500;      // interval of streamed samples
    // Transports (only for modules that are not behind a router).
    std::string tcp;  // "host:port"; empty for none
    bool serialPty = false;
    bool usbNode = false;
    bool discoverable = true;  // answers the TCP/IP discovery probe (with tcp)
    // Misbehaviour on purpose, for the host's error paths.
    bool shortBuildReply = false;   // the build query answers 5 data bytes instead of 6
    bool muteAddressQuery = false;  // 0xAD gets no answer
    struct ForcedError {
        uint8_t command, option, code;
    };
    std::vector<ForcedError> forcedErrors;  // UEI requests answered with an error reply
};

class Module {
  public:
    Module(const ModuleConfig& config, EventLog& log);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const ModuleConfig& config() const { return config_; }
    // For entities that change the module's identity (a new firmware image).
    ModuleConfig& mutableConfig() { return config_; }
    std::string serialText() const;
    uint8_t address() const { return address_; }
    uint32_t packedVersion() const;

    // A packet from the host whose address is this module's or, for a router,
    // one of the modules behind it. Replies go into `out`.
    void dispatch(const Packet& in, std::vector<Packet>& out);
    // The host's route packet (address 0xAF): 1 when its link starts, 0 when it stops.
    void setRoute(bool on) { route_ = on; }
    bool route() const { return route_; }

    void registerEntity(uint8_t command, std::unique_ptr<Entity> entity);
    Entity* entity(uint8_t command) const;

    // Router side: modules on this module's I2C network, keyed by address.
    void attach(Module* behind);
    Module* behindAt(uint8_t address) const;
    Module* router() const { return router_; }
    // True when a packet with this address is for this module or one behind it.
    bool serves(uint8_t address) const;

    // A handler asks for the link to drop and the module to reappear after
    // `ms` milliseconds (reset, reboot). The simulator picks it up.
    void requestReboot(unsigned ms) { rebootRequestMs_ = int(ms); }
    int takeRebootRequest();

    // Settings kept by the system entity.
    struct Settings {
        uint8_t routerAddress = 0;
        uint8_t heartbeatInterval = 10;  // units of 100 ms
        uint8_t led = 0;
        uint8_t bootSlot = 0;
        uint8_t softwareOffset = 0;
        bool routeToMe = false;
        uint8_t inputPowerBehavior = 0;
        std::vector<uint8_t> inputPowerBehaviorConfig;
        std::string name;
        uint32_t powerLimitMax = 10000;
        uint8_t linkInterface = 0;
        uint8_t ledMaxBrightness = 255;
    };
    Settings& settings() { return settings_; }
    const Settings& settings() const { return settings_; }
    void factoryReset();
    void saveSettings() { saved_ = settings_; }

    unsigned heartbeatMs() const;  // current interval, 0 = none

    // Streams the host asked for (command 0x5D), as the lower 32 bits of its
    // stream keys: module << 24 | command << 16 | option << 8 | index, where
    // 0xFF in option or index means every one.
    void addStream(uint32_t key);
    void removeStreams(uint32_t key);  // 0xFF fields match anything
    bool streaming() const { return !streams_.empty(); }
    // One sample packet per streamed value, stamped with `micros`.
    std::vector<Packet> streamSamples(uint64_t micros);

  private:
    ModuleConfig config_;
    EventLog& log_;
    uint8_t address_;
    bool route_ = false;
    std::map<uint8_t, std::unique_ptr<Entity>> entities_;
    std::map<uint8_t, Module*> behind_;
    Module* router_ = nullptr;
    int rebootRequestMs_ = -1;
    Settings settings_;
    Settings saved_;
    std::vector<uint32_t> streams_;
};

// Registers the standard entities (system, module queries, I2C, echo).
void installStandardEntities(Module& m);

}  // namespace sim
