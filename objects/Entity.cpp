// EntityClass: UEI get, set and call exchanges for one entity of a module.
#include "Entity.h"

#include <cstring>
#include <type_traits>

#include "Link.h"
#include "Module.h"

namespace Morvanex {
namespace Lumivance {

namespace {

constexpr unsigned long kReplyWaitMs = 1000;
// Marks a message whose reply has not set a value type yet.
constexpr ueiType kNoReplyType = 0xFFFFFFFFu;

// The device's error code of an error reply; a reply that claims an error
// but carries no code is still a failure.
aErr errorReplyCode(const uei& message) {
    return message.value.byteVal != 0 ? static_cast<aErr>(message.value.byteVal) : aErrUnknown;
}

bool isErrorReply(const uei& message) {
    return (message.specifier & aUEI_SPEC_ERROR) != 0;
}

uei makeMessage(ueiType type) {
    uei message;
    std::memset(&message, 0, sizeof message);
    message.type = type;
    return message;
}

// State of the byte-run reply filter. It begins with the uei message that
// the link's receiveUEI hands to the filter as its state.
struct BytesState {
    uei message;
    unsigned char module;
    unsigned char command;
    unsigned char option;
    unsigned char index;
    unsigned char* write;
    unsigned char expected;
    bool more;
    size_t bufferLength;
    size_t* unloaded;
    aErr error;
};

// Accepts the next chunk of a byte run (or an error reply) and copies its
// payload into the caller's buffer. A chunk with another sequence number
// stays queued.
uint8_t sUEIBytesFilter(const aPacket* packet, void* reference) {
    BytesState* s = reinterpret_cast<BytesState*>(static_cast<uei*>(reference));
    if (!aVALIDPACKET(packet) || packet->address != s->module || packet->length <= 2) return 0;
    const uint8_t* d = packet->data;
    if (d[0] != s->command || d[1] != s->option || (d[2] & aUEI_INDEX_MASK) != s->index) return 0;
    if (d[2] & aUEI_SPEC_ERROR) {
        s->error = packet->length > 3 && d[3] != 0 ? static_cast<aErr>(d[3]) : aErrUnknown;
        return 1;
    }
    if (packet->length < 4) return 0;  // no sequence byte: not a chunk
    if (aUEI_getBytesSequence(packet) != s->expected) return 0;
    size_t payload = packet->length - 4u;
    if (*s->unloaded + payload > s->bufferLength) {
        s->error = aErrMemory;
        return 1;
    }
    std::memcpy(s->write, &d[3], payload);
    s->write += payload;
    *s->unloaded += payload;
    s->more = aUEI_getBytesContinue(packet) != 0;
    s->error = aErrNone;
    return 1;
}

}  // namespace

struct EntityClass::impl {
    explicit impl(EntityClass& o) : owner(o) {}
    EntityClass& owner;
    Module* module = nullptr;
    unsigned char command = 0;
    unsigned char index = 0;

    Link* link() const { return module ? module->getLink() : nullptr; }

    // The get exchange. With `expected` other than kNoReplyType the reply
    // must carry a value of that type (aErrSize otherwise).
    aErr get(unsigned char option, uei* message, ueiType expected);
    aErr set(unsigned char option, uei* message, bool withSubindex, unsigned char subindex);
};

aErr EntityClass::impl::get(unsigned char option, uei* message, ueiType expected) {
    Link* l = link();
    if (!l) return aErrResource;
    if (!message) return aErrParam;
    message->module = module->getModuleAddress();
    message->command = command;
    message->option = option | aUEI_OPTION_GET;
    message->specifier = index | aUEI_SPEC_REQUEST;
    aErr err = l->sendUEI(*message);
    if (err != aErrNone) return err;
    message->option = option;
    message->specifier = index;
    if (expected != kNoReplyType) {
        // A reply of an unexpected length leaves the message as it is; make
        // that visible instead of reading the request's value back.
        message->value.raw = 0;
        message->type = kNoReplyType;
    }
    err = l->receiveUEI(message->module, message->command, message->option, message->specifier,
                        message);
    if (err != aErrNone) return err;
    if (isErrorReply(*message)) return errorReplyCode(*message);
    if (expected != kNoReplyType && message->type != expected) return aErrSize;
    return aErrNone;
}

aErr EntityClass::impl::set(unsigned char option, uei* message, bool withSubindex,
                            unsigned char subindex) {
    Link* l = link();
    if (!l) return aErrResource;
    if (!message) return aErrParam;
    message->module = module->getModuleAddress();
    message->command = command;
    message->option = option | aUEI_OPTION_SET;
    message->specifier = index | aUEI_SPEC_REQUEST;
    aErr err = withSubindex ? l->sendUEI(*message, subindex) : l->sendUEI(*message);
    if (err != aErrNone) return err;
    message->option = option | aUEI_OPTION_GET | aUEI_OPTION_SET;
    message->specifier = index;
    err = l->receiveUEI(message->module, message->command, message->option, message->specifier,
                        message);
    if (err != aErrNone) return err;
    if (isErrorReply(*message)) return errorReplyCode(*message);
    return aErrNone;
}

EntityClass::EntityClass() : m_pImpl(new impl(*this)) {}

EntityClass::~EntityClass() {
    delete m_pImpl;
}

aErr EntityClass::init(Module* module, unsigned char command, unsigned char index) {
    m_pImpl->module = module;
    m_pImpl->command = command;
    m_pImpl->index = index;
    return aErrNone;
}

unsigned char EntityClass::getIndex() const {
    return m_pImpl->index;
}

unsigned char EntityClass::getCommand() const {
    return m_pImpl->command;
}

Module* EntityClass::getModule() const {
    return m_pImpl->module;
}

aErr EntityClass::sendPacket(unsigned char command, unsigned char length,
                             const unsigned char* data) {
    Link* l = m_pImpl->link();
    if (!l) return aErrResource;
    return l->sendPacket(m_pImpl->module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const unsigned char* match, unsigned char* length,
                                unsigned char* data) {
    Link* l = m_pImpl->link();
    if (!l) return aErrResource;
    return l->receivePacket(m_pImpl->module->getModuleAddress(), match, length, data);
}

aErr EntityClass::getUEI(unsigned char option, uei* message) {
    return m_pImpl->get(option, message, kNoReplyType);
}

aErr EntityClass::setUEI(unsigned char option, uei* message) {
    return m_pImpl->set(option, message, false, 0);
}

aErr EntityClass::setUEI(unsigned char option, unsigned char subindex, uei* message) {
    return m_pImpl->set(option, message, true, subindex);
}

aErr EntityClass::callUEI(unsigned char option) {
    uei message = makeMessage(UEI_TYPE_VOID);
    return setUEI(option, &message);
}

aErr EntityClass::setUEI8(unsigned char option, unsigned char value) {
    uei message = makeMessage(UEI_TYPE_BYTE);
    message.value.byteVal = value;
    return setUEI(option, &message);
}

aErr EntityClass::setUEI8(unsigned char option, unsigned char subindex, unsigned char value) {
    uei message = makeMessage(UEI_TYPE_BYTE);
    message.value.byteVal = value;
    return setUEI(option, subindex, &message);
}

aErr EntityClass::setUEI16(unsigned char option, unsigned short value) {
    uei message = makeMessage(UEI_TYPE_SHORT);
    message.value.shortVal = value;
    return setUEI(option, &message);
}

aErr EntityClass::setUEI16(unsigned char option, unsigned char subindex, unsigned short value) {
    uei message = makeMessage(UEI_TYPE_SHORT);
    message.value.shortVal = value;
    return setUEI(option, subindex, &message);
}

aErr EntityClass::setUEI32(unsigned char option, unsigned int value) {
    uei message = makeMessage(UEI_TYPE_INT);
    message.value.intVal = value;
    return setUEI(option, &message);
}

aErr EntityClass::setUEI32(unsigned char option, unsigned char subindex, unsigned int value) {
    uei message = makeMessage(UEI_TYPE_INT);
    message.value.intVal = value;
    return setUEI(option, subindex, &message);
}

aErr EntityClass::getUEI8(unsigned char option, unsigned char* value) {
    if (!value) return aErrParam;
    uei message = makeMessage(UEI_TYPE_VOID);
    aErr err = m_pImpl->get(option, &message, UEI_TYPE_BYTE);
    if (err == aErrNone) *value = message.value.byteVal;
    return err;
}

aErr EntityClass::getUEI8(unsigned char option, unsigned char subindex, unsigned char* value) {
    if (!value) return aErrParam;
    uei message = makeMessage(UEI_TYPE_BYTE);
    message.value.byteVal = subindex;
    aErr err = m_pImpl->get(option, &message, UEI_TYPE_BYTE);
    if (err == aErrNone) *value = message.value.byteVal;
    return err;
}

aErr EntityClass::getUEI16(unsigned char option, unsigned short* value) {
    if (!value) return aErrParam;
    uei message = makeMessage(UEI_TYPE_VOID);
    aErr err = m_pImpl->get(option, &message, UEI_TYPE_SHORT);
    if (err == aErrNone) *value = message.value.shortVal;
    return err;
}

aErr EntityClass::getUEI16(unsigned char option, unsigned char subindex, unsigned short* value) {
    if (!value) return aErrParam;
    uei message = makeMessage(UEI_TYPE_BYTE);
    message.value.byteVal = subindex;
    aErr err = m_pImpl->get(option, &message, UEI_TYPE_SHORT);
    if (err == aErrNone) *value = message.value.shortVal;
    return err;
}

aErr EntityClass::getUEI32(unsigned char option, unsigned int* value) {
    if (!value) return aErrParam;
    uei message = makeMessage(UEI_TYPE_VOID);
    aErr err = m_pImpl->get(option, &message, UEI_TYPE_INT);
    if (err == aErrNone) *value = message.value.intVal;
    return err;
}

aErr EntityClass::getUEI32(unsigned char option, unsigned char subindex, unsigned int* value) {
    if (!value) return aErrParam;
    uei message = makeMessage(UEI_TYPE_BYTE);
    message.value.byteVal = subindex;
    aErr err = m_pImpl->get(option, &message, UEI_TYPE_INT);
    if (err == aErrNone) *value = message.value.intVal;
    return err;
}

aErr EntityClass::setUEIBytes(unsigned char option, const unsigned char* data, size_t length) {
    if (length > 0 && !data) return aErrParam;
    uei message = makeMessage(UEI_TYPE_BYTES);
    message.value.bytes = const_cast<uint8_t*>(data);  // only read when sending
    message.size = length;
    return setUEI(option, &message);
}

aErr EntityClass::getUEIBytes(unsigned char option, unsigned char* buffer, size_t bufferLength,
                              size_t* unloaded) {
    if (!buffer || !unloaded || bufferLength == 0) return aErrParam;
    *unloaded = 0;
    Link* l = m_pImpl->link();
    if (!l) return aErrResource;
    uei request = makeMessage(UEI_TYPE_VOID);
    request.module = m_pImpl->module->getModuleAddress();
    request.command = m_pImpl->command;
    request.option = option | aUEI_OPTION_GET;
    request.specifier = m_pImpl->index | aUEI_SPEC_REQUEST;
    aErr err = l->sendUEI(request);
    if (err != aErrNone) return err;

    BytesState state{makeMessage(UEI_TYPE_VOID),
                     request.module,
                     m_pImpl->command,
                     option,
                     m_pImpl->index,
                     buffer,
                     0,
                     false,
                     bufferLength,
                     unloaded,
                     aErrNone};
    static_assert(std::is_standard_layout<BytesState>::value, "filter state starts with a uei");
    // Every chunk but the last carries at least one byte, so a well-formed run
    // never needs more chunks than the buffer has bytes, plus the last.
    for (size_t chunks = 0; chunks <= bufferLength; ++chunks) {
        err = l->receiveUEI(request.module, request.command, option, m_pImpl->index, &state.message,
                            sUEIBytesFilter);
        if (err != aErrNone) return err;
        if (state.error != aErrNone) return state.error;
        if (!state.more) return aErrNone;
        state.expected = static_cast<unsigned char>((state.expected + 1) % 128);
    }
    return aErrPacket;
}

unsigned char EntityClass::getUEIBytesSequence(const aPacket* packet) {
    return aUEI_getBytesSequence(packet);
}

unsigned char EntityClass::getUEIBytesContinue(const aPacket* packet) {
    return aUEI_getBytesContinue(packet);
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unitSize) {
    if (!count || unitSize == 0) return aErrParam;
    if (*count % unitSize != 0) return aErrMemory;
    *count /= unitSize;
    return aErrNone;
}

aErr EntityClass::awaitUEI32Val(unsigned int option, unsigned int* value, unsigned int) {
    if (!value) return aErrParam;
    Link* l = m_pImpl->link();
    if (!l) return aErrResource;
    uei message = makeMessage(kNoReplyType);
    message.module = m_pImpl->module->getModuleAddress();
    message.command = m_pImpl->command;
    message.option = static_cast<unsigned char>(option);
    message.specifier = m_pImpl->index;
    aErr err =
        l->receiveUEI(message.module, message.command, message.option, message.specifier, &message);
    if (err != aErrNone) return err;
    if (isErrorReply(message)) return errorReplyCode(message);
    if (message.type != UEI_TYPE_INT) return aErrSize;
    *value = message.value.intVal;
    return aErrNone;
}

aErr EntityClass::drainUEI(unsigned char option) {
    Link* l = m_pImpl->link();
    if (!l) return aErrResource;
    return l->dropMatchingUEIPackets(m_pImpl->module->getModuleAddress(), m_pImpl->command, option,
                                     m_pImpl->index);
}

namespace {

aErr storeRequest(Module* module, unsigned char command, unsigned char index,
                  unsigned char storeOption) {
    EntityClass store;
    store.init(module, kStoreEntityClass, 0);
    return store.setUEI32(storeOption, (static_cast<unsigned int>(command) << 8) | index);
}

}  // namespace

aErr EntityClass::saveEntityToStore() {
    return storeRequest(m_pImpl->module, m_pImpl->command, m_pImpl->index, 0);
}

aErr EntityClass::resetEntityToFactoryDefaults() {
    return storeRequest(m_pImpl->module, m_pImpl->command, m_pImpl->index, 1);
}

aErr EntityClass::loadEntityFromStore() {
    return storeRequest(m_pImpl->module, m_pImpl->command, m_pImpl->index, 2);
}

}  // namespace Lumivance
}  // namespace Morvanex
