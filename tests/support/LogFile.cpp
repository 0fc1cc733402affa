#include "LogFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

std::filesystem::path& LogFilePath()
{
    static std::filesystem::path s_path;
    return s_path;
}

} // namespace

void SetLogFilePath(const std::filesystem::path& path)
{
    LogFilePath() = path;
}

std::vector<std::string> ReadLogMessages(const std::filesystem::path& path)
{
    if (path.empty() && LogFilePath().empty()) {
        ADD_FAILURE() << "no log file to read";
        return {};
    }
    std::ifstream in(path.empty() ? LogFilePath() : path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    static const std::regex stamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} )");
    std::vector<std::string> messages;
    std::size_t nPos = 0;
    while (nPos < text.size()) {
        std::size_t nEnd = text.find("\r\n", nPos);
        if (nEnd == std::string::npos) {
            ADD_FAILURE() << "log line without CR LF: " << text.substr(nPos);
            break;
        }
        std::string line = text.substr(nPos, nEnd - nPos);
        if (line.empty() && !messages.empty()) {
            // A message that carries its own line break ends in an empty line.
            messages.back() += "\r\n";
        } else if (!std::regex_search(line, stamp))
            ADD_FAILURE() << "log line without time stamp: " << line;
        else
            messages.push_back(line.substr(20));
        nPos = nEnd + 2;
    }
    return messages;
}

bool LogHas(const std::string& text)
{
    auto messages = ReadLogMessages();
    return std::find(messages.begin(), messages.end(), text) != messages.end();
}

std::size_t CountLog(const std::string& text)
{
    auto messages = ReadLogMessages();
    return static_cast<std::size_t>(std::count(messages.begin(), messages.end(), text));
}

std::size_t CountLogContaining(const std::string& text)
{
    auto messages = ReadLogMessages();
    return static_cast<std::size_t>(std::count_if(messages.begin(), messages.end(), [&](const std::string& m) {
        return m.find(text) != std::string::npos;
    }));
}

std::string LastLogMessage()
{
    auto messages = ReadLogMessages();
    return messages.empty() ? std::string() : messages.back();
}
