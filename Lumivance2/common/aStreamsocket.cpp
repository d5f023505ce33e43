// TCP client connections as byte streams (BSD sockets).
#include "aStreamsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "aTime.h"

namespace {

constexpr uint16_t kSocketCheck = 0xDEAD;
constexpr size_t kReceiveBufferSize = 1024;

struct SocketStream {
    uint16_t checkWord = kSocketCheck;
    uint16_t port = 0;
    struct sockaddr_in address = {};
    // Shared by the reader and the writer; either may reconnect.
    std::atomic<int> fd{-1};
    std::atomic<bool> connected{false};
    std::mutex resetLock;  // one reconnect at a time
    // Bytes received and not yet handed out (reader only).
    uint8_t rx[kReceiveBufferSize] = {};
    size_t rxCount = 0;
    size_t rxPos = 0;
};

SocketStream* sValid(void* reference) {
    SocketStream* s = static_cast<SocketStream*>(reference);
    return (s && s->checkWord == kSocketCheck) ? s : nullptr;
}

void sSocketStreamClose(SocketStream* s) {
    s->connected = false;
    int fd = s->fd.exchange(-1);
    if (fd >= 0) {
        close(fd);
        aTime_MSSleep(10);
    }
}

// Connects with a bounded wait; the socket is left non-blocking.
aErr sConnect(int fd, const struct sockaddr_in* address) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return aErrIO;
    int rc = connect(fd, reinterpret_cast<const struct sockaddr*>(address), sizeof(*address));
    int error = rc == 0 ? 0 : errno;
    if (rc != 0 && errno == EINPROGRESS) {
        struct pollfd pfd = {fd, POLLOUT, 0};
        int ready = poll(&pfd, 1, aSOCKET_CONNECT_WAIT_MS);
        if (ready == 0) return aErrConnection;  // timed out
        if (ready < 0) return aErrIO;
        socklen_t len = sizeof(error);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return aErrIO;
    }
    switch (error) {
        case 0:
            return aErrNone;
        case ECONNREFUSED:
        case ECONNRESET:
        case ETIMEDOUT:
        case EAGAIN:
        case ENETUNREACH:
        case EHOSTUNREACH:
            return aErrConnection;
        default:
            return aErrIO;
    }
}

aErr sSetOptions(int fd) {
    int one = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0) return aErrIO;
    struct timeval noTimeout = {0, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof(noTimeout)) != 0) return aErrIO;
    // Closing resets the connection instead of draining it.
    struct linger lin = {1, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lin, sizeof(lin)) != 0) return aErrIO;
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return aErrIO;
    return aErrNone;
}

aErr sSocketStreamResetLocked(SocketStream* s) {
    if (s->fd >= 0) sSocketStreamClose(s);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return aErrIO;
    aErr err = sConnect(fd, &s->address);
    if (err == aErrNone) err = sSetOptions(fd);
    if (err != aErrNone) {
        close(fd);
        return err;
    }
    s->fd = fd;
    s->connected = true;
    return aErrNone;
}

// Replaces the connection with a new one to the same address. When the
// connection the caller saw fail (failedFd) has already been replaced by the
// other direction, that new connection is kept.
aErr sSocketStreamReset(SocketStream* s, int failedFd) {
    if (!s) return aErrInitialization;
    std::lock_guard<std::mutex> guard(s->resetLock);
    if (failedFd >= 0 && s->connected && s->fd != failedFd) return aErrNone;
    s->connected = false;
    return sSocketStreamResetLocked(s);
}

// Looks at the next byte without taking it; -1 and errno on failure.
ssize_t sPeek(int fd) {
    uint8_t byte;
    return recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
}

bool sConnectionBroken(int error) {
    return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT || error == EPIPE;
}

// Waits up to aSOCKET_READ_WAIT_MS for something to read on fd.
void sWaitReadable(int fd) {
    struct pollfd pfd = {fd, POLLIN, 0};
    poll(&pfd, 1, aSOCKET_READ_WAIT_MS);
}

aErr sSocketStreamGet(uint8_t* out, void* reference) {
    SocketStream* s = sValid(reference);
    if (!s || !out) return aErrParam;
    if (s->rxPos < s->rxCount) {
        *out = s->rx[s->rxPos++];
        return aErrNone;
    }
    if (!s->connected) return aErrConnection;

    int fd = s->fd;
    sWaitReadable(fd);
    ssize_t n = sPeek(fd);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return aErrNotReady;
    if (n == 0 || (n < 0 && sConnectionBroken(errno))) {
        // Reset by the peer, or closed by it: connect again and look once more.
        aErr err = sSocketStreamReset(s, fd);
        if (err != aErrNone) return err;
        fd = s->fd;
        sWaitReadable(fd);
        n = sPeek(fd);
        if (n == 0) {
            // Closed again at once: do not let a peer that accepts and drops
            // connections drive the reader into a reconnect loop.
            aTime_MSSleep(aSOCKET_RECONNECT_PACE_MS);
            return aErrNotReady;
        }
        if (n < 0) return aErrNotReady;
    } else if (n < 0) {
        return aErrConnection;
    }

    n = recv(fd, s->rx, sizeof(s->rx), MSG_DONTWAIT);
    if (n > 0) {
        s->rxCount = static_cast<size_t>(n);
        s->rxPos = 1;
        *out = s->rx[0];
        return aErrNone;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return aErrEOF;
    if (n == 0 || sConnectionBroken(errno)) return aErrNotReady;
    return aErrIO;
}

aErr sSocketStreamWrite(const uint8_t* data, size_t length, void* reference) {
    SocketStream* s = sValid(reference);
    if (!s || !data) return aErrParam;
    if (!s->connected) return aErrConnection;
    size_t sent = 0;
    int retries = 0;
    while (sent < length && retries < aSOCKET_MAX_SEND_RETRY) {
        int fd = s->fd;
        ssize_t n = send(fd, data + sent, length - sent, MSG_NOSIGNAL);
        bool retried = false;
        if (n > 0) {
            sent += static_cast<size_t>(n);
            if (sent < length) retries = 1;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            retries++;
            retried = true;
        } else if (n < 0 && sConnectionBroken(errno)) {
            aErr err = sSocketStreamReset(s, fd);
            if (err != aErrNone) return err;
            retries++;
            retried = true;
        } else {
            return aErrIO;
        }
        if (retried || sent < length) aTime_MSSleep(aSOCKET_RETRY_DELAY_MS);
    }
    // Bytes still unsent after the last retry are dropped, and the caller
    // is told so.
    return sent == length ? aErrNone : aErrWrite;
}

aErr sSocketStreamPut(const uint8_t* byte, void* reference) {
    return sSocketStreamWrite(byte, 1, reference);
}

aErr sSocketStreamDelete(void* reference) {
    SocketStream* s = sValid(reference);
    if (!s) return aErrParam;
    if (s->fd >= 0) {
        s->connected = false;
        close(s->fd.exchange(-1));
    }
    s->checkWord = 0;
    delete s;
    return aErrNone;
}

}  // namespace

aErr aStream_CreateSocket(uint32_t ipAddress, uint16_t port, aStream** out) {
    if (!out) return aErrResource;
    *out = nullptr;
    SocketStream* s = new (std::nothrow) SocketStream;
    if (!s) return aErrResource;
    s->port = port;
    s->address.sin_family = AF_INET;
    s->address.sin_port = htons(port);
    s->address.sin_addr.s_addr = ipAddress;  // already in network order in memory
    if (sSocketStreamReset(s, -1) != aErrNone) {
        sSocketStreamDelete(s);
        return aErrResource;
    }
    aStream* stream = aStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite,
                                     sSocketStreamDelete, s);
    if (!stream) {
        sSocketStreamDelete(s);
        return aErrResource;
    }
    *out = stream;
    return aErrNone;
}
