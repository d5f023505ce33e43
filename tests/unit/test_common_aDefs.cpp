#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Lumivance2/common/aDefs.h"

namespace {

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

TEST(aLinkSpec, CreateZeroesEverythingButTheType) {
    linkSpec* spec = aLinkSpec_Create(LINK_SERIAL);
    ASSERT_NE(spec, nullptr);
    uint8_t zero[128] = {};
    EXPECT_EQ(spec->type, LINK_SERIAL);
    EXPECT_EQ(std::memcmp(reinterpret_cast<uint8_t*>(spec) + 4, zero, 124), 0);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
    EXPECT_EQ(spec, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
}

TEST(aLinkSpec, CopyHoldsAllBytes) {
    linkSpec source{};
    source.type = LINK_TCPIP;
    source.serialNumber = 0x40F5849A;
    source.t.ip.ipPort = 8000;
    linkSpec* copy = aLinkSpec_Copy(source);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::memcmp(copy, &source, sizeof source), 0);
    aLinkSpec_Destroy(&copy);
}

TEST(aLinkSpec, TcpSpecifierWireLayout) {
    linkSpec spec{};
    spec.type = LINK_ANET_TCPIP;
    spec.serialNumber = 0x40F5849A;
    spec.moduleAddress = 0x06;
    spec.routerAddress = 0x02;
    spec.routerSerialNumber = 0x11223344;
    spec.model = 0x13;
    const uint8_t loopback[4] = {127, 0, 0, 1};
    std::memcpy(&spec.t.ip.ipAddress, loopback, 4);
    spec.t.ip.ipPort = 0xC351;

    uint8_t bytes[128];
    aLinkSpec_ToBytes(spec, bytes);
    EXPECT_EQ(le32(bytes + 0), 6u);
    EXPECT_EQ(le32(bytes + 4), 0x40F5849Au);
    EXPECT_EQ(bytes[4], 0x9A);  // little-endian on the wire
    EXPECT_EQ(le32(bytes + 8), 6u);
    EXPECT_EQ(le32(bytes + 12), 2u);
    EXPECT_EQ(le32(bytes + 16), 0x11223344u);
    EXPECT_EQ(le32(bytes + 20), 0x13u);
    // The address travels in network order: 127.0.0.1 is 7F 00 00 01.
    EXPECT_EQ(bytes[24], 127);
    EXPECT_EQ(bytes[27], 1);
    EXPECT_EQ(le32(bytes + 24), 0x0100007Fu);
    EXPECT_EQ(le32(bytes + 28), 0xC351u);
    for (int i = 32; i < 128; ++i) ASSERT_EQ(bytes[i], 0) << i;

    linkSpec back;
    aLinkSpec_FromBytes(bytes, &back);
    EXPECT_EQ(std::memcmp(&back, &spec, sizeof spec), 0);
}

TEST(aLinkSpec, SerialSpecifierRoundTripKeepsTheNameTerminated) {
    linkSpec* spec = aLinkSpec_Create(LINK_SERIAL);
    ASSERT_NE(spec, nullptr);
    spec->t.serial.baudRate = 115200;
    const std::string name(99, 'p');
    std::memcpy(spec->t.serial.portName, name.c_str(), name.size() + 1);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(spec)[127], 0);

    uint8_t bytes[128];
    aLinkSpec_ToBytes(*spec, bytes);
    EXPECT_EQ(le32(bytes + 24), 115200u);
    EXPECT_EQ(std::memcmp(bytes + 28, name.c_str(), 99), 0);
    EXPECT_EQ(bytes[127], 0);

    // A received record whose name fills all 100 bytes is cut, not overrun.
    std::memset(bytes + 28, 'q', 100);
    linkSpec back;
    aLinkSpec_FromBytes(bytes, &back);
    EXPECT_EQ(std::strlen(back.t.serial.portName), 99u);
    aLinkSpec_Destroy(&spec);
}

TEST(aLinkSpec, UsbSpecifierRoundTrip) {
    linkSpec spec{};
    spec.type = LINK_USB;
    spec.serialNumber = 0xCAFEF00D;
    spec.t.usb.usbId = 0xCAFEF00D;
    uint8_t bytes[128];
    aLinkSpec_ToBytes(spec, bytes);
    EXPECT_EQ(le32(bytes + 24), 0xCAFEF00Du);
    linkSpec back;
    aLinkSpec_FromBytes(bytes, &back);
    EXPECT_EQ(std::memcmp(&back, &spec, sizeof spec), 0);
}

TEST(aLinkType, ANetTypesAreFourToSeven) {
    for (linkType t = 0; t < 10; ++t) EXPECT_EQ(aLinkType_IsANet(t), t >= 4 && t <= 7) << t;
}

TEST(aDefs, ModelNames) {
    EXPECT_STREQ(aDefs_GetModelName(0), "Unknown");
    EXPECT_STREQ(aDefs_GetModelName(0xFF), "Unknown");
    EXPECT_STREQ(aDefs_GetModelName(0x103), "Unknown");  // only 8-bit codes exist
    // Every known code has a distinct name that fits a 16-byte identity field.
    std::string seen;
    for (uint32_t code = 1; code < 256; ++code) {
        const std::string name = aDefs_GetModelName(code);
        if (name == "Unknown") continue;
        EXPECT_LE(name.size(), 16u) << name;
        EXPECT_EQ(seen.find("|" + name + "|"), std::string::npos) << name;
        seen += "|" + name + "|";
    }
    EXPECT_FALSE(seen.empty());
}
