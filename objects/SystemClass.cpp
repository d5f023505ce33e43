// SystemClass: the operations of the system entity, generated from the
// option tables in the header.
#include "SystemClass.h"

namespace Morvanex {
namespace Lumivance {

SystemClass::SystemClass() = default;

SystemClass::~SystemClass() = default;

aErr SystemClass::init(Module* module, unsigned char index) {
    return EntityClass::init(module, kSystemClass, index);
}

#define LUMIVANCE_DEFINE_GET8(name, option)        \
    aErr SystemClass::name(unsigned char* value) { \
        return getUEI8(option, value);             \
    }
#define LUMIVANCE_DEFINE_SET8(name, option)       \
    aErr SystemClass::name(unsigned char value) { \
        return setUEI8(option, value);            \
    }
#define LUMIVANCE_DEFINE_GET32(name, option)      \
    aErr SystemClass::name(unsigned int* value) { \
        return getUEI32(option, value);           \
    }
#define LUMIVANCE_DEFINE_GETSIGNED32(name, option)           \
    aErr SystemClass::name(int* value) {                     \
        if (!value) return aErrParam;                        \
        unsigned int raw = 0;                                \
        aErr err = getUEI32(option, &raw);                   \
        if (err == aErrNone) *value = static_cast<int>(raw); \
        return err;                                          \
    }
#define LUMIVANCE_DEFINE_SET32(name, option)     \
    aErr SystemClass::name(unsigned int value) { \
        return setUEI32(option, value);          \
    }
#define LUMIVANCE_DEFINE_CALL(name, option) \
    aErr SystemClass::name() {              \
        return callUEI(option);             \
    }

LUMIVANCE_SYSTEM_GET8(LUMIVANCE_DEFINE_GET8)
LUMIVANCE_SYSTEM_SET8(LUMIVANCE_DEFINE_SET8)
LUMIVANCE_SYSTEM_GET32(LUMIVANCE_DEFINE_GET32)
LUMIVANCE_SYSTEM_GETSIGNED32(LUMIVANCE_DEFINE_GETSIGNED32)
LUMIVANCE_SYSTEM_SET32(LUMIVANCE_DEFINE_SET32)
LUMIVANCE_SYSTEM_CALL(LUMIVANCE_DEFINE_CALL)

aErr SystemClass::setInputPowerBehaviorConfig(const unsigned int* words, size_t count) {
    if (count > 0 && !words) return aErrParam;
    return setUEIBytes(kSystemInputPowerBehaviorConfig,
                       reinterpret_cast<const unsigned char*>(words), count * sizeof(unsigned int));
}

aErr SystemClass::getInputPowerBehaviorConfig(unsigned int* words, size_t capacity, size_t* count) {
    if (!words || !count) return aErrParam;
    aErr err = getUEIBytes(kSystemInputPowerBehaviorConfig, reinterpret_cast<unsigned char*>(words),
                           capacity * sizeof(unsigned int), count);
    if (err != aErrNone) return err;
    return getUEIBytesCheck(count, sizeof(unsigned int));
}

aErr SystemClass::setName(const unsigned char* name, size_t length) {
    return setUEIBytes(kSystemName, name, length);
}

aErr SystemClass::getName(unsigned char* buffer, size_t bufferLength, size_t* count) {
    aErr err = getUEIBytes(kSystemName, buffer, bufferLength, count);
    if (err != aErrNone) return err;
    return getUEIBytesCheck(count, 1);
}

}  // namespace Lumivance
}  // namespace Morvanex
