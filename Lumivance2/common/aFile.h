// Files: a thin, code-returning layer over the C stream library. A file is an
// opaque reference; every operation rejects a reference that is not a live
// file with aErrParam.
#pragma once

#include <cstddef>

#include "aError.h"

typedef struct aFile aFile;

typedef int aFileMode;
enum : aFileMode {
    aFileModeReadOnly = 0,   // read only
    aFileModeWriteOnly = 1,  // write only; truncates an existing file, creates a missing one
    aFileModeAppend = 2,     // writes go to the end, reads allowed, created when missing
};

// Seek origins; any other value counts from the start.
enum : int {
    aSeekStart = 0,
    aSeekCurrent = 1,
    aSeekEnd = 2,
};

// Longest path the file operations accept.
#define aFILE_MAXPATH 4096

// True when path names something that exists and is not a directory.
bool aFile_Exists(const char* path);

// Opens path in the given mode; nullptr on any failure.
aFile* aFile_Open(const char* path, aFileMode mode);
// Closes and frees *file and sets it to nullptr.
aErr aFile_Close(aFile** file);

// Reads up to length bytes; aErrEOF when nothing was read though length > 0.
aErr aFile_Read(aFile* file, void* buffer, size_t length, size_t* count);
// Writes length bytes; aErrIO when nothing was written though length > 0.
aErr aFile_Write(aFile* file, const void* data, size_t length, size_t* count);
// Moves the position; aErrRange when it would be negative or past the end.
aErr aFile_Seek(aFile* file, long offset, int origin);
// The file's size; the position is unchanged.
aErr aFile_GetSize(aFile* file, size_t* size);
// The current position.
aErr aFile_GetPosition(aFile* file, long* position);
// Reads one line (newline included) into buffer; aErrEOF at end of file,
// aErrOverrun when the line does not fit into size - 1 characters.
aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length);
// Formatted write.
aErr aFile_Printf(aFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Turns off the stream's buffering (write and append modes).
aErr aFile_SetUnbuffered(aFile* file);

// Removes a file: aErrNotFound, aErrPermission or aErrIO on failure.
aErr aFile_Delete(const char* path);
