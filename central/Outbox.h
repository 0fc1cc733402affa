#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;

// One row waiting to be sent: the newest state of one row of a fed table.
struct OutboxRow {
    std::int64_t nSeq = 0;      // grows with every change, never reused
    std::string strTable;       // the fed table (CentralFeed)
    std::string strKey;         // the row's key in that table
    std::uint32_t tQueued = 0;  // wall-clock seconds it was queued
    std::string strPayload;     // the row as a JSON object
};

struct OutboxDepth {
    std::int64_t nRows = 0;
    std::uint32_t tOldest = 0;  // 0 when empty
};

// The rows of fleet.db still to be sent to the shared database, in fleet.db itself
// (table central_outbox). Triggers on every fed table queue a row's new state in the
// same transaction that writes it, so no write of the depot can reach its table and
// miss the outbox, whatever writes it and whenever the process ends; one entry per
// row is kept, so an outage grows the outbox with the rows changed, not with every
// change. Rows the shared database refuses are kept in central_rejected.
//
// One connection of its own; one thread at a time (the central store's, or a test's).
class COutbox {
public:
    // Most entries Take hands out at once.
    static constexpr std::size_t kTakeMax = 10000;

    COutbox() = default;
    ~COutbox();  // Close()
    COutbox(const COutbox&) = delete;
    COutbox& operator=(const COutbox&) = delete;

    // Opens dbPath, creates the outbox and the triggers of every fed table present.
    // When a table's triggers were missing (first use, a fresh file), queues every row
    // it holds. 0, or -1 with strError.
    int Open(const std::string& dbPath, std::string& strError);
    void Close();
    bool IsOpen() const { return m_pDb != nullptr; }
    // Removes the triggers and empties the outbox of the file at dbPath, so that a
    // depot without a shared database keeps nothing for one; a later Open queues every
    // row again. 0, or -1 with strError.
    static int Disable(const std::string& dbPath, std::string& strError);

    // Up to nMax of the oldest entries, oldest first; empty on a failed read (strError).
    std::vector<OutboxRow> Take(std::size_t nMax, std::string& strError);
    // Removes the entries up to nSeq: they were sent. An entry changed since it was
    // taken has a higher sequence number and stays. False with strError.
    bool Remove(std::int64_t nUpToSeq, std::string& strError);
    // Keeps row, refused with why, in central_rejected and removes it from the outbox.
    bool Reject(const OutboxRow& row, const std::string& why, std::string& strError);
    // How many entries wait and since when; nRows -1 on a failed read.
    OutboxDepth Depth();
    // Entries kept as refused.
    std::int64_t Rejected();

private:
    // Creates the triggers of feed's table (again), and queues its rows when they were
    // missing. SQLite code.
    int x_Feed(const struct CentralFeed& feed);

    sqlite3* m_pDb = nullptr;
};
