#include "footage/FootageHasher.h"

#include "footage/RecordingCatalogue.h"
#include "platform/Timing.h"
#include "store/LocalStore.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kT0 = 1700000000;

class FootageHasherTest : public Sandbox {
protected:
    std::string Root() const { return At("store"); }

    // Stores nCount recordings of distinct bytes and queues their rows; their bytes by path.
    std::map<std::string, std::string> Store(CRecordingCatalogue& catalogue, int nCount, int nFirst = 0)
    {
        std::map<std::string, std::string> files;
        for (int i = nFirst; i < nFirst + nCount; ++i) {
            const std::uint32_t tStart = kT0 + 60 * i;
            std::string rel = "BUS1/" + DateDirName(tStart) + "/ch01/" + FinalFileName(1, tStart, tStart + 60);
            std::string bytes = "recording " + std::to_string(i) + std::string(1000 + i, static_cast<char>(i));
            fs::create_directories(fs::path(Root() + "/" + rel).parent_path());
            WriteFile(Root() + "/" + rel, bytes);
            CatalogueRow row;
            row.strPath = rel;
            row.nSize = bytes.size();
            row.tStoredAt = tStart + 60;
            EXPECT_TRUE(catalogue.Add(row));
            files[rel] = bytes;
        }
        return files;
    }

    // Every row hashed as its bytes are.
    static void ExpectHashed(const CRecordingCatalogue& catalogue, const std::map<std::string, std::string>& files)
    {
        CatalogueQuery query;
        query.nLimit = CRecordingCatalogue::kMaxLimit;
        std::vector<CatalogueRow> rows = catalogue.Find(query).rows;
        ASSERT_EQ(rows.size(), files.size());
        for (const CatalogueRow& row : rows) {
            const FileDigest expected = DigestBytes(files.at(row.strPath));
            EXPECT_EQ(row.strSha256, expected.strSha256) << row.strPath;
            EXPECT_EQ(row.nCrc32, expected.nCrc32) << row.strPath;
        }
    }
};

TEST_F(FootageHasherTest, EveryRowIsHashedWhenTheQueueOverflowsAndRowsFromBeforeTheStartToo)
{
    CRecordingCatalogue catalogue;
    ASSERT_EQ(catalogue.Open(At("fleet.db"), Root()), 0);
    // Written before the hasher exists: nobody is told of them.
    std::map<std::string, std::string> files = Store(catalogue, 5);
    catalogue.Flush();

    CFootageHasher hasher(catalogue, 3);
    catalogue.SetOnUnhashed([&hasher](std::int64_t nId) { hasher.Offer(nId); });
    // Offered faster than it hashes: most ids find the queue full.
    std::map<std::string, std::string> more = Store(catalogue, 200, 5);
    files.insert(more.begin(), more.end());
    catalogue.Flush();
    EXPECT_GT(hasher.Overflows(), 150u);

    hasher.Start();
    ASSERT_TRUE(WaitFor([&] { return hasher.IsIdle() && catalogue.Unhashed(0, 1).empty(); }, std::chrono::seconds(20)))
        << hasher.Hashed() << " hashed";
    EXPECT_EQ(hasher.Hashed(), files.size());
    ExpectHashed(catalogue, files);

    // While it runs, with room in the queue: hashed as they are written.
    std::map<std::string, std::string> later = Store(catalogue, 2, 300);
    files.insert(later.begin(), later.end());
    catalogue.Flush();
    ASSERT_TRUE(WaitFor([&] { return catalogue.Unhashed(0, 1).empty(); }));
    ASSERT_TRUE(WaitFor([&] { return hasher.IsIdle(); }));
    ExpectHashed(catalogue, files);
    hasher.Stop();
}

TEST_F(FootageHasherTest, AnUnreadableFileIsLoggedOnceAndTriedAgainLaterWhileTheOthersAreHashed)
{
    Timing().nHasherRescanMs = 50;
    CRecordingCatalogue catalogue;
    ASSERT_EQ(catalogue.Open(At("fleet.db"), Root()), 0);
    std::map<std::string, std::string> files = Store(catalogue, 3);
    catalogue.Flush();
    const std::string gone = files.begin()->first;
    fs::rename(Root() + "/" + gone, At("aside"));
    // Another size than catalogued: no hash of the wrong bytes is stored.
    const std::string grown = std::next(files.begin())->first;
    WriteFile(Root() + "/" + grown, files[grown] + "more");

    CFootageHasher hasher(catalogue);
    hasher.Start();
    ASSERT_TRUE(WaitFor([&] { return hasher.Hashed() == 1; }));
    // Several walks pass: each tries the two again, quietly.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<std::string> messages = ReadLogMessages();
    auto count = [&](const std::string& text) {
        return std::count_if(messages.begin(), messages.end(),
                             [&](const std::string& message) { return message.find(text) != std::string::npos; });
    };
    EXPECT_EQ(count(gone + ") cannot be hashed: "), 1);
    EXPECT_EQ(count(grown + ") cannot be hashed: " + std::to_string(files[grown].size() + 4) + " bytes, " +
                    std::to_string(files[grown].size()) + " catalogued"),
              1);
    EXPECT_EQ(catalogue.Unhashed(0, 10).size(), 2u);

    // Back in place: the next walk hashes it.
    fs::rename(At("aside"), Root() + "/" + gone);
    ASSERT_TRUE(WaitFor([&] { return hasher.Hashed() == 2; }));
    EXPECT_EQ(catalogue.Unhashed(0, 10).size(), 1u);
    hasher.Stop();
}

} // namespace
