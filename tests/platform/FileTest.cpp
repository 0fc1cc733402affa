#include "platform/File.h"
#include "platform/FileStatus.h"

#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <sys/file.h>
#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;

class FileTest : public Sandbox {};

mode_t ModeOf(const std::filesystem::path& path)
{
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

TEST_F(FileTest, WritesAppendsReadsAndReportsWhatADeviceRefused)
{
    CFile file;
    ASSERT_EQ(file.Open(At("a.txt"), CFile::Mode::Truncate), 0);
    ASSERT_EQ(file.WriteAll("hello ", 6), 0);
    ASSERT_EQ(file.Open(At("a.txt"), CFile::Mode::Append), 0);  // reopening closes the first
    ASSERT_EQ(file.WriteAll("world", 5), 0);
    CFile moved = std::move(file);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(moved.Size(), 11);
    std::string text;
    ASSERT_EQ(moved.Open(At("a.txt"), CFile::Mode::ReadWrite), 0);
    EXPECT_EQ(moved.ReadAt(6, 100, text), 0);
    EXPECT_EQ(text, "world");

    ASSERT_EQ(file.Open(At("a.txt"), CFile::Mode::Read), 0);
    EXPECT_EQ(file.ReadToEnd(text, 10), EFBIG);
    EXPECT_EQ(text, "");
    ASSERT_EQ(file.Open(At("a.txt"), CFile::Mode::Read), 0);
    EXPECT_EQ(file.ReadToEnd(text, 11), 0);
    EXPECT_EQ(text, "hello world");

    EXPECT_EQ(CFile::Probe(At("a.txt")), 0);
    EXPECT_EQ(CFile::Probe(At("missing.txt")), ENOENT);
    EXPECT_EQ(file.Open(At("no/such/dir.txt"), CFile::Mode::Truncate), ENOENT);

    // A device that takes nothing: the error comes back, with no byte counted.
    CFile full;
    ASSERT_EQ(full.Open("/dev/full", CFile::Mode::Append), 0);
    std::size_t nDone = 99;
    EXPECT_EQ(full.WriteAll("x", 1, &nDone), ENOSPC);
    EXPECT_EQ(nDone, 0u);
}

TEST_F(FileTest, ReplaceLeavesTheWholeNewFileWithTheOldPermissionsAndNoTemporary)
{
    WriteFile(At("secret.xml"), "<old/>");
    ASSERT_EQ(::chmod(At("secret.xml").c_str(), 0600), 0);
    ASSERT_EQ(CFile::ReplaceAtomically(At("secret.xml"), "<new/>"), 0);
    EXPECT_EQ(ReadFile(At("secret.xml")), "<new/>");
    EXPECT_EQ(ModeOf(At("secret.xml")), 0600u);

    ASSERT_EQ(CFile::ReplaceAtomically(At("fresh.xml"), "<a/>"), 0);
    EXPECT_EQ(ModeOf(At("fresh.xml")), 0644u);

    // A target that cannot be replaced keeps its content, and nothing is left beside.
    std::filesystem::create_directory(At("dir.xml"));
    WriteFile(At("dir.xml/inside"), "x");
    EXPECT_NE(CFile::ReplaceAtomically(At("dir.xml"), "<b/>"), 0);
    std::size_t nEntries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(Dir()))
        ++nEntries;
    EXPECT_EQ(nEntries, 4u);  // log.txt, secret.xml, fresh.xml, dir.xml
}

TEST_F(FileTest, LockIsExclusiveUntilCloseAndFollowsAReplacedFile)
{
    CFile first;
    ASSERT_EQ(first.OpenLocked(At("index.xml"), std::chrono::steady_clock::now(), 1), 0);
    CFile second;
    EXPECT_EQ(second.OpenLocked(At("index.xml"), std::chrono::steady_clock::now() + 30ms, 5), EWOULDBLOCK);
    first.Close();
    ASSERT_EQ(second.OpenLocked(At("index.xml"), std::chrono::steady_clock::now(), 1), 0);
    ASSERT_EQ(second.WriteAt(0, "<Data/>"), 0);
    ASSERT_EQ(second.SyncData(), 0);
    ASSERT_EQ(second.SyncEntry(), 0);

    // Removed while locked: the next holder gets a file at the path, not the orphan.
    std::filesystem::remove(At("index.xml"));
    EXPECT_TRUE(second.WasRemoved());
    ASSERT_EQ(first.OpenLocked(At("index.xml"), std::chrono::steady_clock::now(), 1), 0);
    EXPECT_FALSE(first.WasRemoved());
    EXPECT_EQ(first.Size(), 0);
}

TEST_F(FileTest, WriteBackOfAnyRangeKeepsTheBytesAndDoesNothingWhereThereIsNoDisk)
{
    std::string data((3u << 20) + 5, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 4096);
    // Ranges that start inside a page, overlap, run past the end, or are empty.
    CFile file;
    ASSERT_EQ(file.Open(At("w.bin"), CFile::Mode::Append), 0);
    ASSERT_EQ(file.WriteAll(data.data(), 1000001), 0);
    EXPECT_EQ(file.StartWriteBack(0, 1000001), 0);
    ASSERT_EQ(file.WriteAll(data.data() + 1000001, data.size() - 1000001), 0);
    EXPECT_EQ(file.StartWriteBack(1000001, 2 << 20), 0);
    EXPECT_EQ(file.WaitWriteBack(4097, 8 << 20), 0);
    EXPECT_EQ(file.WaitWriteBack(100, 0), 0);
    EXPECT_EQ(file.SyncData(), 0);
    file.Close();
    EXPECT_TRUE(ReadFile(At("w.bin")) == data);  // not EXPECT_EQ: 3 MiB would be printed

    // A pipe has no pages to write back: the calls do nothing, and fail nothing.
    ASSERT_EQ(::mkfifo(At("fifo").c_str(), 0600), 0);
    CFile pipe;
    ASSERT_EQ(pipe.Open(At("fifo"), CFile::Mode::ReadWrite), 0);
    EXPECT_EQ(pipe.StartWriteBack(0, 4096), 0);
    EXPECT_EQ(pipe.WaitWriteBack(0, 4096), 0);

    CFile closed;
    EXPECT_EQ(closed.StartWriteBack(0, 4096), EBADF);
}

TEST_F(FileTest, StatusTellsMissingRegularAndOtherPathsApart)
{
    WriteFile(At("five.bin"), "12345");
    std::filesystem::create_directory(At("dir"));
    CFileStatus status;
    ASSERT_EQ(status.Query(At("five.bin")), 0);
    EXPECT_TRUE(status.Exists());
    EXPECT_TRUE(status.IsRegular());
    EXPECT_EQ(status.Size(), 5);

    // A failed query forgets what the last one found.
    EXPECT_EQ(status.Query(At("missing.bin")), ENOENT);
    EXPECT_FALSE(status.Exists());
    EXPECT_FALSE(status.IsRegular());
    EXPECT_EQ(status.Size(), 0);
    EXPECT_EQ(status.Query(At("five.bin/below")), ENOTDIR);
    EXPECT_FALSE(status.Exists());

    ASSERT_EQ(status.Query(At("dir")), 0);
    EXPECT_TRUE(status.Exists());
    EXPECT_FALSE(status.IsRegular());
    // A link is followed to what it names.
    std::filesystem::create_symlink(At("five.bin"), At("link"));
    ASSERT_EQ(status.Query(At("link")), 0);
    EXPECT_TRUE(status.IsRegular());
    EXPECT_EQ(status.Size(), 5);
}

}  // namespace
