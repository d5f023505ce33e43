// The command line of one run: which commands were asked for and every value
// they use, and the scanner that fills it from argv.
#pragma once

#include <cstdint>
#include <string>

#include "UpdaterDisplayInterface.h"

enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x00000001,           // -D
    CMD_UPDATE = 0x00000002,             // -U
    CMD_LIST_BUILDS = 0x00000004,        // -B
    CMD_GET_BUILD = 0x00000008,          // -G
    CMD_VIEW_INFO = 0x00000010,          // -I (accepted only)
    CMD_CHECK_BIRDFILE = 0x00000020,     // -C (accepted only)
    CMD_FINGERPRINT = 0x00000040,        // -N
    CMD_Z = 0x00000080,                  // -Z <arg> (accepted only)
    CMD_LIST_LOCAL_BUILDS = 0x00000200,  // -L
    CMD_HELP = 0x80000000,               // -h, -H, --help
};

// A set of COMMANDS bits.
class CommandsClass {
  public:
    // ORs the value in; true when any command is set afterwards.
    bool Set(uint32_t command) {
        word |= command;
        return word != 0;
    }
    // True when the set shares at least one bit with the mask.
    bool IsSet(uint32_t mask) const { return (word & mask) != 0; }
    uint32_t Value() const { return word; }

  private:
    uint32_t word = 0;
};

// Base URLs of the default update server.
extern const char* const UPDATE_SERVER_HOST;
extern const char* const UPDATE_SERVER_HTTP_URL;
extern const char* const UPDATE_SERVER_HTTPS_URL;

constexpr uint32_t TRANSPORT_RECOVER = 0xFF;  // recovery over a serial port or HID

struct Parameters {
    CommandsClass commands;
    uint32_t serialNumber = 0;
    uint32_t routerSerial = 0;
    uint32_t transport = 1;
    bool transportGiven = false;
    std::string serialPort;
    uint32_t baudRate = 115200;
    uint8_t moduleAddress = 0;
    std::string birdFile;
    std::string logMessage;
    std::string buildNumber;
    bool echo = false;
    std::string updateServerUrl;
    bool flagN = false;
    std::string storeDirectory;  // empty: home directory + "/.morvanex"
    std::string appName;
    std::string homeDirectory;
    std::string logFileMode;
    std::string logFileName;
    bool overrideModelCheck = false;
    bool useUEIBytes = true;
    uint32_t debugMask = 0;
    bool debugMaskGiven = false;
    bool helpRequested = false;
};

// Fills the record from argv (which it may reorder: non-option words move
// behind the options). Errors go to display at error level. Returns 0 on
// success or when a help option is met, 1 when any error was reported.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters& parameters);
// Accepts every record; returns 0.
int _validate_params(Parameters& parameters);
// Releases what the record holds beyond its strings (nothing); returns 0.
int _release_params(Parameters& parameters);

// Hexadecimal / decimal readers: 0 when end is null or text holds any other
// character (end then untouched); else the low 32 bits of the conversion.
uint32_t _get_hex_arg(const char* text, char** end);
uint32_t _get_int_arg(const char* text, char** end);
