// Files over the C stream library (stdio); POSIX stat for existence checks.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "aFile.h"

#define aFILE_CHECK 0xFEEDu

struct aFile {
    uint32_t checkWord;
    FILE* stream;
    aFileMode mode;
};

namespace {

bool sValid(const aFile* file) {
    return file != nullptr && file->checkWord == aFILE_CHECK && file->stream != nullptr;
}

bool sCanRead(const aFile* file) {
    return file->mode == aFileModeReadOnly || file->mode == aFileModeAppend;
}

bool sCanWrite(const aFile* file) {
    return file->mode == aFileModeWriteOnly || file->mode == aFileModeAppend;
}

bool sPathTooLong(const char* path) {
    return strnlen(path, aFILE_MAXPATH + 1) > aFILE_MAXPATH;
}

}  // namespace

bool aFile_Exists(const char* path) {
    if (!path || sPathTooLong(path)) return false;
    struct stat st;
    if (stat(path, &st) != 0) return false;
    return !S_ISDIR(st.st_mode);
}

aFile* aFile_Open(const char* path, aFileMode mode) {
    if (!path || path[0] == '\0' || sPathTooLong(path)) return nullptr;
    const char* how = nullptr;
    switch (mode) {
        case aFileModeReadOnly:
            how = "rb";
            break;
        case aFileModeWriteOnly:
            how = "wb";
            break;
        case aFileModeAppend:
            how = "a+b";
            break;
        default:
            return nullptr;
    }
    auto* file = new (std::nothrow) aFile{};
    if (!file) return nullptr;
    file->stream = std::fopen(path, how);
    if (!file->stream) {
        delete file;
        return nullptr;
    }
    if (mode == aFileModeAppend && std::fseek(file->stream, 0, SEEK_END) != 0) {
        std::fclose(file->stream);
        delete file;
        return nullptr;
    }
    file->mode = mode;
    file->checkWord = aFILE_CHECK;
    return file;
}

aErr aFile_Close(aFile** file) {
    if (!file) return aErrParam;
    aFile* f = *file;
    *file = nullptr;
    if (!sValid(f)) return aErrParam;
    std::fclose(f->stream);
    f->checkWord = 0;
    f->stream = nullptr;
    delete f;
    return aErrNone;
}

aErr aFile_Read(aFile* file, void* buffer, size_t length, size_t* count) {
    if (count) *count = 0;
    if (!sValid(file) || !buffer) return aErrParam;
    if (!sCanRead(file)) return aErrMode;
    const size_t n = std::fread(buffer, 1, length, file->stream);
    if (count) *count = n;
    if (n == 0 && length != 0) return std::ferror(file->stream) ? aErrRead : aErrEOF;
    return aErrNone;
}

aErr aFile_Write(aFile* file, const void* data, size_t length, size_t* count) {
    if (count) *count = 0;
    if (!sValid(file) || !data) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    const size_t n = std::fwrite(data, 1, length, file->stream);
    if (count) *count = n;
    if (n == 0 && length != 0) return aErrIO;
    return aErrNone;
}

aErr aFile_GetSize(aFile* file, size_t* size) {
    if (!size) return aErrParam;
    *size = 0;
    if (!sValid(file)) return aErrParam;
    const long here = std::ftell(file->stream);
    if (here < 0) return aErrIO;
    if (std::fseek(file->stream, 0, SEEK_END) != 0) return aErrIO;
    const long end = std::ftell(file->stream);
    if (std::fseek(file->stream, here, SEEK_SET) != 0 || end < 0) return aErrIO;
    *size = static_cast<size_t>(end);
    return aErrNone;
}

aErr aFile_Seek(aFile* file, long offset, int origin) {
    if (!sValid(file)) return aErrParam;
    size_t size = 0;
    if (aFile_GetSize(file, &size) != aErrNone) return aErrIO;
    long base = 0;
    if (origin == aSeekCurrent) {
        base = std::ftell(file->stream);
        if (base < 0) return aErrIO;
    } else if (origin == aSeekEnd) {
        base = static_cast<long>(size);
    }
    // Overflow-safe: both sides are within long's range.
    if ((offset < 0 && base < -offset) || (offset > 0 && offset > static_cast<long>(size) - base))
        return aErrRange;
    if (std::fseek(file->stream, base + offset, SEEK_SET) != 0) return aErrIO;
    return aErrNone;
}

aErr aFile_GetPosition(aFile* file, long* position) {
    if (!sValid(file)) return aErrParam;
    const long here = std::ftell(file->stream);
    if (here < 0) return aErrIO;
    if (position) *position = here;
    return aErrNone;
}

aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length) {
    if (length) *length = 0;
    if (!sValid(file) || !buffer || size == 0) return aErrParam;
    buffer[0] = '\0';
    if (!sCanRead(file)) return aErrMode;
    // fgets takes an int size; a longer buffer is simply used up to INT_MAX.
    const int room = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
    if (!std::fgets(buffer, room, file->stream)) {
        buffer[0] = '\0';
        return std::ferror(file->stream) ? aErrIO : aErrEOF;
    }
    const size_t n = std::strlen(buffer);
    if (length) *length = n;
    if (n == static_cast<size_t>(room) - 1 && buffer[n - 1] != '\n') {
        // The buffer is full without a newline: the line goes on unless the
        // file ends right here.
        const int next = std::fgetc(file->stream);
        if (next == EOF) return aErrNone;
        std::ungetc(next, file->stream);
        return aErrOverrun;
    }
    return aErrNone;
}

aErr aFile_Printf(aFile* file, const char* format, ...) {
    if (!sValid(file) || !format) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    va_list args;
    va_start(args, format);
    const int n = std::vfprintf(file->stream, format, args);
    va_end(args);
    return n < 0 ? aErrIO : aErrNone;
}

aErr aFile_SetUnbuffered(aFile* file) {
    if (!sValid(file)) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    if (std::setvbuf(file->stream, nullptr, _IONBF, 0) != 0) return aErrMode;
    return aErrNone;
}

aErr aFile_Delete(const char* path) {
    if (!path) return aErrParam;
    if (sPathTooLong(path)) return aErrFileNameLength;
    if (unlink(path) == 0) return aErrNone;
    switch (errno) {
        case ENOENT:
            return aErrNotFound;
        case EACCES:
        case EPERM:
            return aErrPermission;
        default:
            return aErrIO;
    }
}
