#include "shell/SettingsReport.h"

#include "platform/File.h"
#include "platform/Format.h"
#include "platform/Socket.h"
#include "platform/System.h"
#include "settings/SettingsFile.h"
#include "settings/WallClock.h"
#include "settings/XmlDoc.h"
#include "shell/DiskSpaceMonitor.h"
#include "web/WebSettings.h"

#include <cerrno>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

// The keys LoadSettings reads only when "port" is there.
constexpr const char* kClassicKeys[] = {"downdir", "startdown", "stoptdown", "filetype", "IP", "MIRDOMode"};

std::string FileName(const CSettingsFile& file)
{
    return fs::path(file.Path()).filename().string();
}

std::string Join(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}

std::string TimeText(std::uint32_t tValue)
{
    const std::tm tm = SplitWallClock(tValue);
    return Format("%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                  tm.tm_min, tm.tm_sec);
}

const char* FileTypeName(std::uint32_t nFileType)
{
    // Any other value asks the recorder for every kind.
    switch (nFileType) {
    case 1: return "Timing Record";
    case 2: return "Alarm Record";
    default: return "All Record";
    }
}

std::string AbsoluteDir(const char* szDir)
{
    std::error_code ec;
    // An empty root puts the vehicles' directories straight into the working directory.
    fs::path dir = *szDir == '\0' ? fs::current_path(ec) : fs::absolute(szDir, ec);
    if (ec)
        return szDir;
    std::string text = dir.lexically_normal().string();
    if (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

} // namespace

SettingsReport ReadSettingsReport(CSettingsFile& file)
{
    SettingsReport report;
    const std::string name = FileName(file);
    const bool bHasPort = LoadSettings(report.settings, file) == 0;
    std::vector<std::string> present;
    std::vector<std::string> missing;
    for (const char* szKey : kClassicKeys)
        (ReadSettingValue(file, szKey) ? present : missing).push_back(szKey);
    if (!bHasPort) {
        if (!present.empty())
            report.warnings.push_back(name + " has no port: " + Join(present) + " ignored, defaults used");
    } else {
        if (!missing.empty())
            report.warnings.push_back(name + " has no " + Join(missing) + ": read as empty");
        const std::string raw = ReadSettingValue(file, "port").value_or("");
        const std::size_t nFirst = raw.find_first_not_of(" \t\r\n");
        const std::string port =
            nFirst == std::string::npos ? std::string() : raw.substr(nFirst, raw.find_last_not_of(" \t\r\n") + 1 - nFirst);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(port) < 1 || std::stoul(port) > 65535)
            report.warnings.push_back(Format("port \"%s\" is not a port from 1 to 65535, %u used", port.c_str(),
                                             report.settings.nPort));
    }
    std::uint32_t nAddr = 0;
    if (report.settings.szIP[0] != '\0' && !ParseIpv4(report.settings.szIP, &nAddr))
        report.warnings.push_back(Format("IP \"%s\" is not an IPv4 address: recorders cannot connect back to it",
                                         report.settings.szIP));
    if (report.settings.szDownDir[0] == '\0')
        report.warnings.push_back("downdir is empty: recordings are stored in the working directory");

    report.depot = LoadDepotSettings(file, &report.warnings);
    if (report.depot.nRollingHours == 0 && report.settings.tStop <= report.settings.tStart)
        report.warnings.push_back("stoptdown is not after startdown: the span is empty");
    return report;
}

std::string SettingsSummary(const ServerSettings& settings, const DepotSettings& depot)
{
    std::string text = Format("Settings: port %u, downdir %s, IP %s, span ", settings.nPort,
                              AbsoluteDir(settings.szDownDir).c_str(),
                              settings.szIP[0] == '\0' ? "automatic" : settings.szIP);
    if (depot.nRollingHours > 0)
        text += Format("rolling %u hour%s", depot.nRollingHours, depot.nRollingHours == 1 ? "" : "s");
    else
        text += TimeText(settings.tStart) + ".." + TimeText(settings.tStop);
    text += Format(", filetype %u (%s), component mode %u", settings.nFileType, FileTypeName(settings.nFileType),
                   settings.bComponentMode);
    for (const DepotKey& key : DepotKeys()) {
        if (key.pField != &DepotSettings::nRollingHours)
            text += Format(", %s %u", key.szName, depot.*key.pField);
    }
    return text;
}

namespace {

// What would keep the dashboard from starting.
void AddWebWarnings(const WebSettings& web, std::vector<std::string>& warnings)
{
    if (web.nPort == 0)
        return;
    const bool bRemote = !IsLoopbackAddress(web.strAddr);
    if (bRemote && web.strToken.empty())
        warnings.push_back("httpaddr " + web.strAddr +
                           " is reachable from other machines without httptoken: the dashboard would not start");
    for (const auto& [szKey, token] : {std::pair<const char*, std::string>("httptoken", web.strToken),
                                       std::pair<const char*, std::string>("footagetoken", web.strFootageToken)}) {
        if (bRemote && !token.empty() && token.size() < kMinRemoteTokenLength)
            warnings.push_back(std::string(szKey) + " is shorter than " + std::to_string(kMinRemoteTokenLength) +
                               " characters on httpaddr " + web.strAddr + ": the dashboard would not start");
    }
    if (web.strCert.empty() != web.strKey.empty())
        warnings.push_back("HTTPS needs both httpcert and httpkey: the dashboard would not start");
    for (const std::string& pem : {web.strCert, web.strKey}) {
        if (!pem.empty())
            if (int nErr = CFile::Probe(pem); nErr != 0)
                warnings.push_back(pem + " cannot be read: " + ErrnoText(nErr) + ": the dashboard would not start");
    }
}

} // namespace

ConfigCheck CheckConfig(const std::string& path)
{
    ConfigCheck check;
    const std::string name = fs::path(path).filename().string();
    SettingsReport report;
    report.settings = DefaultSettings();
    CSettingsFile file(path, CSettingsFile::Access::ReadOnly);
    const int nProbe = CFile::Probe(path);
    CXmlDoc doc;
    if (nProbe == ENOENT) {
        check.notes.push_back(name + " does not exist: zeldownloadd would create it with these settings");
        report.settings = HeadlessSettings();
        report.depot = HeadlessDepotSettings();
    } else if (nProbe != 0) {
        check.errors.push_back(name + " cannot be read: " + ErrnoText(nProbe));
    } else if (!doc.LoadFile(path)) {
        check.errors.push_back(name + " is not well-formed (" + doc.GetResult() + "): it would be kept as " + name +
                               ".bak and every key would take its default");
    } else {
        report = ReadSettingsReport(file);
    }
    check.strSummary = SettingsSummary(report.settings, report.depot);
    check.warnings = report.warnings;
    if (!check.errors.empty())
        return check;

    // As the service user would: its sandbox may make a directory read-only that
    // looks writable from outside.
    const std::string downDir = AbsoluteDir(report.settings.szDownDir);
    if (int nErr = ProbeWritableDirectory(downDir); nErr != 0)
        check.errors.push_back("download directory " + downDir + " cannot be created or written: " + ErrnoText(nErr));
    else if (auto nFree = FreeDiskSpace(downDir); nFree && *nFree < CDiskSpaceMonitor::kMinFreeMiB * 1024 * 1024)
        check.warnings.push_back(Format("only %llu MiB free under %s: the server stops below %llu MiB",
                                        static_cast<unsigned long long>(*nFree / (1024 * 1024)), downDir.c_str(),
                                        static_cast<unsigned long long>(CDiskSpaceMonitor::kMinFreeMiB)));
    std::error_code ec;
    const std::string workDir = fs::current_path(ec).string();
    if (int nErr = ProbeWritableDirectory(workDir); nErr != 0)
        check.errors.push_back("working directory " + workDir + " (log.txt, fleet.db) cannot be written: " +
                               ErrnoText(nErr));

    if (nProbe == 0)
        AddWebWarnings(LoadWebSettings(file), check.warnings);
    return check;
}
