// I2CClass: the I2C entity (class 8) that drives a module's I2C bus. Each
// transfer is one raw packet exchange; the bus speed is kept in the object
// and sent with every transfer.
#pragma once

#include "Entity.h"

namespace Morvanex {
namespace Lumivance {

// Entity class of the I2C entity.
constexpr unsigned char kI2CClass = 8;
// Largest transfer: 5 header bytes + 23 data bytes fill a packet.
constexpr unsigned char kI2CMaxTransfer = 23;
// Highest bus speed setting.
constexpr unsigned char kI2CMaxSpeed = 3;

class I2CClass : public EntityClass {
  public:
    I2CClass();
    virtual ~I2CClass();

    aErr init(Module* module, unsigned char index);

    // Reads `length` bytes from the bus device at `address` (its write
    // address; the read bit is added). aErrSize above 23 bytes.
    aErr read(unsigned char address, unsigned char length, unsigned char* buffer);
    // Writes `length` bytes to the bus device at `address`. aErrSize above 23.
    aErr write(unsigned char address, unsigned char length, const unsigned char* data);
    aErr setPullup(bool enable);
    // Stores the bus speed (0 to 3) used by later transfers; nothing is sent.
    aErr setSpeed(unsigned char speed);
    aErr getSpeed(unsigned char* speed);

  private:
    // Sends the request and takes the reply matched on its first matchLength
    // bytes; the result is the status byte's error code, if any.
    aErr transfer(const unsigned char* request, unsigned char requestLength,
                  const unsigned char* match, unsigned char matchLength, unsigned char* reply,
                  unsigned char* replyLength);

    unsigned char m_speed = 0;
};

}  // namespace Lumivance
}  // namespace Morvanex
