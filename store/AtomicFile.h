// Whole-file writes that never leave a half-written file in place of a good
// one: the bytes go to a temporary file in the same directory, are flushed to
// the disk, and the temporary file is then renamed over the target.
#pragma once

#include <cstddef>
#include <string>

#include "Lumivance2/common/aError.h"

// Writes `length` bytes of `data` to `path`, replacing it atomically.
// aErrNone on success; aErrNotFound when the temporary file cannot be
// created; aErrIO when writing, flushing or renaming fails (the target then
// keeps its earlier content). `sysError`, when given, receives the system
// error number of the failure (0 on success).
aErr AtomicFile_Write(const std::string& path, const void* data, size_t length,
                      int* sysError = nullptr);
