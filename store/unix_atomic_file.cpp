#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "AtomicFile.h"

namespace {

std::atomic<unsigned> sTempCounter{0};

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Best effort: makes the rename itself durable.
void SyncDirectory(const std::string& directory) {
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

}  // namespace

aErr AtomicFile_Write(const std::string& path, const void* data, size_t length, int* sysError) {
    if (sysError) *sysError = 0;
    if (path.empty() || (data == nullptr && length > 0)) {
        if (sysError) *sysError = EINVAL;
        return aErrNotFound;
    }

    // A unique name beside the target, so the rename never crosses file systems.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        char suffix[64];
        snprintf(suffix, sizeof(suffix), ".tmp.%ld.%u", long(getpid()), sTempCounter++);
        // Hidden (leading '.'), so a temporary left by a killed process is
        // never listed as a stored build.
        temp = DirectoryOf(path) + "/." + BaseName(path) + suffix;
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        if (sysError) *sysError = errno;
        return aErrNotFound;
    }

    const char* bytes = static_cast<const char*>(data);
    size_t written = 0;
    int failure = 0;
    while (written < length) {
        ssize_t n = write(fd, bytes + written, length - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            failure = errno;
            break;
        }
        if (n == 0) {
            failure = EIO;
            break;
        }
        written += size_t(n);
    }
    if (failure == 0 && fsync(fd) != 0) failure = errno;
    if (close(fd) != 0 && failure == 0) failure = errno;
    if (failure == 0 && rename(temp.c_str(), path.c_str()) != 0) failure = errno;
    if (failure != 0) {
        unlink(temp.c_str());
        if (sysError) *sysError = failure;
        return aErrIO;
    }
    SyncDirectory(DirectoryOf(path));
    return aErrNone;
}
