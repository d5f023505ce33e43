// Runs a piece of a test inside a private network namespace, so that anything
// that multicasts or broadcasts never leaves this process's own sandbox.
// The body runs in a forked child that unshares its network namespace, brings
// the loopback interface up (multicast on) and, on request, adds a veth pair
// vA 10.77.0.1/24 <-> vB 10.77.0.2/24. The body returns an empty string on
// success or a description of what failed.
#pragma once

#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace private_network {

inline bool bringUp(const char* name) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP | IFF_RUNNING | IFF_MULTICAST;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return ok;
}

// True when this process may create network namespaces (root, or a user
// namespace that allows it). Tests skip themselves otherwise.
inline bool available() {
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) _exit(unshare(CLONE_NEWNET) == 0 ? 0 : 1);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

inline bool addVethPair() {
    return std::system(
               "ip link add vA type veth peer name vB && ip addr add 10.77.0.1/24 dev vA && "
               "ip addr add 10.77.0.2/24 dev vB && ip link set vA up && ip link set vB up && "
               "ip route add 224.0.0.0/4 dev vA") == 0;
}

// Runs body in a child inside a fresh namespace; returns "" or the failure.
// The child is killed after timeoutSeconds.
inline std::string run(const std::function<std::string()>& body, bool withVeth = false,
                       int timeoutSeconds = 30) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return "pipe failed";
    pid_t child = fork();
    if (child < 0) return "fork failed";
    if (child == 0) {
        close(pipeFds[0]);
        std::string result;
        if (unshare(CLONE_NEWNET) != 0)
            result = "unshare(CLONE_NEWNET) failed";
        else if (!bringUp("lo"))
            result = "could not bring lo up";
        else if (withVeth && !addVethPair())
            result = "could not create the veth pair";
        else
            result = body();
        ssize_t ignored = write(pipeFds[1], result.data(), result.size());
        (void)ignored;
        _exit(0);
    }
    close(pipeFds[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            close(pipeFds[0]);
            return "timed out";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::string output;
    char buffer[512];
    ssize_t got;
    while ((got = read(pipeFds[0], buffer, sizeof(buffer))) > 0) output.append(buffer, size_t(got));
    close(pipeFds[0]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child crashed: " + output;
    return output;
}

}  // namespace private_network
