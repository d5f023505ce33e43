// SystemClass: every operation of the system entity sends its own option
// code with the right request bit and value width, and reads its reply.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "Module.h"
#include "SystemClass.h"
#include "test_objects_peer.h"

using namespace Morvanex::Lumivance;
using objtest::Bytes;
using objtest::pkt;
using objtest::ScriptedPeer;

namespace {

constexpr uint8_t kAddr = 0x06;

class SystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        aStream* s = peer.startMemory();
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(module.getLink()->connectStream(s), aErrNone);
        sys.init(&module, 0);
    }
    void TearDown() override {
        module.disconnect();
        peer.stop();
        for (const std::string& f : peer.failures()) ADD_FAILURE() << f;
        EXPECT_EQ(peer.pending(), 0u);
    }
    ScriptedPeer peer{kAddr};
    Module module{kAddr, false, 0};
    SystemClass sys;
};

// Reply value bytes for a width.
Bytes valueBytes(int width) {
    if (width == 1) return {0xA5};
    if (width == 4) return {0xFF, 0xFF, 0xFF, 0xF6};
    return {};
}

}  // namespace

TEST_F(SystemTest, Getters) {
    struct Case {
        const char* name;
        uint8_t option;
        int width;  // 1 or 4
        std::function<aErr(SystemClass&, int64_t*)> call;
    };
    auto g8 = [](aErr (SystemClass::*op)(unsigned char*)) {
        return [op](SystemClass& s, int64_t* out) {
            unsigned char v = 0;
            aErr e = (s.*op)(&v);
            *out = v;
            return e;
        };
    };
    auto g32 = [](aErr (SystemClass::*op)(unsigned int*)) {
        return [op](SystemClass& s, int64_t* out) {
            unsigned int v = 0;
            aErr e = (s.*op)(&v);
            *out = v;
            return e;
        };
    };
    auto gs32 = [](aErr (SystemClass::*op)(int*)) {
        return [op](SystemClass& s, int64_t* out) {
            int v = 0;
            aErr e = (s.*op)(&v);
            *out = v;
            return e;
        };
    };
    const Case cases[] = {
        {"getModule", 1, 1, g8(&SystemClass::getModule)},
        {"getRouter", 2, 1, g8(&SystemClass::getRouter)},
        {"getHBInterval", 3, 1, g8(&SystemClass::getHBInterval)},
        {"getLED", 4, 1, g8(&SystemClass::getLED)},
        {"getBootSlot", 6, 1, g8(&SystemClass::getBootSlot)},
        {"getVersion", 7, 4, g32(&SystemClass::getVersion)},
        {"getModel", 8, 1, g8(&SystemClass::getModel)},
        {"getSerialNumber", 9, 4, g32(&SystemClass::getSerialNumber)},
        {"getInputVoltage", 12, 4, g32(&SystemClass::getInputVoltage)},
        {"getModuleHardwareOffset", 13, 1, g8(&SystemClass::getModuleHardwareOffset)},
        {"getModuleBaseAddress", 14, 1, g8(&SystemClass::getModuleBaseAddress)},
        {"getModuleSoftwareOffset", 15, 1, g8(&SystemClass::getModuleSoftwareOffset)},
        {"getRouterAddressSetting", 16, 1, g8(&SystemClass::getRouterAddressSetting)},
        {"getInputCurrent", 21, 4, g32(&SystemClass::getInputCurrent)},
        {"getUptime", 22, 4, g32(&SystemClass::getUptime)},
        {"getMaximumTemperature", 23, -4, gs32(&SystemClass::getMaximumTemperature)},
        {"getUnregulatedVoltage", 25, -4, gs32(&SystemClass::getUnregulatedVoltage)},
        {"getUnregulatedCurrent", 26, -4, gs32(&SystemClass::getUnregulatedCurrent)},
        {"getTemperature", 27, -4, gs32(&SystemClass::getTemperature)},
        {"getMinimumTemperature", 28, -4, gs32(&SystemClass::getMinimumTemperature)},
        {"getInputPowerSource", 29, 1, g8(&SystemClass::getInputPowerSource)},
        {"getInputPowerBehavior", 30, 1, g8(&SystemClass::getInputPowerBehavior)},
        {"getPowerLimit", 33, 4, g32(&SystemClass::getPowerLimit)},
        {"getPowerLimitMax", 34, 4, g32(&SystemClass::getPowerLimitMax)},
        {"getPowerLimitState", 35, 4, g32(&SystemClass::getPowerLimitState)},
        {"getLinkInterface", 38, 1, g8(&SystemClass::getLinkInterface)},
        {"getHardwareVersion", 40, 4, g32(&SystemClass::getHardwareVersion)},
        {"getErrors", 41, 4, g32(&SystemClass::getErrors)},
        {"getLEDMaxBrightness", 42, 1, g8(&SystemClass::getLEDMaxBrightness)},
        {"getBuild", 43, 4, g32(&SystemClass::getBuild)},
        {"getProtocolFeatures", 45, 4, g32(&SystemClass::getProtocolFeatures)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int width = c.width < 0 ? -c.width : c.width;
        Bytes reply{3, c.option, 0};
        Bytes v = valueBytes(width);
        reply.insert(reply.end(), v.begin(), v.end());
        peer.expect(pkt(kAddr, {3, static_cast<uint8_t>(0x40 | c.option), 0x20}),
                    {pkt(kAddr, reply)});
        int64_t value = 0;
        EXPECT_EQ(c.call(sys, &value), aErrNone);
        int64_t expected = width == 1 ? 0xA5 : (c.width < 0 ? -10 : 0xFFFFFFF6LL);
        EXPECT_EQ(value, expected);
    }
}

TEST_F(SystemTest, SettersAndCalls) {
    struct Case {
        const char* name;
        uint8_t option;
        Bytes value;
        std::function<aErr(SystemClass&)> call;
    };
    const Case cases[] = {
        {"setRouter", 2, {0x42}, [](SystemClass& s) { return s.setRouter(0x42); }},
        {"setHBInterval", 3, {0x42}, [](SystemClass& s) { return s.setHBInterval(0x42); }},
        {"setLED", 4, {0x42}, [](SystemClass& s) { return s.setLED(0x42); }},
        {"setBootSlot", 6, {0x42}, [](SystemClass& s) { return s.setBootSlot(0x42); }},
        {"save", 10, {}, [](SystemClass& s) { return s.save(); }},
        {"reset", 11, {}, [](SystemClass& s) { return s.reset(); }},
        {"setModuleSoftwareOffset",
         15,
         {0x42},
         [](SystemClass& s) { return s.setModuleSoftwareOffset(0x42); }},
        {"routeToMe", 20, {0x01}, [](SystemClass& s) { return s.routeToMe(1); }},
        {"logEvents", 24, {}, [](SystemClass& s) { return s.logEvents(); }},
        {"setInputPowerBehavior",
         30,
         {0x42},
         [](SystemClass& s) { return s.setInputPowerBehavior(0x42); }},
        {"setPowerLimitMax",
         34,
         {0x00, 0x01, 0x86, 0xA0},
         [](SystemClass& s) { return s.setPowerLimitMax(100000); }},
        {"resetDeviceToFactoryDefaults",
         37,
         {},
         [](SystemClass& s) { return s.resetDeviceToFactoryDefaults(); }},
        {"setLinkInterface", 38, {0x42}, [](SystemClass& s) { return s.setLinkInterface(0x42); }},
        {"setLEDMaxBrightness",
         42,
         {0x42},
         [](SystemClass& s) { return s.setLEDMaxBrightness(0x42); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes request{3, static_cast<uint8_t>(0x80 | c.option), 0x20};
        request.insert(request.end(), c.value.begin(), c.value.end());
        peer.expect(pkt(kAddr, request),
                    {pkt(kAddr, {3, static_cast<uint8_t>(0xC0 | c.option), 0})});
        EXPECT_EQ(c.call(sys), aErrNone);
    }
}

TEST_F(SystemTest, NameAndPowerBehaviorConfigRuns) {
    const std::string name = "bench-hub-12";
    Bytes chunk{3, 32, 0};
    chunk.insert(chunk.end(), name.begin(), name.end());
    chunk.push_back(0x00);
    peer.expect(pkt(kAddr, {3, 0x60, 0x20}), {pkt(kAddr, chunk)});
    unsigned char buffer[32];
    size_t count = 0;
    ASSERT_EQ(sys.getName(buffer, sizeof buffer, &count), aErrNone);
    EXPECT_EQ(count, 12u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), name);

    Bytes ten{3, 31, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x00};
    peer.expect(pkt(kAddr, {3, 0x5F, 0x20}), {pkt(kAddr, ten)});
    unsigned int words[8];
    EXPECT_EQ(sys.getInputPowerBehaviorConfig(words, 8, &count), aErrMemory);

    Bytes eight{3, 31, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0x00};
    peer.expect(pkt(kAddr, {3, 0x5F, 0x20}), {pkt(kAddr, eight)});
    ASSERT_EQ(sys.getInputPowerBehaviorConfig(words, 8, &count), aErrNone);
    EXPECT_EQ(count, 2u);
    const unsigned char* raw = reinterpret_cast<const unsigned char*>(words);
    EXPECT_EQ(Bytes(raw, raw + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));

    // Words go out as raw host-order bytes.
    Bytes out{3, 0x9F, 0x20};
    out.insert(out.end(), raw, raw + 8);
    out.push_back(0x00);
    peer.expect(pkt(kAddr, out), {pkt(kAddr, {3, 0xDF, 0})});
    EXPECT_EQ(sys.setInputPowerBehaviorConfig(words, 2), aErrNone);

    Bytes setName{3, 0xA0, 0x20, 'h', 'u', 'b', 0x00};
    peer.expect(pkt(kAddr, setName), {pkt(kAddr, {3, 0xE0, 0})});
    EXPECT_EQ(sys.setName(reinterpret_cast<const unsigned char*>("hub"), 3), aErrNone);
}

TEST_F(SystemTest, DeviceErrorIsTheResult) {
    peer.expect(pkt(kAddr, {3, 0x49, 0x20}), {pkt(kAddr, {3, 9, 0x80, 21})});
    unsigned int serial = 5;
    EXPECT_EQ(sys.getSerialNumber(&serial), aErrUnimplemented);
    EXPECT_EQ(serial, 5u);
    EXPECT_EQ(sys.getTemperature(nullptr), aErrParam);
}
