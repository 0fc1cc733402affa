#include "footage/CatalogueRow.h"

#include "platform/PathName.h"
#include "store/LocalStore.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kTimeLen = 14;

bool AllDigits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string_view> SplitPath(std::string_view path)
{
    std::vector<std::string_view> parts;
    for (std::size_t nFrom = 0;;) {
        std::size_t nSlash = path.find('/', nFrom);
        parts.push_back(path.substr(nFrom, nSlash == std::string_view::npos ? nSlash : nSlash - nFrom));
        if (nSlash == std::string_view::npos)
            return parts;
        nFrom = nSlash + 1;
    }
}

// "chNN": two digits or more; the channel, or -1.
int ChannelOf(std::string_view dir)
{
    if (dir.size() < 4 || dir.size() > 6 || dir.substr(0, 2) != "ch" || !AllDigits(dir.substr(2)))
        return -1;
    int nChannel = 0;
    for (char c : dir.substr(2))
        nChannel = nChannel * 10 + (c - '0');
    return nChannel;
}

bool IsDateDir(std::string_view dir)
{
    return dir.size() == 10 && dir[2] == '-' && dir[5] == '-' && AllDigits(dir.substr(0, 2)) &&
           AllDigits(dir.substr(3, 2)) && AllDigits(dir.substr(6, 4));
}

} // namespace

bool RowFromPath(const std::string& relPath, CatalogueRow& row)
{
    std::vector<std::string_view> parts = SplitPath(relPath);
    if (parts.size() != 4 || !IsSafePathComponent(parts[0]) || !IsDateDir(parts[1]))
        return false;
    int nChannel = ChannelOf(parts[2]);
    std::string_view name = parts[3];
    constexpr std::string_view kExt = ".mp4";
    // chNN_<14 digits>_<14 digits>.mp4, its channel part that of its directory
    const std::size_t nPrefix = parts[2].size() + 1;
    if (nChannel < 0 || name.size() != nPrefix + 2 * kTimeLen + 1 + kExt.size() ||
        name.substr(0, parts[2].size()) != parts[2] || name[parts[2].size()] != '_' ||
        name[nPrefix + kTimeLen] != '_' || name.substr(name.size() - kExt.size()) != kExt)
        return false;
    std::string_view start = name.substr(nPrefix, kTimeLen);
    std::string_view end = name.substr(nPrefix + kTimeLen + 1, kTimeLen);
    if (!AllDigits(start) || !AllDigits(end))
        return false;
    row.strVehicle = std::string(parts[0]);
    row.nChannel = nChannel;
    row.tStart = ParseTimeString(start);
    row.tEnd = ParseTimeString(end);
    row.strPath = relPath;
    return true;
}
