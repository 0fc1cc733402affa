#pragma once

#include <cstdint>
#include <string>

// A recording of a vehicle's recorder that a download pass did not store. The fleet
// history keeps one per channel, recorder's file name and start until it is stored.
// Times are wall-clock seconds (settings/WallClock.h).
struct MissedRecording {
    std::uint8_t nChannel = 0;
    std::string strFileName;      // the recorder's name of the recording
    std::uint32_t tStart = 0, tEnd = 0;
    std::string strReason;        // a few words: "failed 3 times in a row: connection closed after the header"
    std::uint32_t nVisits = 0;    // distinct visits in which it was missed
    std::uint32_t tLastMissed = 0;
    // Retrying: missed in fewer than 3 visits. Unfetchable: missed in 3 distinct visits.
    // LeftBehind: out of the fetched span (or gone from the recorder) before it was stored.
    enum class State { Retrying, Unfetchable, LeftBehind } eState = State::Retrying;
};

// The state's name in fleet.db and the dashboard: "retrying", "unfetchable", "left_behind".
inline const char* MissedStateName(MissedRecording::State eState)
{
    switch (eState) {
    case MissedRecording::State::Unfetchable:
        return "unfetchable";
    case MissedRecording::State::LeftBehind:
        return "left_behind";
    case MissedRecording::State::Retrying:
        break;
    }
    return "retrying";
}
