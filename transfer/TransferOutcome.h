#pragma once

#include <cstdint>
#include <string>

// How the one connection of an accept window ended, as the channel task learns it.
enum class TransferResult {
    NoConnection,  // the accept window closed empty (or was aborted)
    Refused,       // the header was missing, malformed or not for this store
    Stored,        // the file reached its size, was synced and renamed to its finished name
    Incomplete,    // the stream ended short; the partial file waits for a resume
    Oversize,      // more bytes than the header announced
    Failed,        // a local failure: directory, file, write, sync or rename error
};

struct TransferOutcome {
    TransferResult eResult = TransferResult::NoConnection;
    std::uint64_t nBytes = 0;  // bytes this connection added to the partial file
    // Stored: the finished file and its whole size, however many connections it took.
    std::uint64_t nFileBytes = 0;
    std::string strPath;
};

// A few words for the fleet history's last failure. Any thread.
const char* TransferResultText(TransferResult eResult);
