#pragma once

#include <cstdint>

// What a vehicle is created from: its registration's source address and content,
// and the local address the registration arrived on.
struct VehicleInfo {
    char szIP[16] = {};       // the recorder's address, dotted
    std::uint16_t nPort = 0;  // the recorder's control port
    std::uint8_t nChannels = 0;
    char szName[32] = {};     // the vehicle name (plate)
    char szLocalIP[16] = {};  // this server's address the recorder sent to, dotted; "" unknown
};

// Progress span of one channel during a download pass: start and end of the span,
// and the start of what is still to be fetched.
struct ChannelProgress {
    std::uint32_t start = 0;
    std::uint32_t end = 100;
    std::uint32_t current = 0;
};

// Channels 1 to 63 have slots in a vehicle's tables; slot 0 is unused.
constexpr int kChannelSlots = 64;
constexpr int kMaxChannel = kChannelSlots - 1;
