#include "Options.h"
#include "KeyValueList.h"

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace sim {

namespace {
bool parseUnsigned(const std::string& s, unsigned long long max, unsigned long long& out,
                   int base = 0) {
    if (s.empty() || s[0] == '-' || s[0] == '+') return false;
    char* end = nullptr;
    out = std::strtoull(s.c_str(), &end, base);
    return end && *end == 0 && out <= max;
}

bool parseVersion(const std::string& s, ModuleConfig& m) {
    unsigned long long a, b, c;
    size_t d1 = s.find('.');
    size_t d2 = d1 == std::string::npos ? d1 : s.find('.', d1 + 1);
    if (d2 == std::string::npos) return false;
    if (!parseUnsigned(s.substr(0, d1), 255, a, 10) ||
        !parseUnsigned(s.substr(d1 + 1, d2 - d1 - 1), 255, b, 10) ||
        !parseUnsigned(s.substr(d2 + 1), 255, c, 10))
        return false;
    m.versionMajor = unsigned(a);
    m.versionMinor = unsigned(b);
    m.versionPatch = unsigned(c);
    return true;
}

bool parseHostPort(const std::string& s) {
    size_t colon = s.rfind(':');
    unsigned long long port;
    return colon != std::string::npos && colon > 0 &&
           parseUnsigned(s.substr(colon + 1), 65535, port, 10);
}
}  // namespace

bool parseModule(const std::string& text, ModuleConfig& m, std::string& error) {
    m = ModuleConfig();
    bool haveSerial = false, haveTransport = false;
    for (const auto& [key, val] : splitKeyValueList(text)) {
        unsigned long long u = 0;
        bool ok = true;
        if (key == "serial") {
            ok = val.size() <= 8 && parseUnsigned(val, 0xFFFFFFFFull, u, 16) && u != 0;
            m.serial = uint32_t(u);
            haveSerial = ok;
        } else if (key == "model") {
            ok = parseUnsigned(val, 255, u);
            m.model = uint8_t(u);
        } else if (key == "version") {
            ok = parseVersion(val, m);
        } else if (key == "build") {
            ok = parseUnsigned(val, 0xFFFFFFFFull, u);
            m.build = uint32_t(u);
        } else if (key == "name") {
            ok = val.size() <= 32;
            m.name = val;
        } else if (key == "address") {
            ok = parseUnsigned(val, 254, u) && u != 0 && u % 2 == 0 && u != 0xAD && u != 0xAF;
            m.address = uint8_t(u);
        } else if (key == "router") {
            ok = parseUnsigned(val, 0xFFFFFFFFull, u, 16) && u != 0;
            m.routerSerial = uint32_t(u);
        } else if (key == "features") {
            ok = parseUnsigned(val, 0xFFFFFFFFull, u);
            m.features = uint32_t(u);
        } else if (key == "hb") {
            ok = parseUnsigned(val, 25500, u, 10);
            m.heartbeatMs = unsigned(u);
        } else if (key == "stream") {
            ok = parseUnsigned(val, 60000, u, 10) && u >= 10;
            m.streamMs = unsigned(u);
        } else if (key == "reboot") {
            ok = parseUnsigned(val, 600000, u, 10);
            m.rebootMs = unsigned(u);
        } else if (key == "tcp") {
            ok = parseHostPort(val);
            m.tcp = val;
            haveTransport = true;
        } else if (key == "pty") {
            m.serialPty = true;
            ok = val.empty() || val == "1";
            haveTransport = true;
        } else if (key == "usb") {
            m.usbNode = true;
            ok = val.empty() || val == "1";
            haveTransport = true;
        } else if (key == "quirk") {
            ok = val == "short-build" || val == "mute-address";
            if (val == "short-build") m.shortBuildReply = true;
            if (val == "mute-address") m.muteAddressQuery = true;
        } else if (key == "error") {
            // error=COMMAND/OPTION/CODE: that UEI option answers with that aErr code
            unsigned long long c, o, e;
            size_t s1 = val.find('/'), s2 = s1 == std::string::npos ? s1 : val.find('/', s1 + 1);
            ok = s2 != std::string::npos && parseUnsigned(val.substr(0, s1), 255, c) &&
                 parseUnsigned(val.substr(s1 + 1, s2 - s1 - 1), 63, o) &&
                 parseUnsigned(val.substr(s2 + 1), 127, e) && e != 0;
            if (ok) m.forcedErrors.push_back({uint8_t(c), uint8_t(o), uint8_t(e)});
        } else if (key == "discover") {
            ok = val == "0" || val == "1";
            m.discoverable = val == "1";
        } else {
            error = "unknown module key '" + key + "'";
            return false;
        }
        if (!ok) {
            error = "bad value for module key '" + key + "': '" + val + "'";
            return false;
        }
    }
    if (!haveSerial) {
        error = "a module needs serial=XXXXXXXX (hexadecimal, not 0)";
        return false;
    }
    if (m.routerSerial && haveTransport) {
        error = "a module behind a router has no transport of its own";
        return false;
    }
    if (!m.routerSerial && !haveTransport) m.tcp = "127.0.0.1:0";
    return true;
}

bool readOptionFile(const std::string& path, std::vector<std::string>& args, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read option file " + path;
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        size_t b = line.find_first_not_of(" \t\r");
        if (b == std::string::npos) continue;
        size_t e = line.find_last_not_of(" \t\r");
        line = line.substr(b, e - b + 1);
        size_t sp = line.find_first_of(" \t=");
        args.push_back("--" + line.substr(0, sp));
        if (sp != std::string::npos) {
            size_t v = line.find_first_not_of(" \t=", sp);
            if (v != std::string::npos) args.push_back(line.substr(v));
        }
    }
    return true;
}

bool parseOptions(const std::vector<std::string>& argsIn, Options& o, std::string& error) {
    std::vector<std::string> args = argsIn;
    int fileDepth = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            v = args[++i];
            return true;
        };
        std::string v;
        if (a == "--module") {
            if (!value(v)) return false;
            ModuleConfig m;
            if (!parseModule(v, m, error)) return false;
            o.modules.push_back(m);
        } else if (a == "--fault") {
            if (!value(v)) return false;
            FaultConfig f;
            if (!parseFault(v, f, error)) return false;
            o.faults.push_back(f);
        } else if (a == "--upgrade") {
            if (!value(v)) return false;
            UpgradeConfig u;
            if (!parseUpgrade(v, u, error)) return false;
            o.upgrades.push_back(u);
        } else if (a == "--max-seconds") {
            if (!value(v)) return false;
            char* end = nullptr;
            o.maxSeconds = std::strtod(v.c_str(), &end);
            if (!end || *end || !(o.maxSeconds > 0) || o.maxSeconds > 86400) {
                error = "--max-seconds needs a number of seconds above 0 (at most 86400)";
                return false;
            }
        } else if (a == "--log") {
            if (!value(o.logPath)) return false;
        } else if (a == "--device-dir") {
            if (!value(o.deviceDir)) return false;
        } else if (a == "--discovery") {
            if (!value(o.discoveryAddress)) return false;
        } else if (a == "--config") {
            if (!value(v)) return false;
            if (++fileDepth > 8) {
                error = "option files nest too deeply";
                return false;
            }
            std::vector<std::string> more;
            if (!readOptionFile(v, more, error)) return false;
            args.insert(args.begin() + long(i) + 1, more.begin(), more.end());
        } else {
            error = "unknown option '" + a + "'";
            return false;
        }
    }
    if (o.modules.empty()) {
        error = "no --module given";
        return false;
    }
    std::set<uint32_t> serials;
    for (const ModuleConfig& m : o.modules) {
        if (!serials.insert(m.serial).second) {
            error = "two modules with the same serial number";
            return false;
        }
    }
    for (const ModuleConfig& m : o.modules) {
        if (!m.routerSerial) continue;
        const ModuleConfig* router = nullptr;
        for (const ModuleConfig& r : o.modules)
            if (r.serial == m.routerSerial) router = &r;
        if (!router || router->routerSerial) {
            error = "a module's router must be a module with a transport";
            return false;
        }
        if (router->address == m.address) {
            error = "a module behind a router needs an address other than the router's";
            return false;
        }
        for (const ModuleConfig& s : o.modules)
            if (&s != &m && s.routerSerial == m.routerSerial && s.address == m.address) {
                error = "two modules at the same address behind one router";
                return false;
            }
    }
    return true;
}

const char* usageText() {
    return "usage: simulator --module MODULE [--module MODULE ...] [options]\n"
           "  --module serial=HEX[,model=N][,version=A.B.C][,build=N][,name=TEXT]\n"
           "           [,address=N][,features=N][,hb=MS][,reboot=MS][,stream=MS]\n"
           "           [,tcp=HOST:PORT][,pty][,usb][,discover=0|1] | [,router=HEX]\n"
           "           [,quirk=short-build|mute-address][,error=CMD/OPTION/CODE ...]\n"
           "  --fault [serial=HEX,][transport=tcp|serial|usb,][drop=P,][corrupt=P,]\n"
           "          [dir=in|out|both,][delay=MS,][after=N,][limit=N,]\n"
           "          [disconnect=N,][times=N,][down=MS,][seed=N]\n"
           "  --upgrade [serial=HEX,]KEY=VALUE...  upgrade entity settings and faults\n"
           "  --max-seconds N   exit by itself after N seconds (default 60)\n"
           "  --log FILE        JSON lines record of what was received and sent\n"
           "  --device-dir DIR  directory for USB device-node links\n"
           "                    (default: $LUMIVANCE_DEVICE_DIR)\n"
           "  --discovery ADDR  answer the TCP/IP discovery probe on that interface\n"
           "  --config FILE     more options, one per line\n";
}

}  // namespace sim
