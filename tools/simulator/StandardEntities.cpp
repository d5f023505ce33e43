#include "StandardEntities.h"
#include "UpgradeEntity.h"

#include "EventLog.h"
#include "Module.h"
#include "StoreEntities.h"
#include "SystemEntity.h"

namespace sim {

void installStandardEntities(Module& m) {
    m.registerEntity(SystemEntity::kCommand, std::make_unique<SystemEntity>());
    m.registerEntity(ModuleQueryEntity::kCommand, std::make_unique<ModuleQueryEntity>());
    m.registerEntity(I2CEntity::kCommand, std::make_unique<I2CEntity>());
    m.registerEntity(EchoEntity::kCommand, std::make_unique<EchoEntity>());
    m.registerEntity(StreamEntity::kCommand, std::make_unique<StreamEntity>());
    m.registerEntity(StoreSlotEntity::kCommand, std::make_unique<StoreSlotEntity>());
    m.registerEntity(FactoryDataEntity::kCommand, std::make_unique<FactoryDataEntity>());
    m.registerEntity(UpgradeEntity::kCommand, std::make_unique<UpgradeEntity>());
}

void ModuleQueryEntity::handle(Context& c, const Packet& in) {
    const std::vector<uint8_t>& d = in.data;
    if (d.size() < 2) return;
    Module& m = c.module;
    switch (d[1]) {
        case 0xFF: {  // build number
            if (d.size() != 2) break;
            std::vector<uint8_t> r{0x49, 0xFF};
            putBE32(r, m.config().build);
            if (m.config().shortBuildReply) r.pop_back();
            return c.reply(std::move(r));
        }
        case 1: {  // does an option exist / can it be read / set
            if (d.size() != 6) break;
            uint8_t flags = d[5];
            uint8_t answer;
            if ((flags & 0x3F) || flags == 0xC0) {
                answer = aErrParam;
            } else {
                Entity* e = m.entity(d[2]);
                answer = e ? e->hasUEI(d[3], d[4], flags) : uint8_t(aErrInvalidEntity);
            }
            return c.reply({0x49, 1, d[2], d[3], d[4], answer});
        }
        case 4: {  // entities of a class
            if (d.size() != 3) break;
            Entity* e = m.entity(d[2]);
            return c.reply({0x49, 4, d[2], uint8_t(e ? e->quantity() : 0)});
        }
        case 5: {  // entities of a subclass: one subclass (0) per class here
            if (d.size() != 4) break;
            Entity* e = m.entity(d[2]);
            return c.reply({0x49, 5, d[2], d[3], uint8_t(e && d[3] == 0 ? e->quantity() : 0)});
        }
        case 6:  // entity group
            if (d.size() != 4) break;
            return c.reply({0x49, 6, d[2], d[3], 0});
        default:
            break;
    }
    c.log.write("ignored", JsonObject()
                               .str("serial", m.serialText())
                               .str("reason", "malformed module query")
                               .str("data", hex(d.data(), d.size())));
}

void StreamEntity::handle(Context& c, const Packet& in) {
    UeiRequest r;
    if (!UeiRequest::parse(in, r)) return;
    if (r.index() != 0) return replyUEIError(c, r, aErrIndexRange);
    if (r.isGet() && r.option() == 1) return replyUEI(c, r, {uint8_t(c.module.streaming())});
    if (r.isSet() && (r.option() == 1 || r.option() == 2)) {
        if (r.value.size() != 4) return replyUEIError(c, r, aErrSize);
        uint32_t key = getBE32(r.value.data());
        if (r.option() == 1)
            c.module.addStream(key);
        else
            c.module.removeStreams(key);
        c.log.write("stream", JsonObject()
                                  .str("serial", c.module.serialText())
                                  .boolean("enable", r.option() == 1)
                                  .num("key", key));
        return replyUEI(c, r, {});
    }
    replyUEIError(c, r, aErrInvalidOption);
}

void EchoEntity::handle(Context& c, const Packet& in) {
    c.reply(in.data);
}

void I2CEntity::handle(Context& c, const Packet& in) {
    const std::vector<uint8_t>& d = in.data;
    if (d.size() < 4) return;
    uint8_t index = d[1];
    uint8_t addr = d[2];
    auto status = [](aErr e) { return uint8_t(e == aErrNone ? 0 : 0x80 | e); };
    if (addr == 1 && d.size() == 4) {  // pull-up switch
        return c.reply({8, index, 1, 0, status(index == 0 ? aErrNone : aErrIndexRange)});
    }
    if (d.size() < 5) return;
    uint8_t length = d[3];
    uint8_t speed = d[4];
    uint8_t target = addr & 0xFE;
    Module* dev = c.module.behindAt(target);
    aErr err = aErrNone;
    if (index != 0)
        err = aErrIndexRange;
    else if (speed > 3)
        err = aErrParam;
    else if (!dev || target == c.module.address())
        err = aErrIO;  // nothing acknowledges at that address
    if (addr & 1) {    // read
        std::vector<uint8_t> r{8, index, addr, 0, 0};
        if (err == aErrNone && length > 23) err = aErrSize;
        if (err == aErrNone) {
            std::vector<uint8_t> src = written_[target];
            src.resize(length, 0);
            r[3] = length;
            r.insert(r.end(), src.begin(), src.end());
        }
        r[4] = status(err);
        return c.reply(std::move(r));
    }
    if (err == aErrNone && size_t(length) != d.size() - 5) err = aErrSize;
    if (err == aErrNone) written_[target].assign(d.begin() + 5, d.end());
    c.reply({8, index, addr, 0, status(err)});
}

}  // namespace sim
