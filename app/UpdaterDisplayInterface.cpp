#include "UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

void UpdaterDisplayInterface::message(int level, const char* format, ...) {
    if (muted) return;
    char buffer[2048];
    buffer[0] = '\0';  // stays empty if formatting fails
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    if (level == Error)
        error_message(buffer);
    else
        info_message(buffer);
}
