#pragma once

#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

// Lets a log line about one sender through at most once per interval, so that a peer
// repeating a bad datagram cannot flood the log. Remembers a bounded number of
// senders; the oldest are forgotten first.
class CLogThrottle {
public:
    static constexpr std::size_t kMaxKeys = 4096;

    explicit CLogThrottle(std::int64_t nIntervalMs);
    ~CLogThrottle();
    CLogThrottle(const CLogThrottle&) = delete;
    CLogThrottle& operator=(const CLogThrottle&) = delete;

    // True when a line about key may be logged at nNowMs (monotonic). Any thread.
    bool Allow(const std::string& key, std::int64_t nNowMs) EXCLUDES(m_lock);

    // Forgets every sender of every throttle of the process, as a fresh process
    // would start (tests run one after the other in one process). Any thread.
    static void ForgetAll();

private:
    const std::int64_t m_nIntervalMs;
    // Taken after the process-wide list's lock (ForgetAll holds both).
    CMutex m_lock;
    std::unordered_map<std::string, std::int64_t> m_lastMs GUARDED_BY(m_lock);  // key -> time of its last line
};
