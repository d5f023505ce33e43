// Bulk stores of a module: store slots (command 4: open, read, write, close
// by handle) and factory data (command 0x5E: chunked runs closed by an end
// request that carries the total).
#pragma once

#include <array>
#include <map>

#include "Entity.h"

namespace sim {

class StoreSlotEntity : public Entity {
  public:
    static constexpr uint8_t kCommand = 4;
    static constexpr uint8_t kStores = 2;
    static constexpr uint8_t kSlots = 12;
    static constexpr size_t kCapacity = 1024;

    void handle(Context& c, const Packet& in) override;
    uint8_t quantity() const override { return kStores; }

  private:
    struct Open {
        uint8_t store, slot;
        bool write;
        size_t pos;
    };
    std::vector<uint8_t>& slot(uint8_t store, uint8_t slot) { return data_[store][slot]; }
    std::array<std::array<std::vector<uint8_t>, kSlots>, kStores> data_;
    std::map<uint8_t, Open> open_;  // by handle
    uint8_t nextHandle_ = 1;
};

class FactoryDataEntity : public Entity {
  public:
    static constexpr uint8_t kCommand = 0x5E;
    static constexpr size_t kIndexes = 16;
    static constexpr size_t kMaxBytes = 256;

    void handle(Context& c, const Packet& in) override;

  private:
    std::array<std::vector<uint8_t>, kIndexes> data_;
    int index_ = -1;  // index of the transfer under way
    bool writing_ = false;
    size_t pos_ = 0;                 // bytes handed out so far (read)
    std::vector<uint8_t> incoming_;  // bytes received so far (write)
};

}  // namespace sim
