#pragma once

#include <cstdint>
#include <string>

// The lossy network between one recorder and the server, one direction of it: each
// datagram is lost with a fixed probability. The k-th draw depends only on the seed,
// the recorder's name and the direction, so a run can be repeated drop for drop, and
// every recorder of a fleet loses different datagrams.
//
// Threads: not thread-safe; the recorder's control thread draws.
class CSimLoss {
public:
    enum class Direction : std::uint8_t { In = 1, Out = 2 };

    // dPercent from 0 (nothing lost) to 100 (everything lost).
    CSimLoss(double dPercent, std::uint64_t nSeed, const std::string& strRecorder, Direction direction);

    // Whether the next datagram is lost.
    bool Drop();

private:
    std::uint64_t Next();

    double m_dPercent;
    std::uint64_t m_nState;
};
