#include "web/WebAssets.h"

#include "core/EmbeddedFile.h"

#include <cstddef>

// Generated from web/assets.
extern const EmbeddedFile kWebAssetFiles[];
extern const std::size_t kWebAssetFilesCount;

std::string_view WebAssetText(std::string_view name)
{
    for (std::size_t i = 0; i < kWebAssetFilesCount; ++i) {
        if (kWebAssetFiles[i].name == name)
            return kWebAssetFiles[i].data;
    }
    return {};
}
