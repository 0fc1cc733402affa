#pragma once

#include <cstdint>
#include <string>

// One stored recording as the catalogue keeps it: a row of the recording table in
// fleet.db.
struct CatalogueRow {
    std::int64_t nId = 0;             // the table's id; 0 until the row is written
    std::string strVehicle;
    int nChannel = 0;
    std::uint32_t tStart = 0;         // wall-clock seconds, from the file's name
    std::uint32_t tEnd = 0;
    std::uint64_t nSize = 0;          // bytes of the finished file
    std::string strPath;              // relative to the download root: vehicle/date/chNN/name.mp4
    std::uint32_t tStoredAt = 0;      // when it took its finished name (or was found there)
    std::string strSha256;            // lower-case hex; empty until hashed
    std::uint32_t nCrc32 = 0;         // the zip CRC-32 of the same bytes; meaningful once hashed
    std::uint32_t tDeletedAt = 0;     // 0 while the file is there; else when retention deleted it

    bool IsHashed() const { return !strSha256.empty(); }
    bool IsPresent() const { return tDeletedAt == 0; }
};

// Fills row's vehicle, channel, start and end from a path relative to the download
// root in the store's layout, vehicle/DD-MM-YYYY/chNN/chNN_<start>_<end>.mp4 (see
// store/LocalStore.h), and sets its strPath. False, leaving row as it was, for any
// other path. Any thread.
[[nodiscard]] bool RowFromPath(const std::string& relPath, CatalogueRow& row);
