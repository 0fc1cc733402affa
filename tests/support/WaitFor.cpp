#include "WaitFor.h"

#include <algorithm>
#include <thread>

bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout, const std::function<void()>& idle)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // Short pauses at first for what comes at once, longer ones for what takes a while.
    std::chrono::milliseconds pause(1);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        if (idle) {
            idle();
        } else {
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::milliseconds(20));
        }
    }
    return true;
}
