#include "unix_endpoints.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "EventLog.h"
#include "Module.h"

namespace sim {

namespace {
constexpr size_t kMaxPending = 64 * 1024;  // output kept for a reader that does not read

bool setNonBlocking(int fd) {
    int fl = fcntl(fd, F_GETFL);
    return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

std::string errnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Writes as much of `buf` as the descriptor takes now; keeps the rest.
// False when the descriptor has failed for good.
bool writeSome(int fd, std::vector<uint8_t>& buf, bool socket) {
    while (!buf.empty()) {
        ssize_t n = socket ? ::send(fd, buf.data(), buf.size(), MSG_NOSIGNAL)
                           : ::write(fd, buf.data(), buf.size());
        if (n > 0) {
            buf.erase(buf.begin(), buf.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        return false;
    }
    return true;
}

void appendCapped(std::vector<uint8_t>& pending, const std::vector<uint8_t>& more) {
    if (pending.size() + more.size() > kMaxPending) return;  // nobody is reading: drop
    pending.insert(pending.end(), more.begin(), more.end());
}
}  // namespace

void Fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

void Endpoint::logLink(const char* event, const char* transport, const std::string& where) {
    log_.write(event, JsonObject()
                          .str("serial", module_.serialText())
                          .str("transport", transport)
                          .str("where", where));
}

// ---- TCP -------------------------------------------------------------------

TcpEndpoint::TcpEndpoint(Module& module, EventLog& log, std::unique_ptr<FaultInjector> faults,
                         std::string hostPort)
    : Endpoint(module, log, std::move(faults)) {
    size_t colon = hostPort.rfind(':');
    host_ = hostPort.substr(0, colon);
    port_ = uint16_t(std::stoul(hostPort.substr(colon + 1)));
}

bool TcpEndpoint::listen(std::string& error) {
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s) return error = errnoText("socket"), false;
    int one = 1;
    setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port_);
    if (inet_pton(AF_INET, host_.c_str(), &a.sin_addr) != 1)
        return error = "bad IPv4 address '" + host_ + "'", false;
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return error = errnoText(("bind " + host_ + ":" + std::to_string(port_)).c_str()), false;
    if (::listen(s.get(), 4) != 0) return error = errnoText("listen"), false;
    socklen_t len = sizeof a;
    getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);  // keep the chosen port for coming back after a drop
    listener_ = std::move(s);
    return true;
}

bool TcpEndpoint::open(std::string& error) {
    return listen(error);
}

void TcpEndpoint::pollFds(std::vector<pollfd>& fds) {
    if (listener_) fds.push_back({listener_.get(), POLLIN, 0});
    if (conn_) fds.push_back({conn_.get(), short(POLLIN | (pending_.empty() ? 0 : POLLOUT)), 0});
}

void TcpEndpoint::closeConnection(const char* why) {
    if (!conn_) return;
    conn_.reset();
    session_.reset();
    pending_.clear();
    log_.write("disconnect", JsonObject()
                                 .str("serial", module_.serialText())
                                 .str("transport", "tcp")
                                 .str("where", where())
                                 .str("reason", why));
}

void TcpEndpoint::onEvent(const pollfd& p, Clock::time_point now) {
    if (listener_ && p.fd == listener_.get()) {
        int c = ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c < 0) return;
        // A module serves one host connection; a new one (a host that
        // reconnected) replaces the old.
        closeConnection("replaced");
        conn_.reset(c);
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        session_ =
            std::make_unique<Session>(module_, Framing::Raw, "tcp", log_, faults_.get(), true, now);
        logLink("connect", "tcp", where());
        return;
    }
    if (!conn_ || p.fd != conn_.get()) return;
    if (p.revents & POLLIN) {
        uint8_t buf[4096];
        ssize_t n = ::recv(conn_.get(), buf, sizeof buf, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            closeConnection(n == 0 ? "closed by host" : "error");
            return;
        }
        if (n > 0) session_->receive(buf, size_t(n), now);
    } else if (p.revents & (POLLHUP | POLLERR)) {
        closeConnection("hang-up");
        return;
    }
    flush(now, false);
}

void TcpEndpoint::flush(Clock::time_point now, bool all) {
    if (!session_) return;
    appendCapped(pending_, session_->takeOutput(all ? Clock::time_point::max() : now));
    if (!writeSome(conn_.get(), pending_, true)) closeConnection("write failed");
}

void TcpEndpoint::tick(Clock::time_point now) {
    if (down_) {
        if (now < upAt_) return;
        std::string error;
        if (!listen(error)) {
            upAt_ = now + std::chrono::milliseconds(100);  // port still held: try again
            return;
        }
        down_ = false;
        logLink("up", "tcp", where());
        return;
    }
    if (!session_) return;
    session_->tick(now);
    flush(now, false);
    if (!session_) return;
    int d = session_->takeDisconnect();
    if (d >= 0) goDown(unsigned(d), now);
}

Clock::time_point TcpEndpoint::nextWake() const {
    if (down_) return upAt_;
    Clock::time_point t = session_ ? session_->nextWake() : Clock::time_point::max();
    return t;
}

void TcpEndpoint::goDown(unsigned ms, Clock::time_point now) {
    // The listener goes first, so a host that reconnects the moment it sees
    // the reset is refused rather than queued on a closing listener.
    listener_.reset();
    if (conn_) {
        flush(now, true);
        // Reset rather than drain, as a device that lost power would.
        linger l{1, 0};
        if (conn_) setsockopt(conn_.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
        closeConnection("link dropped");
    }
    down_ = true;
    upAt_ = now + std::chrono::milliseconds(ms);
    log_.write("down", JsonObject()
                           .str("serial", module_.serialText())
                           .str("transport", "tcp")
                           .num("down_ms", ms));
}

// ---- pseudo terminals --------------------------------------------------------

PtyEndpoint::PtyEndpoint(Module& module, EventLog& log, std::unique_ptr<FaultInjector> faults,
                         Mode mode, std::string deviceDir)
    : Endpoint(module, log, std::move(faults)), mode_(mode), deviceDir_(std::move(deviceDir)) {}

PtyEndpoint::~PtyEndpoint() {
    closePty();
}

bool PtyEndpoint::openPty(std::string& error) {
    int m = -1, s = -1;
    if (::openpty(&m, &s, nullptr, nullptr, nullptr) != 0)
        return error = errnoText("openpty"), false;
    master_.reset(m);
    slave_.reset(s);
    fcntl(m, F_SETFD, FD_CLOEXEC);
    fcntl(s, F_SETFD, FD_CLOEXEC);
    termios t{};
    tcgetattr(s, &t);
    cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    // The driver's node answers a read within a second, with no byte when
    // nothing is waiting; a serial host sets its own terminal settings.
    t.c_cc[VTIME] = mode_ == Mode::Usb ? 10 : 0;
    tcsetattr(s, TCSANOW, &t);
    setNonBlocking(m);
    char name[128];
    if (ttyname_r(s, name, sizeof name) != 0) return error = errnoText("ttyname"), false;
    path_ = name;
    // The simulator keeps the slave open, so the master never sees a hang-up
    // while the host has the terminal closed.
    if (mode_ == Mode::Usb) {
        char leaf[32];
        std::snprintf(leaf, sizeof leaf, "lumivance.%08X", module_.config().serial);
        node_ = deviceDir_ + "/" + leaf;
        struct stat st;
        if (lstat(node_.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) return error = node_ + " exists and is not a link", false;
            ::unlink(node_.c_str());
        }
        if (::symlink(path_.c_str(), node_.c_str()) != 0)
            return error = errnoText(("symlink " + node_).c_str()), false;
    }
    return true;
}

void PtyEndpoint::closePty() {
    if (!node_.empty()) {
        ::unlink(node_.c_str());
    }
    master_.reset();
    slave_.reset();
    session_.reset();
    pending_.clear();
}

bool PtyEndpoint::open(std::string& error) {
    if (mode_ == Mode::Usb && deviceDir_.empty())
        return error = "a usb module needs --device-dir or LUMIVANCE_DEVICE_DIR", false;
    if (!openPty(error)) return false;
    session_ = std::make_unique<Session>(module_, mode_ == Mode::Usb ? Framing::Raw : Framing::Cobs,
                                         transport(), log_, faults_.get(), false, Clock::now());
    return true;
}

void PtyEndpoint::pollFds(std::vector<pollfd>& fds) {
    if (master_)
        fds.push_back({master_.get(), short(POLLIN | (pending_.empty() ? 0 : POLLOUT)), 0});
}

void PtyEndpoint::onEvent(const pollfd& p, Clock::time_point now) {
    if (!master_ || p.fd != master_.get()) return;
    if (p.revents & POLLIN) {
        uint8_t buf[4096];
        ssize_t n = ::read(master_.get(), buf, sizeof buf);
        if (n > 0 && session_) session_->receive(buf, size_t(n), now);
    }
    flush(now, false);
}

void PtyEndpoint::flush(Clock::time_point now, bool all) {
    if (!session_ || !master_) return;
    appendCapped(pending_, session_->takeOutput(all ? Clock::time_point::max() : now));
    if (!writeSome(master_.get(), pending_, false)) pending_.clear();
}

void PtyEndpoint::tick(Clock::time_point now) {
    if (down_) {
        if (now < upAt_) return;
        std::string error;
        if (mode_ == Mode::Usb && !master_ && !openPty(error)) {
            log_.write("error",
                       JsonObject().str("serial", module_.serialText()).str("text", error));
            upAt_ = now + std::chrono::milliseconds(100);
            return;
        }
        session_ =
            std::make_unique<Session>(module_, mode_ == Mode::Usb ? Framing::Raw : Framing::Cobs,
                                      transport(), log_, faults_.get(), false, now);
        down_ = false;
        logLink("up", transport(), mode_ == Mode::Usb ? node_ + " -> " + path_ : path_);
        return;
    }
    if (!session_) return;
    session_->tick(now);
    flush(now, false);
    int d = session_->takeDisconnect();
    if (d >= 0) goDown(unsigned(d), now);
}

Clock::time_point PtyEndpoint::nextWake() const {
    if (down_) return upAt_;
    return session_ ? session_->nextWake() : Clock::time_point::max();
}

void PtyEndpoint::goDown(unsigned ms, Clock::time_point now) {
    flush(now, true);
    if (mode_ == Mode::Usb) {
        // The device leaves the bus: its node goes away and comes back
        // (possibly on another terminal) after the down time.
        if (master_ && !pending_.empty()) writeSome(master_.get(), pending_, false);
        closePty();
    } else {
        // A serial line cannot vanish: the module goes silent instead.
        session_.reset();
        pending_.clear();
    }
    down_ = true;
    upAt_ = now + std::chrono::milliseconds(ms);
    log_.write("down", JsonObject()
                           .str("serial", module_.serialText())
                           .str("transport", transport())
                           .num("down_ms", ms));
}

// ---- TCP/IP discovery --------------------------------------------------------

namespace {
constexpr uint16_t kProbePort = 9888;
constexpr uint16_t kReplyPort = 9889;
constexpr const char* kProbeGroup = "232.2.2.2";
}  // namespace

DiscoveryResponder::DiscoveryResponder(EventLog& log, std::string interfaceAddress,
                                       std::vector<TcpEndpoint*> modules)
    : log_(log), interface_(std::move(interfaceAddress)), modules_(std::move(modules)) {}

bool DiscoveryResponder::open(std::string& error) {
    in_addr ifaddr{}, group{};
    if (inet_pton(AF_INET, interface_.c_str(), &ifaddr) != 1)
        return error = "bad discovery interface address '" + interface_ + "'", false;
    inet_pton(AF_INET, kProbeGroup, &group);
    Fd s(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s) return error = errnoText("socket"), false;
    int one = 1;
    setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kProbePort);
    a.sin_addr = group;  // only datagrams sent to the probe group
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return error = errnoText("bind discovery port"), false;
    ip_mreq mreq{};
    mreq.imr_multiaddr = group;
    mreq.imr_interface = ifaddr;
    if (setsockopt(s.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0)
        return error = errnoText("join discovery group"), false;
    sock_ = std::move(s);
    log_.write("discovery_listening", JsonObject().str("interface", interface_));
    return true;
}

void DiscoveryResponder::onReadable() {
    uint8_t buf[64];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n =
        ::recvfrom(sock_.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n <= 0) return;
    char src[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &from.sin_addr, src, sizeof src);
    bool probe = n == 16 && buf[0] == 1;
    log_.write("discovery_probe",
               JsonObject().str("from", src).num("length", n).boolean("valid", probe));
    if (!probe) return;
    // Like a real module, every probe gets an answer: a host may search twice
    // in quick succession (find the router's link type, then the router).
    for (TcpEndpoint* t : modules_) {
        if (!t->up() || !t->module().config().discoverable) continue;
        const Module& m = t->module();
        uint8_t reply[16] = {};
        reply[1] = m.address();
        reply[2] = uint8_t(t->port());
        reply[3] = uint8_t(t->port() >> 8);
        uint32_t sn = m.config().serial;
        for (int i = 0; i < 4; ++i) reply[4 + i] = uint8_t(sn >> (8 * i));
        reply[12] = m.config().model;
        // The host takes the reply's source as the module's address, so the
        // reply leaves from the address the module listens on.
        std::string source = t->host() == "0.0.0.0" ? interface_ : t->host();
        Fd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (!s) continue;
        sockaddr_in self{};
        self.sin_family = AF_INET;
        inet_pton(AF_INET, source.c_str(), &self.sin_addr);
        sockaddr_in to = from;
        to.sin_port = htons(kReplyPort);
        bool sent = ::bind(s.get(), reinterpret_cast<sockaddr*>(&self), sizeof self) == 0 &&
                    ::sendto(s.get(), reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&to),
                             sizeof to) == ssize_t(sizeof reply);
        log_.write("discovery_reply", JsonObject()
                                          .str("serial", m.serialText())
                                          .str("to", src)
                                          .str("source", source)
                                          .num("port", t->port())
                                          .boolean("sent", sent));
    }
}

}  // namespace sim
