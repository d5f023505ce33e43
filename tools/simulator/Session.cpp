#include "Session.h"

#include <algorithm>

#include "EventLog.h"
#include "Faults.h"
#include "Module.h"

namespace sim {

namespace {
constexpr auto kInterByteTimeout = std::chrono::milliseconds(250);
constexpr size_t kMaxFrame = 33;  // 30 wire bytes + CRC, COBS overhead, slack
constexpr uint8_t kSyncAddress = 0xAD;
constexpr uint8_t kRouteAddress = 0xAF;
}  // namespace

Session::Session(Module& module, Framing framing, std::string transport, EventLog& log,
                 FaultInjector* faults, bool heartbeatsAtOnce, Clock::time_point now)
    : module_(module),
      framing_(framing),
      transport_(std::move(transport)),
      log_(log),
      faults_(faults),
      lastByte_(now) {
    if (heartbeatsAtOnce) setActive(true, now);
}

void Session::setActive(bool on, Clock::time_point now) {
    if (on == active_) return;
    active_ = on;
    awaitingAnswer_ = false;
    nextHeartbeat_ = now + std::chrono::milliseconds(module_.heartbeatMs());
}

void Session::receive(const uint8_t* data, size_t length, Clock::time_point now) {
    for (size_t i = 0; i < length; ++i) {
        uint8_t b = data[i];
        if (framing_ == Framing::Raw) {
            // A packet that stops half way is abandoned, so one lost byte does
            // not shift every later packet.
            if (parser_.partial() && now - lastByte_ > kInterByteTimeout) parser_.reset();
            lastByte_ = now;
            Packet p;
            if (parser_.feed(b, p)) handle(std::move(p), now);
            continue;
        }
        if (b != 0) {
            if (frame_.size() < kMaxFrame)
                frame_.push_back(b);
            else
                frameOverflow_ = true;
            continue;
        }
        if (frame_.empty()) continue;
        Packet p;
        bool good = !frameOverflow_ && unframeSerial(frame_, p);
        if (good) {
            handle(std::move(p), now);
        } else {
            ++stats_.badFrames;
            log_.write("bad_frame", JsonObject()
                                        .str("serial", module_.serialText())
                                        .str("transport", transport_)
                                        .str("bytes", hex(frame_.data(), frame_.size())));
        }
        frame_.clear();
        frameOverflow_ = false;
    }
}

void Session::logPacket(const char* event, const Packet& p, const char* kind) {
    JsonObject o;
    o.str("serial", module_.serialText())
        .str("transport", transport_)
        .num("address", p.address)
        .num("length", int64_t(p.data.size()))
        .str("data", hex(p.data.data(), p.data.size()))
        .str("kind", kind);
    UeiRequest r;
    bool request = std::string(kind) == "request";
    if (request && !p.data.empty() && !isUEICommand(p.data[0])) {
        o.num("command", p.data[0]);
    } else if (request && UeiRequest::parse(p, r)) {
        o.num("command", r.command).num("option", r.option()).num("index", r.index());
        if (r.isGet()) o.str("op", "get");
        if (r.isSet()) o.str("op", "set");
    } else if (request && !p.data.empty()) {
        o.num("command", p.data[0]);
    }
    log_.write(event, o);
}

void Session::handle(Packet p, Clock::time_point now) {
    if (faults_) {
        FaultInjector::Action a = faults_->onPacket(false);
        if (a == FaultInjector::Action::Drop) {
            log_.write("fault", JsonObject()
                                    .str("serial", module_.serialText())
                                    .str("transport", transport_)
                                    .str("kind", "drop_in")
                                    .str("data", hex(p.data.data(), p.data.size())));
            return;
        }
        if (a == FaultInjector::Action::Corrupt && !p.data.empty()) {
            faults_->corruptBytes(p.data);
            log_.write("fault", JsonObject()
                                    .str("serial", module_.serialText())
                                    .str("transport", transport_)
                                    .str("kind", "corrupt_in"));
        }
    }
    ++stats_.packetsIn;
    if (p.address == kSyncAddress && p.data.empty()) {
        logPacket("rx", p, "sync");
        if (!active_) setActive(true, now);
        if (module_.config().muteAddressQuery) return;
        Packet r;
        r.address = module_.address();
        send(r, "sync_reply", now);
        return;
    }
    if (p.address == kRouteAddress && p.data.size() == 1) {
        logPacket("rx", p, "route");
        module_.setRoute(p.data[0] != 0);
        // A terminal has no connection to close: the route packets mark
        // where the host's link starts and stops.
        setActive(p.data[0] != 0, now);
        return;
    }
    if (!active_) setActive(true, now);
    if (p.address == module_.address() && p.data.size() == 2 && p.data[0] == 0) {
        bool ok = awaitingAnswer_ && p.data[1] == expectedAnswer_;
        logPacket("rx", p, "heartbeat_answer");
        if (ok) {
            ++stats_.heartbeatsAnswered;
            awaitingAnswer_ = false;
        } else {
            log_.write("heartbeat_unexpected",
                       JsonObject()
                           .str("serial", module_.serialText())
                           .str("transport", transport_)
                           .num("value", p.data[1])
                           .num("expected", awaitingAnswer_ ? expectedAnswer_ : -1));
        }
        return;
    }
    if (!module_.serves(p.address)) {
        logPacket("rx", p, "foreign");
        return;
    }
    logPacket("rx", p, "request");
    std::vector<Packet> replies;
    module_.dispatch(p, replies);
    for (const Packet& r : replies) send(r, "reply", now);
}

void Session::send(const Packet& p, const char* kind, Clock::time_point now) {
    std::vector<uint8_t> bytes = framing_ == Framing::Cobs ? frameSerial(p) : p.wire();
    if (faults_) {
        FaultInjector::Action a = faults_->onPacket(true);
        if (a == FaultInjector::Action::Drop) {
            log_.write("fault", JsonObject()
                                    .str("serial", module_.serialText())
                                    .str("transport", transport_)
                                    .str("kind", "drop_out")
                                    .str("data", hex(p.data.data(), p.data.size())));
            return;
        }
        if (a == FaultInjector::Action::Corrupt) {
            faults_->corruptBytes(bytes);
            log_.write("fault", JsonObject()
                                    .str("serial", module_.serialText())
                                    .str("transport", transport_)
                                    .str("kind", "corrupt_out")
                                    .str("bytes", hex(bytes.data(), bytes.size())));
        }
    }
    logPacket("tx", p, kind);
    ++stats_.packetsOut;
    Clock::time_point due = now;
    if (faults_ && faults_->config().delayMs)
        due += std::chrono::milliseconds(faults_->config().delayMs);
    if (!out_.empty() && out_.back().due > due) due = out_.back().due;  // keep order
    out_.push_back({due, std::move(bytes)});
    if (faults_ && faults_->countSentAndCheckDisconnect()) {
        disconnectMs_ = int(faults_->config().downMs);
        log_.write("fault", JsonObject()
                                .str("serial", module_.serialText())
                                .str("transport", transport_)
                                .str("kind", "disconnect")
                                .num("down_ms", disconnectMs_));
    }
}

void Session::tick(Clock::time_point now) {
    if (active_ && module_.streaming() && now >= nextSample_) {
        uint64_t micros = uint64_t(secondsSinceStart() * 1e6);
        for (const Packet& s : module_.streamSamples(micros)) send(s, "stream", now);
        nextSample_ = now + std::chrono::milliseconds(std::max(10u, module_.config().streamMs));
    }
    unsigned interval = module_.heartbeatMs();
    if (!active_ || interval == 0 || now < nextHeartbeat_) return;
    if (awaitingAnswer_) {
        ++stats_.heartbeatsMissed;
        log_.write("heartbeat_missed", JsonObject()
                                           .str("serial", module_.serialText())
                                           .str("transport", transport_)
                                           .num("expected", expectedAnswer_));
    }
    Packet hb;
    hb.address = module_.address();
    hb.data = {0, heartbeatValue_};
    expectedAnswer_ = uint8_t(heartbeatValue_ + 2);
    awaitingAnswer_ = true;
    heartbeatValue_ ^= 1;
    ++stats_.heartbeatsSent;
    send(hb, "heartbeat", now);
    nextHeartbeat_ = now + std::chrono::milliseconds(interval);
}

std::vector<uint8_t> Session::takeOutput(Clock::time_point now) {
    std::vector<uint8_t> o;
    while (!out_.empty() && out_.front().due <= now) {
        o.insert(o.end(), out_.front().bytes.begin(), out_.front().bytes.end());
        out_.pop_front();
    }
    return o;
}

Clock::time_point Session::nextWake() const {
    Clock::time_point t = Clock::time_point::max();
    if (!out_.empty()) t = out_.front().due;
    if (active_ && module_.heartbeatMs() && nextHeartbeat_ < t) t = nextHeartbeat_;
    if (active_ && module_.streaming() && nextSample_ < t) t = nextSample_;
    return t;
}

int Session::takeDisconnect() {
    int d = disconnectMs_;
    disconnectMs_ = -1;
    return d;
}

}  // namespace sim
