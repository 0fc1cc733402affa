#pragma once

#include <cstdint>

// How far one channel of a vehicle is fetched without a gap: every recording of the
// file type that the recorder offered with a start in [tFrom, tUpTo) is stored.
struct ChannelMark {
    bool bSet = false;
    std::uint32_t tFrom = 0;
    std::uint32_t tUpTo = 0;
    std::uint8_t nFileType = 0xFF;  // the recorder's code the recordings were asked with
};
