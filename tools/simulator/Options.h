// The simulator's command line (and option files with the same words).
#pragma once

#include <string>
#include <vector>

#include "Faults.h"
#include "Module.h"
#include "UpgradeEntity.h"

namespace sim {

struct Options {
    std::vector<ModuleConfig> modules;
    std::vector<FaultConfig> faults;
    std::vector<UpgradeConfig> upgrades;  // upgrade entity settings and faults per module
    double maxSeconds = 60;
    std::string logPath;
    std::string deviceDir;         // where USB device-node links go; empty: from the environment
    std::string discoveryAddress;  // interface address of the discovery responder; empty: off
};

// Parses argv[1..]; false with a message in `error` for bad input.
bool parseOptions(const std::vector<std::string>& args, Options& out, std::string& error);
// Parses one "--module" value.
bool parseModule(const std::string& text, ModuleConfig& out, std::string& error);
// Reads an option file: one option per line ("module serial=...", "max-seconds 5"),
// '#' starts a comment.
bool readOptionFile(const std::string& path, std::vector<std::string>& args, std::string& error);

const char* usageText();

}  // namespace sim
