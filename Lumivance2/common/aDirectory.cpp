// Directories, the user's home directory and path joining over POSIX calls.
#include "aDirectory.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Copies text into buffer, cut to size - 1 characters.
void sCopyCut(char* buffer, size_t size, const char* text) {
    if (!buffer || size == 0) return;
    const size_t n = strnlen(text, size - 1);
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
}

// Creates one directory; an existing directory (made meanwhile by someone
// else, say) is fine.
bool sMakeDirectory(const std::string& path, uint32_t mode) {
    if (mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0) return true;
    return errno == EEXIST && aDirectory_Exists(path.c_str());
}

bool sOverlaps(const char* component, const char* buffer, size_t size) {
    return component >= buffer && component < buffer + size;
}

}  // namespace

bool aDirectory_Exists(const char* path) {
    if (!path) return false;
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

aErr aDirectory_Ensure(const char* path, uint32_t mode) {
    if (!path || path[0] == '\0') return aErrParam;
    if (aDirectory_Exists(path)) return aErrNone;

    const std::string full(path);
    // Find the deepest existing ancestor: cut at the last "/" until the rest
    // names a directory. Creation starts after that "/" (or at the start).
    size_t start = 0;
    std::string cut = full;
    for (;;) {
        const size_t slash = cut.rfind('/');
        if (slash == std::string::npos) break;
        cut.resize(slash);
        if (cut.empty() || aDirectory_Exists(cut.c_str())) {
            start = slash + 1;
            break;
        }
    }

    aErr result = aErrNone;
    for (size_t slash = full.find('/', start); slash != std::string::npos;
         slash = full.find('/', slash + 1)) {
        if (slash == 0 || full[slash - 1] == '/') continue;  // empty component
        const std::string prefix = full.substr(0, slash);
        if (!aDirectory_Exists(prefix.c_str()) && !sMakeDirectory(prefix, mode))
            result = aErrPermission;
    }
    if (!sMakeDirectory(full, mode)) result = aErrPermission;
    return result;
}

aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* reference) {
    if (!path) return aErrNotFound;
    DIR* dir = opendir(path);
    if (!dir) return aErrNotFound;
    char full[2048];
    while (struct dirent* entry = readdir(dir)) {
        const int n = std::snprintf(full, sizeof full, "%s/%s", path, entry->d_name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof full) continue;  // would name another entry
        struct stat st;
        if (stat(full, &st) != 0) continue;
        const aDirectoryListData data{full, static_cast<uint32_t>(st.st_size), S_ISDIR(st.st_mode)};
        if (callback && !callback(&data, reference)) break;
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
    if (!path || rmdir(path) != 0) return aErrUnknown;
    return aErrNone;
}

aErr aDirectory_DeleteTree(const char* path) {
    if (!path) return aErrNotFound;
    DIR* dir = opendir(path);
    if (!dir) return aErrNotFound;
    while (struct dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        const std::string child = std::string(path) + "/" + entry->d_name;
        struct stat st;
        // lstat: a link to a directory is removed as a link, never followed.
        if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            aDirectory_DeleteTree(child.c_str());
            continue;
        }
        if (unlink(child.c_str()) != 0) {
            std::perror("aDirectory_DeleteTree");
            std::fprintf(stderr, "---error unlink-ing file [%s]\n", child.c_str());
            break;
        }
    }
    closedir(dir);
    return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size) {
    if (!buffer || size == 0 || !getcwd(buffer, size)) return aErrParam;
    return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrParam;
    const ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
    if (n < 0) {
        buffer[0] = '\0';
        return aErrRead;
    }
    buffer[n] = '\0';
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrNone;
    buffer[0] = '\0';
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> scratch(hint > 0 ? static_cast<size_t>(hint) : 16384u);
    struct passwd entry;
    struct passwd* found = nullptr;
    // Grow the scratch buffer a bounded number of times when it is too small.
    for (int attempt = 0; attempt < 6; ++attempt) {
        const int rc = getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found);
        if (rc != ERANGE) break;
        scratch.resize(scratch.size() * 2);
    }
    if (found && found->pw_dir && found->pw_dir[0] != '\0') {
        sCopyCut(buffer, size, found->pw_dir);
        return aErrNone;
    }
    if (const char* home = std::getenv("HOME")) sCopyCut(buffer, size, home);
    return aErrNone;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second) {
    return aDirectory_BuildPath(buffer, size, first, second, static_cast<const char*>(nullptr));
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) {
    if (!buffer || size == 0) return aErrParam;
    buffer[0] = '\0';
    if (!first) return aErrParam;

    const char* parts[aDIRECTORY_MAXCOMPONENTS];
    size_t count = 0;
    parts[count++] = first;
    va_list args;
    va_start(args, first);
    bool tooMany = false;
    for (const char* next = va_arg(args, const char*); next; next = va_arg(args, const char*)) {
        if (count == aDIRECTORY_MAXCOMPONENTS) {
            tooMany = true;
            break;
        }
        parts[count++] = next;
    }
    va_end(args);
    if (tooMany) return aErrParam;
    for (size_t i = 0; i < count; ++i)
        if (sOverlaps(parts[i], buffer, size)) return aErrParam;

    size_t length = std::strlen(first);
    if (length >= size - 1) return aErrOverrun;
    std::memcpy(buffer, first, length + 1);

    for (size_t i = 1; i < count; ++i) {
        const char* part = parts[i];
        size_t room = size - length - 1;
        // No separator after an empty text: joining nothing with b gives b,
        // not the absolute /b.
        if (room > 1 && length > 0 && buffer[length - 1] != '/' && part[0] != '/') {
            buffer[length++] = '/';
            buffer[length] = '\0';
            --room;
        }
        const size_t n = std::strlen(part);
        if (n >= room) return aErrOverrun;
        std::memcpy(buffer + length, part, n + 1);
        length += n;
    }
    return aErrNone;
}
