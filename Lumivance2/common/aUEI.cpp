#include "aUEI.h"

namespace {

const uint8_t* sLastDataByte(const aPacket* packet) {
    if (!aVALIDPACKET(packet) || packet->length == 0 || packet->length > aPACKET_MAXDATA)
        return nullptr;
    return &packet->data[packet->length - 1];
}

}  // namespace

void aUEI_StoreShort(uint8_t* buffer, uint16_t value) {
    buffer[0] = uint8_t(value >> 8);
    buffer[1] = uint8_t(value);
}

uint16_t aUEI_RetrieveShort(const uint8_t* buffer) {
    return static_cast<uint16_t>(buffer[0] << 8 | buffer[1]);
}

void aUEI_StoreInt(uint8_t* buffer, uint32_t value) {
    buffer[0] = uint8_t(value >> 24);
    buffer[1] = uint8_t(value >> 16);
    buffer[2] = uint8_t(value >> 8);
    buffer[3] = uint8_t(value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* buffer) {
    return uint32_t(buffer[0]) << 24 | uint32_t(buffer[1]) << 16 | uint32_t(buffer[2]) << 8 |
           uint32_t(buffer[3]);
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
    if (!words) return;
    for (size_t i = 0; i < count; ++i)
        words[i] = aUEI_RetrieveInt(reinterpret_cast<const uint8_t*>(&words[i]));
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
    const uint8_t* last = sLastDataByte(packet);
    return last ? (*last & aUEI_BYTES_SEQUENCE_MASK) : 0;
}

uint8_t aUEI_getBytesContinue(const aPacket* packet) {
    const uint8_t* last = sLastDataByte(packet);
    return last ? (*last & aUEI_BYTES_CONTINUE) : 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
    return aVALIDPACKET(packet) && (packet->length == 27 || packet->length == 28);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
    if (!aVALIDPACKET(packet)) return false;
    switch (packet->data[0]) {
        case 0:
        case 1:
        case 2:
        case 4:
        case 8:
        case 9:
        case 23:
        case 24:
        case 0x49:
        case 0x5E:
        case 0x5F:
        case 0xAD:
        case 0xAF:
            return true;
        default:
            return false;
    }
}

bool aUEI_isUEIPayload(const aPacket* packet) {
    return !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
    return aVALIDPACKET(packet) && packet->length > 4 && packet->length <= aPACKET_MAXDATA &&
           aUEI_isUEIPayload(packet) && packet->data[1] < aUEI_OPTION_GET &&
           (packet->data[2] & aUEI_SPEC_STREAM) != 0;
}
