#pragma once

#include <cstdint>
#include <string>

// What the status page shows of one online vehicle, copied out of the registry.
struct VehicleStatus {
    std::string strName;
    std::string strAddress;        // "ip:port" it registered from
    int nChannels = 0;
    int nProgress = 0;             // 0 to 100, of the pass that runs or ran last
    std::uint32_t nSpeedKbps = 0;  // over the last timer tick, 1 kbit = 1024 bits
    std::uint32_t nSpeedBytes = 0; // the same in bytes per second
    const char* szState = "idle";  // "downloading", "waiting", "querying" or "idle"
};
