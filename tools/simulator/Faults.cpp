#include "Faults.h"
#include "KeyValueList.h"

#include <cstdlib>

namespace sim {

namespace {
bool number(const std::string& s, double& out) {
    char* end = nullptr;
    out = std::strtod(s.c_str(), &end);
    return !s.empty() && end && *end == 0;
}
bool unsignedNumber(const std::string& s, uint64_t& out, int base = 0) {
    if (s.empty() || s[0] == '-') return false;
    char* end = nullptr;
    out = std::strtoull(s.c_str(), &end, base);
    return end && *end == 0;
}
}  // namespace

bool parseFault(const std::string& text, FaultConfig& f, std::string& error) {
    for (const auto& [key, val] : splitKeyValueList(text)) {
        uint64_t u = 0;
        double d = 0;
        bool ok = true;
        if (key == "serial") {
            ok = unsignedNumber(val, u, 16) && u <= 0xFFFFFFFFu;
            f.serial = uint32_t(u);
        } else if (key == "transport") {
            ok = val == "tcp" || val == "serial" || val == "usb";
            f.transport = val;
        } else if (key == "drop" || key == "corrupt") {
            ok = number(val, d) && d >= 0 && d <= 1;
            (key == "drop" ? f.drop : f.corrupt) = d;
        } else if (key == "dir") {
            ok = val == "in" || val == "out" || val == "both";
            f.inbound = val != "out";
            f.outbound = val != "in";
        } else if (key == "delay") {
            ok = unsignedNumber(val, u) && u <= 60000;
            f.delayMs = unsigned(u);
        } else if (key == "after") {
            ok = unsignedNumber(val, u);
            f.after = u;
        } else if (key == "limit") {
            ok = unsignedNumber(val, u);
            f.limit = u;
        } else if (key == "disconnect") {
            ok = unsignedNumber(val, u) && u > 0;
            f.disconnectAfter = u;
        } else if (key == "times") {
            ok = unsignedNumber(val, u) && u < 1000000;
            f.disconnects = unsigned(u);
        } else if (key == "down") {
            ok = unsignedNumber(val, u) && u <= 600000;
            f.downMs = unsigned(u);
        } else if (key == "seed") {
            ok = unsignedNumber(val, u);
            f.seed = unsigned(u);
        } else {
            error = "unknown fault key '" + key + "'";
            return false;
        }
        if (!ok) {
            error = "bad value for fault key '" + key + "': '" + val + "'";
            return false;
        }
    }
    return true;
}

FaultInjector::FaultInjector(const FaultConfig& config) : config_(config), rng_(config.seed) {}

FaultInjector::Action FaultInjector::onPacket(bool outbound) {
    if (outbound ? !config_.outbound : !config_.inbound) return Action::Pass;
    uint64_t& seen = outbound ? seenOut_ : seenIn_;
    if (seen++ < config_.after || faults_ >= config_.limit) return Action::Pass;
    std::uniform_real_distribution<double> u(0.0, 1.0);
    // Draw both numbers every time so that one rate does not shift the other's sequence.
    double a = u(rng_), b = u(rng_);
    if (a < config_.drop) {
        ++faults_;
        return Action::Drop;
    }
    if (b < config_.corrupt) {
        ++faults_;
        return Action::Corrupt;
    }
    return Action::Pass;
}

void FaultInjector::corruptBytes(std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return;
    size_t at = std::uniform_int_distribution<size_t>(0, bytes.size() - 1)(rng_);
    if (bytes.size() > 1 && bytes[at] == 0) at = (at + 1) % bytes.size();  // keep frame ends
    uint8_t mask = uint8_t(1u << std::uniform_int_distribution<int>(0, 7)(rng_));
    if ((bytes[at] ^ mask) == 0) mask = mask == 1 ? 2 : 1;
    bytes[at] ^= mask;
}

bool FaultInjector::countSentAndCheckDisconnect() {
    if (config_.disconnectAfter == 0 || disconnectsDone_ >= config_.disconnects) return false;
    if (++sentSinceConnect_ < config_.disconnectAfter) return false;
    sentSinceConnect_ = 0;
    ++disconnectsDone_;
    return true;
}

}  // namespace sim
