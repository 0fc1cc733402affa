#pragma once

#include <string_view>

// The files of web/assets (the page, its script and style sheet), compiled into the
// program from a source that the build generates. The text of the file called name,
// or "" when there is none. Any thread.
std::string_view WebAssetText(std::string_view name);
