#include "control/TransferHeader.h"
#include "platform/Timing.h"
#include "settings/RecordIndex.h"
#include "settings/XmlDoc.h"
#include "support/Descriptors.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <optional>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";
const std::string kNewIndex = kDecl + "<Data></Data>";

// A flush that only a fault makes time out.
constexpr int kLongMs = 60000;

class RecordIndexIntegrationTest : public Sandbox {
protected:
    std::string IndexPath() const { return (Dir() / "xmlDataRecords.xml").string(); }
};

// The lock an outside program takes on the index (LOCK_SH to read, LOCK_EX to
// change it), through an open of its own, held until destruction.
class COutsideLock {
public:
    COutsideLock(const std::string& path, int nOperation) : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
    {
        EXPECT_GE(m_fd, 0);
        EXPECT_EQ(::flock(m_fd, nOperation), 0);
    }
    ~COutsideLock() { ::close(m_fd); }
    COutsideLock(const COutsideLock&) = delete;
    COutsideLock& operator=(const COutsideLock&) = delete;

private:
    int m_fd;
};

TransferHeader Header(const std::string& device, std::uint8_t nChan = 1, std::uint32_t tStart = 0,
                      const std::string& file = "")
{
    TransferHeader hdr {};
    std::memcpy(hdr.szDevice, device.data(), std::min(device.size(), sizeof(hdr.szDevice)));
    std::memcpy(hdr.szChan, file.data(), std::min(file.size(), sizeof(hdr.szChan)));
    hdr.nChan = nChan;
    hdr.tStart = hdr.tEnd = tStart;
    return hdr;
}

// Queues a record and waits until the writer has handled it.
bool Append(CRecordIndex& index, const TransferHeader& hdr)
{
    return index.AddRecord(hdr) && index.Flush(kLongMs);
}

// Starts RecordIndexWriter (another process with an index of its own, see there) with
// args, in the directory cwd, where it logs. Its pid.
pid_t StartWriter(const std::filesystem::path& cwd, std::vector<std::string> args)
{
    std::filesystem::create_directories(cwd);
    args.insert(args.begin(), std::string(ZEL_BUILD_DIR) + "/tests/RecordIndexWriter");
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string dir = cwd.string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) == 0)
            ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// The exit status of the process pid, -1 when it did not exit.
int ExitStatus(pid_t pid)
{
    int nStatus = 0;
    if (::waitpid(pid, &nStatus, 0) != pid || !WIFEXITED(nStatus))
        return -1;
    return WEXITSTATUS(nStatus);
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

TEST_F(RecordIndexIntegrationTest, RecordsAreWrittenExactly)
{
    ::setenv("TZ", "IST-5:30", 1);  // wall-clock times: no zone may shift them
    ::tzset();
    CRecordIndex index(Dir().string());
    EXPECT_EQ(ReadFile(IndexPath()), kNewIndex);
    ASSERT_TRUE(Append(index, Header("0")));
    EXPECT_EQ(ReadFile(IndexPath()), Index(Record("0")));
    // A name that fills all 32 bytes (no NUL) and needs escaping.
    ASSERT_TRUE(Append(index, Header("R&D<" + std::string(28, 'v'), 12, 1362492129u)));
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
        ASSERT_TRUE(Append(index, Header("X")));
        EXPECT_EQ(ReadFile(IndexPath()), after);
    }

    // Records queued together (behind a reader's lock) go in one write, byte for byte
    // as one append each would leave the index, from any of those shapes.
    for (const std::string& before : {kNewIndex, a + "</Data>\r\n", kDecl + "<Data>\r\n</Data>", kDecl + "<Data/>"}) {
        WriteFile(IndexPath(), before);
        for (const char* szName : {"X", "Y", "Z"})
            ASSERT_TRUE(Append(index, Header(szName)));
        const std::string oneByOne = ReadFile(IndexPath());
        WriteFile(IndexPath(), before);
        {
            COutsideLock reader(IndexPath(), LOCK_SH);
            for (const char* szName : {"X", "Y", "Z"})
                ASSERT_TRUE(index.AddRecord(Header(szName)));
        }
        ASSERT_TRUE(index.Flush(kLongMs));
        EXPECT_EQ(ReadFile(IndexPath()), oneByOne) << before;
        EXPECT_TRUE(CXmlDoc(oneByOne).IsWellFormed()) << oneByOne;
        const std::size_t nX = oneByOne.find("<puid>X</puid>"), nZ = oneByOne.find("<puid>Z</puid>");
        EXPECT_TRUE(nX < oneByOne.find("<puid>Y</puid>") && oneByOne.find("<puid>Y</puid>") < nZ &&
                    nZ != std::string::npos)
            << oneByOne;
    }
    EXPECT_TRUE(ReadLogMessages().empty());
}

TEST_F(RecordIndexIntegrationTest, OutsideLockHoldsOffTheWriterButNeitherAnAppendNorARecord)
{
    Timing().nIndexRetryMs = 2;
    Timing().nIndexWaitLogMs = 100;
    CRecordIndex index(Dir().string());

    // A reader's shared lock keeps the writer out too.
    {
        COutsideLock reader(IndexPath(), LOCK_SH);
        ASSERT_TRUE(index.AddRecord(Header("R")));
        EXPECT_FALSE(WaitFor([&] { return ReadFile(IndexPath()) != kNewIndex; }, std::chrono::milliseconds(100)));
    }
    ASSERT_TRUE(index.Flush(kLongMs));
    EXPECT_EQ(ReadFile(IndexPath()), Index(Record("R")));

    // Another writer's exclusive lock, held by this very thread: an AddRecord that
    // waited for it would never return, one that gave up would lose its record.
    constexpr int kRecords = 300;
    std::vector<std::string> expected {"R"};
    const std::string waitLine = "record index " + IndexPath() + " is locked by another process; 300 records waiting";
    {
        const auto tLocked = std::chrono::steady_clock::now();
        COutsideLock writer(IndexPath(), LOCK_EX);
        for (int i = 0; i < kRecords; ++i) {
            expected.push_back("L" + std::to_string(i));
            ASSERT_TRUE(index.AddRecord(Header(expected.back(), static_cast<std::uint8_t>(i % 8 + 1))));
        }
        // It keeps trying, and says so once a period rather than once a try.
        ASSERT_TRUE(WaitFor([&] { return CountLogContaining(waitLine) >= 3; }, std::chrono::seconds(10)));
        EXPECT_EQ(ReadFile(IndexPath()), Index(Record("R")));
        const std::size_t nLines = CountLogContaining(waitLine);
        const auto nPeriods = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - tLocked).count() / 100;
        EXPECT_LE(nLines, static_cast<std::size_t>(nPeriods) + 1);
    }
    // Once the lock is free: every record, in the order added, in a well-formed document.
    ASSERT_TRUE(index.Flush(kLongMs));
    EXPECT_EQ(Puids(IndexPath()), expected);
    std::string records = Record("R");
    for (int i = 0; i < kRecords; ++i)
        records += Record("L" + std::to_string(i), i % 8 + 1);
    EXPECT_EQ(ReadFile(IndexPath()), Index(records));
    EXPECT_EQ(CountLogContaining("record index " + IndexPath() + " is no longer locked; 300 waiting records are written now"),
              1u);
}

TEST_F(RecordIndexIntegrationTest, StopWritesTheQueueWithinItsBoundAndNamesWhatItCannot)
{
    Timing().nIndexRetryMs = 2;
    const std::size_t nThreads = ThreadCount();
    auto pIndex = std::make_unique<CRecordIndex>(Dir().string());
    ASSERT_EQ(pIndex->Path(), IndexPath());
    ASSERT_TRUE(Append(*pIndex, Header("before")));
    const std::string before = ReadFile(IndexPath());
    auto givenUp = [&](const std::string& why, const std::string& vehicle, int nChan, const std::string& file,
                       const std::string& time) {
        return CountLogContaining("Record index " + IndexPath() + ": record not written (" + why +
                        "), add it by hand: vehicle " + vehicle + ", channel " + std::to_string(nChan) + ", file " +
                        file + ", starttime " + time + ", endtime " + time);
    };

    // The server's Stop, with the lock still held when its bound has passed: each
    // record waiting is named for the operator, and given up.
    {
        COutsideLock writer(IndexPath(), LOCK_EX);
        for (int i = 1; i <= 3; ++i)
            ASSERT_TRUE(pIndex->AddRecord(Header("BUS" + std::to_string(i), static_cast<std::uint8_t>(i),
                                                 1362492129u + static_cast<std::uint32_t>(i) * 900,
                                                 "ch0" + std::to_string(i) + "_rec")));
        EXPECT_FALSE(pIndex->Flush(300));
        EXPECT_EQ(givenUp("not written in time", "BUS1", 1, "ch01_rec", "20130305141709"), 1u);
        EXPECT_EQ(givenUp("not written in time", "BUS2", 2, "ch02_rec", "20130305143209"), 1u);
        EXPECT_EQ(givenUp("not written in time", "BUS3", 3, "ch03_rec", "20130305144709"), 1u);
        EXPECT_EQ(ReadFile(IndexPath()), before);
    }
    // Given up means not written later too: the operator adds those by hand.
    ASSERT_TRUE(Append(*pIndex, Header("after")));
    EXPECT_EQ(Puids(IndexPath()), (std::vector<std::string> {"before", "after"}));
    const std::string afterText = ReadFile(IndexPath());

    // Destroyed at exit: the same bound, and the writer is gone after it.
    {
        COutsideLock writer(IndexPath(), LOCK_EX);
        ASSERT_TRUE(pIndex->AddRecord(Header("LATE", 4, 0, "ch04_late")));
        Timing().nIndexFlushMs = 300;
        pIndex.reset();
        EXPECT_EQ(givenUp("not written in time", "LATE", 4, "ch04_late", "19700101000000"), 1u);
    }
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= nThreads; }, std::chrono::seconds(2)))
        << ThreadCount() << " threads, " << nThreads << " before";
    EXPECT_EQ(ReadFile(IndexPath()), afterText);
    // A flush with nothing queued has nothing to give up.
    CRecordIndex again(Dir().string());
    EXPECT_TRUE(again.Flush(0));
}

TEST_F(RecordIndexIntegrationTest, ConcurrentAppendsFromThreadsAndProcessesLoseNothing)
{
    Timing().nIndexRetryMs = 1;
    CRecordIndex index(Dir().string());
    auto append = [](CRecordIndex& target, int nWriter, int nRecords) {
        bool bQueued = true;
        for (int i = 0; i < nRecords; ++i)
            bQueued = target.AddRecord(Header(std::to_string(nWriter) + "n" + std::to_string(i))) && bQueued;
        return bQueued;
    };
    // Writers 0 to 2 are processes with an index of their own, 3 to 8 threads of this one.
    pid_t pids[3];
    for (int p = 0; p < 3; ++p)
        ASSERT_GT(pids[p] = StartWriter(Dir() / ("p" + std::to_string(p)), {Dir().string(), std::to_string(p), "15"}),
                  0);
    // The threads queue up behind an outside lock.
    std::optional<COutsideLock> lock;
    lock.emplace(IndexPath(), LOCK_EX);
    std::atomic<bool> bQueued {true};
    {
        std::vector<std::jthread> threads;
        for (int t = 3; t < 9; ++t)
            threads.emplace_back([&, t] {
                if (!append(index, t, 40))
                    bQueued = false;
            });
    }
    EXPECT_TRUE(bQueued);
    lock.reset();
    EXPECT_TRUE(index.Flush(kLongMs));
    for (int p = 0; p < 3; ++p) {
        EXPECT_EQ(ExitStatus(pids[p]), 0) << "writer process " << p << " lost appends";
        EXPECT_TRUE(ReadLogMessages((Dir() / ("p" + std::to_string(p)) / "log.txt").string()).empty());
    }
    // Each writer's records once and in order.
    std::vector<std::string> puids = Puids(IndexPath());
    std::map<std::string, int> next;
    for (const std::string& puid : puids)
        EXPECT_EQ(puid.substr(puid.find('n') + 1), std::to_string(next[puid.substr(0, puid.find('n'))]++));
    EXPECT_EQ(puids.size(), 3u * 15 + 6u * 40);
    EXPECT_TRUE(ReadLogMessages().empty());
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
            std::size_t nLogged = CountLogContaining(logLine);
            CRecordIndex index(Dir().string());
            ASSERT_EQ(ReadFile(IndexPath()), expected) << text;
            EXPECT_EQ(CountLogContaining(logLine), nLogged + (text != expected)) << text;
        }
    }

    // Broken inside, with and without a torn tail: kept aside, started afresh.
    for (const std::string& text : {Index("<record><puid>x</record>\r\n"), Index("<a>\r\n" + r1) + "<rec"}) {
        WriteFile(IndexPath(), text);
        CRecordIndex index(Dir().string());
        EXPECT_EQ(ReadFile(IndexPath() + ".bak"), text);
        EXPECT_EQ(ReadFile(IndexPath()), kNewIndex);
    }
    EXPECT_EQ(CountLogContaining("is not well-formed, kept as"), 2u);

    // Broken while running: the append is dropped and the file left to its writer.
    CRecordIndex index(Dir().string());
    WriteFile(IndexPath(), "<Data><rec");
    EXPECT_TRUE(Append(index, Header("V")));
    EXPECT_EQ(ReadFile(IndexPath()), "<Data><rec");
    EXPECT_EQ(CountLogContaining("is not well-formed ("), 1u);
}

TEST_F(RecordIndexIntegrationTest, FailedAppendsAreLoggedAndLeaveTheIndexWhole)
{
    CRecordIndex index(Dir().string());
    std::vector<std::string> puids;
    for (int i = 0; i < 10; ++i) {  // the file size limit below leaves room for the log
        puids.push_back("before" + std::to_string(i));
        ASSERT_TRUE(index.AddRecord(Header(puids.back())));
    }
    ASSERT_TRUE(index.Flush(kLongMs));
    const std::string before = ReadFile(IndexPath());

    // The disk fills up midway through the write of three records queued together (in
    // another process): each is logged, the index is whole.
    const pid_t pid = StartWriter(Dir() / "full", {Dir().string(), "lost", "3", std::to_string(before.size() + 40)});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(ExitStatus(pid), 0);
    EXPECT_EQ(ReadFile(IndexPath()), before);
    std::vector<std::string> lines = ReadLogMessages((Dir() / "full" / "log.txt").string());
    ASSERT_EQ(lines.size(), 3u);
    for (int nChan = 1; nChan <= 3; ++nChan)
        EXPECT_EQ(lines[nChan - 1], "Record index " + IndexPath() + " cannot be written (File too large), record of "
                                    "channel " + std::to_string(nChan) + " dropped");
    ASSERT_TRUE(Append(index, Header("after")));
    puids.push_back("after");
    EXPECT_EQ(Puids(IndexPath()), puids);

    // Nothing can be created: fails at once (waiting like for a lock would take an hour).
    Timing().nIndexGiveUpMs = 3600000;
    std::filesystem::path dir = Dir() / "ro";
    std::filesystem::create_directory(dir);
    std::filesystem::permissions(dir, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    if (::access(dir.c_str(), W_OK) == 0)
        dir = "/proc";  // root writes anywhere else
    CRecordIndex unwritable(dir.string());
    EXPECT_TRUE(Append(unwritable, Header("V")));
    EXPECT_EQ(CountLogContaining("Record index " + unwritable.Path() + " cannot be opened: "), 1u);
    EXPECT_EQ(CountLogContaining("Record index " + unwritable.Path() + " cannot be opened ("), 1u);
}

}  // namespace
