#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// An open file: the one way the program reads and writes files. Closed on
// destruction; movable, not copyable. Results are 0 or an errno value.
// An object belongs to one thread at a time; the static members are thread-safe.
class CFile {
public:
    enum class Mode {
        Read,       // existing file, reading
        Append,     // writing at the end, created 0644 when missing
        Truncate,   // writing from an empty file, created 0644 when missing
        ReadWrite,  // reading and writing, created 0644 when missing
    };

    CFile() = default;
    ~CFile() { Close(); }
    CFile(CFile&& other) noexcept;
    CFile& operator=(CFile&& other) noexcept;
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Opens strPath (closing whatever was open).
    [[nodiscard]] int Open(const std::string& strPath, Mode mode);
    // Opens strPath for reading and writing (created 0644 when missing) under an
    // exclusive advisory lock (flock) on the file itself, held until Close. While
    // someone else holds the lock it retries every nRetryMs until tDeadline, then
    // gives EWOULDBLOCK. A lock won on a file that meanwhile was removed or replaced
    // at strPath is let go and the new one tried.
    [[nodiscard]] int OpenLocked(const std::string& strPath, std::chrono::steady_clock::time_point tDeadline, int nRetryMs);
    void Close();
    [[nodiscard]] bool IsOpen() const { return m_nFd >= 0; }
    // The descriptor, for a socket call that sends from the file (CSocketOps::SendFile,
    // TLS's own); -1 when closed. The file stays its owner.
    [[nodiscard]] int Fd() const { return m_nFd; }

    // Writes all nLen bytes at the current position (the end in Append mode). An
    // interrupted write is retried; a write that takes nothing is ENOSPC. *pDone,
    // when given, gets the bytes that reached the file even on failure.
    [[nodiscard]] int WriteAll(const void* pData, std::size_t nLen, std::size_t* pDone = nullptr);
    // Writes all of strData at nOff, the same way. On failure some of it may be written.
    [[nodiscard]] int WriteAt(std::int64_t nOff, const std::string& strData);
    // Reads nLen bytes at nOff into strOut (fewer only at the end of the file).
    [[nodiscard]] int ReadAt(std::int64_t nOff, std::size_t nLen, std::string& strOut) const;
    // Reads from the current position to the end, failing with EFBIG past nMax bytes.
    [[nodiscard]] int ReadToEnd(std::string& strOut, std::size_t nMax);
    // Whether the file has been removed from every directory since it was opened.
    [[nodiscard]] bool WasRemoved() const;
    // Current size in bytes, or -1 (errno set).
    [[nodiscard]] std::int64_t Size() const;
    // Cuts or extends the file to nSize.
    [[nodiscard]] int Truncate(std::int64_t nSize);
    // Makes the data and size durable (fdatasync). Also fails with the error of a
    // write-back below that failed since the file was opened: the system reports
    // such an error only once, to whichever call comes first.
    [[nodiscard]] int SyncData();
    // Starts writing the dirty pages of [nOff, nOff + nLen) to disk without waiting,
    // so that dirty memory stays small and a later SyncData has little left to do.
    // Neither call makes anything durable (no metadata, no flush of the disk's
    // cache): that is SyncData's. 0, or the error of a failed write; 0 without doing
    // anything where the system has no such call (SyncData then does it all).
    [[nodiscard]] int StartWriteBack(std::int64_t nOff, std::int64_t nLen);
    // Writes [nOff, nOff + nLen) to disk and waits until it is written, the same way.
    [[nodiscard]] int WaitWriteBack(std::int64_t nOff, std::int64_t nLen);
    // Makes the directory entry of the opened path durable, for a file this open may
    // have created.
    [[nodiscard]] int SyncEntry();

    // 0 when strPath can be opened for reading, else the errno of the attempt.
    [[nodiscard]] static int Probe(const std::string& strPath);
    // Renames strFrom to strTo, replacing a file there. 0 or the errno.
    [[nodiscard]] static int Rename(const std::string& strFrom, const std::string& strTo);
    // Replaces strPath with strData so that a crash leaves either the old file or the
    // new one whole: written to a temporary file beside it, synced, renamed over it,
    // and the directory synced. The new file keeps the old one's permissions, or is
    // 0644.
    [[nodiscard]] static int ReplaceAtomically(const std::string& strPath, const std::string& strData);

private:
    // Writes at the current position (nOff < 0) or at nOff, retrying as WriteAll says.
    int x_WriteLoop(const char* p, std::size_t nLen, std::int64_t nOff, std::size_t* pDone);

    // Asks for write-back of a range with the sync_file_range flags given.
    int x_WriteBack(std::int64_t nOff, std::int64_t nLen, unsigned int nFlags);

    int m_nFd = -1;
    std::string m_strPath;
    int m_nWriteBackErr = 0;        // first write error a write-back reported, for SyncData
    bool m_bNoWriteBack = false;    // the system refused write-back requests: none are made
};
