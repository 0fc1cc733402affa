// The Debian package built from this build tree by scripts/package.sh: what it holds,
// what Debian's checkers say of it, and its server storing a recording.
#include "platform/Socket.h"
#include "settings/DepotSettings.h"
#include "settings/Settings.h"
#include "settings/SettingsFile.h"
#include "store/LocalStore.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"
#include "support/WaitFor.h"
#include "tools/dvrsim/DvrSimulator.h"
#include "tools/dvrsim/SimOptions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Command {
    int nStatus = -1;
    std::string strOutput;  // standard output and error
};

Command Shell(const std::string& strCommand)
{
    Command result;
    FILE* pPipe = ::popen((strCommand + " 2>&1").c_str(), "r");
    if (pPipe == nullptr)
        return result;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), pPipe)) > 0)
        result.strOutput.append(buf, n);
    int nStatus = ::pclose(pPipe);
    result.nStatus = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    return result;
}

std::string Quote(const fs::path& path)
{
    std::string str = "'";
    for (char c : path.string())
        str += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return str + "'";
}

bool HaveTool(const std::string& strTool)
{
    return Shell("command -v " + strTool).nStatus == 0;
}

// The checkers are optional on a developer's machine; scripts/deps.sh installs them.
#define REQUIRE_TOOL(tool, package)                                                                        \
    if (!HaveTool(tool))                                                                                  \
    GTEST_SKIP() << tool " is not installed (Debian package " package ")"

std::string Slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// "key=value" lines of an INI-style file (a key given twice keeps its values in
// order, space-separated); sections and comments are left out.
std::multimap<std::string, std::string> IniValues(const std::string& strText)
{
    std::multimap<std::string, std::string> values;
    std::istringstream in(strText);
    std::string strLine;
    while (std::getline(in, strLine)) {
        std::size_t nEq = strLine.find('=');
        if (strLine.empty() || strLine[0] == '#' || strLine[0] == '[' || nEq == std::string::npos)
            continue;
        values.emplace(strLine.substr(0, nEq), strLine.substr(nEq + 1));
    }
    return values;
}

std::string IniValue(const std::multimap<std::string, std::string>& values, const std::string& strKey)
{
    auto it = values.find(strKey);
    return it == values.end() ? std::string() : it->second;
}

// CMakeCache.txt's value of strKey, "" when it has none.
std::string CacheValue(const std::string& strKey)
{
    std::istringstream in(Slurp(ZEL_BUILD_DIR "/CMakeCache.txt"));
    std::string strLine;
    while (std::getline(in, strLine)) {
        if (strLine.rfind(strKey + ":", 0) == 0)
            return strLine.substr(strLine.find('=') + 1);
    }
    return "";
}

// The version of the project() line of the top-level CMakeLists.txt.
std::string ProjectVersion()
{
    std::smatch match;
    const std::string text = Slurp(fs::path(CacheValue("CMAKE_HOME_DIRECTORY")) / "CMakeLists.txt");
    return std::regex_search(text, match, std::regex(R"(project\(\s*ZELDownload\s+VERSION\s+([0-9.]+))"))
               ? match[1].str()
               : std::string("(no version)");
}

// Words of the bold lines (.B, .BR, .BI) of a man page's section strTitle.
std::set<std::string> BoldWords(const std::string& strPage, const std::string& strTitle)
{
    std::set<std::string> words;
    std::istringstream in(strPage);
    const std::regex word(R"([A-Za-z]+)");
    bool bInside = false;
    for (std::string strLine; std::getline(in, strLine);) {
        if (strLine.rfind(".SH ", 0) == 0)
            bInside = strLine == ".SH " + strTitle;
        else if (bInside && strLine.rfind(".B", 0) == 0)
            for (std::sregex_iterator it(strLine.begin(), strLine.end(), word), end; it != end; ++it)
                words.insert(it->str());
    }
    return words;
}

fs::file_time_type NewestIn(const fs::path& path)
{
    std::error_code ec;
    fs::file_time_type tNewest = fs::last_write_time(path, ec);
    if (fs::is_directory(path, ec)) {
        for (auto& entry : fs::recursive_directory_iterator(path, ec))
            tNewest = std::max(tNewest, entry.last_write_time(ec));
    }
    return tNewest;
}

// The package of this build tree, made once for all tests of a run: the test
// processes run side by side, so the first one builds it under a lock and the others
// take it, unless something it is made of is newer.
class PackageBuild {
public:
    static const PackageBuild& Get()
    {
        static PackageBuild s_build;
        return s_build;
    }

    fs::path deb;        // empty when it could not be built
    std::string strLog;  // what went wrong

private:
    PackageBuild()
    {
        const fs::path build = ZEL_BUILD_DIR;
        const fs::path out = build / "package-test";
        fs::create_directories(out);
        int fd = ::open((out / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0) {
            strLog = "cannot lock " + (out / "lock").string();
            return;
        }
        fs::file_time_type tInputs = fs::file_time_type::min();
        for (const char* szInput :
             {"zeldownloadd", "ZELDownload", "tools/dvrsim/dvrsim", "CPackConfig.cmake", "packaging"})
            tInputs = std::max(tInputs, NewestIn(build / szInput));
        const fs::path made = Slurp(out / "deb-path");
        std::error_code ec;
        if (!made.empty() && fs::exists(made, ec) && fs::last_write_time(made, ec) > tInputs) {
            deb = made;
        } else {
            fs::remove(out / "deb-path", ec);
            const fs::path script = fs::path(CacheValue("CMAKE_HOME_DIRECTORY")) / "scripts/package.sh";
            Command cmd = Shell("bash " + Quote(script) + " " + Quote(build) + " " + Quote(out));
            std::string strLast = cmd.strOutput;
            while (!strLast.empty() && strLast.back() == '\n')
                strLast.pop_back();
            strLast = strLast.substr(strLast.rfind('\n') + 1);
            if (cmd.nStatus == 0 && fs::exists(strLast, ec)) {
                deb = strLast;
                std::ofstream(out / "deb-path") << deb.string();
            } else {
                strLog = script.string() + " failed:\n" + cmd.strOutput;
            }
        }
        ::close(fd);
    }
};

class DebianPackageTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        m_deb = PackageBuild::Get().deb;
        ASSERT_FALSE(m_deb.empty()) << PackageBuild::Get().strLog;
    }

    void TearDown() override
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        Sandbox::TearDown();
    }

    // The package's files under Dir()/root.
    fs::path Unpack()
    {
        if (!fs::exists(Dir() / "root")) {
            Command cmd = Shell("dpkg-deb -x " + Quote(m_deb) + " " + Quote(Dir() / "root"));
            EXPECT_EQ(cmd.nStatus, 0) << cmd.strOutput;
        }
        return Dir() / "root";
    }

    std::string Field(const std::string& strName) const
    {
        Command cmd = Shell("dpkg-deb -f " + Quote(m_deb) + " " + strName);
        EXPECT_EQ(cmd.nStatus, 0) << cmd.strOutput;
        while (!cmd.strOutput.empty() && cmd.strOutput.back() == '\n')
            cmd.strOutput.pop_back();
        return cmd.strOutput;
    }

    // A gzipped page of the package, its troff source with "\-" read as "-".
    std::string ManPage(const fs::path& root, const std::string& strPath)
    {
        Command cmd = Shell("gzip -dc " + Quote(root / strPath));
        EXPECT_EQ(cmd.nStatus, 0) << strPath << ": " << cmd.strOutput;
        return std::regex_replace(cmd.strOutput, std::regex(R"(\\-)"), "-");
    }

    fs::path m_deb;
    pid_t m_pid = -1;
};

// Width and height of a PNG file, from its header; {0, 0} when it is not one.
std::pair<int, int> PngSize(const fs::path& path)
{
    std::string str = Slurp(path);
    if (str.size() < 24 || str.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || str.compare(12, 4, "IHDR") != 0)
        return {0, 0};
    auto be32 = [&](std::size_t n) {
        return (static_cast<unsigned char>(str[n]) << 24) | (static_cast<unsigned char>(str[n + 1]) << 16) |
               (static_cast<unsigned char>(str[n + 2]) << 8) | static_cast<unsigned char>(str[n + 3]);
    };
    return {be32(16), be32(20)};
}

} // namespace

TEST_F(DebianPackageTest, HoldsStrippedProgramsTheServiceDesktopFilesAndDocumentation)
{
    // zeldownload_<version>_amd64.deb, its version the project's.
    const std::string version = Field("Version");
    EXPECT_EQ(Field("Package"), "zeldownload");
    EXPECT_EQ(version.rfind(ProjectVersion() + "-", 0), 0u) << version;
    EXPECT_EQ(m_deb.filename(), "zeldownload_" + version + "_amd64.deb");
    // The libraries came from dpkg-shlibdeps, each with the version it found.
    const std::string depends = Field("Depends");
    for (const char* szLibrary : {"libc6 (>= ", "libstdc++6 (>= ", "libsqlite3-0 (>= ", "libqt6widgets6 (>= "})
        EXPECT_NE(depends.find(szLibrary), std::string::npos) << szLibrary << " in " << depends;

    const fs::path root = Unpack();
    for (const char* szProgram : {"usr/bin/zeldownload", "usr/sbin/zeldownloadd", "usr/bin/dvrsim"}) {
        const fs::path program = root / szProgram;
        ASSERT_TRUE(fs::is_regular_file(program)) << szProgram;
        EXPECT_EQ(fs::status(program).permissions(), fs::perms(0755)) << szProgram;
        Command sections = Shell("readelf -S --wide " + Quote(program));
        ASSERT_EQ(sections.nStatus, 0) << sections.strOutput;
        EXPECT_EQ(sections.strOutput.find(".symtab"), std::string::npos) << szProgram << " is not stripped";
        EXPECT_EQ(sections.strOutput.find(".debug_"), std::string::npos) << szProgram << " has debug data";
    }
    EXPECT_FALSE(fs::exists(root / "usr/bin/ZELDownload"));

    // The icon theme's sizes, each PNG as large as its directory says, and the drawing.
    for (int nSize : {16, 32, 48, 64, 128, 256}) {
        const std::string dir = std::to_string(nSize) + "x" + std::to_string(nSize);
        EXPECT_EQ(PngSize(root / "usr/share/icons/hicolor" / dir / "apps/zeldownload.png"),
                  std::make_pair(nSize, nSize))
            << dir;
    }
    EXPECT_NE(Slurp(root / "usr/share/icons/hicolor/scalable/apps/zeldownload.svg").find("<svg"),
              std::string::npos);

    // Documentation as Debian wants it: gzipped without a time stamp, copyright in
    // the machine-readable format.
    for (const char* szGz : {"usr/share/man/man8/zeldownloadd.8.gz", "usr/share/man/man1/zeldownload.1.gz",
                             "usr/share/man/man1/dvrsim.1.gz", "usr/share/doc/zeldownload/changelog.Debian.gz"}) {
        const std::string gz = Slurp(root / szGz);
        ASSERT_GE(gz.size(), 10u) << szGz;
        EXPECT_EQ(gz.compare(0, 2, "\x1f\x8b"), 0) << szGz;
        EXPECT_EQ(gz.compare(4, 4, std::string(4, '\0')), 0) << szGz << " carries a time stamp";
    }
    EXPECT_EQ(Slurp(root / "usr/share/doc/zeldownload/copyright")
                  .rfind("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n", 0),
              0u);
    // The changelog's newest entry is this version.
    Command changelog = Shell("gzip -dc " + Quote(root / "usr/share/doc/zeldownload/changelog.Debian.gz"));
    EXPECT_EQ(changelog.strOutput.rfind("zeldownload (" + version + ") ", 0), 0u) << changelog.strOutput;

    // Installing creates the service's account from the package's sysusers.d entry.
    Command control = Shell("dpkg-deb -e " + Quote(m_deb) + " " + Quote(Dir() / "control"));
    ASSERT_EQ(control.nStatus, 0) << control.strOutput;
    EXPECT_NE(Slurp(Dir() / "control/postinst").find("systemd-sysusers ${DPKG_ROOT:+--root=\"$DPKG_ROOT\"} zeldownload.conf"),
              std::string::npos);
    EXPECT_TRUE(fs::exists(root / "usr/lib/sysusers.d/zeldownload.conf"));
}

TEST_F(DebianPackageTest, LintianFindsNoErrors)
{
    REQUIRE_TOOL("lintian", "lintian");
    Command cmd = Shell("lintian --tag-display-limit 0 --display-info " + Quote(m_deb));
    std::vector<std::string> errors;
    std::istringstream in(cmd.strOutput);
    for (std::string strLine; std::getline(in, strLine);)
        if (strLine.rfind("E: ", 0) == 0)
            errors.push_back(strLine);
    EXPECT_TRUE(errors.empty()) << cmd.strOutput;
    EXPECT_EQ(cmd.nStatus, 0) << cmd.strOutput;
    std::printf("%s", cmd.strOutput.c_str());
}

TEST_F(DebianPackageTest, ServiceRunsConfinedAsItsOwnUserInItsStateDirectory)
{
    REQUIRE_TOOL("systemd-analyze", "systemd");
    const fs::path root = Unpack();
    const fs::path unit = root / "lib/systemd/system/zeldownloadd.service";
    ASSERT_TRUE(fs::exists(unit));
    // Checked within the package's tree, where ExecStart= is, beside this machine's
    // own units, which it depends on.
    std::error_code ec;
    fs::copy("/lib/systemd/system", root / "lib/systemd/system",
             fs::copy_options::recursive | fs::copy_options::copy_symlinks | fs::copy_options::skip_existing, ec);
    ASSERT_FALSE(ec) << ec.message();
    Command verify = Shell("systemd-analyze verify --man=no --root=" + Quote(root) + " " + Quote(unit));
    EXPECT_EQ(verify.nStatus, 0) << verify.strOutput;
    EXPECT_EQ(verify.strOutput, "");

    // The unit, the account and the program agree.
    const auto values = IniValues(Slurp(unit));
    const std::string user = IniValue(values, "User");
    std::smatch account;
    const std::string sysusers = Slurp(root / "usr/lib/sysusers.d/zeldownload.conf");
    ASSERT_TRUE(std::regex_search(sysusers, account, std::regex(R"(\nu (\S+) - "[^"]*" (\S+)\n)")))
        << sysusers;
    EXPECT_EQ(user, account[1].str());
    EXPECT_EQ(IniValue(values, "WorkingDirectory"), "/var/lib/" + IniValue(values, "StateDirectory"));
    EXPECT_EQ(account[2].str(), IniValue(values, "WorkingDirectory"));
    const std::string exec = IniValue(values, "ExecStart");
    ASSERT_EQ(exec.front(), '/');
    EXPECT_TRUE(fs::is_regular_file(root / exec.substr(1))) << exec;
    // Every start is preceded by the program's own look at its settings.
    EXPECT_EQ(IniValue(values, "ExecStartPre"), exec + " --check-config");
    // The program tells systemd when it is up and pings the watchdog from its loop.
    EXPECT_EQ(IniValue(values, "Type"), "notify");
    EXPECT_GT(std::atoi(IniValue(values, "WatchdogSec").c_str()), 0);

    // systemd's own review of the confinement: "OK" or better (below 2.0 of 10).
    Command security = Shell("systemd-analyze security --offline=yes --root=" + Quote(root) + " " + Quote(unit));
    std::smatch score;
    ASSERT_TRUE(std::regex_search(security.strOutput, score, std::regex(R"(Overall exposure level for \S+: ([0-9.]+))")))
        << security.strOutput;
    EXPECT_LT(std::stod(score[1].str()), 2.0) << security.strOutput;
}

TEST_F(DebianPackageTest, DesktopEntryAndMetadataValidateAndPointIntoThePackage)
{
    REQUIRE_TOOL("desktop-file-validate", "desktop-file-utils");
    REQUIRE_TOOL("appstreamcli", "appstream");
    const fs::path root = Unpack();
    std::vector<fs::path> desktops, metainfos;
    for (auto& entry : fs::directory_iterator(root / "usr/share/applications"))
        desktops.push_back(entry.path());
    for (auto& entry : fs::directory_iterator(root / "usr/share/metainfo"))
        metainfos.push_back(entry.path());
    ASSERT_EQ(desktops.size(), 1u);
    ASSERT_EQ(metainfos.size(), 1u);

    Command desktop = Shell("desktop-file-validate " + Quote(desktops[0]));
    EXPECT_EQ(desktop.nStatus, 0) << desktop.strOutput;
    EXPECT_EQ(desktop.strOutput, "");
    Command metainfo = Shell("appstreamcli validate --no-net --explain " + Quote(metainfos[0]));
    EXPECT_EQ(metainfo.nStatus, 0) << metainfo.strOutput;

    // The entry starts a program of the package with an icon of the package; the
    // metadata launches that entry and names this release.
    const auto values = IniValues(Slurp(desktops[0]));
    EXPECT_TRUE(fs::exists(root / "usr/bin" / IniValue(values, "Exec"))) << IniValue(values, "Exec");
    EXPECT_TRUE(fs::exists(root / "usr/share/icons/hicolor/48x48/apps" / (IniValue(values, "Icon") + ".png")));
    const std::string xml = Slurp(metainfos[0]);
    EXPECT_NE(xml.find("<launchable type=\"desktop-id\">" + desktops[0].filename().string() + "</launchable>"),
              std::string::npos);
    EXPECT_NE(xml.find("<release version=\"" + ProjectVersion() + "\""), std::string::npos);
}

TEST_F(DebianPackageTest, ManPagesDescribeEveryOptionAndSettingsKeyAndRenderCleanly)
{
    const fs::path root = Unpack();
    // Every option of dvrsim --help.
    const std::string dvrsim = ManPage(root, "usr/share/man/man1/dvrsim.1.gz");
    const std::string usage = SimUsage();
    const std::regex option(R"(--[a-z-]+)");
    std::set<std::string> options;
    for (std::sregex_iterator it(usage.begin(), usage.end(), option), end; it != end; ++it)
        options.insert(it->str());
    EXPECT_GT(options.size(), 30u);
    for (const std::string& option : options)
        EXPECT_TRUE(std::regex_search(dvrsim, std::regex(option + R"((?![a-z-]))"))) << option;

    // Every option of zeldownloadd --help, in its OPTIONS section.
    const std::string daemonPage = ManPage(root, "usr/share/man/man8/zeldownloadd.8.gz");
    Command daemonHelp = Shell(Quote(root / "usr/sbin/zeldownloadd") + " --help");
    EXPECT_EQ(daemonHelp.nStatus, 0) << daemonHelp.strOutput;
    std::set<std::string> daemonOptions;
    for (std::sregex_iterator it(daemonHelp.strOutput.begin(), daemonHelp.strOutput.end(), option), end; it != end;
         ++it)
        daemonOptions.insert(it->str());
    EXPECT_EQ(daemonOptions, (std::set<std::string> {"--check-config", "--help", "--version"}));
    const std::string optionsSection =
        daemonPage.substr(daemonPage.find(".SH OPTIONS"), daemonPage.find(".SH THE SERVICE") - daemonPage.find(".SH OPTIONS"));
    for (const std::string& option : daemonOptions)
        EXPECT_TRUE(std::regex_search(optionsSection, std::regex("\\.B " + option + R"((?![a-z-]))"))) << option;

    // Every key a settings file holds once everything has been saved.
    ServerSettings settings = DefaultSettings();
    ASSERT_TRUE(SaveSettings(settings, Settings()));
    ASSERT_TRUE(SaveDepotSettings(DepotSettings(), Settings()));
    SpecialConfigEntry special;
    CopyField(special.szPlate, sizeof(special.szPlate), "BUS-1");
    ASSERT_TRUE(SaveSpecialConfig(1, {special}, Settings()));
    const std::string file = Slurp(Control().SettingsPath());
    const std::regex element(R"(<([A-Za-z]+)>)");
    std::set<std::string> keys;
    for (std::sregex_iterator it(file.begin(), file.end(), element), end; it != end; ++it)
        keys.insert((*it)[1].str());
    keys.erase("QorConf");
    EXPECT_GT(keys.size(), 15u);
    const std::string& daemon = daemonPage;
    const std::set<std::string> described = BoldWords(daemon, "SETTINGS");
    for (const std::string& key : keys)
        EXPECT_EQ(described.count(key), 1u) << key;
    // The paths of the installed service.
    for (const char* szPath : {"/var/lib/zeldownload/xmlDataRecords.xml", "/srv/zeldownload", "/usr/sbin/zeldownloadd"})
        EXPECT_NE(daemon.find(szPath), std::string::npos) << szPath;

    if (!HaveTool("man"))
        GTEST_SKIP() << "man is not installed (Debian package man-db): the pages were not rendered";
    for (const char* szPage : {"usr/share/man/man8/zeldownloadd.8.gz", "usr/share/man/man1/zeldownload.1.gz",
                               "usr/share/man/man1/dvrsim.1.gz"}) {
        Command render = Shell("LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l " + Quote(root / szPage) +
                             " 2>&1 >/dev/null");
        EXPECT_EQ(render.nStatus, 0) << szPage;
        EXPECT_EQ(render.strOutput, "") << szPage;
    }
}

TEST_F(DebianPackageTest, PackagedIconLooksLikeTheWindowsIcon)
{
    const fs::path tool = ZEL_BUILD_DIR "/tools/icons/zelicons";
    ASSERT_TRUE(fs::exists(tool)) << "zelicons was not built (Debian package qt6-svg-dev)";
    Command check = Shell(Quote(tool) + " --check " + Quote(Unpack() / "usr/share/icons/hicolor/scalable/apps/zeldownload.svg"));
    EXPECT_EQ(check.nStatus, 0) << check.strOutput;
}

TEST_F(DebianPackageTest, PackagedServerStoresARecordingByteIdenticalAndStopsOnSigterm)
{
    const fs::path server = Unpack() / "usr/sbin/zeldownloadd";
    constexpr std::uint32_t kT0 = 1700000000;
    const std::uint16_t nPort = CSocket::CreateUdp(nullptr, 0).LocalPort();
    WriteFile(Dir() / "QorConfig.xml", "<QorConf>\r\n<port>" + std::to_string(nPort) +
                                   "</port>\r\n<downdir>store</downdir>\r\n<startdown>" + std::to_string(kT0 - 60) +
                                   "</startdown>\r\n<stoptdown>" + std::to_string(kT0 + 86400) +
                                   "</stoptdown>\r\n<filetype>0</filetype>\r\n<IP>127.0.0.1</IP>\r\n</QorConf>\r\n");
    m_pid = ::fork();
    ASSERT_GE(m_pid, 0);
    if (m_pid == 0) {
        if (::chdir(Dir().c_str()) != 0)
            ::_exit(126);
        int fd = ::open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, STDERR_FILENO);
        ::execl(server.c_str(), "zeldownloadd", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_TRUE(WaitFor([] { return LogHas("Server starts"); }, std::chrono::seconds(10))) << Slurp(Dir() / "stderr.txt");

    SimOptions options;
    options.nServerPort = nPort;
    options.vecNames = {"PKG-1"};
    options.nChannels = 1;
    options.nRecordings = 1;
    options.nRecBytes = 3 * 1024 * 1024 + 17;
    options.nRecSeconds = 300;
    options.tStart = kT0;
    options.nKeepAliveMs = 300;
    options.nVerbosity = 0;
    CDvrSimulator sim(options);
    ASSERT_EQ(sim.Start(), 0);
    const SimRecording rec = sim.Recorder(0).Recordings().All().at(0);
    const fs::path stored = Dir() / "store" / "PKG-1" / DateDirName(rec.tStart) / ChannelDirName(rec.nChannel) /
                            FinalFileName(rec.nChannel, rec.tStart, rec.tEnd);
    ASSERT_TRUE(WaitFor([&] { return fs::exists(stored); }, std::chrono::seconds(60))) << Slurp(Dir() / "log.txt");
    const std::string data = Slurp(stored);
    ASSERT_EQ(data.size(), rec.nSize);
    EXPECT_EQ(CSimRecordings::FirstMismatch(rec.nSeed, 0, reinterpret_cast<const unsigned char*>(data.data()),
                                            data.size()),
              -1);
    sim.Stop();

    ASSERT_EQ(::kill(m_pid, SIGTERM), 0);
    int nStatus = -1;
    ASSERT_TRUE(WaitFor([&] { return ::waitpid(m_pid, &nStatus, WNOHANG) == m_pid; }, std::chrono::seconds(10)));
    m_pid = -1;
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << nStatus;
    const auto messages = ReadLogMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Server stops");
}

// The README's Install path with the packaged server: the settings file it creates is
// edited in one key, the address is left automatic, and a wrong directory is caught
// before a start.
TEST_F(DebianPackageTest, InstallPathWorksByEditingOneKeyAndAnAutomaticAddress)
{
    const fs::path server = Unpack() / "usr/sbin/zeldownloadd";
    const fs::path work = Dir() / "state";
    fs::create_directory(work);

    // A download directory below a regular file cannot be made: the check says so.
    WriteFile(work / "plain", "x");
    WriteFile(work / "QorConfig.xml", "<QorConf><port>5990</port><downdir>" + (work / "plain/sub").string() +
                                          "</downdir><IP></IP></QorConf>");
    Command check = Shell("cd " + Quote(work) + " && " + Quote(server) + " --check-config");
    EXPECT_NE(check.nStatus, 0) << check.strOutput;
    EXPECT_NE(check.strOutput.find("plain/sub"), std::string::npos) << check.strOutput;
    fs::remove(work / "QorConfig.xml");
    fs::remove(work / "plain");

    auto launch = [&] {
        m_pid = ::fork();
        if (m_pid == 0) {
            if (::chdir(work.c_str()) != 0)
                ::_exit(126);
            int fd = ::open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, STDERR_FILENO);
            ::execl(server.c_str(), "zeldownloadd", static_cast<char*>(nullptr));
            ::_exit(127);
        }
    };
    auto stop = [&] {
        ::kill(m_pid, SIGTERM);
        int nStatus = -1;
        EXPECT_TRUE(WaitFor([&] { return ::waitpid(m_pid, &nStatus, WNOHANG) == m_pid; }, std::chrono::seconds(10)));
        m_pid = -1;
    };
    // First start: the file is created (the default port may be taken here; the file
    // is written either way).
    launch();
    ASSERT_GT(m_pid, 0);
    ASSERT_TRUE(WaitFor([&] { return fs::exists(work / "log.txt") && fs::file_size(work / "log.txt") > 0; },
                        std::chrono::seconds(10)));
    stop();
    std::string settings = Slurp(work / "QorConfig.xml");
    ASSERT_NE(settings.find("<IP/>"), std::string::npos) << settings;

    // The operator sets downdir, as the README says; the port is moved to a free one
    // only because this machine may hold 5990.
    const fs::path elsewhere = Dir() / "srv";
    const std::uint16_t nPort = CSocket::CreateUdp(nullptr, 0).LocalPort();
    for (auto [from, to] : {std::pair<std::string, std::string> {"<downdir>mp4download</downdir>",
                                                                  "<downdir>" + elsewhere.string() + "</downdir>"},
                            {"<port>5990</port>", "<port>" + std::to_string(nPort) + "</port>"}}) {
        std::size_t nAt = settings.find(from);
        ASSERT_NE(nAt, std::string::npos) << from << " in " << settings;
        settings.replace(nAt, from.size(), to);
    }
    WriteFile(work / "QorConfig.xml", settings);
    launch();
    ASSERT_GT(m_pid, 0);
    ASSERT_TRUE(WaitFor([&] { return Slurp(work / "log.txt").find("Server starts") != std::string::npos; },
                        std::chrono::seconds(10)))
        << Slurp(work / "stderr.txt");

    // A recorder on 127.0.0.3 that refuses any other address for its uploads.
    SimOptions options;
    options.strServerIp = "127.0.0.3";
    options.strLocalIp = "127.0.0.3";
    options.bCheckAddress = true;
    options.nServerPort = nPort;
    options.vecNames = {"PKG-2"};
    options.nChannels = 1;
    options.nRecordings = 2;
    options.nRecBytes = 64 * 1024;
    options.nKeepAliveMs = 300;
    options.nVerbosity = 0;
    CDvrSimulator sim(options);
    ASSERT_EQ(sim.Start(), 0);
    for (const SimRecording& rec : sim.Recorder(0).Recordings().All()) {
        const fs::path stored = elsewhere / "PKG-2" / DateDirName(rec.tStart) / ChannelDirName(rec.nChannel) /
                                FinalFileName(rec.nChannel, rec.tStart, rec.tEnd);
        EXPECT_TRUE(WaitFor([&] { return fs::exists(stored); }, std::chrono::seconds(60)))
            << stored << "\n" << sim.Summary() << "\n" << Slurp(work / "log.txt");
    }
    EXPECT_EQ(sim.Totals().nWrongAddress, 0u);
    EXPECT_FALSE(fs::exists(work / "mp4download" / "PKG-2"));
    sim.Stop();
    stop();
}
