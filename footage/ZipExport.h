#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One file of an export.
struct ZipFileEntry {
    std::string strName;        // its name in the zip: plain relative, '/' between parts
    std::string strPath;        // where it is on disk
    std::uint64_t nSize = 0;
    std::uint32_t nCrc32 = 0;   // of the whole file, as the catalogue keeps it
    std::uint32_t tModified = 0;  // wall-clock seconds, for the entry's date and time
};

// One piece of an export's bytes, in order: bytes made here, or a range of a file.
struct ZipPiece {
    enum class Kind { Bytes, File };
    Kind eKind = Kind::Bytes;
    std::string bytes;          // Kind::Bytes
    std::string strPath;        // Kind::File
    std::uint64_t nOffset = 0;
    std::uint64_t nLength = 0;  // of either kind
};

// The whole export: its pieces and their total length, the Content-Length to send.
struct ZipPlan {
    std::vector<ZipPiece> pieces;
    std::uint64_t nTotal = 0;
    bool bZip64 = false;  // some size, offset or count needed the 64-bit records
};

// A streaming zip of stored (uncompressed) entries, laid out before a byte is sent:
// the caller knows every file's size and CRC-32, so the local headers carry them and
// no data descriptor is needed, and the exact length is known up front. The HTTP layer
// sends the byte pieces and sendfile()s the file ranges. ZIP64 records are used where
// a size, an offset or the entry count does not fit the classic fields.
class CZipExport {
public:
    // The manifest (an in-memory entry, named manifestName, first in the zip) and the
    // files, in order. False with strError for an unsafe or duplicate name. Any thread.
    static bool Plan(const std::vector<ZipFileEntry>& files, const std::string& manifestName,
                     const std::string& manifest, std::uint32_t tManifest, ZipPlan& plan, std::string& strError);

    // The export's file name, e.g. BUS-0412_ch01-ch02_20261206T140000Z-20261206T141000Z.zip
    // ("all" for every channel); characters other than letters, digits, '.', '_' and '-'
    // of the vehicle become '_'. Any thread.
    static std::string ExportName(const std::string& vehicle, const std::vector<std::uint8_t>& channels,
                                  std::uint32_t tFrom, std::uint32_t tTo);

    // Whether name may be an entry's name: plain relative parts, printable ASCII, no
    // backslash, at most 1024 bytes, so no unpacking writes outside its directory.
    static bool SafeEntryName(const std::string& name);
};
