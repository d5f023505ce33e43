// Serial ports as byte streams (termios), plain or with packet framing.
//
// The packetized stream (a link's transport) waits up to kLinkReadWaitMS for
// a byte before it answers aErrNotReady, so a link reader over a silent port
// sleeps in poll() instead of spinning, and still notices a stop request
// within that time. The plain stream answers at once: its user (the ISP
// client) times its replies itself and reads until the first "not ready".
// Writes wait for the port to take the bytes for a bounded time only.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "aStream.h"
#include "aTime.h"

namespace {

constexpr uint16_t kSerialCheck = 0xBEEF;
constexpr size_t kMaxPortPath = 4096;
constexpr int kLinkReadWaitMS = 100;
// Readiness without data (a hung-up line) is answered no faster than this.
constexpr uint64_t kMinEmptyReadMS = 10;
// Time a write may wait for room in the port, on top of the line time.
constexpr uint64_t kWriteSlackMS = 1000;
constexpr size_t kReceiveBufferSize = 256;

const speed_t kSpeeds[8] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
const uint32_t kBitsPerSecond[8] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

struct SerialPort {
    uint16_t checkWord = kSerialCheck;
    uint32_t rateCode = 0;
    char path[kMaxPortPath + 1] = {};
    int fd = -1;
    int readWaitMS = 0;  // how long a read waits for a byte
    struct termios saved = {};
    struct termios applied = {};
    bool savedValid = false;
    // Bytes read from the port and not yet handed out (reader thread only).
    uint8_t rx[kReceiveBufferSize] = {};
    size_t rxCount = 0;
    size_t rxPos = 0;
};

SerialPort* sValid(void* reference) {
    SerialPort* p = static_cast<SerialPort*>(reference);
    return (p && p->checkWord == kSerialCheck) ? p : nullptr;
}

aErr sStreamOpenSerial(SerialPort* port, uint32_t parity, uint32_t dataBitsOption,
                       uint32_t stopBitsOption) {
    if (dataBitsOption > 1 || stopBitsOption > 1) return aErrParam;
    int fd = open(port->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return aErrNotFound;
        if (errno == EACCES || errno == EPERM) return aErrPermission;
        return aErrIO;
    }
    // The descriptor stays non-blocking: reads and writes wait in poll() with
    // a bound instead of in the system call.
    struct termios saved;
    if (tcgetattr(fd, &saved) != 0) {
        close(fd);
        return aErrIO;
    }
    struct termios t;
    memset(&t, 0, sizeof(t));
    t.c_cflag = CREAD | CLOCAL;
    t.c_cflag |= dataBitsOption == 0 ? CS8 : CS7;
    if (stopBitsOption == 1) t.c_cflag |= CSTOPB;
    t.c_iflag = IGNBRK;
    if (parity) {
        t.c_cflag |= PARENB;  // even parity
        t.c_iflag |= IGNPAR;  // parity and framing errors ignored
    }
    t.c_oflag = 0;
    t.c_lflag = 0;
    speed_t speed = port->rateCode < 8 ? kSpeeds[port->rateCode] : B0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        close(fd);
        return aErrIO;
    }
    if (tcflush(fd, TCIOFLUSH) != 0) {
        tcsetattr(fd, TCSANOW, &saved);
        close(fd);
        return aErrIO;
    }
    port->fd = fd;
    port->saved = saved;
    port->savedValid = true;
    port->applied = t;
    return aErrNone;
}

aErr sSerialStreamGet(uint8_t* out, void* reference) {
    SerialPort* port = sValid(reference);
    if (!port || !out) return aErrParam;
    if (port->rxPos < port->rxCount) {
        *out = port->rx[port->rxPos++];
        return aErrNone;
    }
    if (port->fd < 0) return aErrIO;
    uint64_t start = aTime_GetMSTicks();
    struct pollfd pfd = {port->fd, POLLIN, 0};
    int ready = poll(&pfd, 1, port->readWaitMS);
    if (ready == 0 || (ready < 0 && errno == EINTR)) return aErrNotReady;
    if (ready < 0) return aErrIO;
    ssize_t n = read(port->fd, port->rx, sizeof(port->rx));
    if (n > 0) {
        port->rxCount = static_cast<size_t>(n);
        port->rxPos = 1;
        *out = port->rx[0];
        return aErrNone;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return aErrIO;
    // A line that has hung up (the adapter is gone) reads as empty at once,
    // forever. Report it, but only after the usual wait, so that a layer
    // that treats failures as "not ready" (the framing stream) cannot spin.
    bool hungUp = pfd.revents & (POLLHUP | POLLERR | POLLNVAL);
    uint64_t minimum = hungUp ? static_cast<uint64_t>(port->readWaitMS) : kMinEmptyReadMS;
    uint64_t spent = aTime_GetMSTicks() - start;
    if (spent < minimum) aTime_MSSleep(minimum - spent);
    return hungUp ? aErrIO : aErrNotReady;
}

aErr sSerialStreamWrite(const uint8_t* data, size_t length, void* reference) {
    SerialPort* port = sValid(reference);
    if (!port || !data) return aErrParam;
    if (port->fd < 0) return aErrIO;
    // About ten bits per byte on the line, plus slack for a slow reader.
    uint64_t lineMS = 0;
    if (port->rateCode < 8) lineMS = length * 10 * 1000 / kBitsPerSecond[port->rateCode];
    uint64_t deadline = aTime_GetMSTicks() + lineMS + kWriteSlackMS;
    size_t sent = 0;
    while (sent < length) {
        ssize_t n = write(port->fd, data + sent, length - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return aErrIO;
        uint64_t now = aTime_GetMSTicks();
        if (now >= deadline) return aErrIO;
        struct pollfd pfd = {port->fd, POLLOUT, 0};
        int wait = static_cast<int>(deadline - now);
        if (poll(&pfd, 1, wait) < 0 && errno != EINTR) return aErrIO;
    }
    // Return only once the bytes have left the port.
    if (tcdrain(port->fd) != 0) return aErrIO;
    return aErrNone;
}

aErr sSerialStreamPut(const uint8_t* byte, void* reference) {
    return sSerialStreamWrite(byte, 1, reference);
}

aErr sSerialStreamDelete(void* reference) {
    SerialPort* port = sValid(reference);
    if (!port) return aErrParam;
    if (port->fd >= 0) {
        if (port->savedValid) tcsetattr(port->fd, TCSANOW, &port->saved);
        close(port->fd);
        port->fd = -1;
    }
    port->checkWord = 0;
    delete port;
    return aErrNone;
}

// Validates the arguments and opens the port; on success *port owns it.
aErr sOpenPort(const char* portPath, uint32_t rateCode, uint32_t parity, uint32_t dataBitsOption,
               uint32_t stopBitsOption, int readWaitMS, SerialPort** port) {
    *port = nullptr;
    if (!portPath || dataBitsOption > 1 || stopBitsOption > 1) return aErrResource;
    if (strlen(portPath) > kMaxPortPath) return aErrResource;
    SerialPort* p = new (std::nothrow) SerialPort;
    if (!p) return aErrResource;
    strcpy(p->path, portPath);
    p->rateCode = rateCode;
    p->readWaitMS = readWaitMS;
    aErr err = sStreamOpenSerial(p, parity, dataBitsOption, stopBitsOption);
    if (err != aErrNone) {
        sSerialStreamDelete(p);
        return err;
    }
    *port = p;
    return aErrNone;
}

}  // namespace

aErr aStream_CreateSerial(const char* portPath, uint32_t rateCode, uint32_t parity,
                          uint32_t dataBitsOption, uint32_t stopBitsOption, aStream** out) {
    if (!out) return aErrResource;
    *out = nullptr;
    SerialPort* port = nullptr;
    aErr err = sOpenPort(portPath, rateCode, parity, dataBitsOption, stopBitsOption, 0, &port);
    if (err != aErrNone) return err;
    aStream* s = aStream_Create(sSerialStreamGet, sSerialStreamPut, sSerialStreamWrite,
                                sSerialStreamDelete, port);
    if (!s) {
        sSerialStreamDelete(port);
        return aErrResource;
    }
    *out = s;
    return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* portPath, uint32_t rateCode, uint32_t parity,
                                     uint32_t dataBitsOption, uint32_t stopBitsOption,
                                     aStream** out) {
    if (!out) return aErrResource;
    *out = nullptr;
    SerialPort* port = nullptr;
    aErr err = sOpenPort(portPath, rateCode, parity, dataBitsOption, stopBitsOption,
                         kLinkReadWaitMS, &port);
    if (err != aErrNone) return err;
    err = aStream_CreateCobsEncoding(sSerialStreamGet, sSerialStreamPut, sSerialStreamWrite,
                                     sSerialStreamDelete, port, out);
    if (err != aErrNone) sSerialStreamDelete(port);
    return err;
}
