#pragma once

#include <string_view>

// A file compiled into the program by core/EmbedFiles.cmake: its name in its folder
// and its bytes, both static.
struct EmbeddedFile {
    std::string_view name;
    std::string_view data;
};
