#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "aStream.h"
#include "aStreamsocket.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);  // network order in memory

// A loopback listener on an ephemeral port, standing in for a device.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = kLoopback;
        a.sin_port = 0;
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        EXPECT_EQ(listen(fd, 4), 0);
        socklen_t len = sizeof(a);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Listener() { Close(); }
    void Close() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    // The next connection, or -1 after two seconds.
    int Accept() {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 2000) != 1) return -1;
        return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
};

// Reads `count` bytes, allowing a bounded number of not-ready answers.
aErr ReadSome(aStream* s, Bytes* out, size_t count) {
    out->assign(count, 0);
    aErr err = aErrNotReady;
    for (int i = 0; i < 50 && err == aErrNotReady; ++i) err = aStream_Read(s, out->data(), count);
    return err;
}

// Receives up to `count` bytes on fd with a two-second bound.
Bytes Receive(int fd, size_t count) {
    Bytes out;
    for (int i = 0; i < 100 && out.size() < count; ++i) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 20) != 1) continue;
        uint8_t buf[256];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

void CloseWithReset(int fd) {
    linger l = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    close(fd);
}

TEST(SocketStream, ConnectsReadsAndWrites) {
    Listener device;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, device.port, &s), aErrNone);
    int peer = device.Accept();
    ASSERT_GE(peer, 0);

    uint8_t b = 0;
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady) << "a silent device: nothing to read";

    ASSERT_EQ(send(peer, "\x06\x00\x04", 3, 0), 3);
    Bytes got;
    ASSERT_EQ(ReadSome(s, &got, 3), aErrNone);
    EXPECT_EQ(got, (Bytes{0x06, 0x00, 0x04}));

    const uint8_t packet[] = {0x04, 0x02, 0x11, 0x22};
    ASSERT_EQ(aStream_Write(s, packet, sizeof(packet)), aErrNone);
    ASSERT_EQ(aStream_Write(s, packet, 1), aErrNone);
    EXPECT_EQ(Receive(peer, 5), (Bytes{0x04, 0x02, 0x11, 0x22, 0x04}));

    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
    // The stream's close resets the connection (linger 0): the peer sees it go.
    uint8_t buf[4];
    pollfd p = {peer, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_LE(recv(peer, buf, sizeof(buf), 0), 0);
    close(peer);
}

TEST(SocketStream, NothingListeningIsResource) {
    uint16_t port;
    {
        Listener gone;  // take a free port, then let it go
        port = gone.port;
    }
    aStream* s = reinterpret_cast<aStream*>(0x1);
    EXPECT_EQ(aStream_CreateSocket(kLoopback, port, &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    Listener device;
    EXPECT_EQ(aStream_CreateSocket(kLoopback, device.port, nullptr), aErrResource);
}

TEST(SocketStream, ReconnectsAfterThePeerDropsTheConnection) {
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "peer reset" : "peer closed");
        Listener device;
        aStream* s = nullptr;
        ASSERT_EQ(aStream_CreateSocket(kLoopback, device.port, &s), aErrNone);
        int first = device.Accept();
        ASSERT_GE(first, 0);
        if (reset) {
            CloseWithReset(first);
        } else {
            close(first);
        }
        // The next read notices, connects again and finds nothing yet.
        uint8_t b = 0;
        EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
        int second = device.Accept();
        ASSERT_GE(second, 0) << "the stream must have connected again";
        ASSERT_EQ(send(second, "\x0A\x0B", 2, 0), 2);
        Bytes got;
        ASSERT_EQ(ReadSome(s, &got, 2), aErrNone);
        EXPECT_EQ(got, (Bytes{0x0A, 0x0B}));
        const uint8_t out[] = {0x02, 0x00};
        ASSERT_EQ(aStream_Write(s, out, 2), aErrNone);
        EXPECT_EQ(Receive(second, 2), (Bytes{0x02, 0x00}));
        aStream_Destroy(&s);
        close(second);
    }
}

TEST(SocketStream, DeviceGoneForGood) {
    Listener device;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, device.port, &s), aErrNone);
    int peer = device.Accept();
    ASSERT_GE(peer, 0);
    device.Close();
    close(peer);
    uint8_t b = 0;
    // The reconnect is refused: the read says so instead of "not ready"...
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrConnection);
    // ...and the stream stays disconnected for reads and writes.
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrConnection);
    const uint8_t out[] = {0x02, 0x00};
    EXPECT_EQ(aStream_Write(s, out, 2), aErrConnection);
    aStream_Destroy(&s);
}

TEST(SocketStream, WriteToAStalledPeerGivesUpAndSaysSo) {
    Listener device;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, device.port, &s), aErrNone);
    int peer = device.Accept();
    ASSERT_GE(peer, 0);
    // The peer never reads: the socket buffers fill and the write retries
    // aSOCKET_MAX_SEND_RETRY times before dropping the rest.
    Bytes big(32 * 1024 * 1024, 0x5A);
    EXPECT_EQ(aStream_Write(s, big.data(), big.size()), aErrWrite);
    const uint8_t ten[10] = {};
    EXPECT_EQ(aStream_Write(s, ten, sizeof(ten)), aErrWrite);
    aStream_Destroy(&s);
    close(peer);
}

TEST(SocketStream, SilentDeviceReadWaitsInsteadOfSpinning) {
    // Each read of a silent connection waits (aSOCKET_READ_WAIT_MS) for a
    // byte; a stream answering at once would be read thousands of times here.
    Listener device;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, device.port, &s), aErrNone);
    int peer = device.Accept();
    ASSERT_GE(peer, 0);
    using Clock = std::chrono::steady_clock;
    auto end = Clock::now() + std::chrono::milliseconds(300);
    int reads = 0;
    uint8_t b;
    while (reads < 1000 && Clock::now() < end) {
        EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
        reads++;
    }
    EXPECT_LE(reads, 300 / aSOCKET_READ_WAIT_MS + 2);
    aStream_Destroy(&s);
    close(peer);
}

TEST(SocketStream, ReaderAndWriterRunTogether) {
    // The link engine reads on one thread and writes on another. An echoing
    // peer returns everything; both directions must arrive intact.
    Listener device;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, device.port, &s), aErrNone);
    int peer = device.Accept();
    ASSERT_GE(peer, 0);
    const size_t kTotal = 4000;
    std::thread echo([peer] {
        size_t echoed = 0;
        for (int i = 0; i < 500 && echoed < kTotal; ++i) {
            pollfd p = {peer, POLLIN, 0};
            if (poll(&p, 1, 20) != 1) continue;
            uint8_t buf[512];
            ssize_t n = recv(peer, buf, sizeof(buf), 0);
            if (n <= 0) break;
            send(peer, buf, static_cast<size_t>(n), 0);
            echoed += static_cast<size_t>(n);
        }
    });
    std::thread writer([s] {
        for (size_t i = 0; i < kTotal; i += 20) {
            uint8_t chunk[20];
            for (size_t j = 0; j < 20; ++j) chunk[j] = static_cast<uint8_t>(i + j);
            aStream_Write(s, chunk, sizeof(chunk));
        }
    });
    size_t received = 0;
    bool inOrder = true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int i = 0; i < 20000 && received < kTotal && std::chrono::steady_clock::now() < deadline;
         ++i) {
        uint8_t b;
        aErr err = aStream_Read(s, &b, 1);
        if (err == aErrNotReady) continue;
        ASSERT_EQ(err, aErrNone);
        if (b != static_cast<uint8_t>(received)) inOrder = false;
        received++;
    }
    writer.join();
    echo.join();
    EXPECT_EQ(received, kTotal);
    EXPECT_TRUE(inOrder);
    aStream_Destroy(&s);
    close(peer);
}

TEST(SocketStream, PeerThatDropsEveryConnectionIsNotHammered) {
    // A peer that accepts and at once closes every connection: the reader
    // reconnects, but at the pace of its read wait, not in a tight loop.
    Listener device;
    std::atomic<bool> stop{false};
    std::atomic<int> accepted{0};
    std::thread dropper([&] {
        for (int i = 0; i < 500 && !stop; ++i) {
            pollfd p = {device.fd, POLLIN, 0};
            if (poll(&p, 1, 10) != 1) continue;
            int c = accept4(device.fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                accepted++;
                close(c);
            }
        }
    });
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, device.port, &s), aErrNone);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    uint8_t b;
    for (int i = 0; i < 1000 && std::chrono::steady_clock::now() < end; ++i) {
        aErr err = aStream_Read(s, &b, 1);
        EXPECT_TRUE(err == aErrNotReady || err == aErrConnection) << err;
        if (err == aErrConnection) break;
    }
    stop = true;
    dropper.join();
    EXPECT_GE(accepted.load(), 2) << "the stream did reconnect";
    EXPECT_LE(accepted.load(), 12);
    aStream_Destroy(&s);
}

}  // namespace
