#pragma once

// Turns SIGINT and SIGTERM into something a loop can wait for. Construct it first
// thing in main, before any thread starts, so that every thread inherits the block.
class CSignalWaiter {
public:
    CSignalWaiter();
    CSignalWaiter(const CSignalWaiter&) = delete;
    CSignalWaiter& operator=(const CSignalWaiter&) = delete;

    // Waits up to nTimeoutMs; the signal number that arrived, or 0 on time-out.
    // The constructing thread.
    [[nodiscard]] int Wait(int nTimeoutMs);
};
