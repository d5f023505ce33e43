// The transports through which the host reaches a simulated module: a TCP
// listener, a pseudo terminal with serial framing, a pseudo terminal standing
// in for the USB driver's device node, and the TCP/IP discovery responder.
#pragma once

#include <poll.h>

#include <memory>
#include <string>
#include <vector>

#include "Faults.h"
#include "Session.h"

namespace sim {

class Module;
class EventLog;

// Owns a file descriptor; closes it when replaced or destroyed.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

class Endpoint {
  public:
    Endpoint(Module& module, EventLog& log, std::unique_ptr<FaultInjector> faults)
        : module_(module), log_(log), faults_(std::move(faults)) {}
    virtual ~Endpoint() = default;
    Module& module() { return module_; }

    virtual bool open(std::string& error) = 0;
    // Descriptors to poll; `events` set as wanted.
    virtual void pollFds(std::vector<pollfd>& fds) = 0;
    virtual void onEvent(const pollfd& p, Clock::time_point now) = 0;
    // Timers: heartbeats, delayed output, coming back after a drop.
    virtual void tick(Clock::time_point now) = 0;
    virtual Clock::time_point nextWake() const = 0;
    // Drops the link (after sending what is queued) and comes back after `ms`.
    virtual void goDown(unsigned ms, Clock::time_point now) = 0;
    virtual bool up() const = 0;

  protected:
    void logLink(const char* event, const char* transport, const std::string& where);

    Module& module_;
    EventLog& log_;
    std::unique_ptr<FaultInjector> faults_;
};

class TcpEndpoint : public Endpoint {
  public:
    TcpEndpoint(Module& module, EventLog& log, std::unique_ptr<FaultInjector> faults,
                std::string hostPort);
    bool open(std::string& error) override;
    void pollFds(std::vector<pollfd>& fds) override;
    void onEvent(const pollfd& p, Clock::time_point now) override;
    void tick(Clock::time_point now) override;
    Clock::time_point nextWake() const override;
    void goDown(unsigned ms, Clock::time_point now) override;
    bool up() const override { return bool(listener_); }

    std::string host() const { return host_; }
    uint16_t port() const { return port_; }
    std::string where() const { return host_ + ":" + std::to_string(port_); }

  private:
    bool listen(std::string& error);
    void closeConnection(const char* why);
    void flush(Clock::time_point now, bool all);

    std::string host_;
    uint16_t port_ = 0;
    Fd listener_, conn_;
    std::unique_ptr<Session> session_;
    std::vector<uint8_t> pending_;
    Clock::time_point upAt_{};
    bool down_ = false;
};

// A pseudo terminal. Serial mode frames packets with COBS and CRC-8; USB mode
// carries raw packets, reads on it wait up to one second, and a link named
// lumivance.%08X in the device directory points at it.
class PtyEndpoint : public Endpoint {
  public:
    enum class Mode { Serial, Usb };
    PtyEndpoint(Module& module, EventLog& log, std::unique_ptr<FaultInjector> faults, Mode mode,
                std::string deviceDir);
    ~PtyEndpoint() override;
    bool open(std::string& error) override;
    void pollFds(std::vector<pollfd>& fds) override;
    void onEvent(const pollfd& p, Clock::time_point now) override;
    void tick(Clock::time_point now) override;
    Clock::time_point nextWake() const override;
    void goDown(unsigned ms, Clock::time_point now) override;
    bool up() const override { return !down_; }

    const std::string& path() const { return path_; }
    const std::string& nodePath() const { return node_; }

  private:
    bool openPty(std::string& error);
    void closePty();
    void flush(Clock::time_point now, bool all);
    const char* transport() const { return mode_ == Mode::Usb ? "usb" : "serial"; }

    Mode mode_;
    std::string deviceDir_, path_, node_;
    Fd master_, slave_;
    std::unique_ptr<Session> session_;
    std::vector<uint8_t> pending_;
    Clock::time_point upAt_{};
    bool down_ = false;
};

// Answers the TCP/IP discovery probe (a 16-byte datagram to 232.2.2.2:9888
// whose first byte is 1) for every discoverable module with a TCP listener.
class DiscoveryResponder {
  public:
    DiscoveryResponder(EventLog& log, std::string interfaceAddress,
                       std::vector<TcpEndpoint*> modules);
    bool open(std::string& error);
    int fd() const { return sock_.get(); }
    void onReadable();

  private:
    EventLog& log_;
    std::string interface_;
    std::vector<TcpEndpoint*> modules_;
    Fd sock_;
};

}  // namespace sim
