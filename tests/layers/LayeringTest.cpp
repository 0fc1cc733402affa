// The source folders form layers, lowest first; a file may include its own layer and
// those below, never one above. The order is the README's map of the source. And no
// product header holds a lock the thread-safety analysis cannot see.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Window code (every ui/ subfolder and resources/) is one layer on top: it is the
// window library, whose parts may use each other.
const std::vector<std::string> kLayers = {"platform", "core",     "control", "settings", "store", "transfer",
                                          "depot",    "vehicles", "web",     "server",   "shell",    "windows"};

// Folders outside the layers: programs, tests and tools built on top of everything.
const std::vector<std::string> kOutside = {"tests", "bench", "fuzz", "tools", "packaging", "scripts", "docs", "build"};

fs::path SourceRoot()
{
    return fs::path(ZEL_SOURCE_DIR);
}

// The layer of a path relative to the source root ("" for a file at the top).
std::string LayerOf(const std::string& relative)
{
    auto nSlash = relative.find('/');
    if (nSlash == std::string::npos)
        return {};
    std::string top = relative.substr(0, nSlash);
    if (top == "resources" || relative.find("/ui/") != std::string::npos)
        return "windows";
    return top;
}

int Rank(const std::string& layer)
{
    auto it = std::find(kLayers.begin(), kLayers.end(), layer);
    return it == kLayers.end() ? -1 : static_cast<int>(it - kLayers.begin());
}

bool IsOutside(const std::string& top)
{
    return top.empty() || top[0] == '.' || top.rfind("build", 0) == 0 ||
           std::find(kOutside.begin(), kOutside.end(), top) != kOutside.end();
}

// Every product source file, relative to the root.
std::vector<std::string> ProductSources()
{
    std::vector<std::string> files;
    for (const fs::directory_entry& top : fs::directory_iterator(SourceRoot())) {
        if (!top.is_directory() || IsOutside(top.path().filename().string()))
            continue;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(top.path())) {
            std::string ext = entry.path().extension().string();
            if (entry.is_regular_file() && (ext == ".h" || ext == ".cpp"))
                files.push_back(fs::relative(entry.path(), SourceRoot()).generic_string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string ReadFile(const std::string& relative)
{
    std::ifstream in(SourceRoot() / relative);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The text with comments and string and character literals blanked out, line breaks
// kept: a lock named in a comment or a text is not one declared.
std::string CodeOnly(const std::string& text)
{
    std::string code = text;
    auto blank = [&](std::size_t nFrom, std::size_t nTo) {
        for (std::size_t i = nFrom; i < nTo && i < code.size(); ++i)
            if (code[i] != '\n')
                code[i] = ' ';
    };
    // A quoted literal ends on its own line; npos when the quote opens none.
    auto quoteEnd = [&](std::size_t nOpen) {
        const char cQuote = text[nOpen];
        for (std::size_t i = nOpen + 1; i < text.size() && text[i] != '\n'; ++i) {
            if (text[i] == '\\')
                ++i;
            else if (text[i] == cQuote)
                return i + 1;
        }
        return std::string::npos;
    };
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        const char cPrev = i > 0 ? text[i - 1] : ' ';
        if (text.compare(i, 2, "//") == 0) {
            std::size_t nEnd = text.find('\n', i);
            nEnd = nEnd == std::string::npos ? text.size() : nEnd;
            blank(i, nEnd);
            i = nEnd;
        } else if (text.compare(i, 2, "/*") == 0) {
            std::size_t nEnd = text.find("*/", i + 2);
            nEnd = nEnd == std::string::npos ? text.size() : nEnd + 2;
            blank(i, nEnd);
            i = nEnd;
        } else if (c == 'R' && i + 1 < text.size() && text[i + 1] == '"' &&
                   (!std::isalnum(static_cast<unsigned char>(cPrev)) || std::strchr("8uUL", cPrev) != nullptr)) {
            // R"delim( ... )delim"
            const std::size_t nParen = text.find('(', i + 2);
            if (nParen == std::string::npos)
                break;
            const std::string close = ")" + text.substr(i + 2, nParen - i - 2) + "\"";
            std::size_t nEnd = text.find(close, nParen);
            nEnd = nEnd == std::string::npos ? text.size() : nEnd + close.size();
            blank(i, nEnd);
            i = nEnd;
        } else if (c == '"' || (c == '\'' && !std::isdigit(static_cast<unsigned char>(cPrev)))) {
            // A quote after a digit separates digits (1'000).
            const std::size_t nEnd = quoteEnd(i);
            if (nEnd == std::string::npos) {
                ++i;
                continue;
            }
            blank(i, nEnd);
            i = nEnd;
        } else {
            ++i;
        }
    }
    return code;
}

// A standard lock or condition variable in a source text: line (from 1) and type.
struct PlainLock {
    int nLine = 0;
    std::string strType;
};

std::vector<PlainLock> PlainLocks(const std::string& text)
{
    static const std::regex kPlain(R"re(\bstd\s*::\s*()re"
                                   R"re(mutex|recursive_mutex|timed_mutex|recursive_timed_mutex|)re"
                                   R"re(shared_mutex|shared_timed_mutex|condition_variable|condition_variable_any)re"
                                   R"re()\b)re");
    std::vector<PlainLock> found;
    std::istringstream lines(CodeOnly(text));
    std::string line;
    int nLine = 0;
    while (std::getline(lines, line)) {
        ++nLine;
        for (std::sregex_iterator it(line.begin(), line.end(), kPlain), end; it != end; ++it)
            found.push_back(PlainLock {nLine, "std::" + (*it)[1].str()});
    }
    return found;
}

std::vector<std::string> ProjectIncludes(const std::string& relative)
{
    static const std::regex kInclude(R"re(^\s*#\s*include\s*"([^"]+)")re");
    std::vector<std::string> includes;
    std::ifstream in(SourceRoot() / relative);
    std::string line;
    std::smatch match;
    while (std::getline(in, line)) {
        if (std::regex_search(line, match, kInclude))
            includes.push_back(match[1]);
    }
    return includes;
}

} // namespace

TEST(LayeringTest, EveryFolderHasALayerAndNoIncludePointsUp)
{
    std::vector<std::string> files = ProductSources();
    ASSERT_GT(files.size(), 100u) << "sources not found under " << SourceRoot();

    std::vector<std::string> violations;
    for (const std::string& file : files) {
        const std::string layer = LayerOf(file);
        const int nRank = Rank(layer);
        EXPECT_GE(nRank, 0) << file << " lies in a folder with no layer: add it to the order and the README";
        for (const std::string& include : ProjectIncludes(file)) {
            const int nTarget = Rank(LayerOf(include));
            if (nTarget > nRank)
                violations.push_back(file + " (" + layer + ") includes " + include + " (" + LayerOf(include) + ")");
        }
    }
    std::string report;
    for (const std::string& v : violations)
        report += "\n  " + v;
    EXPECT_TRUE(violations.empty()) << "includes pointing up:" << report;
}

// The README's map lists the layers in the same order, so that the rule is written
// where a newcomer reads it.
TEST(LayeringTest, ReadmeMapStatesTheOrder)
{
    std::ifstream in(SourceRoot() / "README.md");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto nMap = text.find("## Map of the source");
    ASSERT_NE(nMap, std::string::npos);
    std::size_t nLast = nMap;
    for (const std::string& layer : kLayers) {
        if (layer == "windows")
            continue;
        auto nAt = text.find("| `" + layer + "/`", nMap);
        ASSERT_NE(nAt, std::string::npos) << layer << "/ missing from the map";
        EXPECT_GT(nAt, nLast) << layer << "/ out of order in the map";
        nLast = nAt;
    }
}

// Every lock of the product is a CMutex (CCondition to wait on it), so that clang's
// analysis checks each field against the lock its declaration names. A standard
// mutex or condition variable in a header escapes that check.
TEST(LockRulesTest, NoProductHeaderDeclaresAPlainLock)
{
    // The wrappers themselves, built on the standard pair.
    const std::set<std::string> kWrappers = {"platform/Condition.h", "platform/Mutex.h"};

    std::vector<std::string> files = ProductSources();
    ASSERT_GT(files.size(), 100u) << "sources not found under " << SourceRoot();

    std::string report;
    for (const std::string& file : files) {
        if (file.size() < 2 || file.compare(file.size() - 2, 2, ".h") != 0 || kWrappers.count(file) != 0)
            continue;
        for (const PlainLock& lock : PlainLocks(ReadFile(file)))
            report += "\n  " + file + ":" + std::to_string(lock.nLine) + ": " + lock.strType;
    }
    EXPECT_TRUE(report.empty()) << "plain locks the analysis cannot check; use CMutex, CMutexLock and CCondition "
                                   "(platform/), with GUARDED_BY on what each guards:"
                                << report;
}

// The check reads code, not comments or texts, and sees a lock wherever a
// declaration puts it.
TEST(LockRulesTest, CheckSeesLocksInCodeOnly)
{
    const std::vector<std::string> lines = {
        "// std::mutex in a comment",
        "/* std::condition_variable",
        "   std::mutex */ class CFoo {",
        "    const char* m_sz = \"std::mutex \\\" std::mutex\";",
        "    char m_c = '\"'; std::mutex m_a;",
        "    const char* m_r = R\"x(\" std::mutex )\" )x\"; int m_n = 1'000;",
        "    mutable std::recursive_mutex m_b;",
        "    std::array<std::shared_mutex, 2> m_c2;",
        "    std::condition_variable_any m_d; CMutex m_e; std::mutexes m_f;",
        "    std :: timed_mutex m_g;",
        "};",
    };
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    std::vector<std::string> got;
    for (const PlainLock& lock : PlainLocks(text))
        got.push_back(std::to_string(lock.nLine) + " " + lock.strType);
    EXPECT_EQ(got, (std::vector<std::string> {"5 std::mutex", "7 std::recursive_mutex", "8 std::shared_mutex",
                                              "9 std::condition_variable_any", "10 std::timed_mutex"}));
}
