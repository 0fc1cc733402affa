#pragma once

#include "depot/FleetRecord.h"

#include <cstdint>
#include <string>
#include <vector>

// The history of every vehicle ever registered, kept in an SQLite database
// (fleet.db in the working directory, WAL journal). The recorders below only change
// an in-memory copy and mark the vehicle dirty; one writer thread stores the dirty
// rows in batches, so no download or receive thread ever waits for the disk.
// A damaged database is kept aside as a backup and started afresh, with a log line.
class CFleetHistory {
public:
    static constexpr const char* kDefaultPath = "fleet.db";
    static constexpr std::uint32_t kDayTotalDays = 90;  // per-day totals kept this long

    // The process-wide history on ./fleet.db. Any thread.
    static CFleetHistory& Instance();

    explicit CFleetHistory(std::string path = kDefaultPath);
    ~CFleetHistory();  // Close()
    CFleetHistory(const CFleetHistory&) = delete;
    CFleetHistory& operator=(const CFleetHistory&) = delete;

    // Opens (or creates) the database, loads it and starts the writer; does nothing
    // when already open. 0, or -1 with a log line when no database can be had (the
    // recorders then only keep the in-memory copy). Window thread.
    int Open();
    // Writes what is dirty, ends the writer and closes the database. Any thread but
    // the writer; later calls do nothing.
    void Close();
    bool IsOpen() const;

    // Recorders: change the in-memory copy and return at once. Any thread.
    // A registration that made the vehicle online: a new visit from "ip:port".
    void OnArrival(const std::string& name, const std::string& address, std::uint32_t tNow);
    // The vehicle went offline (expiry or server stop); tLastSeen is its last keepalive.
    void OnDeparture(const std::string& name, std::uint32_t tLastSeen);
    // One recording stored whole (renamed to .mp4); nBytes received for it in this visit.
    void OnFileStored(const std::string& name, std::uint64_t nBytes, std::uint32_t tNow);
    // Every channel of a pass reached "download finished!".
    void OnCompleteOffload(const std::string& name, std::uint32_t tNow);
    // Recordings still on the recorder; -1 when it did not say.
    void OnPending(const std::string& name, std::int64_t nPending);
    // A transfer or request that failed, in a few words.
    void OnFailure(const std::string& name, const std::string& text, std::uint32_t tNow);

    // Every vehicle in name order, with files and bytes of the day of tNow. Any thread.
    std::vector<FleetRecord> Snapshot(std::uint32_t tNow) const;
    // One vehicle's per-day totals, oldest first. Any thread.
    std::vector<FleetDayTotal> DayTotals(const std::string& name) const;
    // Grows with every change of the in-memory copy, so a view can skip a redraw. Any thread.
    std::uint64_t Version() const;
    // Returns when everything recorded before the call is in the database. Any thread
    // but the writer.
    void Flush();
};
