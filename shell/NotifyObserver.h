#pragma once

#include <cstdint>

// A receiver of notification events (the window's tab control in the program).
class INotifyObserver {
public:
    virtual ~INotifyObserver() = default;

    // Called on the delivery thread for each event; returns once the event is
    // handled. pPayload is valid only during the call.
    virtual void OnNotifyEvent(std::uint32_t nKind, const void* pPayload) = 0;

    // Called by CNotifyCenter::Stop on the stopping thread before it waits for the
    // delivery thread: an observer whose delivery waits for that very thread must
    // give up the wait now.
    virtual void OnNotifyStopping() {}
};
