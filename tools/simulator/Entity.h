// The device side of one command class. A module holds a table of these,
// keyed by command byte; new classes (for example the upgrade entity) are
// added by writing one handler and registering it in Module::Module.
#pragma once

#include <cstdint>
#include <vector>

#include "Codec.h"
#include "Lumivance2/common/aError.h"

namespace sim {

class Module;
class EventLog;

// What a handler needs for one request: the module it runs on and where its
// replies go. Replies are sent from the module's own address.
struct Context {
    Module& module;
    std::vector<Packet>& out;
    EventLog& log;

    void reply(std::vector<uint8_t> data);
};

// False for the command bytes that are not UEI classes (heartbeat, I2C,
// echo, module queries, store, factory data, upgrade and the link's own).
bool isUEICommand(uint8_t command);

// One UEI request as it arrived: command, option byte, index byte, value.
struct UeiRequest {
    uint8_t command = 0;
    uint8_t optionByte = 0;
    uint8_t indexByte = 0;
    std::vector<uint8_t> value;

    uint8_t option() const { return optionByte & 0x3F; }
    uint8_t index() const { return indexByte & 0x1F; }
    bool isGet() const { return (optionByte & 0xC0) == 0x40; }
    bool isSet() const { return (optionByte & 0xC0) == 0x80; }
    // Option byte of the reply: the bare option for a get, option | 0xC0 for a set.
    uint8_t replyOption() const { return isSet() ? uint8_t(option() | 0xC0) : option(); }

    static bool parse(const Packet& p, UeiRequest& out);  // needs 3 data bytes
};

void replyUEI(Context& c, const UeiRequest& r, const std::vector<uint8_t>& value);
void replyUEIError(Context& c, const UeiRequest& r, aErr code);
// Sends a byte run as chunks of up to 24 bytes, each with a trailing
// sequence byte (chunk number mod 128, bit 7 when more follow).
void replyUEIBytes(Context& c, const UeiRequest& r, const std::vector<uint8_t>& bytes);

// Collects a byte run that the host sends in sequenced chunks.
class ByteRunCollector {
  public:
    enum Result { kMore, kDone, kError };
    // `payload` is the value of one chunk packet, sequence byte last.
    Result add(const std::vector<uint8_t>& payload);
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    void clear();

  private:
    std::vector<uint8_t> bytes_;
    uint8_t expected_ = 0;
};

class Entity {
  public:
    virtual ~Entity() = default;
    // Handles one packet whose first data byte is this entity's command.
    virtual void handle(Context& c, const Packet& in) = 0;
    // Number of entities of this class on the module (module query 4).
    virtual uint8_t quantity() const { return 1; }
    // Module query 1: 0 when the option exists (flags 0), can be read (0x40)
    // or can be set (0x80) at that index, else an aErr code.
    virtual uint8_t hasUEI(uint8_t option, uint8_t index, uint8_t flags) const {
        return aErrInvalidEntity;
    }
    // Width in bytes (1, 2 or 4) of an option's value when it can be
    // streamed as samples; 0 when it cannot.
    virtual int sampleWidth(uint8_t option) const { return 0; }
};

}  // namespace sim
