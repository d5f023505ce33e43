// Platform half of discovery: libusb enumeration, the TCP/IP multicast probe
// and the IPv4 interface list.
#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <libusb.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "aDebug.h"
#include "discover.h"
#include "lvusb_driver.h"

namespace {

// A TCP/IP search ends after this much silence, as devices answer at once.
constexpr int kProbeSilenceSeconds = 2;
// Upper bound on one probe's listening time, so a chatty network cannot keep
// the search going for ever.
constexpr auto kProbeMaxDuration = std::chrono::seconds(20);

bool sIsLoopbackOrAny(unsigned int address) {
    uint8_t bytes[4];
    std::memcpy(bytes, &address, 4);
    return address == 0 || (bytes[0] == 127 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 1);
}

class Socket {
  public:
    Socket() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP)) {}
    ~Socket() {
        if (fd_ >= 0) close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }
    bool ok() const { return fd_ >= 0; }

  private:
    int fd_;
};

bool sOpenListener(Socket& listener, unsigned int networkInterface) {
    if (!listener.ok()) return false;
    int reuse = 1;
    setsockopt(listener.fd(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(aDISCOVERY_REPLY_PORT);
    address.sin_addr.s_addr =
        sIsLoopbackOrAny(networkInterface) ? htonl(INADDR_ANY) : networkInterface;
    if (bind(listener.fd(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        return false;
    timeval timeout{kProbeSilenceSeconds, 0};
    return setsockopt(listener.fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) == 0;
}

// Sends the 16-byte probe out through one interface; true when it left.
bool sSendProbe(unsigned int interfaceAddress) {
    Socket sender;
    if (!sender.ok()) return false;
    int reuse = 1;
    setsockopt(sender.fd(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
    in_addr iface{};
    iface.s_addr = interfaceAddress;
    if (interfaceAddress != 0 &&
        setsockopt(sender.fd(), IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof(iface)) != 0)
        return false;
    uint8_t probe[16] = {1};
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(aDISCOVERY_PROBE_PORT);
    inet_pton(AF_INET, aDISCOVERY_PROBE_GROUP, &group.sin_addr);
    return sendto(sender.fd(), probe, sizeof(probe), 0, reinterpret_cast<sockaddr*>(&group),
                  sizeof(group)) == sizeof(probe);
}

bool sSendProbes(unsigned int networkInterface) {
    if (!sIsLoopbackOrAny(networkInterface)) return sSendProbe(networkInterface);
    unsigned int interfaces[50];
    int count = aDiscovery_GetIPv4Interfaces(interfaces, 50);
    if (count <= 0) return sSendProbe(0);
    bool sent = false;
    for (int i = 0; i < count; ++i)
        if (!sIsLoopbackOrAny(interfaces[i]) && sSendProbe(interfaces[i])) sent = true;
    return sent;
}

uint32_t sLE32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

bool aDiscovery_DecodeProbeReply(const uint8_t* datagram, int length, unsigned int sourceAddress,
                                 linkSpec* spec) {
    if (!datagram || !spec || length != 16) return false;
    std::memset(spec, 0, sizeof(*spec));
    spec->type = LINK_TCPIP;
    spec->moduleAddress = datagram[1];
    spec->routerAddress = datagram[1];
    spec->serialNumber = sLE32(datagram + 4);
    spec->routerSerialNumber = spec->serialNumber;
    spec->model = datagram[12];
    spec->t.ip.ipAddress = sourceAddress;
    spec->t.ip.ipPort = uint32_t(datagram[2]) | uint32_t(datagram[3]) << 8;
    return true;
}

uint8_t aDiscovery_EnumerateTCPIP(aDiscoveryModuleFoundProc callback, void* reference,
                                  unsigned int networkInterface) {
    Socket listener;
    if (!sOpenListener(listener, networkInterface)) return 0;
    if (!sSendProbes(networkInterface)) return 0;
    uint8_t count = 0;
    const auto deadline = std::chrono::steady_clock::now() + kProbeMaxDuration;
    while (std::chrono::steady_clock::now() < deadline) {
        uint8_t datagram[64];
        sockaddr_in source{};
        socklen_t sourceLength = sizeof(source);
        ssize_t got = recvfrom(listener.fd(), datagram, sizeof(datagram), MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&source), &sourceLength);
        if (got < 0) {
            if (errno == EINTR) continue;
            break;  // time-out: the network has gone quiet
        }
        linkSpec spec;
        if (!aDiscovery_DecodeProbeReply(datagram, static_cast<int>(got), source.sin_addr.s_addr,
                                         &spec)) {
            if (aDebug_IsOn(0x10)) std::printf("aDiscovery: ignoring datagram of %zd bytes\n", got);
            continue;
        }
        bool counted = false;
        bool more = callback(&spec, &counted, reference);
        if (counted) ++count;
        if (!more) break;
    }
    return count;
}

int aDiscovery_GetIPv4Interfaces(unsigned int* addresses, int capacity) {
    if (!addresses || capacity <= 0) return 0;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return 0;
    int count = 0;
    for (ifaddrs* entry = list; entry && count < capacity; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        if (!(entry->ifa_flags & IFF_UP)) continue;
        addresses[count++] = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
    }
    freeifaddrs(list);
    if (aDebug_IsOn(0x10)) std::printf("aDiscovery_GetIPv4Interfaces count: %d\n", count);
    return count;
}

namespace {
// Device nodes in the directory named by LUMIVANCE_DEVICE_DIR (tests and the
// device simulator put their nodes there); nothing when it is not set. Sets
// `more` false when the callback stops the enumeration.
uint8_t sEnumerateDeviceNodes(aDiscoveryModuleFoundProc callback, void* reference, bool& more) {
    const char* dirName = getenv(LVUSB_DEVICE_DIR_ENV);
    if (!dirName || !*dirName) return 0;
    DIR* dir = opendir(dirName);
    if (!dir) return 0;
    uint8_t count = 0;
    while (more) {
        dirent* entry = readdir(dir);
        if (!entry) break;
        unsigned int serial = 0;
        char tail = 0;
        if (std::strlen(entry->d_name) != 18 ||
            std::sscanf(entry->d_name, "lumivance.%8X%c", &serial, &tail) != 1)
            continue;
        linkSpec* spec = aLinkSpec_Create(LINK_USB);
        if (!spec) break;
        spec->serialNumber = serial;
        spec->t.usb.usbId = serial;
        bool counted = false;
        more = callback(spec, &counted, reference);
        if (counted) ++count;
        aLinkSpec_Destroy(&spec);
    }
    closedir(dir);
    return count;
}
}  // namespace

uint8_t aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc callback, void* reference) {
    bool nodesMore = true;
    uint8_t nodes = sEnumerateDeviceNodes(callback, reference, nodesMore);
    if (!nodesMore) return nodes;
    libusb_context* context = Lumivance_libusb_context();
    if (!context) return nodes;
    libusb_device** devices = nullptr;
    ssize_t deviceCount = libusb_get_device_list(context, &devices);
    if (deviceCount < 0) return nodes;
    uint8_t count = 0;
    for (ssize_t i = 0; i < deviceCount; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(devices[i], &descriptor) != 0) continue;
        if (!lvusb_is_family_device(descriptor.idVendor, descriptor.idProduct)) continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(devices[i], &handle) != 0) continue;
        unsigned char serialText[32] = {0};
        int length = descriptor.iSerialNumber
                         ? libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber,
                                                              serialText, sizeof(serialText))
                         : -1;
        bool more = true;
        unsigned int serial = 0;
        if (length == 8 && std::sscanf(reinterpret_cast<char*>(serialText), "%X", &serial) == 1) {
            linkSpec* spec = aLinkSpec_Create(LINK_USB);
            if (spec) {
                spec->serialNumber = serial;
                spec->model = descriptor.idProduct & 0xFF;
                spec->t.usb.usbId = serial;
                bool counted = false;
                more = callback(spec, &counted, reference);
                if (counted) ++count;
                aLinkSpec_Destroy(&spec);
            }
        }
        libusb_close(handle);
        if (!more) break;
    }
    libusb_free_device_list(devices, 1);
    return uint8_t(count + nodes);
}
