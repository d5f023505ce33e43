// Serial streams over a pseudo terminal pair: the stream opens the pty's
// terminal side as its port, the test plays the device on the master side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "aStream.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Pty {
    int master = -1;
    std::string port;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(master, 0);
        EXPECT_EQ(grantpt(master), 0);
        EXPECT_EQ(unlockpt(master), 0);
        port = ptsname(master);
    }
    ~Pty() { CloseMaster(); }
    void CloseMaster() {
        if (master >= 0) close(master);
        master = -1;
    }
    void Send(const Bytes& bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Up to `count` bytes, waiting at most about two seconds.
    Bytes Receive(size_t count) {
        Bytes out;
        for (int i = 0; i < 100 && out.size() < count; ++i) {
            pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 20) != 1) continue;
            uint8_t buf[256];
            ssize_t n = read(master, buf, sizeof(buf));
            if (n <= 0) break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }
};

// Reads `count` bytes, allowing not-ready answers for about two seconds
// (the plain stream answers at once, so pause between tries).
aErr ReadSome(aStream* s, Bytes* out, size_t count) {
    out->assign(count, 0);
    aErr err = aErrNotReady;
    for (int i = 0; i < 200 && err == aErrNotReady; ++i) {
        err = aStream_Read(s, out->data(), count);
        if (err == aErrNotReady) usleep(10000);
    }
    return err;
}

// How many reads a silent stream answers within `windowMS` (at most 1000).
int ReadsInWindow(aStream* s, int windowMS) {
    using Clock = std::chrono::steady_clock;
    auto end = Clock::now() + std::chrono::milliseconds(windowMS);
    int reads = 0;
    uint8_t b;
    while (reads < 1000 && Clock::now() < end) {
        EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
        reads++;
    }
    return reads;
}

TEST(SerialStream, PlainBytesPassUnchangedBothWays) {
    Pty pty;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.port.c_str(), 6, 0, 0, 0, &s), aErrNone);
    uint8_t b = 0;
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady) << "a silent line";

    // Bytes a terminal would otherwise translate: CR, LF, NUL, DEL, ^C, 0xFF.
    const Bytes raw = {'?', '\r', '\n', 0x00, 0x7F, 0x03, 0xFF, 0x11, 0x13};
    pty.Send(raw);
    Bytes got;
    ASSERT_EQ(ReadSome(s, &got, raw.size()), aErrNone);
    EXPECT_EQ(got, raw);

    ASSERT_EQ(aStream_Write(s, raw.data(), raw.size()), aErrNone);
    ASSERT_EQ(aStream_Write(s, raw.data(), 1), aErrNone);
    Bytes expected = raw;
    expected.push_back(raw[0]);
    EXPECT_EQ(pty.Receive(expected.size()), expected);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST(SerialStream, SettingsAppliedAndRestored) {
    Pty pty;
    int probe = open(pty.port.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(probe, 0);
    termios before;
    ASSERT_EQ(tcgetattr(probe, &before), 0);

    // (A pty keeps speed, local and output modes and the read timing; it
    // forces 8 data bits without parity, so those are not observable here.)
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.port.c_str(), 2, 0, 0, 0, &s), aErrNone);
    termios t;
    ASSERT_EQ(tcgetattr(probe, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_TRUE(t.c_iflag & IGNBRK);
    EXPECT_FALSE(t.c_iflag & (ICRNL | IXON));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    ASSERT_EQ(aStream_Destroy(&s), aErrNone);
    termios after;
    ASSERT_EQ(tcgetattr(probe, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "closing restores the saved settings";
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    close(probe);
}

TEST(SerialStream, OpenFailures) {
    Pty pty;
    aStream* s = reinterpret_cast<aStream*>(0x1);
    struct Case {
        const char* name;
        const char* path;
        uint32_t dataBits;
        uint32_t stopBits;
        aErr expected;
    };
    const std::vector<Case> cases = {
        {"missing port", "/nonexistent/ttyNONE0", 0, 0, aErrNotFound},
        {"no path", nullptr, 0, 0, aErrResource},
        {"stop bits option 2", pty.port.c_str(), 0, 2, aErrResource},
        {"data bits option 2", pty.port.c_str(), 2, 0, aErrResource},
        {"not a terminal", "/dev/null", 0, 0, aErrIO},
    };
    for (const Case& c : cases) {
        s = reinterpret_cast<aStream*>(0x1);
        EXPECT_EQ(aStream_CreateSerial(c.path, 6, 0, c.dataBits, c.stopBits, &s), c.expected)
            << c.name;
        EXPECT_EQ(s, nullptr) << c.name;
        s = reinterpret_cast<aStream*>(0x1);
        EXPECT_EQ(aStream_CreateSerial_Packetized(c.path, 6, 0, c.dataBits, c.stopBits, &s),
                  c.expected)
            << c.name << " (packetized)";
        EXPECT_EQ(s, nullptr) << c.name;
    }
    EXPECT_EQ(aStream_CreateSerial(pty.port.c_str(), 6, 0, 0, 0, nullptr), aErrResource);
}

TEST(SerialStream, HungUpLineIsAFailureNotASilentLine) {
    Pty pty;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.port.c_str(), 6, 0, 0, 0, &s), aErrNone);
    pty.CloseMaster();
    uint8_t b = 0;
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrIO);
    aStream_Destroy(&s);
}

TEST(SerialStream, PacketizedFramesBothWays) {
    Pty pty;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial_Packetized(pty.port.c_str(), 6, 0, 0, 0, &s), aErrNone);

    // Out: one frame per packet.
    const Bytes sync = {0xAD, 0x00};
    ASSERT_EQ(aStream_Write(s, sync.data(), sync.size()), aErrNone);
    EXPECT_EQ(pty.Receive(5), (Bytes{0x02, 0xAD, 0x02, 0x67, 0x00}));
    const Bytes packet = {0x04, 0x02, 0x11, 0x22};
    ASSERT_EQ(aStream_Write(s, packet.data(), packet.size()), aErrNone);
    EXPECT_EQ(pty.Receive(7), (Bytes{0x06, 0x04, 0x02, 0x11, 0x22, 0xF6, 0x00}));

    // In: the device's answer, then a frame with a bad CRC, then a good one.
    pty.Send({0x02, 0x06, 0x02, 0xAA, 0x00});
    Bytes got;
    ASSERT_EQ(ReadSome(s, &got, 2), aErrNone);
    EXPECT_EQ(got, (Bytes{0x06, 0x00}));

    pty.Send({0x02, 0x06, 0x02, 0xAB, 0x00});
    aErr err = aErrNotReady;
    uint8_t b = 0;
    for (int i = 0; i < 30 && err == aErrNotReady; ++i) err = aStream_Read(s, &b, 1);
    EXPECT_EQ(err, aErrPacket) << "a corrupt frame is reported and dropped";

    pty.Send({0x06, 0x04, 0x02, 0x11, 0x22, 0xF6, 0x00});
    ASSERT_EQ(ReadSome(s, &got, 4), aErrNone);
    EXPECT_EQ(got, packet);
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST(SerialStream, SilentLinkPortWaitsInsteadOfSpinning) {
    // A link reader over a silent port must not spin: each read of the
    // packetized stream waits (about 100 ms) for a byte. A stream answering
    // at once would be read hundreds of times in this window.
    Pty pty;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial_Packetized(pty.port.c_str(), 6, 0, 0, 0, &s), aErrNone);
    EXPECT_LE(ReadsInWindow(s, 300), 10);
    // The plain stream answers at once, as its ISP user expects.
    aStream* plain = nullptr;
    Pty other;
    ASSERT_EQ(aStream_CreateSerial(other.port.c_str(), 6, 0, 0, 0, &plain), aErrNone);
    EXPECT_GT(ReadsInWindow(plain, 100), 10);
    aStream_Destroy(&s);
    aStream_Destroy(&plain);
}

}  // namespace
