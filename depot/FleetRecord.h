#pragma once

#include <cstdint>
#include <string>

// What the fleet history knows of one vehicle ever registered. Times are wall-clock
// seconds (settings/WallClock.h); 0 means never.
struct FleetRecord {
    std::string strName;
    std::uint32_t tFirstSeen = 0;
    std::uint32_t tLastSeen = 0;
    std::string strLastAddress;              // "ip:port" of the last registration
    std::uint32_t nVisits = 0;               // registrations that made it online
    std::uint64_t nFilesTotal = 0;
    std::uint64_t nBytesTotal = 0;
    std::uint64_t nFilesLastVisit = 0;
    std::uint64_t nBytesLastVisit = 0;
    std::uint32_t tLastCompleteOffload = 0;  // every channel reached "download finished!"
    std::int64_t nPending = -1;              // recordings left on the recorder; -1 unknown
    std::uint32_t tLastFailure = 0;
    std::string strLastFailure;
    std::uint64_t nFilesToday = 0;           // of the day the snapshot was taken for
    std::uint64_t nBytesToday = 0;
    // Missed recordings (depot/MissedRecording.h) by state, counted for the snapshot.
    std::uint32_t nUnfetchable = 0;
    std::uint32_t nLeftBehind = 0;
    // Missed recordings not yet stored that no longer fit the vehicle's list; cleared by
    // the next complete offload, which leaves none of them on the recorder's span.
    std::uint64_t nMissedDropped = 0;
};

// One vehicle's downloads of one day.
struct FleetDayTotal {
    std::uint32_t tDay = 0;  // wall-clock seconds of the day's 00:00
    std::uint64_t nFiles = 0;
    std::uint64_t nBytes = 0;
};
