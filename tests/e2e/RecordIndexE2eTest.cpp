#include "e2e/E2eFixture.h"

#include "settings/XmlDoc.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

using RecordIndexE2eTest = E2eFixture;

std::size_t CountRecords(const std::string& text)
{
    std::size_t n = 0;
    for (std::size_t nPos = 0; (nPos = text.find("<record>", nPos)) != std::string::npos; ++nPos)
        ++n;
    return n;
}

} // namespace

TEST_F(RecordIndexE2eTest, IndexLockedOutsideHoldsUpNoTransferAndLosesNoRecord)
{
    Timing().nIndexWaitLogMs = 5000;
    Configure(0, true);
    // Made as the programs make it as they start, then locked by an outside writer for 15 s.
    const std::string path = Control().Index().Path();
    const std::string before = ReadFile(path);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    const auto tUnlock = std::chrono::steady_clock::now() + 15s;
    StartServer();
    StartSim(Options({"LOCKED"}, 2, 10, 50000));

    // Every recording is stored while the lock is held: no transfer waits for it.
    const auto tNow = std::chrono::steady_clock::now();
    const bool bStored = WaitAllStored(std::chrono::duration_cast<std::chrono::milliseconds>(tUnlock - tNow));
    const bool bStillLocked = std::chrono::steady_clock::now() < tUnlock;
    EXPECT_TRUE(bStored) << m_pSim->Summary();
    EXPECT_TRUE(bStillLocked);
    ExpectAllByteIdentical();
    EXPECT_EQ(m_pSim->Totals().nCompleted, 20u);
    EXPECT_EQ(ReadFile(path), before);
    std::this_thread::sleep_until(tUnlock);
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_TRUE(LogHas("record index " + path + " is locked by another process; 20 records waiting"));
    ::close(fd);

    // Once released: every record, each once, in a well-formed index.
    std::string index;
    EXPECT_TRUE(WaitFor(
        [&] {
            index = ReadFile(path);
            return CountRecords(index) >= 20;
        },
        10s));
    EXPECT_EQ(CountRecords(index), 20u) << index;
    EXPECT_TRUE(CXmlDoc(index).IsWellFormed()) << index;
    for (const SimRecording& rec : m_pSim->Recorder(0).Recordings().All()) {
        std::string record = "<puid>LOCKED</puid>\r\n<username>Admin</username>\r\n<chan>" +
                             std::to_string(rec.nChannel) + "</chan>\r\n<starttime>" + FormatTimeString(rec.tStart) +
                             "</starttime>\r\n<endtime>" + FormatTimeString(rec.tEnd) + "</endtime>";
        const std::size_t nAt = index.find(record);
        ASSERT_NE(nAt, std::string::npos) << record << "\n" << index;
        EXPECT_EQ(index.find(record, nAt + 1), std::string::npos) << record << " twice";
    }
}
