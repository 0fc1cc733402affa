#pragma once

#include "control/TransferHeader.h"
#include "platform/Condition.h"
#include "platform/Mutex.h"

#include <cstdint>
#include <deque>
#include <string>
#include <thread>
#include <vector>

class CFile;

// The download record index: xmlDataRecords.xml, one "record" per finished file, read
// by an outside platform. Every change holds an exclusive advisory lock (flock) on the
// index file itself, so appends of threads and processes are serialised and a reader
// taking the shared lock always sees a whole document. An append writes in place:
// only its record and the closing tag after it, over the old closing tag, so its cost
// does not grow with the index. A failed append puts the old tail back; one cut short
// by a killed process is cut back to the last whole record by the next constructor.
//
// Records are queued and appended by one writer thread of the index, in the order they
// arrived, so a reader that holds the lock for long never holds up a download: the
// writer waits for the lock as long as it takes. The queue is bounded only by what
// recordings arrive meanwhile (some 200 bytes a record), so it is kept in memory
// without a limit; a record still waiting when the index stops is logged by name
// instead of being dropped silently.
class CRecordIndex {
public:
    static constexpr const char* kFileName = "xmlDataRecords.xml";

    // Where the program keeps its index: beside the executable, where the outside
    // platform looks for it, or, when that cannot be written (an installed program in
    // /usr/sbin), the working directory, which is then logged. Any thread.
    static std::string DefaultDirectory();

    // The index in strDir: created with its declaration and an empty "Data" root when
    // missing or empty; one whose last append was cut short is cut back to its last
    // whole record; one malformed otherwise is copied to a backup and started afresh.
    // Reads and checks the whole index once, waiting for another writer's lock at
    // most Timing().nIndexGiveUpMs. Any thread.
    explicit CRecordIndex(const std::string& strDir);
    // Flush(Timing().nIndexFlushMs), then ends the writer. No AddRecord may be running.
    ~CRecordIndex();
    CRecordIndex(const CRecordIndex&) = delete;
    CRecordIndex& operator=(const CRecordIndex&) = delete;

    // Queues one record for a file received with header hdr and returns at once; the
    // writer appends it (and syncs it) once it holds the lock. A record the writer then
    // cannot write (the file cannot be opened, read or written, or is malformed) is
    // logged and dropped, as it always was. False only when the record could not even
    // be queued (no writer thread can be started); it is then logged by name. Any
    // thread but the writer.
    bool AddRecord(const TransferHeader& hdr) EXCLUDES(m_lock);

    // Waits until every record queued before the call has been handled by the writer,
    // at most nTimeoutMs. Records still waiting then are given up: logged by name, one
    // line each, so that the operator can add them by hand (those the writer is
    // appending at that moment are left to it). True when all were handled in time.
    // Any thread but the writer.
    bool Flush(int nTimeoutMs) EXCLUDES(m_lock);

    // Any thread.
    const std::string& Path() const { return m_strPath; }

private:
    // One queued record: its header for the log lines, its markup for the file.
    struct Pending {
        std::uint64_t nSeq = 0;
        TransferHeader hdr {};
        std::string strContent;
    };

    void x_WriterLoop() EXCLUDES(m_lock);
    // Appends the records queued when the writer won the lock (file, open with nOpenErr
    // 0) or, when it could not be opened, logs each as dropped. Writer thread.
    void x_WriteQueued(CFile& file, int nOpenErr) EXCLUDES(m_lock);
    // Appends recs from nFirst on to the locked file and syncs it: as many as one write
    // can take when the index ends as appends leave it, else only the first. Logs each
    // record it drops. The number of records handled. Writer thread.
    std::size_t x_Append(CFile& file, const std::vector<Pending>& recs, std::size_t nFirst);
    // One change of the file: new bytes at an offset, over the old ones up to its end.
    struct Edit;
    // The edit that adds recs[nFirst], and those after it that fit in the same write, to
    // the index of nSize bytes that ends with strTail. How many it adds; 0 when the
    // first is dropped (logged). Writer thread.
    std::size_t x_MakeEdit(const std::vector<Pending>& recs, std::size_t nFirst, std::int64_t nSize,
                           const std::string& strTail, Edit& edit) const;
    // Writes edit, which adds nCount records from recs[nFirst] on, and syncs it (with
    // the file's entry when bNewFile); logs each as dropped when that fails. Writer thread.
    void x_WriteEdit(CFile& file, const Edit& edit, const std::vector<Pending>& recs, std::size_t nFirst,
                     std::size_t nCount, bool bNewFile) const;
    // The line that names a record that was not written, for the operator.
    std::string x_GivenUpText(const Pending& rec, const char* szWhy) const;

    const std::string m_strPath;

    mutable CMutex m_lock;      // guards everything below
    CCondition m_wake;          // the writer's: a first record queued, or the end
    CCondition m_progress;      // Flush's: a record handled
    std::deque<Pending> m_queue GUARDED_BY(m_lock);  // waiting, oldest first
    std::uint64_t m_nLastSeq GUARDED_BY(m_lock) = 0;
    std::uint64_t m_nInFlight GUARDED_BY(m_lock) = 0;  // the first of the records being appended; 0: none
    bool m_bStopping GUARDED_BY(m_lock) = false;
    std::thread m_writer GUARDED_BY(m_lock);  // started with the first record
};
