// Monotonic milliseconds and piecewise sleeping.
#include <time.h>

#include <cerrno>

#include "aTime.h"

namespace {

// Sleeps the whole piece, resuming after signals.
void sNanoSleep(uint32_t microseconds, void*) {
    struct timespec left = {static_cast<time_t>(microseconds / 1000000u),
                            static_cast<long>(microseconds % 1000000u) * 1000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

uint64_t aTime_GetMSTicks(void) {
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

aErr aTime_MSSleepWith(unsigned long msec, aTimeSleepProc sleepUs, void* reference) {
    if (!sleepUs) return aErrParam;
    uint64_t left = static_cast<uint64_t>(msec) * 1000u;
    while (left > 0) {
        const uint32_t piece = left > aTIME_MAXSLEEP_US ? aTIME_MAXSLEEP_US : uint32_t(left);
        sleepUs(piece, reference);
        left -= piece;
    }
    return aErrNone;
}

aErr aTime_MSSleep(unsigned long msec) {
    return aTime_MSSleepWith(msec, sNanoSleep, nullptr);
}
