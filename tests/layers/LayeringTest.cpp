// The source folders form layers, lowest first; a file may include its own layer and
// those below, never one above. The order is the README's map of the source. The
// operating system's headers are included in platform/ only, the window library's in
// the window code only. And no product header holds a lock the thread-safety
// analysis cannot see.
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
const std::vector<std::string> kLayers = {"platform", "core",    "control", "settings", "store", "transfer", "depot",
                                          "footage",  "central", "vehicles", "web",    "server",   "shell", "windows"};

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

// Every product source file, those at the top (the programs' main files) included.
std::vector<std::string> AllProductSources()
{
    std::vector<std::string> files = ProductSources();
    for (const fs::directory_entry& entry : fs::directory_iterator(SourceRoot())) {
        std::string ext = entry.path().extension().string();
        if (entry.is_regular_file() && (ext == ".h" || ext == ".cpp"))
            files.push_back(fs::relative(entry.path(), SourceRoot()).generic_string());
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

// A header of the operating system rather than of C++ or of a library: POSIX and
// Linux folders, the POSIX headers, and the C library's own .h names (C++ code takes
// <cerrno>, <ctime> and the like).
bool IsOsHeader(const std::string& name)
{
    static const std::regex kOs(
        R"re(^(sys|arpa|net|netinet|netinet6|netpacket|linux|asm|asm-generic|bits|gnu|scsi|mtd|rdma|sound)/.*)re"
        R"re(|^(aio|cpio|dirent|dlfcn|fcntl|fmtmsg|fnmatch|ftw|glob|grp|iconv|langinfo|libgen|monetary|mqueue|)re"
        R"re(ndbm|netdb|nl_types|poll|pthread|pwd|regex|sched|search|semaphore|spawn|strings|stropts|syslog|tar|)re"
        R"re(termios|trace|ulimit|unistd|utime|utmp|utmpx|wordexp|ifaddrs|mntent|execinfo|err|error|paths|shadow|)re"
        R"re(pty|endian|byteswap|features|link|elf|getopt|alloca|malloc|resolv|ucontext|sysexits|libintl|)re"
        R"re(assert|complex|ctype|errno|fenv|float|inttypes|iso646|limits|locale|math|setjmp|signal|stdalign|)re"
        R"re(stdarg|stdatomic|stdbool|stddef|stdint|stdio|stdlib|stdnoreturn|string|tgmath|threads|time|uchar|)re"
        R"re(wchar|wctype)\.h$)re");
    return std::regex_match(name, kOs);
}

// A header of the window library: <QWidget>, <QtCore/QObject>, <QtWidgets>.
bool IsQtHeader(const std::string& name)
{
    static const std::regex kQt(R"re(^Q(t[A-Za-z0-9_]*|[A-Z][A-Za-z0-9_]*)(/.*)?$)re");
    return std::regex_match(name, kQt);
}

// The <...> includes of a source text (path relative to the root) that its folder
// may not have: "line: <name> (why)" each. Commented-out includes do not count.
std::vector<std::string> ForbiddenSystemIncludes(const std::string& relative, const std::string& text)
{
    static const std::regex kInclude(R"re(^\s*#\s*include\s*<([^>]+)>)re");
    const std::string layer = LayerOf(relative);
    std::vector<std::string> found;
    std::istringstream lines(CodeOnly(text));
    std::string line;
    std::smatch match;
    int nLine = 0;
    while (std::getline(lines, line)) {
        ++nLine;
        if (!std::regex_search(line, match, kInclude))
            continue;
        const std::string name = match[1];
        if (IsOsHeader(name) && layer != "platform")
            found.push_back(std::to_string(nLine) + ": <" + name + "> (operating system: platform/ only)");
        else if (IsQtHeader(name) && layer != "windows")
            found.push_back(std::to_string(nLine) + ": <" + name + "> (window library: ui/ and resources/ only)");
    }
    return found;
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

// Only platform/ talks to the operating system, and only the window code to the
// window library, so that the rest builds and runs without either.
TEST(LayeringTest, OsHeadersOnlyInPlatformAndWindowHeadersOnlyInWindowCode)
{
    std::vector<std::string> files = AllProductSources();
    ASSERT_GT(files.size(), 100u) << "sources not found under " << SourceRoot();
    ASSERT_NE(std::find(files.begin(), files.end(), "main.cpp"), files.end());

    std::string report;
    for (const std::string& file : files) {
        for (const std::string& v : ForbiddenSystemIncludes(file, ReadFile(file)))
            report += "\n  " + file + ":" + v;
    }
    EXPECT_TRUE(report.empty()) << "system includes outside their folder; add what is needed to platform/:"
                                << report;
}

// The check tells the folders apart, knows the operating system's headers by their
// form rather than by a list of today's, and reads code only.
TEST(LayeringTest, SystemIncludeCheckFailsOutsideTheAllowedFolders)
{
    auto check = [](const std::string& relative, const std::string& text) {
        return ForbiddenSystemIncludes(relative, text);
    };
    using Lines = std::vector<std::string>;
    EXPECT_EQ(check("web/WebThing.cpp", "#include <sys/socket.h>\n"),
              (Lines {"1: <sys/socket.h> (operating system: platform/ only)"}));
    EXPECT_TRUE(check("platform/Thing.cpp", "#include <sys/socket.h>\n").empty());

    // Headers no product file includes today, and the spellings an include may take.
    const std::string os = "#include <string>\n"
                           "#include <cerrno>\n"
                           "  #  include   <linux/fs.h>\n"
                           "#include <netinet6/in6.h>\n"
                           "#include <termios.h>\n"
                           "#include <errno.h>\n"
                           "#include <sys/mman.h> // mapping\n";
    EXPECT_EQ(check("transfer/Thing.h", os),
              (Lines {"3: <linux/fs.h> (operating system: platform/ only)",
                      "4: <netinet6/in6.h> (operating system: platform/ only)",
                      "5: <termios.h> (operating system: platform/ only)",
                      "6: <errno.h> (operating system: platform/ only)",
                      "7: <sys/mman.h> (operating system: platform/ only)"}));
    EXPECT_TRUE(check("platform/Thing.h", os).empty());

    // Libraries stay where they are; only the forbidden form counts, in code.
    EXPECT_TRUE(check("web/Thing.cpp", "#include <httplib.h>\n#include <openssl/ssl.h>\n"
                                       "#include <nlohmann/json.hpp>\n#include <sqlite3.h>\n"
                                       "#include <log4cpp/Category.hh>\n#include \"platform/Socket.h\"\n"
                                       "// #include <unistd.h>\n/* #include <poll.h> */\n")
                    .empty());

    const std::string qt = "#include <QWidget>\n#include <QtCore/QObject>\n#include <Qt>\n#include <queue>\n";
    EXPECT_EQ(check("shell/Thing.cpp", qt),
              (Lines {"1: <QWidget> (window library: ui/ and resources/ only)",
                      "2: <QtCore/QObject> (window library: ui/ and resources/ only)",
                      "3: <Qt> (window library: ui/ and resources/ only)"}));
    EXPECT_EQ(check("main.cpp", qt).size(), 3u);
    EXPECT_TRUE(check("shell/ui/Thing.cpp", qt).empty());
    EXPECT_TRUE(check("settings/ui/Thing.h", qt).empty());
    EXPECT_TRUE(check("resources/Thing.cpp", qt).empty());
    // The window code is no place for the operating system either.
    EXPECT_EQ(check("shell/ui/Thing.cpp", "#include <unistd.h>\n").size(), 1u);
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
