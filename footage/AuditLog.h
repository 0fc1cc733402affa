#pragma once

#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <tuple>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// One line of the audit trail: who did what to which object.
struct AuditEntry {
    std::int64_t nId = 0;       // the table's id, growing; 0 until written
    std::uint32_t tTime = 0;    // wall-clock seconds; 0 in Append means now
    std::string strClient;      // the client's address
    std::string strRole;        // the role it acted in
    std::string strAction;      // e.g. "recording.download", "request.create"
    std::string strObject;      // e.g. a recording id, a request id
    std::string strDetail;
};

struct AuditPage {
    std::vector<AuditEntry> entries;
    std::string strNext;        // the cursor of the next page; empty when there is none
    bool bValid = true;         // false: the cursor given was no cursor of List's
};

// The audit trail of who looked at or took footage: an append-only table (audit) in
// fleet.db, on a connection of its own. Nothing deletes from it. Each Append is
// written at once, on the caller's thread, so that a line is in the file before the
// action it records is answered.
class CAuditLog {
public:
    static constexpr std::uint32_t kThrottleSeconds = 600;
    // (client, action, object) remembered for throttling; beyond, the oldest go.
    static constexpr std::size_t kThrottleMax = 10000;
    static constexpr std::size_t kMaxLimit = 1000;
    // Longest text kept of each field; longer ones are cut.
    static constexpr std::size_t kFieldMax = 1000;

    CAuditLog() = default;
    ~CAuditLog();  // Close()
    CAuditLog(const CAuditLog&) = delete;
    CAuditLog& operator=(const CAuditLog&) = delete;

    // Opens (creating its table in) the database at dbPath; does nothing when open.
    // 0, or -1 with a log line. The thread that starts the server.
    int Open(const std::string& dbPath) EXCLUDES(m_lock);
    // Any thread; later calls do nothing.
    void Close() EXCLUDES(m_lock);
    bool IsOpen() const EXCLUDES(m_lock);

    // Writes the entry (its nId is ignored). True when written; a failure is logged.
    // Any thread; waits for the disk.
    bool Append(const AuditEntry& entry) EXCLUDES(m_lock);
    // Appends unless the same client, action and object were appended through here
    // less than kThrottleSeconds before the entry's time: for actions repeated by
    // polling. True when written. Any thread.
    bool AppendThrottled(const AuditEntry& entry) EXCLUDES(m_lock);
    // Newest first (by id); nLimit 1 to kMaxLimit. Any thread.
    AuditPage List(std::size_t nLimit, const std::string& after = {}) const EXCLUDES(m_lock);

private:
    using ThrottleKey = std::tuple<std::string, std::string, std::string>;
    struct Throttle {
        std::uint32_t tLast = 0;
        std::list<ThrottleKey>::iterator itOrder;  // its place in m_throttleOrder
    };

    bool x_Write(const AuditEntry& entry) REQUIRES(m_lock);
    // Whether key was written within kThrottleSeconds before tNow; else notes it now.
    bool x_Throttled(const ThrottleKey& key, std::uint32_t tNow) REQUIRES(m_lock);

    mutable CMutex m_lock;  // the connection is used by one thread at a time
    sqlite3* m_pDb GUARDED_BY(m_lock) = nullptr;
    sqlite3_stmt* m_pInsert GUARDED_BY(m_lock) = nullptr;
    bool m_bFailureLogged GUARDED_BY(m_lock) = false;
    std::map<ThrottleKey, Throttle> m_throttle GUARDED_BY(m_lock);
    std::list<ThrottleKey> m_throttleOrder GUARDED_BY(m_lock);  // least recently written first
};
