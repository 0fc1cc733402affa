#include "core/Logger.h"

#include "core/NotifyCenter.h"
#include "support/LogFile.h"
#include "support/RecordingObserver.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <thread>

namespace {

class LoggerTest : public Sandbox {
protected:
    RecordingObserver m_observer;  // outlives the center
    CNotifyCenter m_center;
};

} // namespace

TEST_F(LoggerTest, NewLoggerEmptiesFileAndWritesStampedCrLfLines)
{
    WriteFile(At("log.txt"), "old run line\r\n");
    {
        CLogger logger(At("log.txt"), m_center);
        EXPECT_EQ(ReadFile(At("log.txt")), "");
        logger.Write(nullptr, "Server starts");
        logger.Write("BUS1", "Start download task for BUS1");
    }
    std::string text = ReadFile(At("log.txt"));
    EXPECT_EQ(text.size(), 2 * 19 + 2 + std::string("Server startsStart download task for BUS1").size() + 4);
    auto messages = ReadLogMessages();
    EXPECT_EQ(messages, (std::vector<std::string> {"Server starts", "Start download task for BUS1"}));
    EXPECT_EQ(text.find("old run"), std::string::npos);
}

TEST_F(LoggerTest, FilterAndLengthLimitActOnFileAndScreenAlike)
{
    m_center.Register(&m_observer);
    CLogger logger(At("log.txt"), m_center);
    EXPECT_TRUE(logger.IsLogged("ANY"));
    logger.SetFilter({});
    EXPECT_FALSE(logger.IsLogged("BUS1"));
    EXPECT_TRUE(logger.IsLogged(nullptr));
    logger.Write("BUS1", "dropped");
    logger.Write(nullptr, "no vehicle");

    // Names match exactly.
    logger.SetFilter({"BUS1", "Tram 7"});
    logger.Write("BUS1", "kept");
    logger.Write("bus1", "case differs");
    logger.Write("Tram 7 ", "trailing blank");
    logger.Write("Tram 7", "kept too");
    logger.Write(nullptr, std::string(1500, 'm').c_str());

    auto expected = std::vector<std::string> {"no vehicle", "kept", "kept too", std::string(1023, 'm')};
    EXPECT_EQ(ReadLogMessages(), expected);
    ASSERT_TRUE(m_observer.WaitFor(4));
    m_center.Stop();
    std::vector<std::string> shown;
    for (const auto& item : m_observer.Items()) {
        EXPECT_EQ(item.nKind, NOTIFY_LOG);
        shown.push_back(item.text);
    }
    EXPECT_EQ(shown, expected);
}

TEST_F(LoggerTest, UnopenableFileStillReachesScreenAndNeverFails)
{
    std::filesystem::create_directory(At("unopenable.txt"));  // a directory cannot be opened for writing
    m_center.Register(&m_observer);
    CLogger logger(At("unopenable.txt"), m_center);
    logger.Write(nullptr, "still shown");
    ASSERT_TRUE(m_observer.WaitFor(1));
    EXPECT_EQ(m_observer.Items()[0].text, "still shown");
}

TEST_F(LoggerTest, ManyThreadsLeaveEveryLineWholeAndNoneLost)
{
    CLogger logger(At("log.txt"), m_center);
    const int nThreads = 8;
    const int nLines = 500;
    auto message = [](int t, int i) {
        return "thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
               std::string(static_cast<std::size_t>(50 + (i * 37) % 900), 'x');
    };
    std::vector<std::jthread> writers;
    std::multiset<std::string> expected;
    for (int t = 0; t < nThreads; ++t) {
        for (int i = 0; i < nLines; ++i)
            expected.insert(message(t, i));
        writers.emplace_back([&, t] {
            for (int i = 0; i < nLines; ++i)
                logger.Write(nullptr, message(t, i).c_str());
        });
    }
    for (auto& writer : writers)
        writer.join();
    auto messages = ReadLogMessages();
    EXPECT_TRUE(std::multiset<std::string>(messages.begin(), messages.end()) == expected);
}

TEST_F(LoggerTest, RotationKeepsEveryFileWithinItsLimitAndEveryLineWhole)
{
    // Four writers, some 3.4 MiB of lines, through 1 MiB files of which two old ones
    // are kept: the files together hold at most 3 MiB, the newest lines all there.
    constexpr std::uint64_t kMiB = 1024 * 1024;
    constexpr unsigned kKeep = 2;
    const int nThreads = 4;
    const int nLines = 3000;
    auto message = [](int t, int i) {
        return "writer " + std::to_string(t) + " line " + std::to_string(i) + " " +
               std::string(static_cast<std::size_t>(100 + (i * 53) % 400), 'r');
    };
    {
        CLogger logger(At("log.txt"), m_center, LogRotation {kMiB, kKeep});
        std::vector<std::jthread> writers;
        for (int t = 0; t < nThreads; ++t) {
            writers.emplace_back([&, t] {
                for (int i = 0; i < nLines; ++i)
                    logger.Write(nullptr, message(t, i).c_str());
            });
        }
    }
    EXPECT_FALSE(std::filesystem::exists(At("log.txt.3")));
    std::uintmax_t nTotal = 0;
    std::vector<std::string> messages;  // oldest first
    for (const char* szName : {"log.txt.2", "log.txt.1", "log.txt"}) {
        const std::string file = At(szName);
        ASSERT_TRUE(std::filesystem::exists(file)) << file;
        const std::uintmax_t nSize = std::filesystem::file_size(file);
        EXPECT_LE(nSize, kMiB) << file;
        // A file was moved on only when the next line would not fit.
        if (std::string(szName) != "log.txt") {
            EXPECT_GT(nSize + 2048, kMiB) << file;
        }
        nTotal += nSize;
        const std::vector<std::string> inFile = ReadLogMessages(file);  // fails on a broken line
        messages.insert(messages.end(), inFile.begin(), inFile.end());
    }
    EXPECT_LE(nTotal, (kKeep + 1) * kMiB);
    // Each writer's lines kept are its last ones, in order, none missing in between.
    std::map<int, std::vector<int>> kept;
    for (const std::string& text : messages) {
        int t = -1;
        int i = -1;
        ASSERT_EQ(std::sscanf(text.c_str(), "writer %d line %d ", &t, &i), 2) << text;
        ASSERT_EQ(text, message(t, i));
        kept[t].push_back(i);
    }
    ASSERT_EQ(kept.size(), static_cast<std::size_t>(nThreads));
    for (const auto& [t, lines] : kept) {
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), nLines - 1) << "writer " << t;
        for (std::size_t k = 1; k < lines.size(); ++k)
            ASSERT_EQ(lines[k], lines[k - 1] + 1) << "writer " << t;
    }
}

TEST_F(LoggerTest, RestartWithRotationKeepsThePreviousRunAndWithoutItEmptiesTheFile)
{
    const LogRotation rotation {1024 * 1024, 2};
    auto run = [&](const char* szLine, const LogRotation& how) {
        CLogger logger(At("log.txt"), m_center, how);
        logger.Write(nullptr, szLine);
    };
    run("first run", rotation);
    EXPECT_FALSE(std::filesystem::exists(At("log.txt.1")));
    run("second run", rotation);
    EXPECT_EQ(ReadLogMessages(), std::vector<std::string> {"second run"});
    EXPECT_EQ(ReadLogMessages(At("log.txt.1")), std::vector<std::string> {"first run"});
    run("third run", rotation);
    run("fourth run", rotation);
    EXPECT_EQ(ReadLogMessages(At("log.txt.1")), std::vector<std::string> {"third run"});
    EXPECT_EQ(ReadLogMessages(At("log.txt.2")), std::vector<std::string> {"second run"});
    EXPECT_FALSE(std::filesystem::exists(At("log.txt.3")));  // the first run's file was the oldest

    // An empty file is reused, not moved on.
    WriteFile(At("log.txt"), "");
    run("after an empty one", rotation);
    EXPECT_EQ(ReadLogMessages(At("log.txt.1")), std::vector<std::string> {"third run"});

    // Without rotation: emptied at the start, the old files left alone, no limit.
    {
        CLogger logger(At("log.txt"), m_center, LogRotation {0, 5});
        EXPECT_EQ(ReadFile(At("log.txt")), "");
        const std::string line(1000, 'n');
        for (int i = 0; i < 1500; ++i)
            logger.Write(nullptr, line.c_str());
    }
    EXPECT_GT(std::filesystem::file_size(At("log.txt")), 1024u * 1024u);
    EXPECT_EQ(ReadLogMessages(At("log.txt.1")), std::vector<std::string> {"third run"});
    EXPECT_EQ(ReadLogMessages(At("log.txt.2")), std::vector<std::string> {"second run"});

    // A limit set while the file is already larger moves it on at the next line.
    CLogger logger(At("log.txt"), m_center);
    logger.Write(nullptr, std::string(1000, 'o').c_str());
    logger.SetRotation(LogRotation {500, 1});
    logger.Write(nullptr, "moved on");
    EXPECT_EQ(ReadLogMessages(), std::vector<std::string> {"moved on"});
    EXPECT_EQ(ReadLogMessages(At("log.txt.1")), std::vector<std::string> {std::string(1000, 'o')});
}

TEST_F(LoggerTest, RotationThatCannotMoveTheFileKeepsWritingIt)
{
    // A directory that is not empty cannot be replaced by a file.
    std::filesystem::create_directories(At("log.txt.1/in the way"));
    CLogger logger(At("log.txt"), m_center, LogRotation {300, 1});
    for (int i = 0; i < 10; ++i)
        logger.Write(nullptr, ("line " + std::to_string(i) + " " + std::string(60, 'w')).c_str());
    const std::vector<std::string> messages = ReadLogMessages();
    ASSERT_EQ(messages.size(), 10u);
    EXPECT_EQ(messages.back(), "line 9 " + std::string(60, 'w'));
    EXPECT_TRUE(std::filesystem::is_directory(At("log.txt.1")));
}

TEST_F(LoggerTest, ProcessWideLoggerFiltersAndResetsToAFreshFile)
{
    WriteLog("via free function", "BUS9");
    EXPECT_EQ(ReadLogMessages(), std::vector<std::string> {"via free function"});
    CLogger::Instance().SetFilter({"OTHER"});
    WriteLog("filtered", "BUS9");
    WriteLog("unfiltered");
    EXPECT_EQ(ReadLogMessages(), (std::vector<std::string> {"via free function", "unfiltered"}));

    // A reset lets every vehicle pass again and leaves the old file as it was.
    CLogger::Instance().Reset((Dir() / "second.txt").string());
    WriteLog("after reset", "BUS9");
    EXPECT_EQ(ReadLogMessages((Dir() / "second.txt").string()), std::vector<std::string> {"after reset"});
    EXPECT_EQ(ReadLogMessages().size(), 2u);
}
