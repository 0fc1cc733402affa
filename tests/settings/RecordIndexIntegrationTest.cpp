#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/RecordIndex.h"
#include "settings/WallClock.h"
#include "settings/XmlDoc.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"
#include "transfer/TransferHeader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";
const std::string kNewIndex = kDecl + "\r\n<Data></Data>";

class RecordIndexIntegrationTest : public Sandbox {
protected:
    std::string IndexPath() const { return (Dir() / "xmlDataRecords.xml").string(); }
};

TransferHeader Header(const std::string& device, std::uint8_t nChan, std::uint32_t tStart, std::uint32_t tEnd)
{
    TransferHeader hdr {};
    std::memcpy(hdr.szDevice, device.data(), std::min(device.size(), sizeof(hdr.szDevice)));
    std::snprintf(hdr.szChan, sizeof(hdr.szChan), "ch%02d_x", nChan);
    hdr.tStart = tStart;
    hdr.tEnd = tEnd;
    hdr.nChan = nChan;
    return hdr;
}

std::string RecordLines(const std::string& puid, int nChan, const std::string& start, const std::string& end)
{
    return "<record>\r\n<puid>" + puid + "</puid>\r\n<username>Admin</username>\r\n<chan>" +
           std::to_string(nChan) + "</chan>\r\n<starttime>" + start + "</starttime>\r\n<endtime>" + end +
           "</endtime>\r\n</record>\r\n";
}

// The puid of every record of a well-formed index, in file order.
std::vector<std::string> Puids(const std::string& path)
{
    CXmlDoc doc;
    EXPECT_TRUE(doc.LoadFile(path)) << doc.GetResult();
    std::vector<std::string> puids;
    while (doc.FindChild("record")) {
        doc.EnterElement();
        doc.FindChild("puid");
        puids.push_back(doc.GetChildText());
        doc.LeaveElement();
    }
    return puids;
}

std::size_t LogCount(const std::string& part)
{
    std::size_t n = 0;
    for (const std::string& message : ReadLogMessages())
        n += message.find(part) != std::string::npos;
    return n;
}

TEST_F(RecordIndexIntegrationTest, RecordsAreWrittenExactly)
{
    // The times are wall-clock values: no zone may shift them.
    ::setenv("TZ", "IST-5:30", 1);
    ::tzset();
    CRecordIndex index(Dir().string());
    EXPECT_EQ(index.Path(), IndexPath());
    EXPECT_EQ(ReadFile(IndexPath()), kNewIndex);

    ASSERT_TRUE(index.AddRecord(Header("0000", 1, WallClockFromFields(2010, 1, 1, 8, 0, 0),
                                       WallClockFromFields(2010, 1, 1, 8, 15, 0))));
    const std::string first = RecordLines("0000", 1, "20100101080000", "20100101081500");
    EXPECT_EQ(ReadFile(IndexPath()), kDecl + "\r\n<Data>\r\n" + first + "</Data>");

    // A name that fills all 32 bytes (no NUL) and needs escaping.
    const std::string longName = "R&D<" + std::string(28, 'v');
    ASSERT_TRUE(index.AddRecord(Header(longName, 12, 1362492129u, 1362492129u + 3600)));
    EXPECT_EQ(ReadFile(IndexPath()),
              kDecl + "\r\n<Data>\r\n" + first +
                  RecordLines("R&amp;D&lt;" + std::string(28, 'v'), 12, "20130305140209", "20130305150209") +
                  "</Data>");
    EXPECT_EQ(Puids(IndexPath()), (std::vector<std::string> {"0000", longName}));
    EXPECT_FALSE(std::filesystem::exists(IndexPath() + ".tmp"));

    // An index removed by its reader is started again by the next append.
    std::filesystem::remove(IndexPath());
    ASSERT_TRUE(index.AddRecord(Header("0001", 2, 0, 59)));
    EXPECT_EQ(ReadFile(IndexPath()), kDecl + "\r\n<Data>\r\n" +
                                         RecordLines("0001", 2, "19700101000000", "19700101000059") + "</Data>");
}

TEST_F(RecordIndexIntegrationTest, ConcurrentAppendsFromThreadsAndProcesses)
{
    Timing().nIndexRetryMs = 1;
    constexpr int kProcesses = 2;
    constexpr int kThreads = 3;
    constexpr int kEach = 15;
    CRecordIndex creator(Dir().string());  // the index exists before anyone forks

    auto run = [&](int nProcess) {
        CRecordIndex index(Dir().string());
        std::vector<std::thread> threads;
        std::atomic<int> nFailed {0};
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kEach; ++i) {
                    std::string puid = "p" + std::to_string(nProcess) + "t" + std::to_string(t) + "n" +
                                       std::to_string(i);
                    if (!index.AddRecord(Header(puid, 1, 0, 1)))
                        ++nFailed;
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        return nFailed.load();
    };

    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            ::_exit(run(p) == 0 ? 0 : 1);
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int nStatus = 0;
        ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "a child lost appends";
    }

    std::vector<std::string> puids = Puids(IndexPath());
    std::map<std::string, int> seen;
    for (const std::string& puid : puids)
        ++seen[puid];
    EXPECT_EQ(puids.size(), static_cast<std::size_t>(kProcesses * kThreads * kEach));
    for (int p = 0; p < kProcesses; ++p)
        for (int t = 0; t < kThreads; ++t)
            for (int i = 0; i < kEach; ++i) {
                std::string puid = "p" + std::to_string(p) + "t" + std::to_string(t) + "n" + std::to_string(i);
                EXPECT_EQ(seen[puid], 1) << puid;
            }
    // Each thread's records keep their order.
    std::map<std::string, int> lastOfThread;
    for (const std::string& puid : puids) {
        auto pos = puid.find('n');
        int n = std::stoi(puid.substr(pos + 1));
        auto [it, bNew] = lastOfThread.try_emplace(puid.substr(0, pos), n);
        if (!bNew) {
            EXPECT_GT(n, it->second) << puid;
            it->second = n;
        }
    }
}

TEST_F(RecordIndexIntegrationTest, FailedAppendLeavesThePreviousIndex)
{
    CRecordIndex index(Dir().string());
    ASSERT_TRUE(index.AddRecord(Header("before", 1, 0, 1)));
    const std::string before = ReadFile(IndexPath());

    // The disk fills up half-way through writing the new document.
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit {before.size() + 40, before.size() + 40};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(index.AddRecord(Header("lost", 1, 0, 1)) ? 1 : 0);
    }
    int nStatus = 0;
    ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "append reported success";
    EXPECT_EQ(ReadFile(IndexPath()), before);
    EXPECT_FALSE(std::filesystem::exists(IndexPath() + ".tmp"));
    EXPECT_EQ(LogCount("cannot be written"), 1u);

    // The temporary file cannot be created at all.
    std::filesystem::create_directory(IndexPath() + ".tmp");
    EXPECT_FALSE(index.AddRecord(Header("lost2", 1, 0, 1)));
    EXPECT_EQ(ReadFile(IndexPath()), before);
    std::filesystem::remove(IndexPath() + ".tmp");

    // Appends go on from the intact index.
    ASSERT_TRUE(index.AddRecord(Header("after", 1, 0, 1)));
    EXPECT_EQ(Puids(IndexPath()), (std::vector<std::string> {"before", "after"}));
}

TEST_F(RecordIndexIntegrationTest, GivesUpWhenTheIndexStaysLocked)
{
    Timing().nIndexGiveUpMs = 300;
    Timing().nIndexRetryMs = 20;
    CRecordIndex index(Dir().string());
    const std::string before = ReadFile(IndexPath());

    // Another writer holds the index.
    int fd = ::open(index.LockPath().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);

    std::int64_t tStart = MonotonicMs();
    EXPECT_FALSE(index.AddRecord(Header("VEH1", 2, 0, 1)));
    std::int64_t tElapsed = MonotonicMs() - tStart;
    EXPECT_GE(tElapsed, 290);
    EXPECT_LT(tElapsed, 2000);
    EXPECT_EQ(ReadFile(IndexPath()), before);
    EXPECT_EQ(LogCount("cannot be opened"), 1u);
    EXPECT_EQ(ReadLogMessages().size(), 1u);

    // Once released, the next append gets through.
    ::close(fd);
    EXPECT_TRUE(index.AddRecord(Header("VEH1", 2, 0, 1)));
    EXPECT_EQ(Puids(IndexPath()), std::vector<std::string> {"VEH1"});
}

TEST_F(RecordIndexIntegrationTest, MalformedIndexIsKeptAsBackup)
{
    const std::string broken = kDecl + "\r\n<Data>\r\n<record>\r\n<puid>x</puid>\r\n";
    WriteFile(IndexPath(), broken);
    CRecordIndex index(Dir().string());
    EXPECT_EQ(ReadFile(IndexPath() + ".bak"), broken);
    EXPECT_EQ(ReadFile(IndexPath()), kNewIndex);
    EXPECT_EQ(LogCount("is not well-formed, kept as"), 1u);

    // Broken again while running: the append is dropped with a log line and the
    // file is left for whoever is writing it.
    WriteFile(IndexPath(), broken);
    EXPECT_FALSE(index.AddRecord(Header("V", 1, 0, 1)));
    EXPECT_EQ(ReadFile(IndexPath()), broken);
    EXPECT_EQ(LogCount("is not well-formed ("), 1u);
}

TEST_F(RecordIndexIntegrationTest, ProcessInstanceLivesBesideTheExecutable)
{
    std::string path = ExecutableDir() + "/xmlDataRecords.xml";
    bool bExisted = std::filesystem::exists(path);
    CRecordIndex* pIndex = CRecordIndex::GetInstance();
    ASSERT_NE(pIndex, nullptr);
    EXPECT_EQ(CRecordIndex::GetInstance(), pIndex);
    EXPECT_EQ(pIndex->Path(), path);
    EXPECT_TRUE(std::filesystem::exists(path));
    CRecordIndex::ReleaseInstance();
    if (!bExisted) {
        std::filesystem::remove(path);
        std::filesystem::remove(path + ".lock");
    }
}

}  // namespace
