// Runs the device simulator (tools/simulator) as a child process for link
// tests and benchmarks: starts it, reads its ready line for the TCP port,
// reads its JSON-lines log, and stops it. Every wait is bounded.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class SimulatorProcess {
  public:
    SimulatorProcess() = default;
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;
    ~SimulatorProcess() { stop(); }

    // The simulator binary of the build tree this program belongs to
    // (<build>/tests/x or <build>/bench/x -> <build>/tools/simulator/simulator).
    static std::string binaryPath() {
        char self[PATH_MAX] = {0};
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) return "";
        std::string path(self, static_cast<size_t>(n));
        path = path.substr(0, path.rfind('/'));  // <build>/tests
        path = path.substr(0, path.rfind('/'));  // <build>
        return path + "/tools/simulator/simulator";
    }
    static bool available() { return access(binaryPath().c_str(), X_OK) == 0; }

    // Starts the simulator with `args` (a log file is added) and waits up to
    // readyMs for its ready line. False when it does not come.
    bool start(const std::vector<std::string>& args, unsigned readyMs = 10000) {
        char logTemplate[] = "/tmp/simlogXXXXXX";
        int logFd = mkstemp(logTemplate);
        if (logFd < 0) return false;
        close(logFd);
        logPath = logTemplate;

        int out[2];
        if (pipe(out) != 0) return false;
        std::vector<std::string> all = {binaryPath()};
        all.insert(all.end(), args.begin(), args.end());
        all.insert(all.end(), {"--log", logPath});
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (rc != 0) {
            pid_ = -1;
            close(out[0]);
            return false;
        }
        stdout_ = out[0];

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(readyMs);
        std::string line;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd fd = {stdout_, POLLIN, 0};
            if (poll(&fd, 1, 100) <= 0) continue;
            char c;
            if (read(stdout_, &c, 1) != 1) break;
            if (c != '\n') {
                line += c;
                continue;
            }
            if (line.rfind("READY ", 0) == 0) {
                ready = line;
                port = static_cast<uint16_t>(numberAfter(ready, "\"port\":"));
                return port != 0;
            }
            line.clear();
        }
        return false;
    }

    // Ends the simulator: SIGTERM, up to 3 s to exit, then SIGKILL.
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            bool ended = false;
            for (int i = 0; i < 300 && !ended; ++i) {
                ended = waitpid(pid_, &status, WNOHANG) == pid_;
                if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (!ended) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
            }
            pid_ = -1;
        }
        if (stdout_ >= 0) {
            close(stdout_);
            stdout_ = -1;
        }
        if (!logPath.empty()) {
            unlink(logPath.c_str());
            logPath.clear();
        }
    }

    // The log's text so far.
    std::string log() const {
        std::ifstream in(logPath);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Number of log lines that contain every one of the fragments.
    int countEvents(const std::vector<std::string>& fragments) const {
        std::istringstream lines(log());
        std::string line;
        int n = 0;
        while (std::getline(lines, line)) {
            bool all = true;
            for (const auto& f : fragments) all = all && line.find(f) != std::string::npos;
            n += all;
        }
        return n;
    }
    // Waits up to timeoutMs until countEvents(fragments) reaches count.
    bool waitForEvents(const std::vector<std::string>& fragments, int count, unsigned timeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            if (countEvents(fragments) >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return countEvents(fragments) >= count;
    }

    static long numberAfter(const std::string& text, const std::string& key) {
        size_t at = text.find(key);
        return at == std::string::npos ? 0
                                       : std::strtol(text.c_str() + at + key.size(), nullptr, 10);
    }

    std::string ready;
    std::string logPath;
    uint16_t port = 0;

  private:
    pid_t pid_ = -1;
    int stdout_ = -1;
};
