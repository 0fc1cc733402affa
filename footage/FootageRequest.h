#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What someone asks for: a vehicle's footage of a time window, on some channels or all.
struct FootageAsk {
    std::string strVehicle;
    std::vector<std::uint8_t> channels;  // empty: every channel the vehicle's passes download
    std::uint32_t tFrom = 0;             // wall-clock seconds, [tFrom, tTo)
    std::uint32_t tTo = 0;
    std::string strReason;
    std::string strRequestedBy;          // "window", or the web client's role@address
};

// One recording a request fetched, or found already stored.
struct FootageRecording {
    std::uint8_t nChannel = 0;
    std::string strFileName;   // the recorder's name of it
    std::uint32_t tStart = 0;
    std::uint32_t tEnd = 0;
    std::string strPath;       // relative to the download root
    std::uint64_t nSize = 0;
    bool bFetched = false;     // false: it was stored before the request needed it
};

// One state a request was put in, with why.
struct FootageStateChange {
    std::string strState;
    std::vector<std::string> reasons;
    std::uint32_t tAt = 0;
};

// A request as the store keeps it.
struct FootageRequest {
    enum class State { Waiting, Fetching, Done, Partial, Cancelled };

    std::int64_t nId = 0;
    FootageAsk ask;
    std::uint32_t tCreated = 0;
    State eState = State::Waiting;
    std::vector<std::string> reasons;  // of the current state
    // A partial request with recordings left to fetch: the vehicle's next pass tries again.
    bool bRetry = false;
    std::uint32_t tStateChanged = 0;
    std::size_t nRecordings = 0;
    // With a shared fleet: the depot and id it was made with when it is a copy of
    // another depot's request (empty and 0 for one made here), and the depot that
    // took it to fetch (empty while none has).
    std::string strOriginDepot;
    std::int64_t nOriginId = 0;
    std::string strTakenBy;
    std::vector<FootageRecording> recordings;  // Get fills it, List does not
    std::vector<FootageStateChange> history;   // oldest first; Get fills it, List does not

    // Whether a download pass takes it up.
    bool IsOpen() const
    {
        return eState == State::Waiting || eState == State::Fetching || (eState == State::Partial && bRetry);
    }
    bool Covers(std::uint8_t nChannel) const
    {
        if (ask.channels.empty())
            return true;
        for (std::uint8_t n : ask.channels)
            if (n == nChannel)
                return true;
        return false;
    }
};

// "waiting", "fetching", "done", "partial", "cancelled".
const char* FootageStateName(FootageRequest::State eState);
// The state of a name FootageStateName gives; an unknown one (of a newer program) is
// partial, never fetched.
FootageRequest::State FootageStateFromName(const std::string& name);
// The channels and the reasons as the request tables keep them ("1,3"; a JSON array of
// strings); what is not such is left out. Any thread.
std::vector<std::uint8_t> FootageChannelsFromText(const std::string& text);
std::vector<std::string> FootageReasonsFromText(const std::string& text);

// How one channel of a pass did for a request.
struct FootageChannelResult {
    std::uint8_t nChannel = 0;
    bool bFinished = false;               // the channel asked the recorder for the whole window
    std::vector<std::string> lacking;     // parts of the window the recorder has no footage for
    std::vector<std::string> failed;      // recordings it could not fetch in this visit
};
