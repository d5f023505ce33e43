#include "Log.h"

#include <cstdarg>
#include <cstring>

uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;

void Log::log(uint32_t package, const char* format, ...) {
    if (package != 0 && (package & package_bitmask) == 0) return;
    char buffer[2048];
    buffer[0] = '\0';  // stays empty if formatting fails
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    if (fh) {
        // One write of the whole text, so lines from two threads do not mix.
        fwrite(buffer, 1, strlen(buffer), fh);
        fflush(fh);
    }
}
