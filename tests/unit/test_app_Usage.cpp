// Usage text, byte for byte, and the version line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/Usage.h"

namespace {

const std::string kBlockA =
    "\n"
    "Application Usage:\n"
    "Updater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
    "    [-d serial_num]\n"
    "    [-t transport] [-r router_serial]\n"
    "    [-s serial_port] [-o baud_rate]\n"
    "\n"
    "  Lumivance Update and Maintenance Application\n"
    "    -H -h or --help for full usage information.\n"
    "\n";

const std::string kBlockB =
    "  Parameters to commands:\n"
    "     -i <morvanex_directory>  - The Morvanex directory used for storage of \n"
    "                                firmware files. [Default: ~/.morvanex ].\n"
    "     -b <build number>        - Build version of the firmware to transfer.\n"
    "                                [Default: latest version available].\n"
    "     -d <device>              - Device serial number of the device to access.\n"
    "     -t <transport type>      - communications method [USB,TCP,RECOVER].\n"
    "     -f <bird file>           - Firmware file to be transferred to device.\n"
    "     -r <router serial>       - indirect connection through router device\n"
    "     -s <serial port>         - name of serial port to use for recovery\n"
    "     -o <baud rate>           - baud rate for serial port (2400, 4800, 9600,\n"
    "                                19200, 38400, 57600, 115200, 230400)\n"
    "  Commands:\n"
    "     -B                       - list the Builds available for given device.\n"
    "\n"
    "     -L                       - list the local Builds available for given device.\n"
    "\n"
    "     -D                       - Discover devices that are currently connected.\n"
    "\n"
    "     -G                       - Get build file from the Morvanex server and\n"
    "                                store on local machine for download to device.\n"
    "                                Must specify a specific device [\"-d\" option].\n"
    "                                Default is to obtain the latest build for the\n"
    "                                given device, override with \"-b\" option.\n"
    "\n"
    "     -U                       - Update the firmware on device specified.\n"
    "                                Must specify a specific device [\"-d\" option].\n"
    "                                Default is to download the latest build for the\n"
    "                                given device, override with \"-b\" option or\n"
    "                                specify specific BIRD file using \"-f\" option.\n"
    "     -H or -h                 - Display extended usage information.\n"
    "\n"
    "     --http                   - Use HTTP for the update server "
    "(http://updates.lumivance.example/cgi/u).\n"
    "     --https                  - Use HTTPS for the update server "
    "(https://updates.lumivance.example/cgi/u).\n"
    "                                Recommended; HTTPS will be the default in the next major "
    "version.\n";

const std::string kBlockC =
    "  Extended Parameters:\n"
    "     -e                       - echoing of bytes enabled during recovery.\n"
    "\n"
    "     -m                       - Attemps to use UEIBytes for faster loading\n"
    "     -l 'log message'         - message to place in device history log\n"
    "     -k <filename>            - log messages written into given filename\n"
    "                                Default:[APP.log]\n"
    "     -u <host:port>           - The hostname and port of the update server\n"
    "                                Default: updates.lumivance.example:port\n"
    "  Extended Commands:\n"
    "     -I                       - View stored device information.\n"
    "                                Must either use DISCOVER command [\"-D\"] or\n"
    "                                specify a specific device [\"-d\" option].\n"
    "\n"
    "     -OVERRIDE                - Override the model checks for BIRD firmware files.\n"
    "                                This option should only be used when authorized by\n"
    "                                Morvanex development engineers.\n"
    "\n"
    "     -N                       - Get fingerprint from a device, requires -s\n"
    "\n"
    "     -X <BIT_MASK>            - Bitmask for Logging\n"
    "                                DEBUG_Updater       0x00000001\n"
    "                                DEBUG_History       0x00000002\n"
    "                                DEBUG_Attributes    0x00000004\n"
    "                                DEBUG_BirdFile      0x00000008\n"
    "                                DEBUG_Network       0x00000010\n"
    "                                DEBUG_ServerComm    0x00000020\n"
    "\n"
    "                                DEBUG_Network       0x00000100\n"
    "                                DEBUG_Network_SR    0x00000200\n"
    "                                DEBUG_Network_FIRM  0x00000400\n"
    "\n"
    "                                DEBUG_NXPSerial     0x00001000\n"
    "                                DEBUG_NXPSerial_E   0x00002000\n"
    "                                DEBUG_NXPSerial_SR  0x00004000\n"
    "\n"
    "                                DEBUG_APP           0x00010000\n"
    "\n"
    "                                DEBUG_iMXSerial     0x10000000\n"
    "\n"
    "     -C                       - Check the given BIRDFILE\n"
    "\n";

const std::string kBlockD =
    " Sample usage:\n"
    "\n"
    "-D                             Discover all devices connected by either USB or TCPIP.\n"
    "                               Records the device information into the settings for that "
    "device.\n"
    "\n"
    "-D -t USB                      Discover all the devices connected by USB. Records the\n"
    "                               device information into the settings for that device.\n"
    "\n"
    "-D -t USB -d 0F5849A           Discover settings of the specific device (serial number "
    "0x40F5849A)\n"
    "\n"
    "-G -d 40F5849A                 Get the latest firmware for the given device.\n"
    "                               Downloads the firmware file into the updater specific device "
    "directory.\n"
    "\n"
    "-U -d 40F5849A                 Update the firmware on the specific device.\n"
    "                               Without other options, this command will try to locate\n"
    "                               the latest firmware version to be used for updating the "
    "device.\n"
    "\n"
    "-G -d 40F5849A -b 99528558     Get the specified build's firmware for the given device.\n"
    "                               Downloads the firmware file into the updater's specific\n"
    "                               device directory with the build number as the filename.\n"
    "\n"
    "-G -U -d 40F5849A              Get the latest firmware for the given device.\n"
    "                               Downloads the firmware file into the updater specific\n"
    "                               device directory. After download, update the firmware\n"
    "                               using the latest release.\n"
    "\n"
    "-U -t RECOVER -s /dev/serial   Update the firmware as described above, but uses the serial "
    "interface\n"
    "                               in communicating with the device to install the latest "
    "firmware.\n"
    "\n"
    " Sample usage for network discovery and updates:\n"
    "\n"
    "-D -r D272031D                 Discover all devices connected to the I2C Lumivance network\n"
    "                               of the given routing device D272031D.\n"
    "\n"
    "-G -U -d 2181F0EE -r D272031D\n"
    "                               Get and Update to the latest firmware for device 2181F0EE\n"
    "                               indirectly through routing device D272031D.\n"
    "\n";

TEST(Usage, BlocksByArguments) {
    EXPECT_EQ(kBlockA, _usage_text(false, false));
    EXPECT_EQ(kBlockA, _usage_text(true, false));  // extended alone adds nothing
    EXPECT_EQ(kBlockA + kBlockB + kBlockD, _usage_text(false, true));
    EXPECT_EQ(kBlockA + kBlockB + kBlockC + kBlockD, _usage_text(true, true));
}

TEST(Usage, DisplayWritesTheTextToStandardError) {
    char path[] = "/tmp/usage-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    fflush(stderr);
    int saved = dup(2);
    dup2(fd, 2);
    _display_usage(true, true);
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string written;
    char buffer[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, buffer, sizeof(buffer))) > 0) written.append(buffer, n);
    close(fd);
    unlink(path);
    EXPECT_EQ(kBlockA + kBlockB + kBlockC + kBlockD, written);
}

TEST(Usage, BuildDateHasSingleBlanks) {
    EXPECT_EQ("Mar 13 2026", _format_build_date("Mar 13 2026"));
    EXPECT_EQ("Mar 3 2026", _format_build_date("Mar  3 2026"));
}

TEST(Usage, VersionText) {
    const std::string v = _version_text();
    ASSERT_EQ(0u, v.find("Version: 2.12.2 "));
    const std::string date = v.substr(16);
    // "Mon D YYYY" or "Mon DD YYYY"
    ASSERT_TRUE(date.size() == 10 || date.size() == 11) << date;
    EXPECT_EQ(' ', date[3]);
    EXPECT_NE(' ', date[4]);
    EXPECT_EQ(std::string::npos, date.find("  "));
}

}  // namespace
