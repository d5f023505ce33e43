#include "Entity.h"

#include <algorithm>

#include "EventLog.h"
#include "Module.h"

namespace sim {

void Context::reply(std::vector<uint8_t> data) {
    Packet p;
    p.address = module.address();
    p.data = std::move(data);
    out.push_back(std::move(p));
}

bool isUEICommand(uint8_t command) {
    switch (command) {
        case 0:
        case 1:
        case 2:
        case 4:
        case 8:
        case 9:
        case 23:
        case 24:
        case 0x49:
        case 0x5E:
        case 0x5F:
        case 0xAD:
        case 0xAF:
            return false;
        default:
            return true;
    }
}

bool UeiRequest::parse(const Packet& p, UeiRequest& r) {
    if (p.data.size() < 3) return false;
    r.command = p.data[0];
    r.optionByte = p.data[1];
    r.indexByte = p.data[2];
    r.value.assign(p.data.begin() + 3, p.data.end());
    return true;
}

void replyUEI(Context& c, const UeiRequest& r, const std::vector<uint8_t>& value) {
    std::vector<uint8_t> d{r.command, r.replyOption(), r.index()};
    d.insert(d.end(), value.begin(), value.end());
    c.reply(std::move(d));
}

void replyUEIError(Context& c, const UeiRequest& r, aErr code) {
    c.reply({r.command, r.replyOption(), uint8_t(r.index() | 0x80), uint8_t(code)});
    c.log.write("uei_error", JsonObject()
                                 .str("serial", c.module.serialText())
                                 .num("command", r.command)
                                 .num("option", r.option())
                                 .num("index", r.index())
                                 .num("error", code));
}

void replyUEIBytes(Context& c, const UeiRequest& r, const std::vector<uint8_t>& bytes) {
    constexpr size_t kChunk = 24;
    size_t pos = 0;
    uint8_t seq = 0;
    do {
        size_t n = std::min(kChunk, bytes.size() - pos);
        bool more = pos + n < bytes.size();
        std::vector<uint8_t> d{r.command, r.replyOption(), r.index()};
        d.insert(d.end(), bytes.begin() + pos, bytes.begin() + pos + n);
        d.push_back(uint8_t((seq & 0x7F) | (more ? 0x80 : 0)));
        c.reply(std::move(d));
        pos += n;
        ++seq;
    } while (pos < bytes.size());
}

ByteRunCollector::Result ByteRunCollector::add(const std::vector<uint8_t>& payload) {
    if (payload.empty()) {
        clear();
        return kError;
    }
    uint8_t seqByte = payload.back();
    if ((seqByte & 0x7F) != expected_) {
        clear();
        return kError;
    }
    bytes_.insert(bytes_.end(), payload.begin(), payload.end() - 1);
    expected_ = uint8_t((expected_ + 1) & 0x7F);
    if (seqByte & 0x80) return kMore;
    expected_ = 0;
    return kDone;
}

void ByteRunCollector::clear() {
    bytes_.clear();
    expected_ = 0;
}

}  // namespace sim
