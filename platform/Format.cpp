#include "platform/Format.h"

#include <cstdarg>
#include <cstdio>

std::string Format(const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    va_list argsCopy;
    va_copy(argsCopy, args);
    int n = std::vsnprintf(nullptr, 0, szFormat, args);
    va_end(args);
    std::string text;
    if (n > 0) {
        text.resize(static_cast<std::size_t>(n));
        std::vsnprintf(text.data(), text.size() + 1, szFormat, argsCopy);
    }
    va_end(argsCopy);
    return text;
}
