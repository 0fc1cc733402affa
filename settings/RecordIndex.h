#pragma once

#include <condition_variable>
#include <mutex>
#include <string>

struct TransferHeader;

// The download record index: xmlDataRecords.xml, one "record" per finished file, read
// by an outside platform. Every change holds an exclusive advisory lock (flock) on the
// index file itself, so appends of threads and processes are serialised and a reader
// taking the shared lock always sees a whole document. An append writes in place:
// only its record and the closing tag after it, over the old closing tag, so its cost
// does not grow with the index. A failed append puts the old tail back; one cut short
// by a killed process is cut back to the last whole record by the next constructor.
class CRecordIndex {
public:
    static constexpr const char* kFileName = "xmlDataRecords.xml";

    // The process-wide index beside the executable, created on first call. Any thread.
    static CRecordIndex* GetInstance();
    // Destroys the process-wide index; no append may be running. Main thread, at exit.
    static void ReleaseInstance();
    // Puts the process-wide index in strDir instead of beside the executable (tests,
    // which must not share one file). Before the first GetInstance.
    static void SetInstanceDirectory(const std::string& strDir);

    // The index in strDir: created with its declaration and an empty "Data" root when
    // missing or empty; one whose last append was cut short is cut back to its last
    // whole record; one malformed otherwise is copied to a backup and started afresh.
    // Reads and checks the whole index once. Any thread.
    explicit CRecordIndex(const std::string& strDir);
    CRecordIndex(const CRecordIndex&) = delete;
    CRecordIndex& operator=(const CRecordIndex&) = delete;

    // Appends one record for a file received with header hdr. Waits for the lock at
    // most Timing().nIndexGiveUpMs; a record that cannot be added is logged once and
    // dropped. True only once the record is in the index and on disk. Any thread.
    bool AddRecord(const TransferHeader& hdr);

    // Any thread.
    const std::string& Path() const { return m_strPath; }

private:
    const std::string m_strPath;
    // Threads of this process queue here before the file lock (a mutex and a condition
    // rather than a timed mutex, whose timed wait the thread sanitizer cannot follow).
    std::mutex m_gateLock;
    std::condition_variable m_gateFree;
    bool m_bAppending = false;  // guarded by m_gateLock
};
