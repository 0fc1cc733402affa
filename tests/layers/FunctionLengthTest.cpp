// No product function is longer than kMaxLines lines, from the line of its name to
// its closing brace. The extents come from universal-ctags, which parses C++ (final,
// noexcept, templates, lambdas) well enough for that; scripts/deps.sh installs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int kMaxLines = 60;

// Folders that hold no product code.
const std::vector<std::string> kOutside = {"tests", "bench", "fuzz", "tools", "packaging", "scripts", "docs"};

struct Function {
    std::string file;
    std::string name;  // with its scope, as ctags names it
    int nLine = 0;
    int nLength = 0;
};

// Output of a shell command, and whether it ran and exited 0.
bool RunCommand(const std::string& command, std::string& output)
{
    output.clear();
    FILE* pPipe = ::popen(command.c_str(), "r");
    if (pPipe == nullptr)
        return false;
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof(buf), pPipe)) > 0)
        output.append(buf, n);
    return ::pclose(pPipe) == 0;
}

std::string Quoted(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The universal-ctags program, or "" when none is installed (an exuberant ctags
// named ctags knows no end lines).
std::string FindCtags()
{
    for (const char* szName : {"ctags-universal", "universal-ctags", "ctags"}) {
        std::string output;
        if (RunCommand(std::string(szName) + " --version 2>/dev/null", output) &&
            output.find("Universal Ctags") != std::string::npos)
            return szName;
    }
    return {};
}

// Every function defined in files, with its length; lambdas count within the
// function around them and on their own.
std::vector<Function> MeasureFunctions(const std::string& ctags, const std::vector<fs::path>& files)
{
    std::string command = ctags +
                          " --language-force=C++ --kinds-C++=f --fields=+ne"
                          " --output-format=xref --_xformat='%F\t%n\t%{end}\t%{scope}\t%N' -o -";
    for (const fs::path& file : files)
        command += " " + Quoted(file.string());
    std::string output;
    EXPECT_TRUE(RunCommand(command + " 2>&1", output)) << command << "\n" << output;
    std::vector<Function> functions;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        std::string field;
        while (std::getline(parts, field, '\t'))
            fields.push_back(field);
        if (fields.size() != 5) {
            ADD_FAILURE() << "unexpected ctags line: " << line;
            continue;
        }
        Function function;
        function.file = fields[0];
        function.nLine = std::atoi(fields[1].c_str());
        const int nEnd = std::atoi(fields[2].c_str());
        function.name = fields[3] == "-" || fields[3].empty() ? fields[4] : fields[3] + "::" + fields[4];
        if (nEnd < function.nLine) {
            ADD_FAILURE() << "no end line for " << function.name << " in " << function.file << ":" << line;
            continue;
        }
        function.nLength = nEnd - function.nLine + 1;
        functions.push_back(function);
    }
    return functions;
}

// Every product source file under root.
std::vector<fs::path> ProductSources(const fs::path& root)
{
    std::vector<fs::path> files;
    auto isSource = [](const fs::path& path) {
        const std::string ext = path.extension().string();
        return ext == ".h" || ext == ".cpp";
    };
    for (const fs::directory_entry& top : fs::directory_iterator(root)) {
        const std::string name = top.path().filename().string();
        if (top.is_regular_file() && isSource(top.path()))
            files.push_back(top.path());
        if (!top.is_directory() || name[0] == '.' || name.rfind("build", 0) == 0 ||
            std::find(kOutside.begin(), kOutside.end(), name) != kOutside.end())
            continue;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(top.path()))
            if (entry.is_regular_file() && isSource(entry.path()))
                files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// "file:line name is N lines" for every function longer than kMaxLines.
std::vector<std::string> TooLong(const std::vector<Function>& functions)
{
    std::vector<std::string> found;
    for (const Function& function : functions)
        if (function.nLength > kMaxLines)
            found.push_back(function.file + ":" + std::to_string(function.nLine) + " " + function.name + " is " +
                            std::to_string(function.nLength) + " lines");
    return found;
}

// A source file with a function of nBodyLines statements in class CProbe, besides the
// things that confuse simpler parsers before it.
fs::path WriteProbe(const fs::path& dir, int nBodyLines)
{
    fs::create_directories(dir);
    const fs::path file = dir / "Probe.cpp";
    std::ofstream out(file);
    out << "template <class T>\n"
           "class CHolder final : public T {\n"
           "public:\n"
           "    CHolder(CHolder&& other) noexcept : m_n(other.m_n) {}\n"
           "    void Run() override { m_n = 1; }\n"
           "    int m_n = 0;\n"
           "};\n"
           "auto Twice(int n) -> int { return 2 * n; }\n"
           "int CProbe::Long(int n) const\n"
           "{\n";
    for (int i = 0; i < nBodyLines; ++i)
        out << "    n += " << i << ";\n";
    out << "    return n;\n"
           "}\n";
    return file;
}

class FunctionLengthTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_ctags = FindCtags();
        ASSERT_FALSE(m_ctags.empty()) << "universal-ctags is required: run scripts/deps.sh";
        m_dir = fs::temp_directory_path() / ("FunctionLengthTest." + std::to_string(::getpid()));
        fs::remove_all(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string m_ctags;
    fs::path m_dir;
};

// The measure itself: a function of 61 lines is named with its length, one of 60 is
// not, and the functions around it (final class, noexcept, override, trailing return
// type) are all found.
TEST_F(FunctionLengthTest, MeasuresFromNameToClosingBrace)
{
    // 57 statements with the name line, "{", "return" and "}" make 61 lines.
    std::vector<Function> functions = MeasureFunctions(m_ctags, {WriteProbe(m_dir / "long", 57)});
    std::vector<std::string> names;
    for (const Function& function : functions)
        names.push_back(function.name);
    for (const char* szName : {"CHolder::CHolder", "CHolder::Run", "Twice", "CProbe::Long"})
        EXPECT_NE(std::find(names.begin(), names.end(), szName), names.end()) << szName << " not found";
    std::vector<std::string> found = TooLong(functions);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NE(found[0].find("CProbe::Long is 61 lines"), std::string::npos) << found[0];
    EXPECT_NE(found[0].find("Probe.cpp:9 "), std::string::npos) << found[0];

    EXPECT_TRUE(TooLong(MeasureFunctions(m_ctags, {WriteProbe(m_dir / "fits", 56)})).empty());
}

TEST_F(FunctionLengthTest, NoProductFunctionIsTooLong)
{
    const std::vector<fs::path> files = ProductSources(fs::path(ZEL_SOURCE_DIR));
    ASSERT_GT(files.size(), 50u);
    std::vector<Function> functions = MeasureFunctions(m_ctags, files);
    // Some hundreds of functions: a parse that stopped early would find few.
    EXPECT_GT(functions.size(), 500u);
    std::vector<std::string> found = TooLong(functions);
    std::string report;
    for (const std::string& text : found)
        report += "  " + text + "\n";
    EXPECT_TRUE(found.empty()) << "functions longer than " << kMaxLines << " lines:\n" << report;
}

}  // namespace
