#include "Module.h"

#include <algorithm>
#include <cstdio>

#include "EventLog.h"

namespace sim {

Module::Module(const ModuleConfig& config, EventLog& log)
    : config_(config), log_(log), address_(config.address) {
    settings_.routerAddress = config.address;
    settings_.name = config.name;
    settings_.heartbeatInterval = uint8_t(std::min(255u, (config.heartbeatMs + 99) / 100));
    saved_ = settings_;
    installStandardEntities(*this);
}

Module::~Module() = default;

std::string Module::serialText() const {
    char b[16];
    std::snprintf(b, sizeof b, "%08X", config_.serial);
    return b;
}

uint32_t Module::packedVersion() const {
    return packVersion(config_.versionMajor, config_.versionMinor, config_.versionPatch);
}

void Module::registerEntity(uint8_t command, std::unique_ptr<Entity> entity) {
    entities_[command] = std::move(entity);
}

Entity* Module::entity(uint8_t command) const {
    auto it = entities_.find(command);
    return it == entities_.end() ? nullptr : it->second.get();
}

void Module::attach(Module* behind) {
    behind_[behind->address()] = behind;
    behind->router_ = this;
    behind->settings_.routerAddress = address_;
    behind->saved_.routerAddress = address_;
}

Module* Module::behindAt(uint8_t address) const {
    auto it = behind_.find(address);
    return it == behind_.end() ? nullptr : it->second;
}

bool Module::serves(uint8_t address) const {
    return address == address_ || behindAt(address) != nullptr;
}

int Module::takeRebootRequest() {
    int r = rebootRequestMs_;
    rebootRequestMs_ = -1;
    return r;
}

void Module::factoryReset() {
    Settings fresh;
    fresh.routerAddress = router_ ? router_->address() : address_;
    fresh.name = config_.name;
    fresh.heartbeatInterval = uint8_t(std::min(255u, (config_.heartbeatMs + 99) / 100));
    settings_ = fresh;
    saved_ = fresh;
}

unsigned Module::heartbeatMs() const {
    return unsigned(settings_.heartbeatInterval) * 100;
}

void Module::dispatch(const Packet& in, std::vector<Packet>& out) {
    if (in.address != address_) {
        Module* m = behindAt(in.address);
        if (m) {
            log_.write("routed", JsonObject()
                                     .str("router", serialText())
                                     .str("serial", m->serialText())
                                     .num("address", in.address));
            m->dispatch(in, out);
        }
        return;
    }
    if (in.data.empty()) return;  // handled by the link layer (address query)
    UeiRequest forced;
    if (isUEICommand(in.data[0]) && UeiRequest::parse(in, forced)) {
        for (const ModuleConfig::ForcedError& f : config_.forcedErrors) {
            if (f.command == forced.command && f.option == forced.option()) {
                Context c{*this, out, log_};
                replyUEIError(c, forced, aErr(f.code));
                return;
            }
        }
    }
    Entity* e = entity(in.data[0]);
    if (!e) {
        UeiRequest r;
        // Unknown UEI classes get an error reply; unknown raw commands are ignored.
        if (isUEICommand(in.data[0]) && UeiRequest::parse(in, r) && (r.optionByte & 0xC0)) {
            Context c{*this, out, log_};
            replyUEIError(c, r, aErrInvalidEntity);
        } else {
            log_.write("ignored", JsonObject()
                                      .str("serial", serialText())
                                      .num("address", in.address)
                                      .str("data", hex(in.data.data(), in.data.size())));
        }
        return;
    }
    Context c{*this, out, log_};
    e->handle(c, in);
}

}  // namespace sim

namespace sim {

void Module::addStream(uint32_t key) {
    for (uint32_t k : streams_)
        if (k == key) return;
    streams_.push_back(key);
}

void Module::removeStreams(uint32_t key) {
    auto matches = [key](uint32_t k) {
        for (int shift = 0; shift < 32; shift += 8) {
            uint8_t want = uint8_t(key >> shift), have = uint8_t(k >> shift);
            if (want != 0xFF && want != have) return false;
        }
        return true;
    };
    streams_.erase(std::remove_if(streams_.begin(), streams_.end(), matches), streams_.end());
}

std::vector<Packet> Module::streamSamples(uint64_t micros) {
    std::vector<Packet> out;
    for (uint32_t key : streams_) {
        uint8_t address = uint8_t(key >> 24), command = uint8_t(key >> 16);
        uint8_t option = uint8_t(key >> 8), index = uint8_t(key);
        Module* m = address == address_ ? this : behindAt(address);
        Entity* e = m ? m->entity(command) : nullptr;
        if (!e) continue;
        if (index == 0xFF) index = 0;
        for (int opt = option == 0xFF ? 0 : option; opt <= (option == 0xFF ? 63 : option); ++opt) {
            int width = e->sampleWidth(uint8_t(opt));
            if (width == 0) continue;
            // The value is what a get would answer right now.
            Packet get;
            get.address = m->address();
            get.data = {command, uint8_t(0x40 | opt), uint8_t(0x20 | index)};
            std::vector<Packet> reply;
            Context c{*m, reply, log_};
            e->handle(c, get);
            if (reply.size() != 1 || reply[0].data.size() != size_t(3 + width) ||
                (reply[0].data[2] & 0x80))
                continue;
            uint8_t type = width == 1 ? 1 : width == 2 ? 2 : 3;
            Packet s;
            s.address = m->address();
            s.data = {command, uint8_t(opt), uint8_t(index | 0x40), type};
            putBE32(s.data, uint32_t(micros >> 32));
            putBE32(s.data, uint32_t(micros));
            s.data.insert(s.data.end(), reply[0].data.begin() + 3, reply[0].data.end());
            s.data.push_back(0);
            out.push_back(std::move(s));
        }
    }
    return out;
}

}  // namespace sim
