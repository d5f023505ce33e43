// The simulator process: builds the modules and their transports from the
// options, prints the ready line, and runs one event loop until SIGTERM,
// SIGINT or the --max-seconds bound.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "EventLog.h"
#include "Module.h"
#include "Options.h"
#include "Session.h"

namespace sim {

class Endpoint;
class DiscoveryResponder;

class Simulator {
  public:
    explicit Simulator(Options options);
    ~Simulator();

    // Creates modules and opens every transport; false with a message.
    bool start(std::string& error);
    // The ready line's JSON object (without the "READY " prefix).
    std::string readyJson() const;
    // Runs until stopped; returns the process exit code.
    int run();

  private:
    Options options_;
    EventLog log_;
    std::vector<std::unique_ptr<Module>> modules_;
    std::vector<std::unique_ptr<Endpoint>> endpoints_;
    std::unique_ptr<DiscoveryResponder> discovery_;
    struct PendingReboot {
        Module* module;
        Clock::time_point at;
        unsigned downMs;
    };
    std::vector<PendingReboot> reboots_;
    int signalFd_ = -1;
};

}  // namespace sim
