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
