#include "BuildPath.h"

#include <cstdarg>

std::string BuildPath(const char* first, ...) {
    std::string result = first ? first : "";
    if (first == nullptr) return result;
    va_list args;
    va_start(args, first);
    for (const char* part = va_arg(args, const char*); part != nullptr;
         part = va_arg(args, const char*)) {
        result += '/';
        result += part;
    }
    va_end(args);
    return result;
}

std::string BuildPath(std::initializer_list<std::string> components) {
    std::string result;
    bool first = true;
    for (const std::string& part : components) {
        if (!first) result += '/';
        result += part;
        first = false;
    }
    return result;
}
