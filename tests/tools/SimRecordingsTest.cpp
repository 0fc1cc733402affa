#include "settings/WallClock.h"
#include "tools/dvrsim/SimRecordings.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

const std::uint32_t kT0 = WallClockFromFields(2024, 3, 5, 12, 0, 0);

SimOptions Catalogue()
{
    SimOptions options;
    options.nChannels = 2;
    options.nRecordings = 4;
    options.nRecSeconds = 600;
    options.nRecGapSeconds = 60;
    options.nRecBytes = 5000;
    options.tStart = kT0;
    options.vecRecordTypes = {0, 2};
    return options;
}

} // namespace

TEST(SimRecordingsTest, CatalogueLaysRecordingsBackToBackAndFindsTheEarliestInASpan)
{
    CSimRecordings recordings("BUS7", Catalogue());
    ASSERT_EQ(8u, recordings.All().size());
    const SimRecording& rec = recordings.All()[6];  // channel 2, index 2
    EXPECT_EQ(2, rec.nChannel);
    EXPECT_EQ(2u, rec.nIndex);
    EXPECT_EQ(kT0 + 2 * 660, rec.tStart);
    EXPECT_EQ(rec.tStart + 600, rec.tEnd);
    EXPECT_EQ(0, rec.nType);
    EXPECT_EQ(5000u, rec.nSize);
    EXPECT_EQ("ch02_20240305122200_2", rec.strFileName);
    EXPECT_EQ(recordings.All()[5].nType, 2);
    EXPECT_EQ(6u, recordings.IndexOf(rec));
    EXPECT_EQ(&rec, recordings.FindByName(2, "ch02_20240305122200_2"));
    EXPECT_EQ(nullptr, recordings.FindByName(1, "ch02_20240305122200_2"));

    SimOptions unsafe = Catalogue();
    unsafe.faults.bUnsafeFile = true;
    CSimRecordings bad("BUS7", unsafe);
    EXPECT_NE(std::string::npos, bad.All()[0].strFileName.find('/'));
    EXPECT_EQ(0u, bad.All()[0].strFileName.rfind("ch01_", 0));

    // The earliest is the smallest start inside the span, of the type asked for.
    auto earliest = [&](std::uint8_t nChannel, std::uint8_t nType, std::uint32_t tFrom, std::uint32_t tTo) {
        const SimRecording* p = recordings.FindEarliest(nChannel, nType, tFrom, tTo);
        return p ? static_cast<int>(p->nIndex) : -1;
    };
    EXPECT_EQ(0, earliest(1, 0xFF, kT0, kT0 + 86400));
    EXPECT_EQ(1, earliest(1, 0xFF, kT0 + 1, kT0 + 86400));       // a recording begun before the start is out
    EXPECT_EQ(1, earliest(1, 0xFF, kT0 + 660, kT0 + 660));       // both bounds count
    EXPECT_EQ(-1, earliest(1, 0xFF, kT0 + 661, kT0 + 1319));
    EXPECT_EQ(-1, earliest(1, 0xFF, kT0 + 3 * 660 + 1, 0xFFFFFFFF));
    EXPECT_EQ(-1, earliest(1, 0xFF, 0, kT0 - 1));
    EXPECT_EQ(1, earliest(1, 2, kT0, kT0 + 86400));              // alarm only
    EXPECT_EQ(2, earliest(1, 0, kT0 + 1, kT0 + 86400));          // timing only
    EXPECT_EQ(-1, earliest(1, 5, kT0, kT0 + 86400));
    EXPECT_EQ(-1, earliest(3, 0xFF, kT0, kT0 + 86400));          // no such channel
    // Following each recording's end walks the whole channel once.
    std::uint32_t tFrom = kT0;
    int nFound = 0;
    while (const SimRecording* p = recordings.FindEarliest(2, 0xFF, tFrom, kT0 + 86400)) {
        EXPECT_EQ(nFound++, static_cast<int>(p->nIndex));
        tFrom = p->tEnd;
    }
    EXPECT_EQ(4, nFound);

    EXPECT_EQ(4u, recordings.Count(2, 0xFF, kT0, kT0 + 86400));
    EXPECT_EQ(2u, recordings.Count(2, 2, kT0, kT0 + 86400));
    EXPECT_EQ(1u, recordings.Count(2, 0, kT0 + 1, kT0 + 1320));
}

TEST(SimRecordingsTest, ContentIsDeterministicAndDiffersBetweenRecordings)
{
    std::uint64_t nSeed = CSimRecordings::Seed("BUS7", 1, 0);
    EXPECT_EQ(nSeed, CSimRecordings::Seed("BUS7", 1, 0));
    std::set<std::uint64_t> seeds {nSeed, CSimRecordings::Seed("BUS8", 1, 0), CSimRecordings::Seed("BUS7", 2, 0),
                                   CSimRecordings::Seed("BUS7", 1, 1), CSimRecordings::Seed("BUS", 1, 0)};
    EXPECT_EQ(5u, seeds.size());

    // Fill at any offset and length agrees with the byte function.
    std::vector<unsigned char> whole(1000);
    CSimRecordings::Fill(nSeed, 0, whole.data(), whole.size());
    for (std::size_t nFrom : {0u, 1u, 7u, 8u, 13u, 500u}) {
        for (std::size_t nLen : {0u, 1u, 3u, 8u, 9u, 64u, 487u}) {
            std::vector<unsigned char> part(nLen);
            CSimRecordings::Fill(nSeed, nFrom, part.data(), nLen);
            for (std::size_t i = 0; i < nLen; ++i)
                ASSERT_EQ(whole[nFrom + i], part[i]) << nFrom << "+" << i;
        }
    }
    for (std::size_t k = 0; k < whole.size(); ++k)
        ASSERT_EQ(whole[k], CSimRecordings::Byte("BUS7", 1, 0, k));
    // Neither constant nor a short cycle: 1000 bytes hold most byte values.
    EXPECT_GT(std::set<unsigned char>(whole.begin(), whole.end()).size(), 200u);

    EXPECT_EQ(-1, CSimRecordings::FirstMismatch(nSeed, 0, whole.data(), whole.size()));
    EXPECT_EQ(-1, CSimRecordings::FirstMismatch(nSeed, 100, whole.data() + 100, 900));
    whole[777] ^= 1;
    EXPECT_EQ(777, CSimRecordings::FirstMismatch(nSeed, 0, whole.data(), whole.size()));
    EXPECT_EQ(676, CSimRecordings::FirstMismatch(nSeed, 101, whole.data() + 101, 899));
    // Offsets beyond 4 GiB work too (extra bytes of a large file).
    unsigned char far[16];
    CSimRecordings::Fill(nSeed, (1ULL << 32) + 3, far, sizeof(far));
    EXPECT_EQ(far[5], CSimRecordings::Byte(nSeed, (1ULL << 32) + 8));
}
