#pragma once

#include "platform/UniqueFd.h"

// A descriptor a poller can wait on, made readable by Signal from any thread: it
// ends a poll wait early (an eventfd).
class CWakeFd {
public:
    // 0, or -1 when the descriptor cannot be made. The owning thread, before use.
    [[nodiscard]] int Open();
    // Makes the descriptor readable. Any thread.
    void Signal();
    // Makes it unreadable again. The polling thread.
    void Drain();
    [[nodiscard]] int Fd() const { return m_fd.Get(); }
    // The owning thread, after every other thread is done with it.
    void Close() { m_fd.Reset(); }

private:
    CUniqueFd m_fd;
};
