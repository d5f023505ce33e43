#include "Protocol.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>

#include "server/Base64.h"

namespace {

const std::set<std::string> kOps = {"hi", "qu", "bird", "builds", "fix"};
const std::set<std::string> kEveryOpModes = {"stall", "slow",      "not-ok", "http-500",
                                             "empty", "truncated", "absurd"};
const std::set<std::string> kDownloadModes = {"bad-base64", "bad-length", "not-bird"};

Answer error(const std::string& text) {
    return Answer{200, "error " + text + "\n", false};
}

// The single value of `key`; false when missing or given twice.
bool single(const Params& params, const std::string& key, std::string& value) {
    if (params.count(key) != 1) return false;
    value = params.find(key)->second;
    return true;
}

bool hexDigits(const std::string& text, size_t count) {
    if (text.size() != count) return false;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// Exactly 8 hex digits.
bool parseSerial(const std::string& text, uint32_t& serial) {
    if (!hexDigits(text, 8)) return false;
    serial = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
    return true;
}

// 1 to 10 decimal digits that fit in 32 bits.
bool parseBuild(const std::string& text, uint32_t& build) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFull) return false;
    build = static_cast<uint32_t>(v);
    return true;
}

// Four groups of 8 hex digits separated by single spaces.
bool parseFingerprint(const std::string& text, uint32_t words[4]) {
    if (text.size() != 35) return false;
    for (int i = 0; i < 4; ++i) {
        const std::string group = text.substr(static_cast<size_t>(i) * 9, 8);
        if (!hexDigits(group, 8) || (i < 3 && text[static_cast<size_t>(i) * 9 + 8] != ' '))
            return false;
        words[i] = static_cast<uint32_t>(std::strtoul(group.c_str(), nullptr, 16));
    }
    return true;
}

Answer download(const Params& params, const Catalog& catalog, const std::string& mode) {
    std::string sn, bld, fw, noCal;
    uint32_t serial = 0, build = 0;
    if (!single(params, "sn", sn) || !parseSerial(sn, serial)) return error("bad parameter sn");
    if (!single(params, "bld", bld) || !parseBuild(bld, build)) return error("bad parameter bld");
    if (!single(params, "fw", fw)) return error("bad parameter fw");
    if (!single(params, "no_cal", noCal) || (noCal != "true" && noCal != "false"))
        return error("bad parameter no_cal");
    if (fw != catalog.FirmwareName(serial)) return error("unknown firmware " + fw);
    const auto builds = catalog.Builds(serial);
    const auto found = builds.find(build);
    if (found == builds.end())
        return error("no build " + bld + " for " + Catalog::SerialName(serial));
    std::string bytes;
    if (!Catalog::ReadFile(found->second, bytes)) return error("cannot read build " + bld);

    if (mode == "not-bird") bytes = "This is not a firmware image.\n";
    if (mode == "absurd")
        bytes = std::string("bird\x01\x01", 6) + std::string(64, '\xA5');  // no zlib stream
    // The answer is built in one buffer: "ok\n", the base64 text, "\n".
    Answer a{200, "ok\n", false};
    a.body.reserve(3 + (bytes.size() + 2) / 3 * 4 + 1);
    Base64::EncodeAppend(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), a.body);
    const size_t text = a.body.size() - 3;
    if (mode == "bad-base64" && text > 0) a.body[3 + text / 2] = '*';
    if (mode == "bad-length" && text > 0) a.body.pop_back();
    if (mode == "truncated") a.body.resize(3 + text / 8 * 4);  // valid base64 of half the file
    a.body += "\n";
    return a;
}

Answer answer(const std::string& op, const Params& params, const Catalog& catalog,
              const std::string& mode) {
    if (op == "hi") return Answer{200, "ok\n", false};

    if (op == "fix") {
        std::string fp, brief;
        uint32_t words[4];
        if (!single(params, "fp", fp) || !parseFingerprint(fp, words))
            return error("bad parameter fp");
        if (params.count("brief") > 1) return error("bad parameter brief");
        if (mode == "absurd") return Answer{200, "ok\nFFFFFFFFFFFF\n0x1FFFFFFFF\n", false};
        const auto recovery = catalog.LookupFingerprint(words);
        if (!recovery) return error("unknown fingerprint");
        uint32_t build = recovery->build;
        if (build == 0) {
            const auto builds = catalog.Builds(recovery->serial);
            if (builds.empty())
                return error("no builds for " + Catalog::SerialName(recovery->serial));
            build = builds.rbegin()->first;
        }
        return Answer{
            200,
            "ok\n" + Catalog::SerialName(recovery->serial) + "\n" + std::to_string(build) + "\n",
            false};
    }

    if (op == "bird") return download(params, catalog, mode);

    std::string sn;
    uint32_t serial = 0;
    if (!single(params, "sn", sn) || !parseSerial(sn, serial)) return error("bad parameter sn");
    if (op == "qu") {
        if (mode == "absurd")
            return Answer{200, "ok\n99999999999999999999\n" + std::string(300, 'x') + "\n", false};
        const auto builds = catalog.Builds(serial);
        if (builds.empty()) return error("no builds for " + Catalog::SerialName(serial));
        return Answer{200,
                      "ok\n" + std::to_string(builds.rbegin()->first) + "\n" +
                          catalog.FirmwareName(serial) + "\n",
                      false};
    }
    // builds
    if (mode == "absurd")
        return Answer{200, "ok\n99999999999999999999;999.999.999\nabc;1.2\n;;;;\n", false};
    std::string body = "ok\n";
    for (const auto& build : catalog.Builds(serial))
        body += std::to_string(build.first) + ";" + Catalog::Version(build.second) + "\n";
    return Answer{200, body, false};
}

}  // namespace

bool ParseFault(const std::string& text, Fault& fault, std::string& error) {
    const size_t colon = text.find(':');
    fault.mode = text.substr(0, colon);
    fault.op = colon == std::string::npos ? "" : text.substr(colon + 1);
    if (!kEveryOpModes.count(fault.mode) && !kDownloadModes.count(fault.mode)) {
        error = "unknown fault mode '" + fault.mode + "'";
        return false;
    }
    if (kDownloadModes.count(fault.mode)) {
        if (!fault.op.empty() && fault.op != "bird") {
            error = "fault '" + fault.mode + "' applies to the download (bird) only";
            return false;
        }
        fault.op = "bird";
    }
    if (!fault.op.empty() && !kOps.count(fault.op)) {
        error = "unknown operation '" + fault.op + "'";
        return false;
    }
    return true;
}

std::string Answer::Summary() const {
    if (stall) return "stall";
    const std::string line = body.substr(0, body.find('\n'));
    return line.size() > 80 ? line.substr(0, 80) + "..." : line;
}

Answer Respond(const Params& params, const Catalog& catalog, const std::vector<Fault>& faults) {
    std::string op;
    if (!single(params, "op", op) || !kOps.count(op)) return error("unknown operation");
    std::string mode;
    for (const Fault& f : faults)
        if (f.op.empty() || f.op == op) mode = f.mode;

    if (mode == "stall") return Answer{0, "", true};
    if (mode == "slow") std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    if (mode == "not-ok") return error("injected fault");
    if (mode == "http-500") return Answer{500, "internal error\n", false};
    if (mode == "empty") return Answer{200, "", false};
    Answer a = answer(op, params, catalog, mode);
    if (mode == "truncated" && op != "bird" && a.body.compare(0, 2, "ok") == 0) a.body = "ok\n";
    return a;
}
