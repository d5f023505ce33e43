// EntityClass: the base of every entity object. An entity is a class (the
// command byte of its packets) and an index on a module; get, set and call
// requests on its options become UEI exchanges over the module's link.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Lumivance2/common/aError.h"
#include "Lumivance2/common/aPacket.h"
#include "Lumivance2/common/aUEI.h"

namespace Morvanex {
namespace Lumivance {

class Module;

// Class of the store entity that saves, loads and resets entity settings.
constexpr unsigned char kStoreEntityClass = 92;

class EntityClass {
  public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    // Binds the entity to a module, class and index; may be called again.
    aErr init(Module* module, unsigned char command, unsigned char index);
    unsigned char getIndex() const;
    unsigned char getCommand() const;
    Module* getModule() const;

    // Raw packets to and from the module's current address.
    aErr sendPacket(unsigned char command, unsigned char length, const unsigned char* data);
    aErr receivePacket(const unsigned char* match, unsigned char* length, unsigned char* data);

    // Generic UEI exchanges. The reply's value and type end up in `message`.
    aErr getUEI(unsigned char option, uei* message);
    aErr setUEI(unsigned char option, uei* message);
    aErr setUEI(unsigned char option, unsigned char subindex, uei* message);
    aErr callUEI(unsigned char option);

    aErr setUEI8(unsigned char option, unsigned char value);
    aErr setUEI8(unsigned char option, unsigned char subindex, unsigned char value);
    aErr setUEI16(unsigned char option, unsigned short value);
    aErr setUEI16(unsigned char option, unsigned char subindex, unsigned short value);
    aErr setUEI32(unsigned char option, unsigned int value);
    aErr setUEI32(unsigned char option, unsigned char subindex, unsigned int value);

    aErr getUEI8(unsigned char option, unsigned char* value);
    aErr getUEI8(unsigned char option, unsigned char subindex, unsigned char* value);
    aErr getUEI16(unsigned char option, unsigned short* value);
    aErr getUEI16(unsigned char option, unsigned char subindex, unsigned short* value);
    aErr getUEI32(unsigned char option, unsigned int* value);
    aErr getUEI32(unsigned char option, unsigned char subindex, unsigned int* value);

    // Byte runs.
    aErr setUEIBytes(unsigned char option, const unsigned char* data, size_t length);
    aErr getUEIBytes(unsigned char option, unsigned char* buffer, size_t bufferLength,
                     size_t* unloaded);
    static unsigned char getUEIBytesSequence(const aPacket* packet);
    static unsigned char getUEIBytesContinue(const aPacket* packet);
    // Turns a byte count into a count of unitSize elements; aErrMemory when it
    // does not divide evenly.
    static aErr getUEIBytesCheck(size_t* count, size_t unitSize);

    // Waits for a 32-bit UEI the device sends on its own (bare option); the
    // third argument is not used.
    aErr awaitUEI32Val(unsigned int option, unsigned int* value, unsigned int unused);
    // Removes queued replies of this entity's option.
    aErr drainUEI(unsigned char option);

    // Ask the module's store entity to act on this entity's settings.
    aErr saveEntityToStore();
    aErr loadEntityFromStore();
    aErr resetEntityToFactoryDefaults();

    struct impl;

  private:
    impl* m_pImpl;
};

}  // namespace Lumivance
}  // namespace Morvanex
