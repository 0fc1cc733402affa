#pragma once

#include <string_view>

// Whether a name from the network may become one path component under the download
// root: not empty, not "." or "..", and without '/', '\\' or control characters.
[[nodiscard]] bool IsSafePathComponent(std::string_view name);
