#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "Simulator.h"
#include "unix_endpoints.h"

namespace sim {

Simulator::Simulator(Options options) : options_(std::move(options)) {}

Simulator::~Simulator() {
    endpoints_.clear();  // removes device-node links
    if (signalFd_ >= 0) ::close(signalFd_);
}

namespace {
// Time the host has to read a reply before the link it came on drops.
constexpr auto kRebootGrace = std::chrono::milliseconds(100);

std::unique_ptr<FaultInjector> faultFor(const Options& o, const ModuleConfig& m,
                                        const char* transport) {
    for (const FaultConfig& f : o.faults) {
        if (f.serial && f.serial != m.serial) continue;
        if (!f.transport.empty() && f.transport != transport) continue;
        return std::make_unique<FaultInjector>(f);
    }
    return nullptr;
}
}  // namespace

bool Simulator::start(std::string& error) {
    if (!options_.logPath.empty() && !log_.open(options_.logPath)) {
        error = "cannot write log file " + options_.logPath;
        return false;
    }
    if (options_.deviceDir.empty()) {
        const char* env = std::getenv("LUMIVANCE_DEVICE_DIR");
        if (env) options_.deviceDir = env;
    }
    // Stop signals arrive through a descriptor, so the loop sees them in poll.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signalFd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    signal(SIGPIPE, SIG_IGN);

    for (const ModuleConfig& c : options_.modules)
        modules_.push_back(std::make_unique<Module>(c, log_));
    for (const UpgradeConfig& u : options_.upgrades)
        for (auto& m : modules_)
            if (!u.serial || u.serial == m->config().serial)
                if (auto* e = dynamic_cast<UpgradeEntity*>(m->entity(UpgradeEntity::kCommand)))
                    e->configure(u);
    for (auto& m : modules_) {
        if (!m->config().routerSerial) continue;
        for (auto& r : modules_)
            if (r->config().serial == m->config().routerSerial) r->attach(m.get());
    }
    std::vector<TcpEndpoint*> tcp;
    for (auto& m : modules_) {
        const ModuleConfig& c = m->config();
        if (!c.tcp.empty()) {
            auto e = std::make_unique<TcpEndpoint>(*m, log_, faultFor(options_, c, "tcp"), c.tcp);
            tcp.push_back(e.get());
            endpoints_.push_back(std::move(e));
        }
        if (c.serialPty)
            endpoints_.push_back(std::make_unique<PtyEndpoint>(
                *m, log_, faultFor(options_, c, "serial"), PtyEndpoint::Mode::Serial, ""));
        if (c.usbNode)
            endpoints_.push_back(
                std::make_unique<PtyEndpoint>(*m, log_, faultFor(options_, c, "usb"),
                                              PtyEndpoint::Mode::Usb, options_.deviceDir));
    }
    for (auto& e : endpoints_)
        if (!e->open(error)) return false;
    if (!options_.discoveryAddress.empty()) {
        discovery_ = std::make_unique<DiscoveryResponder>(log_, options_.discoveryAddress, tcp);
        if (!discovery_->open(error)) return false;
    }
    JsonObject o;
    o.raw("ready", readyJson());
    log_.write("start", o);
    return true;
}

std::string Simulator::readyJson() const {
    std::string mods = "[";
    for (const auto& m : modules_) {
        const ModuleConfig& c = m->config();
        JsonObject o;
        o.str("serial", m->serialText())
            .num("address", m->address())
            .num("model", c.model)
            .num("build", c.build)
            .num("version", m->packedVersion())
            .str("version_text", std::to_string(c.versionMajor) + "." +
                                     std::to_string(c.versionMinor) + "." +
                                     std::to_string(c.versionPatch))
            .str("name", c.name);
        if (c.routerSerial) {
            char b[16];
            std::snprintf(b, sizeof b, "%08X", c.routerSerial);
            o.str("router", b);
        }
        for (const auto& e : endpoints_) {
            if (&e->module() != m.get()) continue;
            if (auto* t = dynamic_cast<TcpEndpoint*>(e.get())) {
                o.str("tcp", t->where());
                o.str("host", t->host()).num("port", t->port());
            } else if (auto* p = dynamic_cast<PtyEndpoint*>(e.get())) {
                if (p->nodePath().empty())
                    o.str("pty", p->path());
                else
                    o.str("usb_pty", p->path()).str("usb_node", p->nodePath());
            }
        }
        if (mods.size() > 1) mods += ",";
        mods += o.text();
    }
    mods += "]";
    JsonObject r;
    r.num("pid", getpid()).raw("modules", mods);
    if (!options_.discoveryAddress.empty()) r.str("discovery", options_.discoveryAddress);
    return r.text();
}

int Simulator::run() {
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(int64_t(options_.maxSeconds * 1000));
    const char* why = "max-seconds";
    std::vector<pollfd> fds;
    for (;;) {
        Clock::time_point now = Clock::now();
        if (now >= deadline) break;
        // Resets and reboots asked for by a module's handlers drop its links
        // shortly after the reply has gone out; a module behind a router has
        // no link of its own.
        for (auto& m : modules_) {
            int ms = m->takeRebootRequest();
            if (ms >= 0 && !m->router())
                reboots_.push_back({m.get(), now + kRebootGrace, unsigned(ms)});
        }
        for (size_t i = 0; i < reboots_.size();) {
            if (reboots_[i].at > now) {
                ++i;
                continue;
            }
            for (auto& e : endpoints_)
                if (&e->module() == reboots_[i].module && e->up())
                    e->goDown(reboots_[i].downMs, now);
            reboots_.erase(reboots_.begin() + long(i));
        }
        for (auto& e : endpoints_) e->tick(now);

        Clock::time_point wake = deadline;
        for (auto& e : endpoints_) wake = std::min(wake, e->nextWake());
        for (const PendingReboot& r : reboots_) wake = std::min(wake, r.at);
        auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now());
        int timeout = int(std::clamp<int64_t>(waitMs.count() + 1, 0, 1000));

        fds.clear();
        fds.push_back({signalFd_, POLLIN, 0});
        if (discovery_) fds.push_back({discovery_->fd(), POLLIN, 0});
        size_t first = fds.size();
        std::vector<Endpoint*> owner;
        for (auto& e : endpoints_) {
            size_t before = fds.size();
            e->pollFds(fds);
            owner.insert(owner.end(), fds.size() - before, e.get());
        }
        int n = ::poll(fds.data(), fds.size(), timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            why = "poll failed";
            break;
        }
        if (n == 0) continue;
        if (fds[0].revents) {
            signalfd_siginfo si;
            if (::read(signalFd_, &si, sizeof si) > 0) {
                why = si.ssi_signo == SIGTERM ? "SIGTERM" : "SIGINT";
                break;
            }
        }
        if (discovery_ && fds[1].revents) discovery_->onReadable();
        now = Clock::now();
        for (size_t i = first; i < fds.size(); ++i)
            if (fds[i].revents) owner[i - first]->onEvent(fds[i], now);
    }
    log_.write("stop", JsonObject().str("reason", why));
    return 0;
}

}  // namespace sim
