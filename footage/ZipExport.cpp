#include "footage/ZipExport.h"

#include "platform/Format.h"
#include "settings/WallClock.h"

#include <zlib.h>

#include <set>

namespace {

constexpr std::uint32_t kMax32 = 0xFFFFFFFFu;
constexpr std::uint16_t kMax16 = 0xFFFFu;
constexpr std::uint16_t kVersionClassic = 20;
constexpr std::uint16_t kVersionZip64 = 45;
constexpr std::uint16_t kMadeByUnix = 3 << 8;
constexpr std::uint16_t kFlagUtf8 = 0x0800;
constexpr std::size_t kNameMax = 1024;

void Put16(std::string& out, std::uint16_t n)
{
    out += static_cast<char>(n & 0xFF);
    out += static_cast<char>(n >> 8);
}

void Put32(std::string& out, std::uint32_t n)
{
    Put16(out, static_cast<std::uint16_t>(n & 0xFFFF));
    Put16(out, static_cast<std::uint16_t>(n >> 16));
}

void Put64(std::string& out, std::uint64_t n)
{
    Put32(out, static_cast<std::uint32_t>(n & kMax32));
    Put32(out, static_cast<std::uint32_t>(n >> 32));
}

// MS-DOS date and time; the format starts in 1980.
void DosTime(std::uint32_t tValue, std::uint16_t& nTime, std::uint16_t& nDate)
{
    std::tm fields = SplitWallClock(tValue);
    if (fields.tm_year < 80) {
        nTime = 0;
        nDate = (1 << 5) | 1;
        return;
    }
    nTime = static_cast<std::uint16_t>((fields.tm_hour << 11) | (fields.tm_min << 5) | (fields.tm_sec / 2));
    nDate = static_cast<std::uint16_t>(((fields.tm_year - 80) << 9) | ((fields.tm_mon + 1) << 5) | fields.tm_mday);
}

// What an entry's headers need, whatever its bytes are.
struct Entry {
    std::string name;
    std::uint64_t nSize = 0;
    std::uint32_t nCrc = 0;
    std::uint32_t tModified = 0;
    std::uint64_t nOffset = 0;  // of its local header
};

std::string LocalHeader(const Entry& entry)
{
    const bool bBig = entry.nSize >= kMax32;
    std::uint16_t nTime = 0, nDate = 0;
    DosTime(entry.tModified, nTime, nDate);
    std::string out;
    Put32(out, 0x04034b50);
    Put16(out, bBig ? kVersionZip64 : kVersionClassic);
    Put16(out, kFlagUtf8);
    Put16(out, 0);  // stored
    Put16(out, nTime);
    Put16(out, nDate);
    Put32(out, entry.nCrc);
    Put32(out, bBig ? kMax32 : static_cast<std::uint32_t>(entry.nSize));
    Put32(out, bBig ? kMax32 : static_cast<std::uint32_t>(entry.nSize));
    Put16(out, static_cast<std::uint16_t>(entry.name.size()));
    Put16(out, bBig ? 20 : 0);
    out += entry.name;
    if (bBig) {
        Put16(out, 0x0001);
        Put16(out, 16);
        Put64(out, entry.nSize);
        Put64(out, entry.nSize);
    }
    return out;
}

std::string CentralHeader(const Entry& entry)
{
    const bool bBigSize = entry.nSize >= kMax32;
    const bool bBigOffset = entry.nOffset >= kMax32;
    // The 64-bit values of exactly the fields that hold the marker, in this order.
    std::string extra;
    if (bBigSize) {
        Put64(extra, entry.nSize);
        Put64(extra, entry.nSize);
    }
    if (bBigOffset)
        Put64(extra, entry.nOffset);
    std::string zip64;
    if (!extra.empty()) {
        Put16(zip64, 0x0001);
        Put16(zip64, static_cast<std::uint16_t>(extra.size()));
        zip64 += extra;
    }
    std::uint16_t nTime = 0, nDate = 0;
    DosTime(entry.tModified, nTime, nDate);
    std::string out;
    Put32(out, 0x02014b50);
    Put16(out, kMadeByUnix | kVersionZip64);
    Put16(out, zip64.empty() ? kVersionClassic : kVersionZip64);
    Put16(out, kFlagUtf8);
    Put16(out, 0);
    Put16(out, nTime);
    Put16(out, nDate);
    Put32(out, entry.nCrc);
    Put32(out, bBigSize ? kMax32 : static_cast<std::uint32_t>(entry.nSize));
    Put32(out, bBigSize ? kMax32 : static_cast<std::uint32_t>(entry.nSize));
    Put16(out, static_cast<std::uint16_t>(entry.name.size()));
    Put16(out, static_cast<std::uint16_t>(zip64.size()));
    Put16(out, 0);             // comment
    Put16(out, 0);             // disk
    Put16(out, 0);             // internal attributes
    Put32(out, 0100644u << 16);  // a regular file, rw-r--r--
    Put32(out, bBigOffset ? kMax32 : static_cast<std::uint32_t>(entry.nOffset));
    out += entry.name;
    out += zip64;
    return out;
}

// The end records after a central directory of nCount entries, nSize bytes, at nOffset.
std::string EndRecords(std::uint64_t nCount, std::uint64_t nSize, std::uint64_t nOffset, bool& bZip64)
{
    std::string out;
    const bool bNeed64 = nCount >= kMax16 || nSize >= kMax32 || nOffset >= kMax32;
    if (bNeed64) {
        bZip64 = true;
        const std::uint64_t nEnd64At = nOffset + nSize;
        Put32(out, 0x06064b50);
        Put64(out, 44);
        Put16(out, kMadeByUnix | kVersionZip64);
        Put16(out, kVersionZip64);
        Put32(out, 0);
        Put32(out, 0);
        Put64(out, nCount);
        Put64(out, nCount);
        Put64(out, nSize);
        Put64(out, nOffset);
        Put32(out, 0x07064b50);
        Put32(out, 0);
        Put64(out, nEnd64At);
        Put32(out, 1);
    }
    Put32(out, 0x06054b50);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, nCount >= kMax16 ? kMax16 : static_cast<std::uint16_t>(nCount));
    Put16(out, nCount >= kMax16 ? kMax16 : static_cast<std::uint16_t>(nCount));
    Put32(out, nSize >= kMax32 ? kMax32 : static_cast<std::uint32_t>(nSize));
    Put32(out, nOffset >= kMax32 ? kMax32 : static_cast<std::uint32_t>(nOffset));
    Put16(out, 0);
    return out;
}

void AddBytes(ZipPlan& plan, std::string bytes)
{
    if (bytes.empty())
        return;
    plan.nTotal += bytes.size();
    ZipPiece piece;
    piece.nLength = bytes.size();
    // Neighbouring byte pieces go out as one.
    if (!plan.pieces.empty() && plan.pieces.back().eKind == ZipPiece::Kind::Bytes) {
        plan.pieces.back().bytes += bytes;
        plan.pieces.back().nLength += bytes.size();
        return;
    }
    piece.bytes = std::move(bytes);
    plan.pieces.push_back(std::move(piece));
}

std::string SafeVehicle(const std::string& vehicle)
{
    std::string out;
    for (char c : vehicle) {
        bool bKeep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '_' || c == '.';
        out += bKeep ? c : '_';
    }
    if (out.empty() || out.front() == '.')
        out.insert(out.begin(), '_');
    return out;
}

std::string CompactTime(std::uint32_t tValue)
{
    std::tm f = SplitWallClock(tValue);
    return Format("%04d%02d%02dT%02d%02d%02dZ", f.tm_year + 1900, f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min,
                  f.tm_sec);
}

} // namespace

bool CZipExport::SafeEntryName(const std::string& name)
{
    if (name.empty() || name.size() > kNameMax || name.front() == '/' || name.back() == '/')
        return false;
    for (char c : name)
        if (c < 0x20 || c > 0x7E || c == '\\' || c == ':')
            return false;
    std::size_t nPos = 0;
    while (nPos <= name.size()) {
        std::size_t nEnd = std::min(name.find('/', nPos), name.size());
        std::string part = name.substr(nPos, nEnd - nPos);
        if (part.empty() || part == "." || part == "..")
            return false;
        nPos = nEnd + 1;
    }
    return true;
}

bool CZipExport::Plan(const std::vector<ZipFileEntry>& files, const std::string& manifestName,
                      const std::string& manifest, std::uint32_t tManifest, ZipPlan& plan, std::string& strError)
{
    plan = ZipPlan();
    std::vector<Entry> entries;
    std::set<std::string> names;
    auto add = [&](const std::string& name, std::uint64_t nSize, std::uint32_t nCrc, std::uint32_t tModified) {
        if (!SafeEntryName(name) || !names.insert(name).second) {
            strError = "entry name unsafe or named twice: " + name;
            return false;
        }
        entries.push_back(Entry {name, nSize, nCrc, tModified, plan.nTotal});
        std::string header = LocalHeader(entries.back());
        plan.bZip64 = plan.bZip64 || nSize >= kMax32;
        AddBytes(plan, std::move(header));
        return true;
    };
    auto nManifestCrc = static_cast<std::uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(manifest.data()), static_cast<uInt>(manifest.size())));
    if (!add(manifestName, manifest.size(), nManifestCrc, tManifest))
        return false;
    AddBytes(plan, manifest);
    for (const ZipFileEntry& file : files) {
        if (!add(file.strName, file.nSize, file.nCrc32, file.tModified))
            return false;
        if (file.nSize > 0) {
            ZipPiece piece;
            piece.eKind = ZipPiece::Kind::File;
            piece.strPath = file.strPath;
            piece.nLength = file.nSize;
            plan.pieces.push_back(std::move(piece));
            plan.nTotal += file.nSize;
        }
    }
    const std::uint64_t nDirAt = plan.nTotal;
    std::string directory;
    for (const Entry& entry : entries) {
        plan.bZip64 = plan.bZip64 || entry.nOffset >= kMax32;
        directory += CentralHeader(entry);
    }
    const std::uint64_t nDirSize = directory.size();
    AddBytes(plan, std::move(directory));
    AddBytes(plan, EndRecords(entries.size(), nDirSize, nDirAt, plan.bZip64));
    strError.clear();
    return true;
}

std::string CZipExport::ExportName(const std::string& vehicle, const std::vector<std::uint8_t>& channels,
                                   std::uint32_t tFrom, std::uint32_t tTo)
{
    std::string channelPart;
    for (std::uint8_t n : channels)
        channelPart += (channelPart.empty() ? "" : "-") + Format("ch%02d", n);
    if (channelPart.empty())
        channelPart = "all";
    return SafeVehicle(vehicle) + "_" + channelPart + "_" + CompactTime(tFrom) + "-" + CompactTime(tTo) + ".zip";
}
