#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// A file opened for reading and writing under an exclusive advisory lock (flock) on
// the file itself, held until Close or destruction. Other holders of the lock, in
// this process or another, are kept out for as long as it is held; readers that take
// the shared lock never see a write in progress. Results are 0 or an errno value.
// An object belongs to one thread at a time.
class CLockedFile {
public:
    CLockedFile() = default;
    ~CLockedFile() { Close(); }
    CLockedFile(const CLockedFile&) = delete;
    CLockedFile& operator=(const CLockedFile&) = delete;

    // Opens strPath (created 0644 when missing) and locks it, retrying every nRetryMs
    // while someone else holds the lock, until tDeadline: EWOULDBLOCK when it stayed
    // held. A file that cannot be opened fails at once. A lock won on a file that was
    // meanwhile removed or replaced at strPath is let go and the new one tried.
    // Any one thread at a time.
    int Open(const std::string& strPath, std::chrono::steady_clock::time_point tDeadline, int nRetryMs);
    // Releases the lock and the file. Any one thread at a time.
    void Close();

    // Current size in bytes, or -1 (errno set). Any one thread at a time.
    std::int64_t Size() const;
    // Reads nLen bytes at nOff into strOut (fewer only at the end of the file).
    // Any one thread at a time.
    int ReadAt(std::int64_t nOff, std::size_t nLen, std::string& strOut) const;
    // Writes all of strData at nOff. On failure some of it may be written.
    // Any one thread at a time.
    int WriteAt(std::int64_t nOff, const std::string& strData);
    // Cuts or extends the file to nSize. Any one thread at a time.
    int Truncate(std::int64_t nSize);
    // Makes the data and size durable (fdatasync). Any one thread at a time.
    int SyncData();
    // Makes the file's directory entry durable, for a file this open may have created.
    // Any one thread at a time.
    int SyncEntry();

private:
    int m_nFd = -1;
    std::string m_strPath;
};
