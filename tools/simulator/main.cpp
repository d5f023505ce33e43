// simulator: stands in for Lumivance modules. See README.md for the options.
#include <cstdio>
#include <string>
#include <vector>

#include "Options.h"
#include "Simulator.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && (args[0] == "-h" || args[0] == "--help")) {
        std::fputs(sim::usageText(), stdout);
        return 0;
    }
    sim::Options options;
    std::string error;
    if (!sim::parseOptions(args, options, error)) {
        std::fprintf(stderr, "simulator: %s\n%s", error.c_str(), sim::usageText());
        return 2;
    }
    sim::Simulator s(std::move(options));
    if (!s.start(error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 1;
    }
    std::printf("READY %s\n", s.readyJson().c_str());
    std::fflush(stdout);
    return s.run();
}
