#include "aPacket.h"

#include <cstring>
#include <new>

namespace {

// A packet that operations may touch: the check word is right and the length
// is in range (the record is public, so a caller could have spoilt it).
bool sValid(const aPacket* packet) {
    return aVALIDPACKET(packet) && packet->length <= aPACKET_MAXDATA;
}

}  // namespace

aPacket* aPacket_Create(void) {
    auto* packet = new (std::nothrow) aPacket{};
    if (packet) packet->checkWord = aPACKET_CHECK;
    return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, size_t length, const uint8_t* data) {
    if (!data || length > aPACKET_MAXDATA) return nullptr;
    aPacket* packet = aPacket_Create();
    if (!packet) return nullptr;
    packet->address = address;
    packet->length = static_cast<uint8_t>(length);
    packet->byteCount = static_cast<uint8_t>(length + 2);
    if (length) std::memcpy(packet->data, data, length);
    return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
    if (!sValid(packet)) return nullptr;
    return aPacket_CreateWithData(packet->address, packet->length, packet->data);
}

aErr aPacket_Reset(aPacket* packet) {
    if (!aVALIDPACKET(packet)) return aErrParam;
    packet->byteCount = 0;
    packet->address = 0;
    packet->length = 0;
    std::memset(packet->data, 0, sizeof packet->data);
    return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
    if (!sValid(packet)) return aErrParam;
    // Saturate just past the limit so that a stream of bad bytes never wraps
    // the count back into range.
    if (packet->byteCount <= aPACKET_MAXWIRE) ++packet->byteCount;
    if (packet->byteCount > aPACKET_MAXWIRE) return aErrOverrun;

    if (packet->address == 0) {
        if (byte == 0) return aErrPacket;
        packet->address = byte;
        return aErrNone;
    }
    if (packet->length == 0) {
        // An out-of-range length is kept, so the packet never looks complete;
        // every operation but Reset then refuses it (see sValid).
        packet->length = byte;
        return byte > aPACKET_MAXDATA ? aErrPacket : aErrNone;
    }
    if (packet->byteCount > packet->length + 2) return aErrPacket;
    packet->data[packet->byteCount - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
    return sValid(packet) && packet->byteCount == packet->length + 2;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* written) {
    if (!sValid(packet) || !buffer) return aErrParam;
    const size_t total = size_t(packet->length) + 2;
    if (size < total) return aErrOverrun;
    buffer[0] = packet->address;
    buffer[1] = packet->length;
    std::memcpy(buffer + 2, packet->data, packet->length);
    if (written) *written = total;
    return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command) {
    if (!command) return aErrParam;
    if (!sValid(packet) || packet->length < 1) return aErrPacket;
    *command = packet->data[0];
    return aErrNone;
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
    if (!option) return aErrParam;
    if (!sValid(packet) || packet->length < 2) return aErrPacket;
    *option = packet->data[1] & 0x3F;
    return aErrNone;
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
    if (!index) return aErrParam;
    if (!sValid(packet) || packet->length < 3) return aErrPacket;
    *index = packet->data[2] & 0x1F;
    return aErrNone;
}

aErr aPacket_Destroy(aPacket** packet) {
    if (!packet || !*packet) return aErrParam;
    aPacket* p = *packet;
    *packet = nullptr;
    if (p->checkWord != aPACKET_CHECK) return aErrParam;
    p->checkWord = 0;  // a stale reference is then rejected rather than reused
    delete p;
    return aErrNone;
}
