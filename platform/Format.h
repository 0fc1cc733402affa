#pragma once

#include <string>

// printf-style formatting into a std::string, for log lines.
[[nodiscard]] std::string Format(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));
