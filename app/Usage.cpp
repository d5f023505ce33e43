#include "Usage.h"

#include <cstdio>
#include <cstring>

#include "Log.h"
#include "Parameters.h"

const char* const APP_NAME = "Updater";
const char* const COPYRIGHT_TEXT = "Copyright (c) 2026 Morvanex. All rights reserved.";

namespace {

const char* const VERSION_NUMBER = "2.12.2";

void line(std::string& out, const std::string& text) {
    out += text;
    out += '\n';
}

void blockA(std::string& out) {
    line(out, "");
    line(out, "Application Usage:");
    line(out, std::string(APP_NAME) + " <-B | -D | -G | -U > [-Hh | --help] [-b build_num]");
    line(out, "    [-d serial_num]");
    line(out, "    [-t transport] [-r router_serial]");
    line(out, "    [-s serial_port] [-o baud_rate]");
    line(out, "");
    line(out, "  Lumivance Update and Maintenance Application");
    line(out, "    -H -h or --help for full usage information.");
    line(out, "");
}

void blockB(std::string& out) {
    static const char* const lines[] = {
        "  Parameters to commands:",
        "     -i <morvanex_directory>  - The Morvanex directory used for storage of ",
        "                                firmware files. [Default: ~/.morvanex ].",
        "     -b <build number>        - Build version of the firmware to transfer.",
        "                                [Default: latest version available].",
        "     -d <device>              - Device serial number of the device to access.",
        "     -t <transport type>      - communications method [USB,TCP,RECOVER].",
        "     -f <bird file>           - Firmware file to be transferred to device.",
        "     -r <router serial>       - indirect connection through router device",
        "     -s <serial port>         - name of serial port to use for recovery",
        "     -o <baud rate>           - baud rate for serial port (2400, 4800, 9600,",
        "                                19200, 38400, 57600, 115200, 230400)",
        "  Commands:",
        "     -B                       - list the Builds available for given device.",
        "",
        "     -L                       - list the local Builds available for given device.",
        "",
        "     -D                       - Discover devices that are currently connected.",
        "",
        "     -G                       - Get build file from the Morvanex server and",
        "                                store on local machine for download to device.",
        "                                Must specify a specific device [\"-d\" option].",
        "                                Default is to obtain the latest build for the",
        "                                given device, override with \"-b\" option.",
        "",
        "     -U                       - Update the firmware on device specified.",
        "                                Must specify a specific device [\"-d\" option].",
        "                                Default is to download the latest build for the",
        "                                given device, override with \"-b\" option or",
        "                                specify specific BIRD file using \"-f\" option.",
        "     -H or -h                 - Display extended usage information.",
        "",
    };
    for (const char* text : lines) line(out, text);
    line(out, std::string("     --http                   - Use HTTP for the update server (") +
                  UPDATE_SERVER_HTTP_URL + ").");
    line(out, std::string("     --https                  - Use HTTPS for the update server (") +
                  UPDATE_SERVER_HTTPS_URL + ").");
    line(out,
         "                                Recommended; HTTPS will be the default in the next "
         "major version.");
}

struct PackageLine {
    const char* name;
    uint32_t value;
};

void blockC(std::string& out) {
    static const char* const head[] = {
        "  Extended Parameters:",
        "     -e                       - echoing of bytes enabled during recovery.",
        "",
        "     -m                       - Attemps to use UEIBytes for faster loading",
        "     -l 'log message'         - message to place in device history log",
        "     -k <filename>            - log messages written into given filename",
        "                                Default:[APP.log]",
        "     -u <host:port>           - The hostname and port of the update server",
    };
    for (const char* text : head) line(out, text);
    line(out,
         std::string("                                Default: ") + UPDATE_SERVER_HOST + ":port");
    static const char* const commands[] = {
        "  Extended Commands:",
        "     -I                       - View stored device information.",
        "                                Must either use DISCOVER command [\"-D\"] or",
        "                                specify a specific device [\"-d\" option].",
        "",
        "     -OVERRIDE                - Override the model checks for BIRD firmware files.",
        "                                This option should only be used when authorized by",
        "                                Morvanex development engineers.",
        "",
        "     -N                       - Get fingerprint from a device, requires -s",
        "",
        "     -X <BIT_MASK>            - Bitmask for Logging",
    };
    for (const char* text : commands) line(out, text);

    static const PackageLine packages[] = {
        {"DEBUG_Updater", DEBUG_Updater},
        {"DEBUG_History", DEBUG_History},
        {"DEBUG_Attributes", DEBUG_Attributes},
        {"DEBUG_BirdFile", DEBUG_BirdFile},
        {"DEBUG_Network", DEBUG_Network_Legacy},
        {"DEBUG_ServerComm", DEBUG_ServerComm},
        {"DEBUG_Network", DEBUG_Network},
        {"DEBUG_Network_SR", DEBUG_Network_SR},
        {"DEBUG_Network_FIRM", DEBUG_Network_FIRM},
        {"DEBUG_NXPSerial", DEBUG_NXPSerial},
        {"DEBUG_NXPSerial_E", DEBUG_NXPSerial_E},
        {"DEBUG_NXPSerial_SR", DEBUG_NXPSerial_SR},
        {"DEBUG_APP", DEBUG_APP},
        {"DEBUG_iMXSerial", DEBUG_iMXSerial},
    };
    // A blank line closes each group of packages.
    const uint32_t groupEnds =
        DEBUG_ServerComm | DEBUG_Network_FIRM | DEBUG_NXPSerial_SR | DEBUG_APP | DEBUG_iMXSerial;
    for (const PackageLine& package : packages) {
        char text[80];
        std::snprintf(text, sizeof(text), "%32s%-20s0x%08X", "", package.name, package.value);
        line(out, text);
        if (package.value & groupEnds) line(out, "");
    }
    line(out, "     -C                       - Check the given BIRDFILE");
    line(out, "");
}

void blockD(std::string& out) {
    static const char* const lines[] = {
        " Sample usage:",
        "",
        "-D                             Discover all devices connected by either USB or TCPIP.",
        "                               Records the device information into the settings for "
        "that device.",
        "",
        "-D -t USB                      Discover all the devices connected by USB. Records the",
        "                               device information into the settings for that device.",
        "",
        "-D -t USB -d 0F5849A           Discover settings of the specific device (serial number "
        "0x40F5849A)",
        "",
        "-G -d 40F5849A                 Get the latest firmware for the given device.",
        "                               Downloads the firmware file into the updater specific "
        "device directory.",
        "",
        "-U -d 40F5849A                 Update the firmware on the specific device.",
        "                               Without other options, this command will try to locate",
        "                               the latest firmware version to be used for updating the "
        "device.",
        "",
        "-G -d 40F5849A -b 99528558     Get the specified build's firmware for the given device.",
        "                               Downloads the firmware file into the updater's specific",
        "                               device directory with the build number as the filename.",
        "",
        "-G -U -d 40F5849A              Get the latest firmware for the given device.",
        "                               Downloads the firmware file into the updater specific",
        "                               device directory. After download, update the firmware",
        "                               using the latest release.",
        "",
        "-U -t RECOVER -s /dev/serial   Update the firmware as described above, but uses the "
        "serial interface",
        "                               in communicating with the device to install the latest "
        "firmware.",
        "",
        " Sample usage for network discovery and updates:",
        "",
        "-D -r D272031D                 Discover all devices connected to the I2C Lumivance "
        "network",
        "                               of the given routing device D272031D.",
        "",
        "-G -U -d 2181F0EE -r D272031D",
        "                               Get and Update to the latest firmware for device 2181F0EE",
        "                               indirectly through routing device D272031D.",
        "",
    };
    for (const char* text : lines) line(out, text);
}

}  // namespace

std::string _usage_text(bool extended, bool full) {
    std::string out;
    blockA(out);
    if (full) blockB(out);
    if (full && extended) blockC(out);
    if (full) blockD(out);
    return out;
}

void _display_usage(bool extended, bool full) {
    std::string text = _usage_text(extended, full);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

std::string _format_build_date(const char* compilerDate) {
    // "Mar 13 2026" or "Mar  3 2026": collapse the padding blank of a one-digit day.
    std::string out;
    for (const char* p = compilerDate; *p; ++p) {
        if (*p == ' ' && !out.empty() && out.back() == ' ') continue;
        out += *p;
    }
    return out;
}

std::string _version_text() {
    return std::string("Version: ") + VERSION_NUMBER + " " + _format_build_date(__DATE__);
}
