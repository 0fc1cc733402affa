#pragma once

#include <cstddef>
#include <cstdint>

// Event kinds carried from worker threads to the window.
enum NotifyKind : std::uint32_t {
    NOTIFY_LOG = 0,       // payload: NUL-terminated message, length 1024
    NOTIFY_VEHICLE = 1,   // payload: VehicleEvent, value 1 online / 0 gone
    NOTIFY_SPEED = 2,     // payload: VehicleEvent, bytes since the last tick
    NOTIFY_PROGRESS = 3,  // payload: VehicleEvent, percent 0 to 100
    NOTIFY_WAITING = 4,   // payload: VehicleEvent, 1 every channel waits for a transfer slot / 0 not
};

constexpr std::size_t kNotifyPayloadSize = 1024;

// The queued record, copied by value into and out of the queue.
struct NotifyEvent {
    std::uint32_t nSender;  // handle of the posting observer, skipped on delivery; 0 none
    std::uint32_t nKind;
    unsigned char payload[kNotifyPayloadSize];
};
static_assert(sizeof(NotifyEvent) == 1032);

// Payload of NOTIFY_VEHICLE, NOTIFY_SPEED, NOTIFY_PROGRESS and NOTIFY_WAITING.
struct VehicleEvent {
    char szName[32];
    std::uint32_t nValue;
};
static_assert(sizeof(VehicleEvent) == 36);

// Fills a VehicleEvent, cutting the name to 31 characters.
VehicleEvent MakeVehicleEvent(const char* szName, std::uint32_t nValue);
