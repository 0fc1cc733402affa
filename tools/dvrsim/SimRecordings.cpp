#include "tools/dvrsim/SimRecordings.h"

#include "platform/Format.h"
#include "settings/WallClock.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ULL;

std::uint64_t Mix64(std::uint64_t n)
{
    n ^= n >> 30;
    n *= 0xBF58476D1CE4E5B9ULL;
    n ^= n >> 27;
    n *= 0x94D049BB133111EBULL;
    n ^= n >> 31;
    return n;
}

// The eight content bytes of block nBlock (offsets 8*nBlock .. 8*nBlock+7), lowest
// first. One multiply per block keeps generation well ahead of loopback TCP; the content key
// is fully mixed already, so recordings still differ everywhere.
inline std::uint64_t Block(std::uint64_t nSeed, std::uint64_t nBlock)
{
    std::uint64_t n = (nSeed ^ (nBlock * kGolden)) * 0xD6E8FEB86659FD93ULL;
    return n ^ (n >> 32);
}

// Stores a block's bytes lowest first, whatever the host's byte order.
inline void StoreBlock(unsigned char* pOut, std::uint64_t nWord)
{
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(pOut, &nWord, 8);
    } else {
        for (int i = 0; i < 8; ++i)
            pOut[i] = static_cast<unsigned char>(nWord >> (i * 8));
    }
}

bool TypeMatches(std::uint8_t nRecordingType, std::uint8_t nWireType)
{
    return nWireType == 0xFF || nRecordingType == nWireType;
}

} // namespace

CSimRecordings::CSimRecordings(const std::string& strVehicle, const SimOptions& options)
    : m_strVehicle(strVehicle)
{
    std::uint32_t tFirst = options.tStart != 0 ? options.tStart : DefaultStart();
    std::uint32_t nStep = options.nRecSeconds + options.nRecGapSeconds;
    m_vecRecordings.reserve(static_cast<std::size_t>(options.nChannels) * options.nRecordings);
    for (int nChannel = 1; nChannel <= options.nChannels; ++nChannel) {
        for (int i = 0; i < options.nRecordings; ++i) {
            SimRecording rec;
            rec.nChannel = static_cast<std::uint8_t>(nChannel);
            rec.nIndex = static_cast<std::uint32_t>(i);
            rec.tStart = tFirst + rec.nIndex * nStep;
            rec.tEnd = rec.tStart + options.nRecSeconds;
            rec.nSize = options.nRecBytes;
            rec.nType = options.vecRecordTypes[rec.nIndex % options.vecRecordTypes.size()];
            rec.strFileName = FileName(rec.nChannel, rec.tStart, rec.nIndex, options.faults.bUnsafeFile);
            rec.nSeed = Seed(strVehicle, rec.nChannel, rec.nIndex);
            m_vecRecordings.push_back(std::move(rec));
        }
    }
}

const SimRecording* CSimRecordings::FindEarliest(std::uint8_t nChannel, std::uint8_t nWireType,
                                                 std::uint32_t tFrom, std::uint32_t tTo) const
{
    const SimRecording* pBest = nullptr;
    for (const SimRecording& rec : m_vecRecordings) {
        if (rec.nChannel != nChannel || !TypeMatches(rec.nType, nWireType) || rec.tStart < tFrom || rec.tStart > tTo)
            continue;
        if (pBest == nullptr || rec.tStart < pBest->tStart)
            pBest = &rec;
    }
    return pBest;
}

std::uint32_t CSimRecordings::Count(std::uint8_t nChannel, std::uint8_t nWireType, std::uint32_t tFrom,
                                    std::uint32_t tTo) const
{
    std::uint32_t n = 0;
    for (const SimRecording& rec : m_vecRecordings)
        if (rec.nChannel == nChannel && TypeMatches(rec.nType, nWireType) && rec.tStart >= tFrom && rec.tStart <= tTo)
            ++n;
    return n;
}

const SimRecording* CSimRecordings::FindByName(std::uint8_t nChannel, const std::string& strFileName) const
{
    for (const SimRecording& rec : m_vecRecordings)
        if (rec.nChannel == nChannel && rec.strFileName == strFileName)
            return &rec;
    return nullptr;
}

std::size_t CSimRecordings::IndexOf(const SimRecording& recording) const
{
    return static_cast<std::size_t>(&recording - m_vecRecordings.data());
}

std::uint64_t CSimRecordings::Seed(const std::string& strVehicle, std::uint8_t nChannel, std::uint32_t nIndex)
{
    // FNV-1a over the name, then the channel and index mixed in.
    std::uint64_t nHash = 0xCBF29CE484222325ULL;
    for (unsigned char c : strVehicle) {
        nHash ^= c;
        nHash *= 0x100000001B3ULL;
    }
    nHash = Mix64(nHash ^ (std::uint64_t(nChannel) << 40) ^ nIndex);
    return Mix64(nHash + kGolden);
}

unsigned char CSimRecordings::Byte(std::uint64_t nSeed, std::uint64_t nOffset)
{
    return static_cast<unsigned char>(Block(nSeed, nOffset >> 3) >> ((nOffset & 7) * 8));
}

unsigned char CSimRecordings::Byte(const std::string& strVehicle, std::uint8_t nChannel, std::uint32_t nIndex,
                                   std::uint64_t nOffset)
{
    return Byte(Seed(strVehicle, nChannel, nIndex), nOffset);
}

void CSimRecordings::Fill(std::uint64_t nSeed, std::uint64_t nOffset, unsigned char* pOut, std::size_t nLen)
{
    // Unaligned head byte by byte, whole blocks eight at a time, then the tail.
    while (nLen > 0 && (nOffset & 7) != 0) {
        *pOut++ = Byte(nSeed, nOffset++);
        --nLen;
    }
    std::uint64_t nBlock = nOffset >> 3;
    while (nLen >= 8) {
        StoreBlock(pOut, Block(nSeed, nBlock++));
        pOut += 8;
        nLen -= 8;
    }
    if (nLen > 0) {
        std::uint64_t nWord = Block(nSeed, nBlock);
        for (std::size_t i = 0; i < nLen; ++i)
            pOut[i] = static_cast<unsigned char>(nWord >> (i * 8));
    }
}

std::int64_t CSimRecordings::FirstMismatch(std::uint64_t nSeed, std::uint64_t nOffset, const unsigned char* pData,
                                           std::size_t nLen)
{
    unsigned char buf[4096];
    std::size_t nDone = 0;
    while (nDone < nLen) {
        std::size_t nChunk = std::min(sizeof(buf), nLen - nDone);
        Fill(nSeed, nOffset + nDone, buf, nChunk);
        if (std::memcmp(buf, pData + nDone, nChunk) != 0) {
            for (std::size_t i = 0; i < nChunk; ++i)
                if (buf[i] != pData[nDone + i])
                    return static_cast<std::int64_t>(nDone + i);
        }
        nDone += nChunk;
    }
    return -1;
}

std::string CSimRecordings::FileName(std::uint8_t nChannel, std::uint32_t tStart, std::uint32_t nIndex, bool bUnsafe)
{
    if (bUnsafe)
        return Format("ch%02d_a/../../b%u", nChannel, nIndex);
    return Format("ch%02d_%s_%u", nChannel, WallClockText(tStart).c_str(), nIndex);
}

std::uint32_t CSimRecordings::DefaultStart()
{
    std::uint32_t tNow = WallClockNow();
    return tNow - tNow % 3600 - 6 * 3600;
}
