// Time for time-outs and sleeping.
#pragma once

#include <cstdint>

#include "aError.h"

// Milliseconds of a monotonic clock (it never jumps with the wall clock); 0
// when the clock cannot be read. Only differences between two readings mean
// anything. All time-outs of the link core are measured with it.
uint64_t aTime_GetMSTicks(void);

// Sleeps msec milliseconds (0 returns at once), in pieces of at most 999,999
// microseconds each.
aErr aTime_MSSleep(unsigned long msec);

// The same sleep with the piece sleeper supplied by the caller: sleepUs is
// called once per piece with its length in microseconds. aTime_MSSleep uses a
// real sleeper; tests pass a recording one.
typedef void (*aTimeSleepProc)(uint32_t microseconds, void* reference);
aErr aTime_MSSleepWith(unsigned long msec, aTimeSleepProc sleepUs, void* reference);

// Longest single sleep piece, in microseconds.
#define aTIME_MAXSLEEP_US 999999u
