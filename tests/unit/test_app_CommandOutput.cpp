// Device list, build list and fingerprint lines as printed on the console.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/CommandOutput.h"

namespace {

class RecordingDisplay : public UpdaterDisplayInterface {
  public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { infos.push_back(text); }
    void error_message(const char* text) override { errors.push_back(text); }
    std::vector<std::string> infos;
    std::vector<std::string> errors;
};

DeviceInfo device(linkType type, uint32_t serial, uint32_t model, aErr error = aErrNone) {
    DeviceInfo d;
    d.spec.type = type;
    d.spec.serialNumber = serial;
    d.spec.moduleAddress = 0x02;
    d.spec.routerAddress = 0xA4;
    d.spec.model = model;
    d.versionMajor = 2;
    d.versionMinor = 12;
    d.versionPatch = 300;
    d.build = 99528558;
    d.deviceName = "bench hub";
    d.error = error;
    if (type == LINK_TCPIP) {
        const uint8_t ip[4] = {192, 168, 7, 211};
        std::memcpy(&d.spec.t.ip.ipAddress, ip, 4);
    }
    return d;
}

const char* const kUsbHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)    Device Name";
const char* const kIpHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
    "Device Name";

TEST(DeviceList, EmptyListsByType) {
    const struct {
        linkType type;
        const char* title;
    } cases[] = {{LINK_USB, "Discovered Devices: (USB)"},
                 {LINK_TCPIP, "Discovered Devices: (TCPIP)"},
                 {0, "Discovered Devices: (Unknown)"},
                 {LINK_SERIAL, "Discovered Devices: (Unknown)"}};
    for (const auto& c : cases) {
        RecordingDisplay d;
        _display_device_list(d, {}, c.type);
        EXPECT_EQ((std::vector<std::string>{c.title, "    No devices found."}), d.infos);
        EXPECT_TRUE(d.errors.empty());
    }
}

TEST(DeviceList, LineLayoutFollowsEachEntrysLinkType) {
    RecordingDisplay d;
    _display_device_list(d,
                         {device(LINK_USB, 0x40F5849A, 0x06), device(LINK_USB, 0x0000ABCD, 0x06, 5),
                          device(LINK_TCPIP, 0xD272031D, 0x99, 7)},
                         LINK_USB);
    const std::vector<std::string> expected = {
        "Discovered Devices: (USB)",
        kUsbHeader,
        "    40F5849A  02       A4      LV-Router      2.12.300 (  99528558)         bench hub",
        "    0000ABCD  [Error (5): Is someone else connected to this device?]",
        // TCP/IP entries always show the full line, error or not.
        "    D272031D  02       A4      Unknown        2.12.300 (  99528558)        "
        "[192.168.7.211]    bench hub",
    };
    EXPECT_EQ(expected, d.infos);

    RecordingDisplay other;
    _display_device_list(other, {device(LINK_USB, 1, 1)}, 0);
    ASSERT_EQ(3u, other.infos.size());
    EXPECT_EQ(kIpHeader, other.infos[1]);
}

TEST(BuildList, TitleHeaderAndCutColumns) {
    RecordingDisplay d;
    _display_builds(d, 0x40F5849A,
                    {{"99528558", "2.12.2"}, {"1234567890123456789", "1.0.0-long-version-text"}});
    const std::vector<std::string> expected = {
        "Build List for device [40F5849A]:\n",
        "Build          \tVersion        ",
        "99528558       \t2.12.2         ",
        "123456789012345\t1.0.0-long-vers",
    };
    EXPECT_EQ(expected, d.infos);

    RecordingDisplay empty;
    _display_builds(empty, 0x0000001F, {});
    EXPECT_EQ(std::vector<std::string>{"No builds found for device [0000001F]"}, empty.infos);
}

TEST(Fingerprint, FourWordsInOrder) {
    RecordingDisplay d;
    Fingerprint f;
    f.words[0] = 0x1;
    f.words[1] = 0xABCDEF01;
    f.words[2] = 0;
    f.words[3] = 0xFFFFFFFF;
    _display_fingerprint(d, f);
    EXPECT_EQ(std::vector<std::string>{"[ 00000001 ABCDEF01 00000000 FFFFFFFF ]"}, d.infos);
}

}  // namespace
