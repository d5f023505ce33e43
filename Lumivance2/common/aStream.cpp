// The aStream record, its push-back buffer, the generic read/write helpers
// and the file streams.
#include "aStream.h"

#include <cstdlib>
#include <cstring>

#include "aFile.h"

struct aStream {
    uint16_t checkWord;
    aStreamGetProc getProc;
    aStreamPutProc putProc;
    aStreamWriteProc writeProc;
    aStreamDeleteProc deleteProc;
    void* reference;
    // Push-back ring buffer; nullptr until the first byte is pushed back.
    uint8_t* pbBuffer;
    size_t pbCount;
    size_t pbCapacity;
    size_t pbRead;
    size_t pbWrite;
};

namespace {

// Reads that ask for at most this many bytes use a buffer on the stack; the
// link engine reads one byte at a time.
constexpr size_t kStackReadSize = 64;

// Makes room for one more byte: the buffer is created at aSTREAMBUFCHUNK
// bytes and grows by aSTREAMBUFCHUNK once it holds capacity - 1 bytes, its
// contents laid out again oldest first.
aErr sEnsureRoom(aStream* s) {
    if (!s->pbBuffer) {
        s->pbBuffer = static_cast<uint8_t*>(malloc(aSTREAMBUFCHUNK));
        if (!s->pbBuffer) return aErrMemory;
        s->pbCapacity = aSTREAMBUFCHUNK;
        s->pbCount = s->pbRead = s->pbWrite = 0;
        return aErrNone;
    }
    if (s->pbCount < s->pbCapacity - 1) return aErrNone;
    size_t newCapacity = s->pbCapacity + aSTREAMBUFCHUNK;
    uint8_t* grown = static_cast<uint8_t*>(malloc(newCapacity));
    if (!grown) return aErrMemory;
    for (size_t i = 0; i < s->pbCount; ++i) grown[i] = s->pbBuffer[(s->pbRead + i) % s->pbCapacity];
    free(s->pbBuffer);
    s->pbBuffer = grown;
    s->pbCapacity = newCapacity;
    s->pbRead = 0;
    s->pbWrite = s->pbCount;
    return aErrNone;
}

// Puts a byte in front of the push-back buffer, so that it is the next one
// out. Used to return bytes that were taken but belong to the next read.
aErr sPushFront(aStream* s, uint8_t byte) {
    aErr err = sEnsureRoom(s);
    if (err != aErrNone) return err;
    s->pbRead = (s->pbRead + s->pbCapacity - 1) % s->pbCapacity;
    s->pbBuffer[s->pbRead] = byte;
    s->pbCount++;
    return aErrNone;
}

// One byte: from the push-back buffer while it holds any, else the transport.
aErr sNextByte(aStream* s, uint8_t* out) {
    if (s->pbCount > 0) {
        *out = s->pbBuffer[s->pbRead];
        s->pbRead = (s->pbRead + 1) % s->pbCapacity;
        s->pbCount--;
        return aErrNone;
    }
    return s->getProc(out, s->reference);
}

aErr sPushBackRun(aStream* s, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        aErr err = aStreamBufferChar(s, bytes[i]);
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

}  // namespace

aStream* aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                        aStreamDeleteProc deleteProc, void* reference) {
    aStream* s = static_cast<aStream*>(calloc(1, sizeof(aStream)));
    if (!s) return nullptr;
    s->getProc = getProc;
    s->putProc = putProc;
    s->writeProc = writeProc;
    s->deleteProc = deleteProc;
    s->reference = reference;
    s->checkWord = aSTREAM_CHECK;
    return s;
}

bool aVALIDSTREAM(const aStream* stream) {
    return stream != nullptr && stream->checkWord == aSTREAM_CHECK;
}

aErr aStream_Destroy(aStream** stream) {
    if (!stream) return aErrParam;
    aStream* s = *stream;
    *stream = nullptr;
    if (!aVALIDSTREAM(s)) return aErrParam;
    aErr err = aErrNone;
    if (s->deleteProc) err = s->deleteProc(s->reference);
    free(s->pbBuffer);
    s->checkWord = 0;
    free(s);
    return err;
}

void* aStream_TransportReference(const aStream* stream, aStreamGetProc getProc) {
    if (!aVALIDSTREAM(stream) || stream->getProc != getProc) return nullptr;
    return stream->reference;
}

aErr aStreamBufferChar(aStream* stream, uint8_t byte) {
    if (!aVALIDSTREAM(stream)) return aErrParam;
    aErr err = sEnsureRoom(stream);
    if (err != aErrNone) return err;
    stream->pbBuffer[stream->pbWrite] = byte;
    stream->pbWrite = (stream->pbWrite + 1) % stream->pbCapacity;
    stream->pbCount++;
    return aErrNone;
}

aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t length) {
    if (!aVALIDSTREAM(stream) || !buffer) return aErrParam;
    if (!stream->getProc) return aErrMode;
    if (length == 0) return aErrNone;

    uint8_t stackBuffer[kStackReadSize];
    uint8_t* taken = stackBuffer;
    if (length > kStackReadSize) {
        taken = static_cast<uint8_t*>(malloc(length));
        if (!taken) return aErrResource;
    }

    size_t count = 0;
    aErr err = aErrNone;
    while (count < length) {
        err = sNextByte(stream, &taken[count]);
        if (err != aErrNone) break;
        count++;
    }

    if (err == aErrNotReady) {
        // The transport ran dry mid-read: keep what was taken for next time.
        // The push-back buffer is empty here (the transport is only asked
        // once it is), so appending keeps the bytes in order.
        aErr pushErr = sPushBackRun(stream, taken, count);
        if (pushErr != aErrNone) err = pushErr;
    } else if (err == aErrNone || err == aErrEOF) {
        memcpy(buffer, taken, count);
    }

    if (taken != stackBuffer) free(taken);
    return err;
}

aErr aStream_Write(aStream* stream, const uint8_t* data, size_t length) {
    if (!aVALIDSTREAM(stream) || !data) return aErrParam;
    if (!stream->writeProc && !stream->putProc) return aErrMode;
    if (length == 0) return aErrNone;
    if (stream->writeProc && (length > 1 || !stream->putProc)) {
        return stream->writeProc(data, length, stream->reference);
    }
    for (size_t i = 0; i < length; ++i) {
        aErr err = stream->putProc(&data[i], stream->reference);
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* count, size_t size,
                        const uint8_t* delimiter, size_t delimiterLength) {
    if (!aVALIDSTREAM(stream) || !buffer || !delimiter || delimiterLength == 0 || size == 0) {
        return aErrParam;
    }
    if (!stream->getProc) return aErrMode;
    uint8_t* work = static_cast<uint8_t*>(malloc(size));
    if (!work) return aErrResource;

    size_t stored = 0;
    size_t matched = 0;  // delimiter bytes matched so far
    bool done = false;
    aErr err = aErrNone;
    while (!done) {
        uint8_t byte = 0;
        err = aStream_Read(stream, &byte, 1);
        if (err == aErrNotReady) {
            // Give back everything taken for this record, in order.
            aErr pushErr = sPushBackRun(stream, work, stored);
            if (pushErr == aErrNone) pushErr = sPushBackRun(stream, delimiter, matched);
            if (pushErr != aErrNone) err = pushErr;
            break;
        }
        if (err == aErrEOF) {
            // A partly matched delimiter at the end is data.
            for (size_t i = 0; i < matched && stored < size; ++i) work[stored++] = delimiter[i];
            if (stored > 0) err = aErrNone;
            break;
        }
        if (err != aErrNone) break;

        if (byte == delimiter[matched]) {
            if (++matched == delimiterLength) done = true;
            continue;
        }
        if (matched > 0) {
            // A partial delimiter followed by another byte: the matched bytes
            // are data. Whatever does not fit goes back in front of the
            // stream for the next record, and the new byte is matched afresh.
            size_t i = 0;
            while (i < matched && stored < size) work[stored++] = delimiter[i++];
            if (stored == size) {
                aErr pushErr = sPushFront(stream, byte);
                while (pushErr == aErrNone && i < matched) {
                    pushErr = sPushFront(stream, delimiter[matched - 1]);
                    --matched;
                }
                if (pushErr != aErrNone) err = pushErr;
                done = true;
                continue;
            }
            matched = 0;
            if (byte == delimiter[0]) {
                if (++matched == delimiterLength) done = true;
                continue;
            }
        }
        work[stored++] = byte;
        if (stored == size) done = true;
    }

    if (err == aErrNone) {
        memcpy(buffer, work, stored);
        if (count) *count = stored;
    }
    free(work);
    return err;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, size_t length,
                         const uint8_t* delimiter, size_t delimiterLength) {
    if (!aVALIDSTREAM(stream) || !data || !delimiter || delimiterLength == 0) return aErrParam;
    aErr err = aStream_Write(stream, data, length);
    if (err != aErrNone) return err;
    return aStream_Write(stream, delimiter, delimiterLength);
}

aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size) {
    static const uint8_t nul = 0;
    if (!buffer || size < 2) return aErrParam;
    size_t count = 0;
    aErr err =
        aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &count, size - 1, &nul, 1);
    if (err == aErrNone) buffer[count] = '\0';
    return err;
}

aErr aStream_WriteCString(aStream* stream, const char* text) {
    if (!text) return aErrParam;
    static const uint8_t nul = 0;
    return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text), &nul,
                               1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size,
                               const char* delimiterText) {
    if (!buffer || size < 2 || !delimiterText) return aErrParam;
    size_t count = 0;
    aErr err =
        aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &count, size - 1,
                           reinterpret_cast<const uint8_t*>(delimiterText), strlen(delimiterText));
    if (err == aErrNone) buffer[count] = '\0';
    return err;
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* delimiterText) {
    if (!text || !delimiterText) return aErrParam;
    return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text),
                               reinterpret_cast<const uint8_t*>(delimiterText),
                               strlen(delimiterText) + 1);
}

aErr aStream_Flush(aStream* source, aStream* destination) {
    if (!aVALIDSTREAM(source) || !aVALIDSTREAM(destination)) return aErrParam;
    if (!source->getProc || !destination->putProc) return aErrMode;
    for (;;) {
        uint8_t byte = 0;
        aErr err = source->getProc(&byte, source->reference);
        if (err == aErrEOF) return aErrNone;
        if (err != aErrNone) return err;
        err = destination->putProc(&byte, destination->reference);
        if (err != aErrNone) return err;
    }
}

// ---- File streams ----------------------------------------------------------

namespace {

aErr sFileGet(uint8_t* out, void* reference) {
    size_t count = 0;
    aErr err = aFile_Read(static_cast<aFile*>(reference), out, 1, &count);
    if (err == aErrNone && count == 0) return aErrEOF;
    return err;
}

aErr sFileWrite(const uint8_t* data, size_t length, void* reference) {
    return aFile_Write(static_cast<aFile*>(reference), data, length, nullptr);
}

aErr sFilePut(const uint8_t* byte, void* reference) {
    return sFileWrite(byte, 1, reference);
}

aErr sFileDelete(void* reference) {
    aFile* file = static_cast<aFile*>(reference);
    return aFile_Close(&file);
}

aErr sCreateFileStream(const char* path, int mode, aStream** out) {
    if (!out) return aErrResource;
    *out = nullptr;
    if (!path) return aErrResource;
    aFile* file = aFile_Open(path, mode);
    if (!file) return aErrResource;
    aStream* s = mode == 0 ? aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                           : aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
    if (!s) {
        aFile_Close(&file);
        return aErrResource;
    }
    *out = s;
    return aErrNone;
}

}  // namespace

aErr aStream_CreateFileInput(const char* path, aStream** out) {
    return sCreateFileStream(path, 0, out);
}

aErr aStream_CreateFileOutput(const char* path, aStream** out) {
    return sCreateFileStream(path, 1, out);
}
