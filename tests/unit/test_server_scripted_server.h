// A loopback HTTP server for the transport tests: each connection it accepts
// receives the next scripted reply (raw bytes, possibly in several pieces, or
// silence). It records the request target of every request. Every wait is
// bounded; the destructor stops and joins the thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ScriptedServer {
  public:
    struct Reply {
        std::vector<std::string> pieces;  // written one after the other
        bool stall = false;               // read the request, never answer
    };

    static Reply Http(int status, const std::string& body, size_t pieceSize = 0) {
        std::string text = "HTTP/1.1 " + std::to_string(status) +
                           " X\r\nContent-Length: " + std::to_string(body.size()) +
                           "\r\nConnection: close\r\n\r\n" + body;
        Reply r;
        if (pieceSize == 0) pieceSize = text.size();
        for (size_t i = 0; i < text.size(); i += pieceSize)
            r.pieces.push_back(text.substr(i, pieceSize));
        return r;
    }
    static Reply Stall() {
        Reply r;
        r.stall = true;
        return r;
    }

    explicit ScriptedServer(std::vector<Reply> replies) : replies_(std::move(replies)) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(fd_, 8) != 0)
            return;
        socklen_t len = sizeof addr;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { run(); });
    }

    ~ScriptedServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }

    int port() const { return port_; }
    std::string url(const std::string& path = "/cgi/u") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::vector<std::string> targets() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return targets_;
    }

  private:
    typedef std::chrono::steady_clock Clock;

    bool wait(int fd, short events, Clock::time_point deadline) {
        while (!stop_ && Clock::now() < deadline) {
            pollfd p{fd, events, 0};
            if (poll(&p, 1, 50) > 0) return true;
        }
        return false;
    }

    void run() {
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        for (const Reply& reply : replies_) {
            if (!wait(fd_, POLLIN, deadline)) return;
            const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return;
            std::string request;
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos && wait(c, POLLIN, deadline)) {
                const ssize_t n = read(c, buffer, sizeof buffer);
                if (n <= 0) break;
                request.append(buffer, static_cast<size_t>(n));
            }
            const size_t sp1 = request.find(' '), sp2 = request.find(' ', sp1 + 1);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                targets_.push_back(sp1 == std::string::npos || sp2 == std::string::npos
                                       ? request
                                       : request.substr(sp1 + 1, sp2 - sp1 - 1));
            }
            if (reply.stall) {
                // Hold the connection open and silent until the client gives up.
                while (!stop_ && Clock::now() < deadline) {
                    pollfd p{c, POLLIN, 0};
                    if (poll(&p, 1, 50) > 0 && read(c, buffer, sizeof buffer) <= 0) break;
                }
            }
            for (const std::string& piece : reply.pieces) {
                if (send(c, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            close(c);
        }
    }

    std::vector<Reply> replies_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> targets_;
    std::thread thread_;
};
