#pragma once

#include "tools/dvrsim/SimOptions.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One recording on a simulated recorder.
struct SimRecording {
    std::uint8_t nChannel = 0;      // counted from 1
    std::uint32_t nIndex = 0;       // position within its channel, from 0
    std::string strFileName;        // the recorder's own name of the file
    std::uint32_t tStart = 0;       // wall-clock seconds
    std::uint32_t tEnd = 0;
    std::uint32_t nSize = 0;        // real size in bytes
    std::uint8_t nType = 0;         // wire record type: 0 timing, 2 alarm
    std::uint64_t nSeed = 0;        // content key, see CSimRecordings::Seed
};

// The deterministic catalogue of one recorder: every channel holds the same series of
// recordings, back to back from the start time (plus the gap), and the content of each
// is a function of (vehicle name, channel, recording index, offset), so nothing is
// kept in memory and any stored byte can be checked later.
//
// Threads: immutable after construction; any thread may call any method.
class CSimRecordings {
public:
    // Builds the catalogue of vehicle strVehicle from the options (tStart 0 means
    // DefaultStart()).
    CSimRecordings(const std::string& strVehicle, const SimOptions& options);

    const std::vector<SimRecording>& All() const { return m_vecRecordings; }
    const std::string& Vehicle() const { return m_strVehicle; }

    // The recording of the channel with the smallest start time in [tFrom, tTo] whose
    // type matches (0xFF matches every type); nullptr when there is none.
    const SimRecording* FindEarliest(std::uint8_t nChannel, std::uint8_t nWireType, std::uint32_t tFrom,
                                     std::uint32_t tTo) const;
    // The number of recordings FindEarliest chooses from.
    std::uint32_t Count(std::uint8_t nChannel, std::uint8_t nWireType, std::uint32_t tFrom, std::uint32_t tTo) const;
    // The recording of the channel with exactly this file name; nullptr when none.
    const SimRecording* FindByName(std::uint8_t nChannel, const std::string& strFileName) const;
    // Position of a recording of this catalogue in All().
    std::size_t IndexOf(const SimRecording& recording) const;

    // Content of recordings. Seed mixes the vehicle name, channel and recording
    // index; the byte at offset k is taken from a 64-bit mix of (content key, k / 8).
    static std::uint64_t Seed(const std::string& strVehicle, std::uint8_t nChannel, std::uint32_t nIndex);
    static unsigned char Byte(std::uint64_t nSeed, std::uint64_t nOffset);
    static unsigned char Byte(const std::string& strVehicle, std::uint8_t nChannel, std::uint32_t nIndex,
                              std::uint64_t nOffset);
    // Writes the nLen content bytes from nOffset on to pOut (fast: 8 bytes per mix).
    static void Fill(std::uint64_t nSeed, std::uint64_t nOffset, unsigned char* pOut, std::size_t nLen);
    // Position in pData of the first byte that differs from the content at nOffset
    // onwards, or -1 when all nLen bytes match.
    static std::int64_t FirstMismatch(std::uint64_t nSeed, std::uint64_t nOffset, const unsigned char* pData,
                                      std::size_t nLen);

    // The recorder's file name of recording nIndex of a channel: "chNN_<start text>_<index>",
    // or with the unsafe fault a name that holds "/".
    static std::string FileName(std::uint8_t nChannel, std::uint32_t tStart, std::uint32_t nIndex, bool bUnsafe);
    // Start of the first recording when none is given: six hours before the current
    // wall-clock hour began, inside a server's default span of the last 24 hours.
    static std::uint32_t DefaultStart();

private:
    std::string m_strVehicle;
    std::vector<SimRecording> m_vecRecordings;  // channel by channel, in start order
};
