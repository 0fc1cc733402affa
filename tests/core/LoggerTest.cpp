#include "core/Logger.h"

#include "core/NotifyCenter.h"
#include "support/LogFile.h"
#include "support/RecordingObserver.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
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
    WriteFile("log.txt", "old run line\r\n");
    {
        CLogger logger("log.txt", m_center);
        EXPECT_EQ(ReadFile("log.txt"), "");
        logger.Write(nullptr, "Server starts");
        logger.Write("BUS1", "Start download task for BUS1");
    }
    std::string text = ReadFile("log.txt");
    EXPECT_EQ(text.size(), 2 * 19 + 2 + std::string("Server startsStart download task for BUS1").size() + 4);
    auto messages = ReadLogMessages();
    EXPECT_EQ(messages, (std::vector<std::string> {"Server starts", "Start download task for BUS1"}));
    EXPECT_EQ(text.find("old run"), std::string::npos);
}

TEST_F(LoggerTest, FilterAndLengthLimitActOnFileAndScreenAlike)
{
    m_center.Register(&m_observer);
    CLogger logger("log.txt", m_center);
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
    std::filesystem::create_directory("unopenable.txt");  // a directory cannot be opened for writing
    m_center.Register(&m_observer);
    CLogger logger("unopenable.txt", m_center);
    logger.Write(nullptr, "still shown");
    ASSERT_TRUE(m_observer.WaitFor(1));
    EXPECT_EQ(m_observer.Items()[0].text, "still shown");
}

TEST_F(LoggerTest, ManyThreadsLeaveEveryLineWholeAndNoneLost)
{
    CLogger logger("log.txt", m_center);
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
