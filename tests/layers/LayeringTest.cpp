// The source folders form layers, lowest first; a file may include its own layer and
// those below, never one above. The order is the README's map of the source.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Window code (every ui/ subfolder and resources/) is one layer on top: it is the
// window library, whose parts may use each other.
const std::vector<std::string> kLayers = {"platform", "core",     "control", "settings", "store", "transfer",
                                          "depot",    "vehicles", "web",     "shell",    "windows"};

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
