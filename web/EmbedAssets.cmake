# Writes OUTPUT, a C++ source holding every file of ASSET_DIR as a byte array, and
# WebAssetText that finds them by name. Run by the build (cmake -P) whenever an
# asset changes.
file(GLOB assets RELATIVE ${ASSET_DIR} ${ASSET_DIR}/*)
list(SORT assets)
set(arrays "")
set(table "")
set(index 0)
foreach(asset ${assets})
  file(READ ${ASSET_DIR}/${asset} hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char kAsset${index}[] = {${bytes}0};\n")
  string(APPEND table "    {\"${asset}\", kAsset${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT} "// Generated from web/assets by web/EmbedAssets.cmake; edits are lost.
#include \"web/WebAssets.h\"

#include <cstddef>

namespace {

${arrays}
struct Asset {
    std::string_view name;
    const unsigned char* pData;
    std::size_t nSize;
};

const Asset kAssets[] = {
${table}};

} // namespace

std::string_view WebAssetText(std::string_view name)
{
    for (const Asset& asset : kAssets) {
        if (asset.name == name)
            return {reinterpret_cast<const char*>(asset.pData), asset.nSize};
    }
    return {};
}
")
