// USB device access for the USB stream: one Lumivance device, by serial
// number, through the maker's kernel driver when it has made a device node
// for the device, otherwise directly through libusb bulk transfers.
//
// Device node: "<dir>/lumivance.%08X", where <dir> is "/dev" unless the
// environment variable LUMIVANCE_DEVICE_DIR names another directory (tests
// and the device simulator use that to put a pseudo terminal in the node's
// place). The node is opened for reading and writing; when it is a terminal
// it is switched to raw mode. Reads take one byte per system call and wait
// at most LVUSB_NODE_READ_WAIT_MS for one; "nothing waiting" (no byte, or
// the driver's EFAULT) answers aErrNotReady.
//
// The libusb path keeps one process-wide libusb context, created on first
// use and ended by Lumivance_libusb_exit(), both under one mutex.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "aError.h"

struct libusb_context;
struct libusb_device_handle;

// USB vendor ID of the maker's devices; product IDs 0x0000..0x7FFF are the
// family (bit 15 clear).
#define LUMIVANCE_USB_VENDOR_ID 0x2E4C
#define LUMIVANCE_USB_PRODUCT_FOREIGN_BIT 0x8000
// Link interface: class, subclass, protocol.
#define LUMIVANCE_USB_CLASS 0xFF
#define LUMIVANCE_USB_SUBCLASS 0x88
#define LUMIVANCE_USB_PROTOCOL 0x10

#define LVUSB_DEVICE_DIR_ENV "LUMIVANCE_DEVICE_DIR"
#define LVUSB_DEVICE_DIR_DEFAULT "/dev"
#define LVUSB_RX_BUFFER_SIZE 1024
#define LVUSB_READ_TIMEOUT_MS 1000
#define LVUSB_WRITE_TIMEOUT_MS 50
#define LVUSB_WRITE_ATTEMPTS 10
#define LVUSB_NODE_READ_WAIT_MS 100
// Consecutive I/O errors absorbed before the device is marked failed.
#define LVUSB_TOLERATED_IO_ERRORS 4

enum : int {
    LVUSB_MODE_KERNEL = 0,
    LVUSB_MODE_LIBUSB = 1,
};

enum : uint8_t {
    LVUSB_STATE_CREATED = 1,
    LVUSB_STATE_CLOSED = 2,  // closed, or failed to open
    LVUSB_STATE_OPENED = 3,  // opened, interface not yet claimed
    LVUSB_STATE_READY = 4,
    LVUSB_STATE_FAILED = 5,  // too many consecutive I/O errors
};

// The transfer primitives of the libusb path, with libusb's return codes.
// Tests replace them to script a device.
struct lvusb_io {
    int (*bulk)(libusb_device_handle* handle, uint8_t endpoint, uint8_t* data, int length,
                int* transferred, unsigned int timeoutMS);
    int (*clearHalt)(libusb_device_handle* handle, uint8_t endpoint);
};

// One USB device record.
struct lvusb {
    int mode = LVUSB_MODE_LIBUSB;
    char serial[9] = {};                     // "%08X" as matched and opened
    int fd = -1;                             // kernel mode: the open node
    libusb_device_handle* handle = nullptr;  // libusb mode
    std::atomic<uint8_t> state{LVUSB_STATE_CREATED};
    int interfaceNumber = -1;
    uint8_t outEndpoint = 0;
    uint8_t inEndpoint = 0;
    uint16_t outMaxPacket = 0;
    uint16_t inMaxPacket = 0;
    // Receive buffer (reader side only).
    uint8_t rx[LVUSB_RX_BUFFER_SIZE] = {};
    size_t rxPos = 0;
    size_t rxCount = 0;
    // Consecutive I/O errors, shared by both directions.
    std::atomic<uint8_t> errorCount{0};
    const lvusb_io* io = nullptr;  // libusb mode transfers
};

// True for a device of the family: the maker's vendor ID, bit 15 of the
// product ID clear.
bool lvusb_is_family_device(uint16_t vendorId, uint16_t productId);

// The device node path for a serial number into buffer; aErrOverrun when it
// does not fit, aErrParam for no buffer.
aErr lvusb_device_node_path(uint32_t serialNumber, char* buffer, size_t size);

// True when the device node for that serial number exists.
bool lvusb_is_kernel_driver_installed(uint32_t serialNumber);

// A record in state 1 with the given mode (LVUSB_MODE_*), or nullptr when
// memory is exhausted. In libusb mode the process-wide context is created
// when needed; when libusb cannot be initialised, opening finds no device.
lvusb* lvusb_create_usb(int libusbMode);

// Opens the device with that serial text by the record's mode.
//   libusb: aErrNotFound (no such device), aErrConfiguration (no link
//   interface or endpoints), aErrBusy, aErrPermission, aErrUnknown.
//   kernel: aErrBusy, aErrIO.
aErr lvusb_open_lumivance_device(lvusb* device, const char* serialText);
aErr lvusb_open_lumivance_USBlib_device(lvusb* device, const char* serialText);

// Writes a run; reads one byte (aErrNotReady when none arrived in time).
aErr lvusb_write_to_device(lvusb* device, const uint8_t* data, size_t length);
aErr lvusb_get_from_device(lvusb* device, uint8_t* byte);

// Closes the device (state 2). libusb mode: aErrMode when no handle is open.
// Kernel mode: aErrCancel when the system refuses the close.
aErr lvusb_close_lumivance_device(lvusb* device);

// Closes a still-open libusb handle, frees the record, sets *device nullptr.
aErr lvusb_destroy(lvusb** device);

// Process-wide libusb context (created on first use); nullptr when libusb
// cannot be initialised. Lumivance_libusb_init is the same call.
libusb_context* Lumivance_libusb_context(void);
libusb_context* Lumivance_libusb_init(void);
// Ends the context; the next use creates a new one. While a libusb device
// handle is still open the context is kept (ending it then would pull the
// device out from under its stream).
void Lumivance_libusb_exit(void);

// The libusb-mode halves of the operations above (unix_streamusb.cpp).
aErr lvusb_usblib_write(lvusb* device, const uint8_t* data, size_t length);
aErr lvusb_usblib_get(lvusb* device, uint8_t* byte);
aErr lvusb_usblib_close(lvusb* device);

// The shared error tolerance of libusb-mode reads and writes: up to
// LVUSB_TOLERATED_IO_ERRORS consecutive aErrIO results are absorbed, the next
// one marks the device failed (state 5); any other result resets the count.
// An absorbed write error answers aErrNone; an absorbed read error answers
// aErrNotReady, because no byte was read.
aErr lvusb_handle_error_tolerance(lvusb* device, aErr result, bool isRead);
