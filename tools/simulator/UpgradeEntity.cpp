#include "UpgradeEntity.h"
#include "KeyValueList.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "Module.h"

namespace sim {

namespace {

constexpr uint8_t kInit = 0, kData = 1, kLoad = 2, kPrepare = 3, kSum = 4, kWrite = 5, kReboot = 6,
                  kStatus = 7, kDataUEI = 10;

bool parseCount(const std::string& s, unsigned long long max, unsigned long long& out) {
    if (s.empty() || s[0] == '-' || s[0] == '+') return false;
    char* end = nullptr;
    out = std::strtoull(s.c_str(), &end, 0);
    return end && *end == 0 && out <= max;
}

uint32_t byteSum(const std::vector<uint8_t>& b) {
    uint32_t s = 0;
    for (uint8_t v : b) s += v;
    return s;
}

JsonObject ev(Context& c, const char* kind) {
    return JsonObject().str("serial", c.module.serialText()).str("kind", kind);
}

// Writes `bytes` to `path` through a temporary file and a rename.
bool writeAtomically(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = std::fclose(f) == 0 && ok;
    return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

std::vector<uint8_t> concat(const std::map<uint32_t, std::vector<uint8_t>>& regions) {
    std::vector<uint8_t> all;
    for (const auto& r : regions) all.insert(all.end(), r.second.begin(), r.second.end());
    return all;
}

}  // namespace

bool parseUpgrade(const std::string& text, UpgradeConfig& u, std::string& error) {
    u = UpgradeConfig();
    for (const auto& [key, val] : splitKeyValueList(text)) {
        unsigned long long n = 0;
        bool ok = true;
        if (key == "serial") {
            char* end = nullptr;
            n = std::strtoull(val.c_str(), &end, 16);
            ok = !val.empty() && val.size() <= 8 && end && *end == 0 && n != 0;
            u.serial = uint32_t(n);
        } else if (key == "flash") {
            ok = !val.empty();
            u.flashPath = val;
        } else if (key == "stats") {
            ok = !val.empty();
            u.statsPath = val;
        } else if (key == "loader") {
            ok = !val.empty();
            u.loaderPath = val;
        } else if (key == "uei") {
            ok = val == "0" || val == "1";
            u.ueiData = val == "1";
        } else if (key == "block") {
            ok = parseCount(val, 65535, n);
            u.blockSize = uint16_t(n);
        } else if (key == "loader-drop") {
            ok = parseCount(val, 600000, n);
            u.loaderDropMs = unsigned(n);
        } else if (key == "reboot") {
            ok = parseCount(val, 600000, n);
            u.rebootMs = unsigned(n);
        } else if (key == "short-data") {
            ok = parseCount(val, 1000000, n);
            u.shortData = unsigned(n);
        } else if (key == "bad-sum") {
            ok = parseCount(val, 1000000, n);
            u.badSum = unsigned(n);
        } else if (key == "bad-loader-sum") {
            ok = parseCount(val, 1000000, n);
            u.badLoaderSum = unsigned(n);
        } else if (key == "prepare-fail") {
            ok = parseCount(val, 1000000, n);
            u.prepareFail = unsigned(n);
        } else if (key == "drop-after-data") {
            ok = parseCount(val, 100000000, n) && n > 0;
            u.dropAfterData = unsigned(n);
        } else if (key == "no-load-reply") {
            ok = val.empty() || val == "1";
            u.noLoadReply = true;
        } else if (key == "stay-after-reboot") {
            ok = val.empty() || val == "1";
            u.stayAfterReboot = true;
        } else {
            error = "unknown upgrade key '" + key + "'";
            return false;
        }
        if (!ok) {
            error = "bad value for upgrade key '" + key + "': '" + val + "'";
            return false;
        }
    }
    return true;
}

uint8_t UpgradeEntity::hasUEI(uint8_t option, uint8_t index, uint8_t flags) const {
    if (index != 0) return aErrIndexRange;
    if (option != kDataUEI || !config_.ueiData) return aErrInvalidOption;
    return flags == 0x40 ? uint8_t(aErrPermission) : uint8_t(aErrNone);
}

void UpgradeEntity::handle(Context& c, const Packet& in) {
    const std::vector<uint8_t>& d = in.data;
    if (d.size() < 2) return;
    if (silent_ && (d[1] & 0xC0)) return;
    if (d[1] & 0xC0) {
        // A UEI request: only the set of option 10 (a byte run of image data).
        UeiRequest r;
        if (!UeiRequest::parse(in, r)) return;
        if (!r.isSet() || r.option() != kDataUEI || !config_.ueiData)
            return replyUEIError(c, r, aErrInvalidOption);
        ++counts_.ueiPackets;
        ByteRunCollector::Result res = collector_.add(r.value);
        if (res == ByteRunCollector::kMore) return;
        if (res == ByteRunCollector::kError) return replyUEIError(c, r, aErrPacket);
        std::vector<uint8_t> bytes = collector_.bytes();
        collector_.clear();
        data(c, bytes.data(), bytes.size(), true);
        ++counts_.ueiRuns;
        return replyUEI(c, r, {});
    }
    if (silent_) {
        if (d[1] != kInit) return;
        silent_ = false;
    }
    switch (d[1]) {
        case kInit: {
            c.log.write("upgrade", ev(c, "init").boolean("loader", inLoader_));
            std::vector<uint8_t> r{kCommand, kInit};
            putBE32(r, 0x20000000u);
            return c.reply(r);
        }
        case kPrepare:
            return prepare(c, d);
        case kData: {
            size_t n = d.size() - 2;
            ++counts_.dataPackets;
            bool shortIt = inLoader_ && config_.shortData > 0 && n > 0;
            if (shortIt) --config_.shortData;
            // A short count tells the host the packet did not go in whole:
            // it sends the same bytes again, so none of them are kept.
            size_t accepted = shortIt ? n - 1 : n;
            if (!shortIt) data(c, d.data() + 2, n, false);
            c.reply({kCommand, kData, uint8_t(accepted)});
            if (inLoader_ && config_.dropAfterData && ++dataPackets_ == config_.dropAfterData) {
                c.log.write("upgrade", ev(c, "drop").num("after_data", dataPackets_));
                c.module.requestReboot(1000);
                silent_ = true;  // nothing more gets through before the link is gone
            }
            return;
        }
        case kSum: {
            uint32_t sum = byteSum(pending_);
            uint32_t told = sum;
            ++counts_.sums;
            unsigned& bad = inLoader_ ? config_.badSum : config_.badLoaderSum;
            if (bad > 0) {
                --bad;
                told = sum + 1;
            }
            c.log.write("upgrade", ev(c, "sum")
                                       .num("bytes", int64_t(pending_.size()))
                                       .num("sum", sum)
                                       .num("told", told));
            // A chunk is only good once checked: a bad check throws it away
            // so that the host's retry starts clean.
            if (told != sum) pending_.clear();
            std::vector<uint8_t> r{kCommand, kStatus, 0};
            putBE32(r, told);
            return c.reply(r);
        }
        case kWrite: {
            unsigned count = d.size() >= 4 ? unsigned(d[2]) << 8 | d[3] : 0;
            ++counts_.writes;
            uint8_t status = 0;
            if (!inLoader_ || count != pending_.size()) {
                status = 1;
            } else {
                std::vector<uint8_t>& region = flash_[blockAddress_];
                if (region.size() < blockOffset_ + count) region.resize(blockOffset_ + count, 0xFF);
                std::memcpy(region.data() + blockOffset_, pending_.data(), count);
                blockOffset_ += count;
            }
            c.log.write("upgrade", ev(c, "write")
                                       .num("address", blockAddress_)
                                       .num("count", count)
                                       .num("status", status));
            pending_.clear();
            return c.reply({kCommand, kStatus, status});
        }
        case kLoad: {
            commitLoaderBlock();
            std::vector<uint8_t> all = concat(loader_);
            if (!config_.loaderPath.empty()) writeAtomically(config_.loaderPath, all);
            inLoader_ = true;
            dataPackets_ = 0;
            flash_.clear();
            counts_ = Counts();
            c.log.write("upgrade",
                        ev(c, "load")
                            .num("loader_bytes", int64_t(all.size()))
                            .boolean("replied", !config_.noLoadReply && !config_.loaderDropMs)
                            .num("drop_ms", config_.loaderDropMs));
            // A device that re-enumerates restarts at once: no answer.
            if (!config_.noLoadReply && !config_.loaderDropMs) c.reply({kCommand, kLoad});
            if (config_.loaderDropMs) c.module.requestReboot(config_.loaderDropMs);
            return;
        }
        case kReboot:
            return reboot(c);
        default:
            c.log.write("upgrade", ev(c, "unknown").num("option", d[1]));
            return;
    }
}

void UpgradeEntity::prepare(Context& c, const std::vector<uint8_t>& d) {
    if (d.size() < 7) return c.reply({kCommand, kStatus, 2, 0, 0});
    commitLoaderBlock();
    uint8_t flags = d[2];
    blockAddress_ = uint32_t(d[3]) << 24 | uint32_t(d[4]) << 16 | uint32_t(d[5]) << 8 | d[6];
    blockOffset_ = 0;
    pending_.clear();
    if (inLoader_ && counts_.prepares++ == 0)
        counts_.firstPrepare = std::chrono::steady_clock::now();
    uint8_t status = 0;
    if (inLoader_ && config_.prepareFail > 0) {
        --config_.prepareFail;
        status = 1;
    }
    c.log.write("upgrade", ev(c, "prepare")
                               .num("address", blockAddress_)
                               .num("flags", flags)
                               .boolean("loader", !inLoader_)
                               .num("status", status));
    c.reply(
        {kCommand, kStatus, status, uint8_t(config_.blockSize >> 8), uint8_t(config_.blockSize)});
}

void UpgradeEntity::data(Context& c, const uint8_t* bytes, size_t n, bool uei) {
    pending_.insert(pending_.end(), bytes, bytes + n);
    if (uei) c.log.write("upgrade", ev(c, "data_uei").num("bytes", int64_t(n)));
}

// Loader bytes have no WRITE: what arrived for a loader block is the block.
void UpgradeEntity::commitLoaderBlock() {
    if (inLoader_ || pending_.empty()) return;
    std::vector<uint8_t>& b = loader_[blockAddress_];
    b.insert(b.end(), pending_.begin(), pending_.end());
    pending_.clear();
}

void UpgradeEntity::writeFlash(Context& c) {
    if (config_.flashPath.empty()) return;
    if (!writeAtomically(config_.flashPath, concat(flash_)))
        c.log.write("upgrade", ev(c, "flash_write_failed").str("path", config_.flashPath));
}

void UpgradeEntity::writeStats(const std::vector<uint8_t>& image) {
    if (config_.statsPath.empty() || !inLoader_) return;
    double seconds =
        counts_.prepares
            ? std::chrono::duration<double>(std::chrono::steady_clock::now() - counts_.firstPrepare)
                  .count()
            : 0.0;
    char text[512];
    std::snprintf(text, sizeof text,
                  "{\"transfer_seconds\":%.6f,\"flash_bytes\":%zu,\"prepares\":%u,"
                  "\"data_packets\":%u,\"uei_runs\":%u,\"uei_packets\":%u,\"sums\":%u,"
                  "\"writes\":%u}\n",
                  seconds, image.size(), counts_.prepares, counts_.dataPackets, counts_.ueiRuns,
                  counts_.ueiPackets, counts_.sums, counts_.writes);
    std::string t(text);
    writeAtomically(config_.statsPath, std::vector<uint8_t>(t.begin(), t.end()));
}

void UpgradeEntity::reboot(Context& c) {
    std::vector<uint8_t> image = concat(flash_);
    writeStats(image);
    writeFlash(c);
    // The new image's identity tag sets what the module reports.
    const std::string tag = kIdentityTag;
    std::string text(image.begin(), image.end());
    size_t at = text.find(tag);
    JsonObject o = ev(c, "reboot");
    o.num("flash_bytes", int64_t(image.size())).boolean("loader", inLoader_);
    if (inLoader_ && at != std::string::npos) {
        unsigned long build = 0;
        unsigned a = 0, b = 0, p = 0;
        if (std::sscanf(text.c_str() + at + tag.size(), "build=%lu version=%u.%u.%u;", &build, &a,
                        &b, &p) == 4 &&
            a < 256 && b < 256 && p < 256) {
            ModuleConfig& m = c.module.mutableConfig();
            m.build = uint32_t(build);
            m.versionMajor = a;
            m.versionMinor = b;
            m.versionPatch = p;
            o.num("new_build", int64_t(build));
        }
    }
    c.log.write("upgrade", o);
    inLoader_ = false;
    loader_.clear();
    pending_.clear();
    if (!config_.stayAfterReboot)
        c.module.requestReboot(config_.rebootMs ? config_.rebootMs : c.module.config().rebootMs);
}

}  // namespace sim
