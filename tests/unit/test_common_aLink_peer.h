// A scripted device at the far end of an in-memory stream pair: the link runs
// over one end, the test reads and writes the other end as the device would.
// Every read is bounded by a deadline.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "aLink.h"
#include "aStream.h"
#include "aTime.h"
#include "memory_stream.h"

using Bytes = std::vector<uint8_t>;

class LinkPeer {
  public:
    LinkPeer() = default;
    LinkPeer(const LinkPeer&) = delete;
    LinkPeer& operator=(const LinkPeer&) = delete;
    ~LinkPeer() { close(); }

    // Makes the pair and a started link over one end. The link's route packet
    // (AF 01 01) is read and checked unless keepRoute.
    void open(uint32_t readWaitMs = 20, bool keepRoute = false) {
        ASSERT_EQ(aErrNone, aStream_CreateMemoryPair(&linkEnd, &device, readWaitMs));
        id = aLink_Create(linkEnd);
        ASSERT_NE(0, id);
        if (!keepRoute) {
            ASSERT_EQ(Bytes({0xAF, 1, 1}), readPacket());
        }
    }

    void close() {
        if (id) aLink_Destroy(&id);
        if (device) aStream_Destroy(&device);
        linkEnd = nullptr;
    }

    // Up to n bytes, whatever arrived before the deadline.
    Bytes read(size_t n, unsigned timeoutMs = 2000) {
        Bytes out;
        const uint64_t start = aTime_GetMSTicks();
        while (out.size() < n && aTime_GetMSTicks() - start < timeoutMs) {
            uint8_t byte = 0;
            const aErr err = aStream_Read(device, &byte, 1);
            if (err == aErrNone) {
                out.push_back(byte);
            } else if (err == aErrNotReady) {
                aTime_MSSleep(1);  // a pair that never waits must not spin here
            } else {
                break;
            }
        }
        return out;
    }

    // One packet's wire bytes (address, length, data), or what arrived of it.
    Bytes readPacket(unsigned timeoutMs = 2000) {
        Bytes head = read(2, timeoutMs);
        if (head.size() < 2) return head;
        Bytes data = read(head[1], timeoutMs);
        head.insert(head.end(), data.begin(), data.end());
        return head;
    }

    // Reads `count` packets and checks that each is the 0xAD query.
    void expectSyncRequests(int count) {
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(Bytes({0xAD, 0}), readPacket()) << "sync request " << i;
        }
    }

    // True when the link has written nothing for the device within the wait
    // (checked without reading, so nothing is consumed).
    bool silent(unsigned waitMs) {
        aTime_MSSleep(waitMs);
        return aStream_MemoryPending(linkEnd) == 0;
    }

    void send(const Bytes& bytes) {
        ASSERT_EQ(aErrNone, aStream_Write(device, bytes.data(), bytes.size()));
    }

    int32_t id = 0;
    aStream* device = nullptr;
    aStream* linkEnd = nullptr;  // owned by the link
};

// The wire bytes of a packet taken from a link; the packet is destroyed.
inline Bytes wireOf(aPacket* packet) {
    Bytes out;
    if (!packet) return out;
    out.push_back(packet->address);
    out.push_back(packet->length);
    out.insert(out.end(), packet->data, packet->data + packet->length);
    aPacket_Destroy(&packet);
    return out;
}

// Polls the link's status for up to timeoutMs until it equals `status`.
inline bool waitForStatus(int32_t id, int32_t status, unsigned timeoutMs = 2000) {
    const uint64_t start = aTime_GetMSTicks();
    while (aTime_GetMSTicks() - start < timeoutMs) {
        if (aLink_GetStatus(id) == status) return true;
        aTime_MSSleep(2);
    }
    return aLink_GetStatus(id) == status;
}
