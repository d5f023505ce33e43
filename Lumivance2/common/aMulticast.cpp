#include "aMulticast.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "aDebug.h"

struct aMulticast {
    sockaddr_storage group;
    socklen_t groupLength;
    sockaddr_storage bindAddress;
    socklen_t bindLength;
    sockaddr_storage interfaceAddress;
    int fd;
    unsigned char mode;
};

namespace {

const unsigned int kLoopback = htonl(INADDR_LOOPBACK);

void sTrace(const char* format, int result) {
    if (aLumivanceDebuggingEnable && (aLumivanceDebuggingLevel & 0x08))
        std::printf(format, result, errno);
}

bool sResolve(const char* host, const char* port, bool passive, sockaddr_storage* out,
              socklen_t* length) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    addrinfo* found = nullptr;
    if (getaddrinfo(host, port, &hints, &found) != 0 || !found) return false;
    std::memcpy(out, found->ai_addr, found->ai_addrlen);
    *length = found->ai_addrlen;
    freeaddrinfo(found);
    return true;
}

void sDottedText(unsigned int address, char* text) {
    in_addr a{};
    a.s_addr = address;
    inet_ntop(AF_INET, &a, text, INET_ADDRSTRLEN);
}

// Joins the group and sets interface, TTL 1, a 1 s receive time-out and
// loopback on. Only IPv4 is supported.
bool sConfigure(aMulticast* m) {
    if (m->group.ss_family != AF_INET || m->interfaceAddress.ss_family != AF_INET) {
        sTrace("_joinMulticastGroup %d - %d\n", -1);
        return false;
    }
    const auto* group = reinterpret_cast<const sockaddr_in*>(&m->group);
    const auto* iface = reinterpret_cast<const sockaddr_in*>(&m->interfaceAddress);
    ip_mreq membership{};
    membership.imr_multiaddr = group->sin_addr;
    membership.imr_interface = iface->sin_addr;
    int result = setsockopt(m->fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership));
    if (result != 0) {
        sTrace("_joinMulticastGroup %d - %d\n", result);
        return false;
    }
    result =
        setsockopt(m->fd, IPPROTO_IP, IP_MULTICAST_IF, &iface->sin_addr, sizeof(iface->sin_addr));
    if (result != 0) {
        sTrace("_setMulticastInterface %d - %d\n", result);
        return false;
    }
    unsigned char ttl = 1;
    result = setsockopt(m->fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
    if (result != 0) {
        sTrace("_setMulticastTTL %d - %d\n", result);
        return false;
    }
    timeval timeout{1, 0};
    result = setsockopt(m->fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    if (result != 0) {
        sTrace("_setReceiveTimeout %d - %d\n", result);
        return false;
    }
    unsigned char loop = 1;
    result = setsockopt(m->fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop));
    if (result != 0) {
        sTrace("_setMulticastLoopback %d - %d\n", result);
        return false;
    }
    return true;
}

}  // namespace

aMulticast* aMulticast_Create(unsigned int interfaceAddress, unsigned int group,
                              unsigned short port, unsigned char mode) {
    if (mode > aMulticast_Sender) return nullptr;
    if (interfaceAddress == 0) interfaceAddress = kLoopback;

    char groupText[INET_ADDRSTRLEN], interfaceText[INET_ADDRSTRLEN], portText[8];
    sDottedText(group, groupText);
    sDottedText(interfaceAddress, interfaceText);
    std::snprintf(portText, sizeof(portText), "%u", port);

    auto* m = new (std::nothrow) aMulticast{};
    if (!m) return nullptr;
    m->fd = -1;
    m->mode = mode;
    socklen_t interfaceLength = 0;
    bool ok = sResolve(groupText, portText, false, &m->group, &m->groupLength) &&
              (mode == aMulticast_Receiver
                   ? sResolve(nullptr, portText, true, &m->bindAddress, &m->bindLength)
                   : sResolve(interfaceText, "0", false, &m->bindAddress, &m->bindLength)) &&
              sResolve(interfaceText, "0", false, &m->interfaceAddress, &interfaceLength);
    if (!ok) {
        sTrace("_resolveAddresses %d - %d\n", -1);
        delete m;
        return nullptr;
    }
    // A receiver binds the any-address of its family; prefer IPv4 to match the group.
    if (mode == aMulticast_Receiver && m->bindAddress.ss_family != AF_INET) {
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(port);
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        std::memcpy(&m->bindAddress, &any, sizeof(any));
        m->bindLength = sizeof(any);
    }

    m->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (m->fd < 0) {
        sTrace("_createSocket %d - %d\n", m->fd);
        delete m;
        return nullptr;
    }
    int reuse = 0;
    setsockopt(m->fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
    if (mode == aMulticast_Receiver) {
        int result = bind(m->fd, reinterpret_cast<sockaddr*>(&m->bindAddress), m->bindLength);
        if (result != 0) {
            sTrace("_bindSocket %d - %d\n", result);
            close(m->fd);
            delete m;
            return nullptr;
        }
    }
    if (!sConfigure(m)) {
        close(m->fd);
        delete m;
        return nullptr;
    }
    return m;
}

int aMulticast_Send(aMulticast* m, const void* data, unsigned int length) {
    if (!m) return -2;
    if (m->mode != aMulticast_Sender) return -3;
    ssize_t sent =
        sendto(m->fd, data, length, 0, reinterpret_cast<sockaddr*>(&m->group), m->groupLength);
    return sent < 0 ? -1 : static_cast<int>(sent);
}

int aMulticast_Receive(aMulticast* m, void* buffer, int size) {
    if (!m) return -2;
    if (m->mode != aMulticast_Receiver) return -3;
    if (!buffer || size < 0) return -1;
    ssize_t got;
    do {
        got = recv(m->fd, buffer, static_cast<size_t>(size), 0);
    } while (got < 0 && errno == EINTR);
    return got < 0 ? -1 : static_cast<int>(got);
}

int aMulticast_Destroy(aMulticast** multicast) {
    if (!multicast || !*multicast) return -2;
    if ((*multicast)->fd >= 0) close((*multicast)->fd);
    delete *multicast;
    *multicast = nullptr;
    return 0;
}
