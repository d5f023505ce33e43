// USB device records, the kernel driver's device nodes, and the dispatch of
// opens, reads and writes by access mode.
#include "lvusb_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "aTime.h"

namespace {

// Largest number of write calls one kernel-mode write makes.
constexpr int kNodeWriteCalls = 1000;
// A node that reports readiness without data is answered no faster than this.
constexpr uint64_t kMinEmptyReadMS = 10;

const char* sDeviceDir() {
    const char* dir = getenv(LVUSB_DEVICE_DIR_ENV);
    return (dir && *dir) ? dir : LVUSB_DEVICE_DIR_DEFAULT;
}

aErr sNodePathFromText(const char* serialText, char* buffer, size_t size) {
    int n = snprintf(buffer, size, "%s/lumivance.%s", sDeviceDir(), serialText);
    return (n < 0 || static_cast<size_t>(n) >= size) ? aErrOverrun : aErrNone;
}

aErr sKernelOpen(lvusb* device, const char* serialText) {
    if (device->mode != LVUSB_MODE_KERNEL) return aErrMode;
    snprintf(device->serial, sizeof(device->serial), "%s", serialText);
    char path[4200];
    if (sNodePathFromText(device->serial, path, sizeof(path)) != aErrNone) return aErrIO;
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
    if (isatty(fd)) {
        // A terminal standing in for the node: raw bytes, reads never block.
        struct termios t;
        if (tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            t.c_cc[VMIN] = 0;
            t.c_cc[VTIME] = 0;
            tcsetattr(fd, TCSANOW, &t);
        }
    }
    device->fd = fd;
    return aErrNone;
}

aErr sKernelWrite(lvusb* device, const uint8_t* data, size_t length) {
    if (device->mode != LVUSB_MODE_KERNEL || device->fd < 0) return aErrMode;
    size_t sent = 0;
    for (int calls = 0; sent < length && calls < kNodeWriteCalls; ++calls) {
        ssize_t n = write(device->fd, data + sent, length - sent);
        if (n < 0) {
            if (errno == EINTR) continue;
            return aErrIO;
        }
        sent += static_cast<size_t>(n);
    }
    return sent == length ? aErrNone : aErrIO;
}

aErr sKernelGet(lvusb* device, uint8_t* byte) {
    if (device->mode != LVUSB_MODE_KERNEL || device->fd < 0) return aErrMode;
    uint64_t start = aTime_GetMSTicks();
    struct pollfd pfd = {device->fd, POLLIN, 0};
    int ready = poll(&pfd, 1, LVUSB_NODE_READ_WAIT_MS);
    if (ready == 0 || (ready < 0 && errno == EINTR)) return aErrNotReady;
    ssize_t n = read(device->fd, byte, 1);
    if (n == 1) return aErrNone;
    if (n < 0 && errno != EFAULT && errno != EAGAIN && errno != EINTR) return aErrIO;
    // Nothing waiting. A driver without poll support reports readiness at
    // once, and a node whose device is gone (hung up) does so forever; keep
    // such a reader from spinning. The latter is reported after the full wait.
    bool hungUp = pfd.revents & (POLLHUP | POLLERR | POLLNVAL);
    uint64_t minimum = hungUp ? LVUSB_NODE_READ_WAIT_MS : kMinEmptyReadMS;
    uint64_t spent = aTime_GetMSTicks() - start;
    if (spent < minimum) aTime_MSSleep(minimum - spent);
    return hungUp ? aErrIO : aErrNotReady;
}

aErr sKernelClose(lvusb* device) {
    aErr err = aErrNone;
    if (device->fd >= 0) {
        if (close(device->fd) != 0) err = aErrCancel;
        device->fd = -1;
    }
    device->state = LVUSB_STATE_CLOSED;
    return err;
}

}  // namespace

bool lvusb_is_family_device(uint16_t vendorId, uint16_t productId) {
    return vendorId == LUMIVANCE_USB_VENDOR_ID &&
           (productId & LUMIVANCE_USB_PRODUCT_FOREIGN_BIT) == 0;
}

aErr lvusb_device_node_path(uint32_t serialNumber, char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrParam;
    char text[9];
    snprintf(text, sizeof(text), "%08X", serialNumber);
    return sNodePathFromText(text, buffer, size);
}

bool lvusb_is_kernel_driver_installed(uint32_t serialNumber) {
    char path[4200];
    if (lvusb_device_node_path(serialNumber, path, sizeof(path)) != aErrNone) return false;
    struct stat st;
    return stat(path, &st) == 0;
}

lvusb* lvusb_create_usb(int libusbMode) {
    // Without a libusb context (no USB subsystem) the record is still made;
    // opening it then finds no device.
    if (libusbMode) Lumivance_libusb_context();
    lvusb* device = new (std::nothrow) lvusb;
    if (!device) return nullptr;
    device->mode = libusbMode ? LVUSB_MODE_LIBUSB : LVUSB_MODE_KERNEL;
    device->state = LVUSB_STATE_CREATED;
    return device;
}

aErr lvusb_open_lumivance_device(lvusb* device, const char* serialText) {
    if (!device || !serialText) return aErrParam;
    if (device->mode == LVUSB_MODE_LIBUSB)
        return lvusb_open_lumivance_USBlib_device(device, serialText);
    return sKernelOpen(device, serialText);
}

aErr lvusb_write_to_device(lvusb* device, const uint8_t* data, size_t length) {
    if (!device || !data) return aErrParam;
    if (device->mode == LVUSB_MODE_LIBUSB) return lvusb_usblib_write(device, data, length);
    return sKernelWrite(device, data, length);
}

aErr lvusb_get_from_device(lvusb* device, uint8_t* byte) {
    if (!device || !byte) return aErrParam;
    if (device->mode == LVUSB_MODE_LIBUSB) return lvusb_usblib_get(device, byte);
    return sKernelGet(device, byte);
}

aErr lvusb_close_lumivance_device(lvusb* device) {
    if (!device) return aErrParam;
    if (device->mode == LVUSB_MODE_LIBUSB) return lvusb_usblib_close(device);
    return sKernelClose(device);
}

aErr lvusb_destroy(lvusb** device) {
    if (!device || !*device) return aErrParam;
    lvusb* d = *device;
    if (d->mode == LVUSB_MODE_LIBUSB && d->handle) lvusb_usblib_close(d);
    if (d->mode == LVUSB_MODE_KERNEL && d->fd >= 0) sKernelClose(d);
    delete d;
    *device = nullptr;
    return aErrNone;
}

aErr lvusb_handle_error_tolerance(lvusb* device, aErr result, bool isRead) {
    if (result != aErrIO) {
        device->errorCount = 0;
        return result;
    }
    uint8_t before = device->errorCount.load();
    if (before < 0xFF) device->errorCount = static_cast<uint8_t>(before + 1);  // saturates
    if (before < LVUSB_TOLERATED_IO_ERRORS) return isRead ? aErrNotReady : aErrNone;
    device->state = LVUSB_STATE_FAILED;
    return aErrIO;
}
