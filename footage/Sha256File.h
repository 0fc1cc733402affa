#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// What one read of a file gives: its SHA-256 (lower-case hex), the zip CRC-32 of the
// same bytes (an export writes stored zip entries from it without a second read) and
// the number of bytes read.
struct FileDigest {
    std::string strSha256;
    std::uint32_t nCrc32 = 0;
    std::uint64_t nBytes = 0;
};

// Reads path once from start to end into digest. 0, or the errno of the failed open
// or read (ENOENT for a missing file), or ECANCELED when pCancel (checked between
// reads of 1 MiB) was set. Any thread.
[[nodiscard]] int DigestFile(const std::string& path, FileDigest& digest,
                             const std::atomic<bool>* pCancel = nullptr);

// The digest of bytes in memory, the same way. Any thread.
[[nodiscard]] FileDigest DigestBytes(const std::string& bytes);
