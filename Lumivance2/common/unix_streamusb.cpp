// The USB stream and the libusb half of the device records: the
// process-wide context, device matching, claiming, bulk transfers.
#include <libusb-1.0/libusb.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "aStream.h"
#include "lvusb_driver.h"

namespace {

std::mutex sContextLock;
libusb_context* sContext = nullptr;
int sOpenHandles = 0;  // libusb handles held by device records; under sContextLock

int sBulk(libusb_device_handle* handle, uint8_t endpoint, uint8_t* data, int length,
          int* transferred, unsigned int timeoutMS) {
    return libusb_bulk_transfer(handle, endpoint, data, length, transferred, timeoutMS);
}

int sClearHalt(libusb_device_handle* handle, uint8_t endpoint) {
    return libusb_clear_halt(handle, endpoint);
}

const lvusb_io kLibusbIo = {sBulk, sClearHalt};

void sNoteHandleOpened() {
    std::lock_guard<std::mutex> guard(sContextLock);
    sOpenHandles++;
}

void sCloseHandle(libusb_device_handle* handle) {
    libusb_close(handle);
    std::lock_guard<std::mutex> guard(sContextLock);
    sOpenHandles--;
}

// Finds the link interface of configuration 0 and its endpoints. When
// several interface settings match, the last one wins; within it a later
// endpoint of one direction replaces an earlier one.
aErr sFindEndpoints(libusb_device* dev, lvusb* device) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(dev, 0, &config) != 0 || !config) return aErrConfiguration;
    bool found = false;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& itf = config->interface[i];
        for (int a = 0; a < itf.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = itf.altsetting[a];
            if (alt.bInterfaceClass != LUMIVANCE_USB_CLASS ||
                alt.bInterfaceSubClass != LUMIVANCE_USB_SUBCLASS ||
                alt.bInterfaceProtocol != LUMIVANCE_USB_PROTOCOL) {
                continue;
            }
            found = true;
            device->interfaceNumber = alt.bInterfaceNumber;
            device->inEndpoint = device->outEndpoint = 0;
            for (int e = 0; e < alt.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ep = alt.endpoint[e];
                if ((ep.bmAttributes & 0x02) == 0) continue;  // bulk or interrupt only
                if (ep.bEndpointAddress & 0x80) {
                    device->inEndpoint = ep.bEndpointAddress;
                    device->inMaxPacket = ep.wMaxPacketSize;
                } else {
                    device->outEndpoint = ep.bEndpointAddress;
                    device->outMaxPacket = ep.wMaxPacketSize;
                }
            }
        }
    }
    libusb_free_config_descriptor(config);
    if (!found || device->inEndpoint == 0 || device->outEndpoint == 0) return aErrConfiguration;
    return aErrNone;
}

aErr sClaimError(int rc) {
    switch (rc) {
        case LIBUSB_ERROR_BUSY:
        case LIBUSB_ERROR_NO_DEVICE:
            return aErrBusy;
        case LIBUSB_ERROR_ACCESS:
            return aErrPermission;
        default:
            return aErrUnknown;
    }
}

// ---- The stream ------------------------------------------------------------

constexpr uint16_t kUsbStreamCheck = 0xDEAD;

struct UsbStream {
    uint16_t checkWord = kUsbStreamCheck;
    uint32_t serialNumber = 0;
    lvusb* device = nullptr;
};

UsbStream* sValid(void* reference) {
    UsbStream* u = static_cast<UsbStream*>(reference);
    return (u && u->checkWord == kUsbStreamCheck) ? u : nullptr;
}

aErr sUsbGet(uint8_t* out, void* reference) {
    UsbStream* u = sValid(reference);
    if (!u) return aErrParam;
    return lvusb_get_from_device(u->device, out);
}

aErr sUsbWrite(const uint8_t* data, size_t length, void* reference) {
    UsbStream* u = sValid(reference);
    if (!u) return aErrParam;
    return lvusb_write_to_device(u->device, data, length);
}

aErr sUsbPut(const uint8_t* byte, void* reference) {
    return sUsbWrite(byte, 1, reference);
}

aErr sUsbDelete(void* reference) {
    UsbStream* u = sValid(reference);
    if (!u) return aErrParam;
    // The record and the reference are released even when the close
    // complains, so that nothing outlives the stream; the code is returned.
    aErr err = lvusb_close_lumivance_device(u->device);
    lvusb_destroy(&u->device);
    u->checkWord = 0;
    delete u;
    return err;
}

}  // namespace

libusb_context* Lumivance_libusb_context(void) {
    std::lock_guard<std::mutex> guard(sContextLock);
    if (!sContext && libusb_init(&sContext) != 0) sContext = nullptr;
    return sContext;
}

libusb_context* Lumivance_libusb_init(void) {
    return Lumivance_libusb_context();
}

void Lumivance_libusb_exit(void) {
    std::lock_guard<std::mutex> guard(sContextLock);
    if (!sContext || sOpenHandles > 0) return;
    libusb_exit(sContext);
    sContext = nullptr;
}

aErr lvusb_open_lumivance_USBlib_device(lvusb* device, const char* serialText) {
    if (!device || !serialText) return aErrParam;
    if (device->mode != LVUSB_MODE_LIBUSB) return aErrMode;
    if (device->state == 0) return aErrResource;
    libusb_context* ctx = Lumivance_libusb_context();
    if (!ctx) return aErrNotFound;

    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(ctx, &list);
    aErr result = aErrNotFound;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* dev = list[i];
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(dev, &desc) != 0) continue;
        if (!lvusb_is_family_device(desc.idVendor, desc.idProduct)) continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(dev, &handle) != 0 || !handle) continue;
        unsigned char text[256] = {};
        int n = desc.iSerialNumber ? libusb_get_string_descriptor_ascii(handle, desc.iSerialNumber,
                                                                        text, sizeof(text) - 1)
                                   : -1;
        if (n < 0 || strcmp(reinterpret_cast<char*>(text), serialText) != 0) {
            libusb_close(handle);
            continue;
        }

        // The first matching device ends the walk, whatever happens next.
        device->handle = handle;
        sNoteHandleOpened();
        snprintf(device->serial, sizeof(device->serial), "%s", serialText);
        device->state = LVUSB_STATE_OPENED;
        result = sFindEndpoints(dev, device);
        if (result == aErrNone) {
            int rc = libusb_claim_interface(handle, device->interfaceNumber);
            result = rc == 0 ? aErrNone : sClaimError(rc);
        }
        if (result == aErrNone) {
            device->state = LVUSB_STATE_READY;
            device->errorCount = 0;
            device->io = &kLibusbIo;
        } else {
            device->state = LVUSB_STATE_CLOSED;
            device->handle = nullptr;
            sCloseHandle(handle);
        }
        break;
    }
    if (list) libusb_free_device_list(list, 1);
    return result;
}

aErr lvusb_usblib_write(lvusb* device, const uint8_t* data, size_t length) {
    if (device->mode != LVUSB_MODE_LIBUSB) return aErrMode;
    uint8_t state = device->state;
    aErr result = aErrNone;
    if (state == LVUSB_STATE_CLOSED) {
        result = aErrConnection;
    } else if (state == LVUSB_STATE_CREATED || state == LVUSB_STATE_OPENED) {
        result = aErrNotReady;
    } else if (state != LVUSB_STATE_READY || !device->io) {
        result = aErrIO;
    } else {
        size_t maxPacket = device->outMaxPacket ? device->outMaxPacket : 64;
        size_t sent = 0;
        int failures = 0;
        while (sent < length && failures < LVUSB_WRITE_ATTEMPTS && result == aErrNone) {
            size_t chunk = length - sent < maxPacket ? length - sent : maxPacket;
            if (chunk == 512) chunk = 511;
            int transferred = 0;
            int rc = device->io->bulk(device->handle, device->outEndpoint,
                                      const_cast<uint8_t*>(data + sent), static_cast<int>(chunk),
                                      &transferred, LVUSB_WRITE_TIMEOUT_MS);
            if (transferred > 0) sent += static_cast<size_t>(transferred);
            if (rc != 0 || transferred <= 0) {
                failures++;
                if (rc == LIBUSB_ERROR_PIPE &&
                    device->io->clearHalt(device->handle, device->outEndpoint) != 0) {
                    result = aErrIO;
                }
            }
        }
        if (result == aErrNone && sent < length) result = aErrWrite;
    }
    return lvusb_handle_error_tolerance(device, result, false);
}

aErr lvusb_usblib_get(lvusb* device, uint8_t* byte) {
    if (device->mode != LVUSB_MODE_LIBUSB) return aErrMode;
    if (device->rxPos < device->rxCount) {
        *byte = device->rx[device->rxPos++];
        return aErrNone;
    }
    uint8_t state = device->state;
    aErr result = aErrNone;
    if (state == LVUSB_STATE_CLOSED) {
        result = aErrConnection;
    } else if (state == LVUSB_STATE_CREATED || state == LVUSB_STATE_OPENED) {
        result = aErrNotReady;
    } else if (state != LVUSB_STATE_READY || !device->io) {
        result = aErrIO;
    } else {
        int transferred = 0;
        int rc = device->io->bulk(device->handle, device->inEndpoint, device->rx,
                                  LVUSB_RX_BUFFER_SIZE, &transferred, LVUSB_READ_TIMEOUT_MS);
        if (rc == LIBUSB_ERROR_PIPE) {
            device->io->clearHalt(device->handle, device->inEndpoint);
            result = aErrNotReady;
        } else if (rc != 0 && rc != LIBUSB_ERROR_TIMEOUT) {
            result = aErrIO;
        } else if (transferred <= 0) {
            result = aErrNotReady;
        } else {
            device->rxCount = static_cast<size_t>(transferred);
            device->rxPos = 1;
            *byte = device->rx[0];
        }
    }
    return lvusb_handle_error_tolerance(device, result, true);
}

aErr lvusb_usblib_close(lvusb* device) {
    if (device->mode != LVUSB_MODE_LIBUSB) return aErrMode;
    if (!device->handle) return aErrMode;
    if (device->interfaceNumber >= 0)
        libusb_release_interface(device->handle, device->interfaceNumber);
    sCloseHandle(device->handle);
    device->handle = nullptr;
    device->state = LVUSB_STATE_CLOSED;
    device->interfaceNumber = -1;
    device->inEndpoint = device->outEndpoint = 0;
    return aErrNone;
}

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream) {
    if (!stream) return aErrParam;
    *stream = nullptr;
    if (serialNumber == 0) return aErrParam;

    bool kernel = lvusb_is_kernel_driver_installed(serialNumber);
    lvusb* device = lvusb_create_usb(kernel ? 0 : 1);
    if (!device) return aErrResource;
    char text[9];
    snprintf(text, sizeof(text), "%08X", serialNumber);
    aErr err = lvusb_open_lumivance_device(device, text);
    if (err != aErrNone) {
        lvusb_destroy(&device);
        return err;
    }
    UsbStream* u = new (std::nothrow) UsbStream;
    if (!u) {
        lvusb_destroy(&device);
        return aErrMemory;
    }
    u->serialNumber = serialNumber;
    u->device = device;
    aStream* s = aStream_Create(sUsbGet, sUsbPut, sUsbWrite, sUsbDelete, u);
    if (!s) {
        sUsbDelete(u);
        return aErrMemory;
    }
    *stream = s;
    return aErrNone;
}
