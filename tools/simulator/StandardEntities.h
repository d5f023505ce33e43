// The raw-packet handlers every module has: module queries (0x49), the I2C
// bus (class 8) and the link echo test (0x17).
#pragma once

#include <map>

#include "Entity.h"

namespace sim {

class ModuleQueryEntity : public Entity {
  public:
    static constexpr uint8_t kCommand = 0x49;
    void handle(Context& c, const Packet& in) override;
};

// Stream control (0x5D): option 1 set enables a stream key, option 2 set
// disables matching keys, option 1 get tells whether anything streams.
class StreamEntity : public Entity {
  public:
    static constexpr uint8_t kCommand = 0x5D;
    void handle(Context& c, const Packet& in) override;
};

class EchoEntity : public Entity {
  public:
    static constexpr uint8_t kCommand = 0x17;
    void handle(Context& c, const Packet& in) override;
};

// Transfers on the module's I2C bus. On a router the modules behind it answer
// at their addresses; every other address does not acknowledge.
class I2CEntity : public Entity {
  public:
    static constexpr uint8_t kCommand = 8;
    void handle(Context& c, const Packet& in) override;

  private:
    std::map<uint8_t, std::vector<uint8_t>> written_;  // last bytes written per address
};

}  // namespace sim
