// Class 3, the system entity every module has: identity, versions, power
// readings, names and the settings the host reads and writes.
#pragma once

#include "Entity.h"

namespace sim {

class SystemEntity : public Entity {
  public:
    static constexpr uint8_t kCommand = 3;
    void handle(Context& c, const Packet& in) override;
    uint8_t hasUEI(uint8_t option, uint8_t index, uint8_t flags) const override;
    int sampleWidth(uint8_t option) const override;

    enum class Kind { Byte, Int, Call, Bytes };
    struct Option {
        uint8_t number;
        Kind kind;
        bool get;
        bool set;
    };
    static const Option* find(uint8_t option);

  private:
    void get(Context& c, const UeiRequest& r, const Option& o);
    void set(Context& c, const UeiRequest& r, const Option& o);
    ByteRunCollector collector_;
    uint8_t collecting_ = 0;  // option whose byte run is being received
};

}  // namespace sim
