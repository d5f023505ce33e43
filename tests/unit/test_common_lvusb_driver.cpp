// The USB device records: the libusb path with scripted transfers, and the
// kernel driver's device node played by a pseudo terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "aStream.h"
#include "lvusb_driver.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Scripted transfers: each bulk call takes the next result; IN transfers
// deliver the step's bytes. With the script empty, IN transfers time out
// with nothing and OUT transfers succeed.
struct Transfer {
    int rc;
    Bytes in;       // bytes an IN transfer delivers
    int sent = -1;  // bytes an OUT transfer reports (-1: all offered on success, 0 on failure)
};
struct FakeUsb {
    std::deque<Transfer> script;
    std::vector<int> outSizes;  // length offered per OUT transfer
    Bytes outBytes;
    int clearHalts = 0;
    int clearHaltResult = 0;
};
FakeUsb* gFake = nullptr;

int FakeBulk(libusb_device_handle*, uint8_t endpoint, uint8_t* data, int length, int* transferred,
             unsigned int) {
    Transfer t = {(endpoint & 0x80) ? LIBUSB_ERROR_TIMEOUT : 0, {}};
    if (!gFake->script.empty()) {
        t = gFake->script.front();
        gFake->script.pop_front();
    }
    if (endpoint & 0x80) {
        int n = std::min<int>(length, static_cast<int>(t.in.size()));
        std::copy(t.in.begin(), t.in.begin() + n, data);
        *transferred = n;
    } else {
        gFake->outSizes.push_back(length);
        int n = t.sent >= 0 ? t.sent : (t.rc == 0 ? length : 0);
        gFake->outBytes.insert(gFake->outBytes.end(), data, data + n);
        *transferred = n;
    }
    return t.rc;
}
int FakeClearHalt(libusb_device_handle*, uint8_t) {
    gFake->clearHalts++;
    return gFake->clearHaltResult;
}
const lvusb_io kFakeIo = {FakeBulk, FakeClearHalt};

class ScriptedDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        gFake = &fake;
        device = lvusb_create_usb(LVUSB_MODE_KERNEL);  // no libusb context needed
        ASSERT_NE(device, nullptr);
        device->mode = LVUSB_MODE_LIBUSB;
        device->state = LVUSB_STATE_READY;
        device->io = &kFakeIo;
        device->outEndpoint = 0x01;
        device->inEndpoint = 0x81;
        device->outMaxPacket = 512;
        device->inMaxPacket = 512;
    }
    void TearDown() override {
        lvusb_destroy(&device);
        gFake = nullptr;
    }
    FakeUsb fake;
    lvusb* device = nullptr;
};

TEST_F(ScriptedDevice, WritesGoOutInMaxPacketChunksAvoiding512) {
    Bytes data(1024);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(lvusb_write_to_device(device, data.data(), data.size()), aErrNone);
    EXPECT_EQ(fake.outSizes, (std::vector<int>{511, 511, 2}));
    EXPECT_EQ(fake.outBytes, data);

    fake.outSizes.clear();
    device->outMaxPacket = 64;
    ASSERT_EQ(lvusb_write_to_device(device, data.data(), 130), aErrNone);
    EXPECT_EQ(fake.outSizes, (std::vector<int>{64, 64, 2}));
}

TEST_F(ScriptedDevice, WriteRetriesFailedAndPartialTransfers) {
    // A stall (halt cleared), a partial transfer, then success.
    fake.script = {{LIBUSB_ERROR_PIPE, {}}, {LIBUSB_ERROR_TIMEOUT, {}, 3}, {0, {}}};
    Bytes data = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(lvusb_write_to_device(device, data.data(), data.size()), aErrNone);
    EXPECT_EQ(fake.clearHalts, 1);
    EXPECT_EQ(fake.outBytes, data);
    EXPECT_EQ(fake.outSizes, (std::vector<int>{8, 8, 5}));

    // Ten failed attempts leave data unsent.
    fake.outSizes.clear();
    for (int i = 0; i < 12; ++i) fake.script.push_back({LIBUSB_ERROR_TIMEOUT, {}});
    EXPECT_EQ(lvusb_write_to_device(device, data.data(), data.size()), aErrWrite);
    EXPECT_EQ(fake.outSizes.size(), 10u);
}

TEST_F(ScriptedDevice, ReadsComeFromOneBufferedTransfer) {
    fake.script = {{0, {0x06, 0x00, 0x04}}};
    uint8_t b = 0;
    Bytes got;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(lvusb_get_from_device(device, &b), aErrNone);
        got.push_back(b);
    }
    EXPECT_EQ(got, (Bytes{0x06, 0x00, 0x04}));
    EXPECT_TRUE(fake.script.empty());

    // A time-out that brought bytes keeps them; one that brought none, a
    // stall and an empty transfer are "not ready".
    fake.script = {{LIBUSB_ERROR_TIMEOUT, {0x42}},
                   {LIBUSB_ERROR_TIMEOUT, {}},
                   {LIBUSB_ERROR_PIPE, {}},
                   {0, {}}};
    ASSERT_EQ(lvusb_get_from_device(device, &b), aErrNone);
    EXPECT_EQ(b, 0x42);
    EXPECT_EQ(lvusb_get_from_device(device, &b), aErrNotReady);
    EXPECT_EQ(lvusb_get_from_device(device, &b), aErrNotReady);
    EXPECT_EQ(fake.clearHalts, 1);
    EXPECT_EQ(lvusb_get_from_device(device, &b), aErrNotReady);
}

TEST_F(ScriptedDevice, FourIoErrorsAreAbsorbedTheFifthFailsTheDevice) {
    for (int i = 0; i < 5; ++i) fake.script.push_back({LIBUSB_ERROR_IO, {}});
    uint8_t b = 0x77;
    for (int i = 0; i < 4; ++i) {
        // Absorbed, but no byte arrived: the read says "not ready", not success.
        EXPECT_EQ(lvusb_get_from_device(device, &b), aErrNotReady) << "error " << i + 1;
    }
    EXPECT_EQ(device->state.load(), LVUSB_STATE_READY);
    EXPECT_EQ(lvusb_get_from_device(device, &b), aErrIO);
    EXPECT_EQ(device->state.load(), LVUSB_STATE_FAILED);
    // From now on every read and write fails, however many times.
    fake.script.push_back({0, {0x01}});
    const uint8_t data[2] = {1, 2};
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(lvusb_get_from_device(device, &b), aErrIO) << "read " << i;
        ASSERT_EQ(lvusb_write_to_device(device, data, 2), aErrIO) << "write " << i;
    }
}

TEST_F(ScriptedDevice, ToleranceCountsConsecutiveErrorsOnly) {
    // Write-side errors: a failing halt clear is an I/O error; absorbed as success.
    fake.clearHaltResult = LIBUSB_ERROR_IO;
    const uint8_t data[2] = {1, 2};
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 4; ++i) {
            fake.script.push_back({LIBUSB_ERROR_PIPE, {}});
            EXPECT_EQ(lvusb_write_to_device(device, data, 2), aErrNone);
        }
        // Any other result resets the count.
        fake.script.push_back({0, {}});
        ASSERT_EQ(lvusb_write_to_device(device, data, 2), aErrNone);
    }
    EXPECT_EQ(device->state.load(), LVUSB_STATE_READY);
}

TEST_F(ScriptedDevice, StatesOtherThanReady) {
    struct Case {
        uint8_t state;
        aErr expected;
    };
    const Case cases[] = {{LVUSB_STATE_CLOSED, aErrConnection},
                          {LVUSB_STATE_CREATED, aErrNotReady},
                          {LVUSB_STATE_OPENED, aErrNotReady}};
    const uint8_t data[1] = {1};
    uint8_t b;
    for (const Case& c : cases) {
        device->state = c.state;
        EXPECT_EQ(lvusb_write_to_device(device, data, 1), c.expected) << int(c.state);
        EXPECT_EQ(lvusb_get_from_device(device, &b), c.expected) << int(c.state);
    }
    EXPECT_TRUE(fake.outSizes.empty());
    // The kernel-mode operations refuse a libusb record, and closing a
    // libusb record with no handle is a mode error.
    EXPECT_EQ(lvusb_close_lumivance_device(device), aErrMode);
}

TEST(UsbFamily, VendorAndProductRule) {
    EXPECT_TRUE(lvusb_is_family_device(LUMIVANCE_USB_VENDOR_ID, 0x0000));
    EXPECT_TRUE(lvusb_is_family_device(LUMIVANCE_USB_VENDOR_ID, 0x7FFF));
    EXPECT_FALSE(lvusb_is_family_device(LUMIVANCE_USB_VENDOR_ID, 0x8000));
    EXPECT_FALSE(lvusb_is_family_device(LUMIVANCE_USB_VENDOR_ID + 1, 0x0001));
}

// A private device directory for the duration of a test.
class DeviceDir : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/lvusbXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        const char* old = getenv(LVUSB_DEVICE_DIR_ENV);
        hadOld = old != nullptr;
        if (old) oldValue = old;
        setenv(LVUSB_DEVICE_DIR_ENV, dir.c_str(), 1);
    }
    void TearDown() override {
        for (const std::string& f : files) unlink(f.c_str());
        rmdir(dir.c_str());
        if (hadOld) {
            setenv(LVUSB_DEVICE_DIR_ENV, oldValue.c_str(), 1);
        } else {
            unsetenv(LVUSB_DEVICE_DIR_ENV);
        }
    }
    std::string dir;
    std::vector<std::string> files;
    bool hadOld = false;
    std::string oldValue;
};

TEST_F(DeviceDir, NodePathFollowsTheEnvironment) {
    char path[256];
    ASSERT_EQ(lvusb_device_node_path(0x40F5849A, path, sizeof(path)), aErrNone);
    EXPECT_EQ(std::string(path), dir + "/lumivance.40F5849A");
    EXPECT_EQ(lvusb_device_node_path(0x40F5849A, path, 8), aErrOverrun);
    unsetenv(LVUSB_DEVICE_DIR_ENV);
    ASSERT_EQ(lvusb_device_node_path(0x0000ABCD, path, sizeof(path)), aErrNone);
    EXPECT_STREQ(path, "/dev/lumivance.0000ABCD");
}

TEST_F(DeviceDir, NoDeviceAttachedIsNotFound) {
    aStream* s = reinterpret_cast<aStream*>(0x1);
    EXPECT_FALSE(lvusb_is_kernel_driver_installed(0x12345678));
    EXPECT_EQ(aStream_CreateUSB(0x12345678, &s), aErrNotFound);
    EXPECT_EQ(s, nullptr);
    s = reinterpret_cast<aStream*>(0x1);
    EXPECT_EQ(aStream_CreateUSB(0, &s), aErrParam);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateUSB(0x12345678, nullptr), aErrParam);
}

TEST_F(DeviceDir, KernelNodePlayedByAPseudoTerminal) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string node = dir + "/lumivance.0000ABCD";
    ASSERT_EQ(symlink(ptsname(master), node.c_str()), 0);
    files.push_back(node);
    EXPECT_TRUE(lvusb_is_kernel_driver_installed(0x0000ABCD));

    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0x0000ABCD, &s), aErrNone);
    uint8_t b = 0;
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady) << "a silent device";
    {
        // Idle reads wait (about 100 ms each) instead of spinning: a stream
        // that answered at once would be read hundreds of times here.
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        int reads = 0;
        while (reads < 1000 && std::chrono::steady_clock::now() < end) {
            EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
            reads++;
        }
        EXPECT_LE(reads, 10);
    }

    // Device to host, including bytes a terminal would translate.
    const Bytes fromDevice = {0x06, 0x00, '\r', '\n', 0x03, 0xFF};
    ASSERT_EQ(write(master, fromDevice.data(), fromDevice.size()),
              static_cast<ssize_t>(fromDevice.size()));
    Bytes got(fromDevice.size());
    aErr err = aErrNotReady;
    for (int i = 0; i < 30 && err == aErrNotReady; ++i) {
        err = aStream_Read(s, got.data(), got.size());
    }
    ASSERT_EQ(err, aErrNone);
    EXPECT_EQ(got, fromDevice);

    // Host to device.
    const Bytes toDevice = {0x04, 0x02, 0x0A, 0x0D};
    ASSERT_EQ(aStream_Write(s, toDevice.data(), toDevice.size()), aErrNone);
    Bytes received;
    for (int i = 0; i < 100 && received.size() < toDevice.size(); ++i) {
        pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 20) != 1) continue;
        uint8_t buf[64];
        ssize_t n = read(master, buf, sizeof(buf));
        if (n <= 0) break;
        received.insert(received.end(), buf, buf + n);
    }
    EXPECT_EQ(received, toDevice);

    // The device going away is a failure, not endless silence.
    close(master);
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrIO);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST(UsbContext, ExitAndRenew) {
    // Ending the context with none made is harmless; a new one comes on use.
    Lumivance_libusb_exit();
    libusb_context* first = Lumivance_libusb_context();
    if (!first) GTEST_SKIP() << "libusb cannot be initialised here";
    EXPECT_EQ(Lumivance_libusb_init(), first);
    Lumivance_libusb_exit();
    libusb_context* second = Lumivance_libusb_context();
    EXPECT_NE(second, nullptr);
    Lumivance_libusb_exit();
}

}  // namespace
