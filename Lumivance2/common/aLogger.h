// Packet logger: a thread that calls a reader procedure over and over with an
// output file and a link id, so that the procedure can drain the link's
// packet log into the file. The procedure must return regularly (sleeping
// briefly when there is nothing to write): the thread stops only between two
// of its calls.
#pragma once

#include <cstdint>

#include "aError.h"
#include "aFile.h"

#define aLOGGER_CHECK 0xDEED

typedef struct aLogger aLogger;

// Called by the logger's thread with the logger's file and link id; its
// result is ignored.
typedef aErr (*aLoggerReadProc)(aFile* file, int32_t linkId);

// A logger, not running, writing to `path` (opened for appending, unbuffered).
// nullptr for no procedure or path, when the file cannot be opened, or when
// memory is exhausted.
aLogger* aLogger_Create(int32_t linkId, aLoggerReadProc readerProcedure, const char* path);

// Starts the thread. aErrNone at once when it already runs; aErrParam for an
// invalid logger; aErrResource when the thread cannot be started.
aErr aLogger_Enable(aLogger* logger);

// Stops the thread and waits for it to end. aErrNone when not running, and
// also when called from the logger's own thread (nothing is stopped then);
// aErrParam for an invalid logger; aErrUnknown when the wait fails.
aErr aLogger_Disable(aLogger* logger);

// Stops a running logger, closes its file, frees it and sets *logger to
// nullptr. aErrNone for an invalid logger (nothing happens). aErrBusy, with
// nothing freed, when called from the logger's own thread; when stopping
// fails its code is returned and the logger is kept.
aErr aLogger_Destroy(aLogger** logger);

// True while the logger's thread runs.
bool aLogger_IsRunning(const aLogger* logger);
