#pragma once

#include <atomic>
#include <cstdint>

// Counters of the whole process, kept once here and read by the status page and the
// metrics alike. Each only grows, but for Reset. Every member is safe from any thread.
class CServerCounters {
public:
    std::atomic<std::uint64_t> nReceivedBytes {0};      // file bytes written to the store
    std::atomic<std::uint64_t> nFilesDownloaded {0};    // recordings stored whole
    std::atomic<std::uint64_t> nTransferFailures {0};   // transfers that did not store their file
    std::atomic<std::uint64_t> nReplyTimeouts {0};      // requests whose reply never came
    std::atomic<std::uint64_t> nControlDatagrams {0};   // datagrams the control socket received

    // Adds one to a counter. Any thread.
    static void Bump(std::atomic<std::uint64_t>& counter, std::uint64_t nBy = 1)
    {
        counter.fetch_add(nBy, std::memory_order_relaxed);
    }

    // Sets every counter back to 0, as in a fresh process (tests run one after the
    // other in one process). Any thread.
    void Reset();
};
