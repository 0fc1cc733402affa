#pragma once

#include <condition_variable>
#include <mutex>
#include <string>

class CXmlDoc;
struct TransferHeader;

// The download record index: xmlDataRecords.xml, one "record" per finished file, read
// by an outside platform. Appends from threads and from other processes are
// serialised by an advisory lock on a lock file beside the index, held for the whole
// append; each append writes a complete new document to a temporary file and renames
// it over the index, so a failed append leaves the previous index as it was.
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
    // missing; a malformed one is kept as a backup before it is replaced.
    // Any thread.
    explicit CRecordIndex(const std::string& strDir);
    CRecordIndex(const CRecordIndex&) = delete;
    CRecordIndex& operator=(const CRecordIndex&) = delete;

    // Appends one record for a file received with header hdr. Waits for the lock at
    // most Timing().nIndexGiveUpMs; a record that cannot be added is logged once and
    // dropped. True when the record is in the index. Any thread.
    bool AddRecord(const TransferHeader& hdr);

    const std::string& Path() const { return m_strPath; }
    // The file whose lock serialises appends; it outlives every rename of the index.
    const std::string& LockPath() const { return m_strLockPath; }

private:
    // Writes the text of doc to the index through a temporary file; false (index untouched)
    // on any failure. Caller holds the lock.
    bool x_Replace(CXmlDoc& doc);

    const std::string m_strPath;
    const std::string m_strLockPath;
    // Threads of this process queue here before the file lock (a mutex and a condition
    // rather than a timed mutex, whose timed wait the thread sanitizer cannot follow).
    std::mutex m_gateLock;
    std::condition_variable m_gateFree;
    bool m_bAppending = false;  // guarded by m_gateLock
};
