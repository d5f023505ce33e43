// I2CClass: bus transfers over the I2C entity's packets.
#include "I2CClass.h"

#include <cstring>

namespace Morvanex {
namespace Lumivance {

namespace {

constexpr unsigned char kReadBit = 0x01;
constexpr unsigned char kPullupSelector = 1;
constexpr unsigned char kStatusError = 0x80;
constexpr unsigned char kStatusCode = 0x7F;
constexpr unsigned char kStatusByte = 4;  // data[4] of every reply
constexpr unsigned char kReadData = 5;    // read data start at data[5]

}  // namespace

I2CClass::I2CClass() = default;

I2CClass::~I2CClass() = default;

aErr I2CClass::init(Module* module, unsigned char index) {
    return EntityClass::init(module, kI2CClass, index);
}

aErr I2CClass::transfer(const unsigned char* request, unsigned char requestLength,
                        const unsigned char* match, unsigned char matchLength, unsigned char* reply,
                        unsigned char* replyLength) {
    // request[0] is the command byte; the rest are its data.
    aErr err = sendPacket(request[0], requestLength - 1, request + 1);
    if (err != aErrNone) return err;
    *replyLength = matchLength;
    err = receivePacket(match, replyLength, reply);
    if (err != aErrNone) return err;
    if (*replyLength <= kStatusByte) return aErrPacket;
    unsigned char status = reply[kStatusByte];
    if (status & kStatusError) {
        // An error status without a code is still a failure.
        return (status & kStatusCode) ? static_cast<aErr>(status & kStatusCode) : aErrUnknown;
    }
    return aErrNone;
}

aErr I2CClass::read(unsigned char address, unsigned char length, unsigned char* buffer) {
    if (length > kI2CMaxTransfer) return aErrSize;
    if (length > 0 && !buffer) return aErrParam;
    const unsigned char request[] = {
        kI2CClass, getIndex(), static_cast<unsigned char>(address | kReadBit), length, m_speed};
    unsigned char reply[aPACKET_MAXDATA];
    unsigned char replyLength = 0;
    aErr err = transfer(request, sizeof request, request, 3, reply, &replyLength);
    if (err != aErrNone) return err;
    size_t count = reply[3];
    size_t held = replyLength > kReadData ? replyLength - kReadData : 0;
    if (count > held) count = held;
    if (count > length) count = length;
    if (count) std::memcpy(buffer, &reply[kReadData], count);
    return aErrNone;
}

aErr I2CClass::write(unsigned char address, unsigned char length, const unsigned char* data) {
    if (length > kI2CMaxTransfer) return aErrSize;
    if (length > 0 && !data) return aErrParam;
    unsigned char request[aPACKET_MAXDATA] = {kI2CClass, getIndex(), address, length, m_speed};
    if (length) std::memcpy(&request[5], data, length);
    const unsigned char match[] = {kI2CClass, getIndex(), address, 0};
    unsigned char reply[aPACKET_MAXDATA];
    unsigned char replyLength = 0;
    return transfer(request, static_cast<unsigned char>(5 + length), match, sizeof match, reply,
                    &replyLength);
}

aErr I2CClass::setPullup(bool enable) {
    const unsigned char request[] = {kI2CClass, getIndex(), kPullupSelector,
                                     static_cast<unsigned char>(enable ? 1 : 0)};
    unsigned char reply[aPACKET_MAXDATA];
    unsigned char replyLength = 0;
    return transfer(request, sizeof request, request, 3, reply, &replyLength);
}

aErr I2CClass::setSpeed(unsigned char speed) {
    if (speed > kI2CMaxSpeed) return aErrParam;
    m_speed = speed;
    return aErrNone;
}

aErr I2CClass::getSpeed(unsigned char* speed) {
    if (!speed) return aErrParam;
    *speed = m_speed;
    return aErrNone;
}

}  // namespace Lumivance
}  // namespace Morvanex
