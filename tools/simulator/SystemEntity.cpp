#include "SystemEntity.h"

#include "EventLog.h"
#include "Module.h"

namespace sim {

namespace {
using K = SystemEntity::Kind;
const SystemEntity::Option kOptions[] = {
    {1, K::Byte, true, false},   // module address
    {2, K::Byte, true, true},    // router address
    {3, K::Byte, true, true},    // heartbeat interval (100 ms units)
    {4, K::Byte, true, true},    // LED
    {6, K::Byte, true, true},    // boot slot
    {7, K::Int, true, false},    // firmware version (packed)
    {8, K::Byte, true, false},   // model
    {9, K::Int, true, false},    // serial number
    {10, K::Call, false, true},  // save
    {11, K::Call, false, true},  // reset
    {12, K::Int, true, false},   // input voltage
    {13, K::Byte, true, false},  // hardware offset
    {14, K::Byte, true, false},  // base address
    {15, K::Byte, true, true},   // software offset
    {16, K::Byte, true, false},  // router address setting
    {20, K::Byte, false, true},  // route to me
    {21, K::Int, true, false},   // input current
    {22, K::Int, true, false},   // uptime
    {23, K::Int, true, false},   // maximum temperature
    {24, K::Call, false, true},  // log events
    {25, K::Int, true, false},   // unregulated voltage
    {26, K::Int, true, false},   // unregulated current
    {27, K::Int, true, false},   // temperature
    {28, K::Int, true, false},   // minimum temperature
    {29, K::Byte, true, false},  // input power source
    {30, K::Byte, true, true},   // input power behaviour
    {31, K::Bytes, true, true},  // input power behaviour config (32-bit words)
    {32, K::Bytes, true, true},  // name
    {33, K::Int, true, false},   // power limit
    {34, K::Int, true, true},    // power limit maximum
    {35, K::Int, true, false},   // power limit state
    {37, K::Call, false, true},  // reset to factory defaults
    {38, K::Byte, true, true},   // link interface
    {40, K::Int, true, false},   // hardware version
    {41, K::Int, true, false},   // errors
    {42, K::Byte, true, true},   // LED maximum brightness
    {43, K::Int, true, false},   // build
    {45, K::Int, true, false},   // protocol features
};
constexpr size_t kMaxName = 32;
constexpr size_t kMaxPowerConfig = 64;

std::vector<uint8_t> be32(uint32_t v) {
    std::vector<uint8_t> o;
    putBE32(o, v);
    return o;
}
}  // namespace

const SystemEntity::Option* SystemEntity::find(uint8_t option) {
    for (const Option& o : kOptions)
        if (o.number == option) return &o;
    return nullptr;
}

uint8_t SystemEntity::hasUEI(uint8_t option, uint8_t index, uint8_t flags) const {
    if (index != 0) return aErrIndexRange;
    const Option* o = find(option);
    if (!o) return aErrInvalidOption;
    if ((flags & 0x40) && !o->get) return aErrPermission;
    if ((flags & 0x80) && !o->set) return aErrPermission;
    return aErrNone;
}

int SystemEntity::sampleWidth(uint8_t option) const {
    const Option* o = find(option);
    if (!o || !o->get) return 0;
    return o->kind == Kind::Byte ? 1 : o->kind == Kind::Int ? 4 : 0;
}

void SystemEntity::handle(Context& c, const Packet& in) {
    UeiRequest r;
    if (!UeiRequest::parse(in, r)) return;  // too short to answer
    if (!r.isGet() && !r.isSet()) {
        replyUEIError(c, r, aErrParam);
        return;
    }
    if (r.index() != 0) {
        replyUEIError(c, r, aErrIndexRange);
        return;
    }
    const Option* o = find(r.option());
    if (!o) {
        replyUEIError(c, r, aErrInvalidOption);
        return;
    }
    if ((r.isGet() && !o->get) || (r.isSet() && !o->set)) {
        replyUEIError(c, r, aErrPermission);
        return;
    }
    if (r.isGet())
        get(c, r, *o);
    else
        set(c, r, *o);
}

void SystemEntity::get(Context& c, const UeiRequest& r, const Option& o) {
    Module& m = c.module;
    const Module::Settings& s = m.settings();
    auto byte = [&](uint8_t v) { replyUEI(c, r, {v}); };
    auto word = [&](uint32_t v) { replyUEI(c, r, be32(v)); };
    switch (o.number) {
        case 1:
            return byte(m.address());
        case 2:
            return byte(s.routerAddress);
        case 3:
            return byte(s.heartbeatInterval);
        case 4:
            return byte(s.led);
        case 6:
            return byte(s.bootSlot);
        case 7:
            return word(m.packedVersion());
        case 8:
            return byte(m.config().model);
        case 9:
            return word(m.config().serial);
        case 12:
            return word(5000000);  // microvolts
        case 13:
            return byte(0);
        case 14:
            return byte(m.config().address);
        case 15:
            return byte(s.softwareOffset);
        case 16:
            return byte(s.routerAddress);
        case 21:
            return word(250000);  // microamps
        case 22:
            return word(uint32_t(secondsSinceStart()));
        case 23:
            return word(uint32_t(int32_t(45000000)));  // micro-degrees C
        case 25:
            return word(uint32_t(int32_t(5100000)));
        case 26:
            return word(uint32_t(int32_t(300000)));
        case 27:
            return word(uint32_t(int32_t(35000000)));
        case 28:
            return word(uint32_t(int32_t(-5000000)));
        case 29:
            return byte(1);
        case 30:
            return byte(s.inputPowerBehavior);
        case 31:
            return replyUEIBytes(c, r, s.inputPowerBehaviorConfig);
        case 32:
            return replyUEIBytes(c, r, std::vector<uint8_t>(s.name.begin(), s.name.end()));
        case 33:
            return word(15000);
        case 34:
            return word(s.powerLimitMax);
        case 35:
            return word(0);
        case 38:
            return byte(s.linkInterface);
        case 40:
            return word(0x00010000);
        case 41:
            return word(0);
        case 42:
            return byte(s.ledMaxBrightness);
        case 43:
            return word(m.config().build);
        case 45:
            return word(m.config().features);
        default:
            return replyUEIError(c, r, aErrInvalidOption);
    }
}

void SystemEntity::set(Context& c, const UeiRequest& r, const Option& o) {
    Module& m = c.module;
    Module::Settings& s = m.settings();
    if (o.kind == Kind::Bytes) {
        if (collecting_ != o.number) {
            collector_.clear();
            collecting_ = o.number;
        }
        ByteRunCollector::Result res = collector_.add(r.value);
        if (res == ByteRunCollector::kMore) return;  // the reply follows the last chunk
        collecting_ = 0;
        if (res == ByteRunCollector::kError) return replyUEIError(c, r, aErrPacket);
        const std::vector<uint8_t>& b = collector_.bytes();
        if (o.number == 32) {
            if (b.size() > kMaxName) return replyUEIError(c, r, aErrSize);
            s.name.assign(b.begin(), b.end());
        } else {
            if (b.size() % 4 != 0 || b.size() > kMaxPowerConfig)
                return replyUEIError(c, r, aErrSize);
            s.inputPowerBehaviorConfig = b;
        }
        collector_.clear();
        return replyUEI(c, r, {});
    }
    size_t want = o.kind == Kind::Byte ? 1 : o.kind == Kind::Int ? 4 : 0;
    if (r.value.size() != want) return replyUEIError(c, r, aErrSize);
    uint8_t v8 = want == 1 ? r.value[0] : 0;
    switch (o.number) {
        case 2:
            s.routerAddress = v8;
            break;
        case 3:
            s.heartbeatInterval = v8;
            break;
        case 4:
            s.led = v8;
            break;
        case 6:
            if (v8 > 1) return replyUEIError(c, r, aErrRange);
            s.bootSlot = v8;
            break;
        case 10:
            m.saveSettings();
            break;
        case 11:
            // Answer first; the link drops once the reply is out.
            replyUEI(c, r, {});
            m.requestReboot(m.config().rebootMs);
            return;
        case 15:
            s.softwareOffset = v8;
            break;
        case 20:
            s.routeToMe = v8 != 0;
            break;
        case 24:
            break;
        case 30:
            s.inputPowerBehavior = v8;
            break;
        case 34:
            s.powerLimitMax = getBE32(r.value.data());
            break;
        case 37:
            m.factoryReset();
            break;
        case 38:
            s.linkInterface = v8;
            break;
        case 42:
            s.ledMaxBrightness = v8;
            break;
        default:
            return replyUEIError(c, r, aErrInvalidOption);
    }
    replyUEI(c, r, {});
}

}  // namespace sim
