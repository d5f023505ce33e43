// The server's view of its root directory:
//   ROOT/SSSSSSSS/NNN.bird      builds of one device (serial in hex, build in decimal)
//   ROOT/SSSSSSSS/firmware.txt  optional firmware name (first line)
//   ROOT/fingerprints.txt       optional lines "W0 W1 W2 W3 SERIAL [BUILD]"
// The directory is read afresh for every request, so a test may change it
// while the server runs.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

class Catalog {
  public:
    static const char* const kDefaultFirmwareName;

    explicit Catalog(std::string root) : root_(std::move(root)) {}

    // Build number to file path, for builds named NNN.bird in the device's
    // directory. Empty when the device is unknown.
    std::map<uint32_t, std::string> Builds(uint32_t serial) const;
    // The device's firmware name: first line of firmware.txt, else the default.
    std::string FirmwareName(uint32_t serial) const;
    // Version text from the info block of a BIRD file ("" when it has none
    // or does not load).
    static std::string Version(const std::string& path);
    // Reads a whole file; false when it cannot be read.
    static bool ReadFile(const std::string& path, std::string& bytes);

    struct Recovery {
        uint32_t serial;
        uint32_t build;  // 0: the device's latest build
    };
    // The device that a processor fingerprint belongs to.
    std::optional<Recovery> LookupFingerprint(const uint32_t words[4]) const;

    static std::string SerialName(uint32_t serial);

  private:
    std::string root_;
};
