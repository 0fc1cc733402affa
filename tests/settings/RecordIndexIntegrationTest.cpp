#include "control/TransferHeader.h"
#include "core/Logger.h"
#include "platform/Timing.h"
#include "settings/RecordIndex.h"
#include "settings/XmlDoc.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <map>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";
const std::string kNewIndex = kDecl + "<Data></Data>";

class RecordIndexIntegrationTest : public Sandbox {
protected:
    std::string IndexPath() const { return (Dir() / "xmlDataRecords.xml").string(); }
};

TransferHeader Header(const std::string& device, std::uint8_t nChan = 1, std::uint32_t tStart = 0)
{
    TransferHeader hdr {};
    std::memcpy(hdr.szDevice, device.data(), std::min(device.size(), sizeof(hdr.szDevice)));
    hdr.nChan = nChan;
    hdr.tStart = hdr.tEnd = tStart;
    return hdr;
}

std::string Record(const std::string& puid, int nChan = 1, const std::string& time = "19700101000000")
{
    return "<record>\r\n<puid>" + puid + "</puid>\r\n<username>Admin</username>\r\n<chan>" +
           std::to_string(nChan) + "</chan>\r\n<starttime>" + time + "</starttime>\r\n<endtime>" + time +
           "</endtime>\r\n</record>\r\n";
}

std::string Index(const std::string& records)
{
    return kDecl + "<Data>\r\n" + records + "</Data>";
}

std::vector<std::string> Puids(const std::string& path)
{
    CXmlDoc doc;
    EXPECT_TRUE(doc.LoadFile(path));
    std::vector<std::string> puids;
    while (doc.FindChild("record") && doc.EnterElement() && doc.FindChild("puid")) {
        puids.push_back(doc.GetChildText());
        doc.LeaveElement();
    }
    return puids;
}

std::size_t LogCount(const std::string& text)
{
    std::size_t n = 0;
    for (const std::string& message : ReadLogMessages())
        n += message.find(text) != std::string::npos;
    return n;
}

TEST_F(RecordIndexIntegrationTest, RecordsAreWrittenExactly)
{
    ::setenv("TZ", "IST-5:30", 1);  // wall-clock times: no zone may shift them
    ::tzset();
    CRecordIndex index(Dir().string());
    EXPECT_EQ(ReadFile(IndexPath()), kNewIndex);
    ASSERT_TRUE(index.AddRecord(Header("0")));
    EXPECT_EQ(ReadFile(IndexPath()), Index(Record("0")));
    // A name that fills all 32 bytes (no NUL) and needs escaping.
    ASSERT_TRUE(index.AddRecord(Header("R&D<" + std::string(28, 'v'), 12, 1362492129u)));
    EXPECT_EQ(ReadFile(IndexPath()),
              Index(Record("0") + Record("R&amp;D&lt;" + std::string(28, 'v'), 12, "20130305140209")));

    // Emptied by its reader, or in other shapes: as a whole-document splice would be.
    const std::string r = Record("X"), a = kDecl + "<Data>\n<record>a</record>\n";
    for (const auto& [before, after] : std::map<std::string, std::string> {
             {"", Index(r)},
             {a + "</Data>\r\n", a + r + "</Data>\r\n"},
             {kDecl + "<Data>\r\n</Data>", kDecl + "<Data>" + r + "\r\n</Data>"},
             {kDecl + "<Data/>", Index(r)}}) {
        WriteFile(IndexPath(), before);
        ASSERT_TRUE(index.AddRecord(Header("X")));
        EXPECT_EQ(ReadFile(IndexPath()), after);
    }
    EXPECT_TRUE(ReadLogMessages().empty());
}

TEST_F(RecordIndexIntegrationTest, ConcurrentAppendsFromThreadsAndProcesses)
{
    Timing().nIndexRetryMs = 1;
    CRecordIndex index(Dir().string());
    auto append = [](CRecordIndex& target, int nWriter) {
        int nFailed = 0;
        for (int i = 0; i < 15; ++i)
            nFailed += !target.AddRecord(Header(std::to_string(nWriter) + "n" + std::to_string(i)));
        return nFailed;
    };
    // Writers 0 to 2 are processes with an index of their own, 3 to 5 threads of this
    // one (this process has threads already: a child of it starts none).
    pid_t pids[3];
    for (int p = 0; p < 3; ++p) {
        ASSERT_GE(pids[p] = ::fork(), 0);
        if (pids[p] == 0) {
            CRecordIndex own(Dir().string());
            ::_exit(append(own, p));
        }
    }
    std::atomic<int> nFailed {0};
    {
        std::vector<std::jthread> threads;
        for (int t = 3; t < 6; ++t)
            threads.emplace_back([&, t] { nFailed += append(index, t); });
    }
    EXPECT_EQ(nFailed, 0) << "a thread lost appends";
    for (pid_t pid : pids) {
        int nStatus = 0;
        ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
        EXPECT_EQ(nStatus, 0) << "a child lost appends";
    }
    // Each writer's records once and in order.
    std::vector<std::string> puids = Puids(IndexPath());
    std::map<std::string, int> next;
    for (const std::string& puid : puids)
        EXPECT_EQ(puid.substr(puid.find('n') + 1), std::to_string(next[puid.substr(0, puid.find('n'))]++));
    EXPECT_EQ(puids.size(), 90u);
}

TEST_F(RecordIndexIntegrationTest, ReaderHoldingTheSharedLockHoldsOffAppends)
{
    Timing().nIndexRetryMs = 2;
    Timing().nIndexGiveUpMs = 3600000;
    CRecordIndex index(Dir().string());
    int fd = ::open(IndexPath().c_str(), O_RDONLY);
    ASSERT_EQ(::flock(fd, LOCK_SH), 0);
    std::future<bool> append = std::async(std::launch::async, [&] { return index.AddRecord(Header("R")); });
    // It tries the lock meanwhile (the check holds however often it did).
    EXPECT_FALSE(WaitFor([&] { return append.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                         std::chrono::milliseconds(100)));
    EXPECT_EQ(ReadFile(IndexPath()), kNewIndex);
    ::close(fd);
    EXPECT_TRUE(append.get());
    EXPECT_EQ(ReadFile(IndexPath()), Index(Record("R")));
}

TEST_F(RecordIndexIntegrationTest, StartUpCutsBackATornTailAndBacksUpOtherDamage)
{
    // An append killed after any number of its bytes (none to one record, one to two)
    // grew the file to some length or overwrote some of the closing tag. A cut inside
    // the new closing tag keeps the new record, all of which is there.
    const std::string r1 = Record("1");
    const std::string logLine = "record index " + IndexPath() + " had a torn tail, cut back to its last whole";
    for (const auto& [before, after] : {std::pair {kNewIndex, Index(r1)}, {Index(r1), Index(r1 + r1)}}) {
        std::vector<std::string> torn;
        for (std::size_t n = before.size(); n < after.size(); ++n)
            torn.push_back(after.substr(0, n));
        for (std::size_t n = before.size() - 6; n < before.size(); ++n)
            torn.push_back(after.substr(0, n) + before.substr(n));
        for (const std::string& text : torn) {
            const std::string& expected = text.starts_with(after.substr(0, after.size() - 7)) ? after : before;
            WriteFile(IndexPath(), text);
            std::size_t nLogged = LogCount(logLine);
            CRecordIndex index(Dir().string());
            ASSERT_EQ(ReadFile(IndexPath()), expected) << text;
            EXPECT_EQ(LogCount(logLine), nLogged + (text != expected)) << text;
        }
    }

    // Broken inside, with and without a torn tail: kept aside, started afresh.
    for (const std::string& text : {Index("<record><puid>x</record>\r\n"), Index("<a>\r\n" + r1) + "<rec"}) {
        WriteFile(IndexPath(), text);
        CRecordIndex index(Dir().string());
        EXPECT_EQ(ReadFile(IndexPath() + ".bak"), text);
        EXPECT_EQ(ReadFile(IndexPath()), kNewIndex);
    }
    EXPECT_EQ(LogCount("is not well-formed, kept as"), 2u);

    // Broken while running: the append is dropped and the file left to its writer.
    CRecordIndex index(Dir().string());
    WriteFile(IndexPath(), "<Data><rec");
    EXPECT_FALSE(index.AddRecord(Header("V")));
    EXPECT_EQ(ReadFile(IndexPath()), "<Data><rec");
    EXPECT_EQ(LogCount("is not well-formed ("), 1u);
}

TEST_F(RecordIndexIntegrationTest, FailedAppendsAreDroppedAndLeaveTheIndexWhole)
{
    Timing().nIndexGiveUpMs = 300;
    Timing().nIndexRetryMs = 20;
    CRecordIndex index(Dir().string());
    ASSERT_TRUE(index.AddRecord(Header("before")));
    const std::string before = ReadFile(IndexPath());

    // The disk fills up midway through the append.
    pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit {before.size() + 40, before.size() + 40};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(index.AddRecord(Header("lost")));
    }
    int nStatus = 0;
    ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
    EXPECT_EQ(nStatus, 0) << "append reported success";
    EXPECT_EQ(ReadFile(IndexPath()), before);
    EXPECT_EQ(LogCount("cannot be written"), 1u);  // the child's line
    CLogger::Instance().Reset((Dir() / "log.txt").string());

    // Another process holds the lock past the give-up time.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    if ((pid = ::fork()) == 0) {
        int fd = ::open(IndexPath().c_str(), O_RDONLY);
        ::_exit(::flock(fd, LOCK_EX) == 0 && ::write(fds[1], "L", 1) == 1 ? ::pause() : 1);
    }
    ::close(fds[1]);
    char c = 0;
    ASSERT_EQ(::read(fds[0], &c, 1), 1);
    EXPECT_FALSE(index.AddRecord(Header("locked", 2)));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::close(fds[0]);

    EXPECT_EQ(ReadFile(IndexPath()), before);
    EXPECT_EQ(LogCount("cannot be opened (Resource temporarily unavailable), record of channel 2"), 1u);
    EXPECT_EQ(ReadLogMessages().size(), 1u);
    ASSERT_TRUE(index.AddRecord(Header("after")));
    EXPECT_EQ(Puids(IndexPath()), (std::vector<std::string> {"before", "after"}));

    // Nothing can be created: fails at once (waiting like for a lock takes an hour).
    Timing().nIndexGiveUpMs = 3600000;
    std::filesystem::path dir = Dir() / "ro";
    std::filesystem::create_directory(dir);
    std::filesystem::permissions(dir, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    if (::access(dir.c_str(), W_OK) == 0)
        dir = "/proc";  // root writes anywhere else
    CRecordIndex unwritable(dir.string());
    EXPECT_FALSE(unwritable.AddRecord(Header("V")));
    EXPECT_EQ(LogCount("Record index " + unwritable.Path() + " cannot be opened: "), 1u);
    EXPECT_EQ(LogCount("Record index " + unwritable.Path() + " cannot be opened ("), 1u);
}

}  // namespace
