#include "StoreEntities.h"

#include <algorithm>

#include "Module.h"

namespace sim {

void StoreSlotEntity::handle(Context& c, const Packet& in) {
    const std::vector<uint8_t>& d = in.data;
    if (d.size() < 3) return;
    uint8_t sub = d[1];
    auto error = [&](aErr e) {
        std::vector<uint8_t> r{4, uint8_t(sub | 0x80), d[2]};
        if (sub <= 4) r.push_back(d.size() > 3 ? d[3] : 0);
        r.push_back(uint8_t(e));
        c.reply(std::move(r));
    };
    if (sub >= 1 && sub <= 4) {
        if (d.size() != 4) return error(aErrShortCommand);
        uint8_t store = d[2], s = d[3];
        if (store >= kStores || s >= kSlots) return error(aErrIndexRange);
        std::vector<uint8_t> r{4, sub, store, s};
        if (sub == 1) {
            putBE16(r, uint16_t(kCapacity));
            return c.reply(std::move(r));
        }
        if (sub == 2) {
            putBE16(r, uint16_t(slot(store, s).size()));
            return c.reply(std::move(r));
        }
        for (const auto& [h, o] : open_)
            if (o.store == store && o.slot == s) return error(aErrBusy);
        if (open_.size() >= 8) return error(aErrResource);
        while (nextHandle_ == 255 || open_.count(nextHandle_)) ++nextHandle_;
        uint8_t handle = nextHandle_++;
        open_[handle] = Open{store, s, sub == 4, 0};
        if (sub == 4) slot(store, s).clear();  // a load replaces the contents
        r.push_back(handle);
        return c.reply(std::move(r));
    }
    if (sub < 6 || sub > 8) return error(aErrParam);
    auto it = open_.find(d[2]);
    if (it == open_.end()) return error(aErrNotFound);
    Open& o = it->second;
    std::vector<uint8_t>& bytes = slot(o.store, o.slot);
    if (sub == 6) {
        if (o.write) return error(aErrMode);
        size_t n = std::min<size_t>(25, bytes.size() - o.pos);
        std::vector<uint8_t> r{4, 6, d[2]};
        r.insert(r.end(), bytes.begin() + long(o.pos), bytes.begin() + long(o.pos + n));
        o.pos += n;
        return c.reply(std::move(r));
    }
    if (sub == 7) {
        if (!o.write) return error(aErrMode);
        size_t n = d.size() - 3;
        if (n == 0 || n > 25) return error(aErrSize);
        if (bytes.size() + n > kCapacity) return error(aErrOverrun);
        uint8_t sum = 0;
        for (size_t i = 3; i < d.size(); ++i) sum = uint8_t(sum + d[i]);
        bytes.insert(bytes.end(), d.begin() + 3, d.end());
        return c.reply({4, 7, d[2], sum});
    }
    open_.erase(it);
    c.reply({4, 8, d[2], 0});
}

void FactoryDataEntity::handle(Context& c, const Packet& in) {
    const std::vector<uint8_t>& d = in.data;
    if (d.size() < 2) return;
    uint8_t flags = d[1] & 0xF0;
    uint8_t index = d[1] & 0x0F;
    auto error = [&](uint8_t idx, aErr e) { c.reply({0x5E, uint8_t(idx | 0x80), uint8_t(e)}); };
    if (d[1] == 0x20) {  // end of a transfer, with the total
        if (d.size() != 4 || index_ < 0) return error(0, aErrParam);
        size_t total = getBE16(&d[2]);
        bool writing = writing_;
        size_t done = writing ? incoming_.size() : pos_;
        int idx = index_;
        index_ = -1;
        if (total != done) return error(0, aErrSize);
        if (writing) data_[size_t(idx)] = incoming_;
        return c.reply({0x5E, 0});
    }
    bool first = flags & 0x40;
    bool write = flags & 0x10;
    if (first) {
        index_ = index;
        writing_ = write;
        pos_ = 0;
        incoming_.clear();
    } else if (index_ != index || writing_ != write) {
        return error(index, aErrParam);  // a continuation without a start
    }
    if (write) {
        size_t n = d.size() - 2;
        if (incoming_.size() + n > kMaxBytes) {
            index_ = -1;
            return error(index, aErrOverrun);
        }
        incoming_.insert(incoming_.end(), d.begin() + 2, d.end());
        return c.reply({0x5E, index});
    }
    const std::vector<uint8_t>& bytes = data_[index];
    size_t n = std::min<size_t>(26, bytes.size() - pos_);
    std::vector<uint8_t> r{0x5E, index};
    r.insert(r.end(), bytes.begin() + long(pos_), bytes.begin() + long(pos_ + n));
    pos_ += n;
    c.reply(std::move(r));
}

}  // namespace sim
