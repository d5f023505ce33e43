// SystemClass: the system entity (class 3) that every module has: identity,
// versions, power, LEDs and reset. Each operation is one UEI exchange on a
// fixed option; the tables below generate them.
#pragma once

#include <cstddef>

#include "Entity.h"

namespace Morvanex {
namespace Lumivance {

// Entity class of the system entity.
constexpr unsigned char kSystemClass = 3;

// X(operation, option) tables of the system entity, by value kind.
// 8-bit getters: aErr name(unsigned char* value).
#define LUMIVANCE_SYSTEM_GET8(X)   \
    X(getModule, 1)                \
    X(getRouter, 2)                \
    X(getHBInterval, 3)            \
    X(getLED, 4)                   \
    X(getBootSlot, 6)              \
    X(getModel, 8)                 \
    X(getModuleHardwareOffset, 13) \
    X(getModuleBaseAddress, 14)    \
    X(getModuleSoftwareOffset, 15) \
    X(getRouterAddressSetting, 16) \
    X(getInputPowerSource, 29)     \
    X(getInputPowerBehavior, 30)   \
    X(getLinkInterface, 38)        \
    X(getLEDMaxBrightness, 42)

// 8-bit setters: aErr name(unsigned char value).
#define LUMIVANCE_SYSTEM_SET8(X)   \
    X(setRouter, 2)                \
    X(setHBInterval, 3)            \
    X(setLED, 4)                   \
    X(setBootSlot, 6)              \
    X(setModuleSoftwareOffset, 15) \
    X(routeToMe, 20)               \
    X(setInputPowerBehavior, 30)   \
    X(setLinkInterface, 38)        \
    X(setLEDMaxBrightness, 42)

// 32-bit unsigned getters: aErr name(unsigned int* value).
#define LUMIVANCE_SYSTEM_GET32(X) \
    X(getVersion, 7)              \
    X(getSerialNumber, 9)         \
    X(getInputVoltage, 12)        \
    X(getInputCurrent, 21)        \
    X(getUptime, 22)              \
    X(getPowerLimit, 33)          \
    X(getPowerLimitMax, 34)       \
    X(getPowerLimitState, 35)     \
    X(getHardwareVersion, 40)     \
    X(getErrors, 41)              \
    X(getBuild, 43)               \
    X(getProtocolFeatures, 45)

// 32-bit signed getters (two's complement): aErr name(int* value).
#define LUMIVANCE_SYSTEM_GETSIGNED32(X) \
    X(getMaximumTemperature, 23)        \
    X(getUnregulatedVoltage, 25)        \
    X(getUnregulatedCurrent, 26)        \
    X(getTemperature, 27)               \
    X(getMinimumTemperature, 28)

// 32-bit unsigned setters: aErr name(unsigned int value).
#define LUMIVANCE_SYSTEM_SET32(X) X(setPowerLimitMax, 34)

// Calls (a set with no value): aErr name().
#define LUMIVANCE_SYSTEM_CALL(X) \
    X(save, 10)                  \
    X(reset, 11)                 \
    X(logEvents, 24)             \
    X(resetDeviceToFactoryDefaults, 37)

// Byte-run options.
constexpr unsigned char kSystemInputPowerBehaviorConfig = 31;
constexpr unsigned char kSystemName = 32;

class SystemClass : public EntityClass {
  public:
    SystemClass();
    virtual ~SystemClass();

    // Binds the system entity of `module` with the index (0 on every module).
    aErr init(Module* module, unsigned char index);

#define LUMIVANCE_DECLARE_GET8(name, option) aErr name(unsigned char* value);
#define LUMIVANCE_DECLARE_SET8(name, option) aErr name(unsigned char value);
#define LUMIVANCE_DECLARE_GET32(name, option) aErr name(unsigned int* value);
#define LUMIVANCE_DECLARE_GETSIGNED32(name, option) aErr name(int* value);
#define LUMIVANCE_DECLARE_SET32(name, option) aErr name(unsigned int value);
#define LUMIVANCE_DECLARE_CALL(name, option) aErr name();
    LUMIVANCE_SYSTEM_GET8(LUMIVANCE_DECLARE_GET8)
    LUMIVANCE_SYSTEM_SET8(LUMIVANCE_DECLARE_SET8)
    LUMIVANCE_SYSTEM_GET32(LUMIVANCE_DECLARE_GET32)
    LUMIVANCE_SYSTEM_GETSIGNED32(LUMIVANCE_DECLARE_GETSIGNED32)
    LUMIVANCE_SYSTEM_SET32(LUMIVANCE_DECLARE_SET32)
    LUMIVANCE_SYSTEM_CALL(LUMIVANCE_DECLARE_CALL)
#undef LUMIVANCE_DECLARE_GET8
#undef LUMIVANCE_DECLARE_SET8
#undef LUMIVANCE_DECLARE_GET32
#undef LUMIVANCE_DECLARE_GETSIGNED32
#undef LUMIVANCE_DECLARE_SET32
#undef LUMIVANCE_DECLARE_CALL

    // Input power behaviour configuration: 32-bit words sent as raw bytes in
    // host order. `count` receives the number of words read.
    aErr setInputPowerBehaviorConfig(const unsigned int* words, size_t count);
    aErr getInputPowerBehaviorConfig(unsigned int* words, size_t capacity, size_t* count);
    // The device name (no terminating zero travels). `count` receives the
    // number of characters read.
    aErr setName(const unsigned char* name, size_t length);
    aErr getName(unsigned char* buffer, size_t bufferLength, size_t* count);
};

}  // namespace Lumivance
}  // namespace Morvanex
