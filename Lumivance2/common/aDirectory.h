// Directories and path helpers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

// What a listing passes to its callback for one entry.
struct aDirectoryListData {
    const char* path;  // full path; valid only during the call
    uint32_t size;     // size in bytes
    bool isDirectory;
};

// Called once per entry; returning false stops the listing.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* data, void* reference);

// Most components aDirectory_BuildPath joins.
#define aDIRECTORY_MAXCOMPONENTS 10

// True when path is an existing directory.
bool aDirectory_Exists(const char* path);
// Creates every missing directory along path with mode; aErrPermission when
// one cannot be created.
aErr aDirectory_Ensure(const char* path, uint32_t mode);
// Lists every entry ("." and ".." included); aErrNotFound when path cannot be opened.
aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* reference);
// Removes an empty directory; aErrUnknown on failure.
aErr aDirectory_Delete(const char* path);
// Removes a directory and everything below it.
aErr aDirectory_DeleteTree(const char* path);
// The current working directory; aErrParam when it does not fit.
aErr aDirectory_CWD(char* buffer, size_t size);
// The running program's own path; aErrRead when it cannot be read.
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
// The user's home directory: the user database first, then HOME; an empty
// text when neither gives one. Always aErrNone.
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
// first "/" second (see aDirectory_BuildPath).
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);
// Joins up to 10 components, ending with nullptr, with "/" between them unless
// one side already has it. aErrParam for too many components or a component
// that is the buffer itself; aErrOverrun when the result does not fit.
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...)
    __attribute__((sentinel));
