#include "shell/HeadlessServer.h"

#include "core/Logger.h"
#include "core/NotifyCenter.h"
#include "platform/File.h"
#include "platform/ServiceManager.h"
#include "platform/SignalWaiter.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/DepotSettings.h"
#include "settings/Settings.h"
#include "settings/SettingsFile.h"
#include "shell/ServerControl.h"
#include "shell/SettingsReport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifndef ZEL_VERSION
#define ZEL_VERSION "unknown"
#endif

namespace {

// Every key with its value, so that editing any one of them takes effect: a file
// without "port" has all its classic keys ignored, and one with "port" reads every
// classic key it lacks as empty.
void WriteNewSettings(CSettingsFile& file)
{
    bool bOk = SaveSettings(HeadlessSettings(), file);
    bOk = SaveSpecialConfig(0, {}, file) && bOk;
    bOk = SaveDepotSettings(HeadlessDepotSettings(), file) && bOk;
    if (!bOk)
        WriteLog(file.Path() + " cannot be written whole: the keys missing from it take their defaults");
}

int RunServer()
{
    KeepLargeBlocksMapped();
    CSignalWaiter signals;
    IgnoreSigPipe();
    // The log's limits come before its first line: with rotation on, the lines of the
    // previous run (a crash's last words among them) are kept as log.txt.1.
    const bool bNewSettings = CFile::Probe(CSettingsFile::kDefaultPath) == ENOENT;
    {
        CSettingsFile peek(CSettingsFile::kDefaultPath, CSettingsFile::Access::ReadOnly);
        CLogger::SetStartRotation(LogRotationOf(bNewSettings ? HeadlessDepotSettings() : LoadDepotSettings(peek)));
    }
    // A settings file made here holds every key, with the values of a server left
    // alone (see HeadlessDepotSettings). An existing file is never changed.
    SettingsFile();  // creates ./QorConfig.xml when it is missing
    if (bNewSettings)
        WriteNewSettings(SettingsFile());
    CServerControl control;
    control.Index();
    control.History().Open();
    control.Requests().Open();

    control.SetLowSpaceHandler([&control] {
        control.Stop();
        std::fputs("Disk full,Please delete files or change path!\n", stderr);
    });
    int nResult = 0;
    if (control.Start() != 0) {
        std::fputs("Start failed, please assure port not occupied!\n", stderr);
        nResult = 1;
    } else {
        ServiceManager::Ready();
        std::int64_t nNextTick = MonotonicMs() + Timing().nTimerPeriodMs;
        for (;;) {
            std::int64_t nWait = nNextTick - MonotonicMs();
            if (nWait > 0 && signals.Wait(static_cast<int>(nWait)) != 0)
                break;
            if (MonotonicMs() >= nNextTick) {
                ServiceManager::Alive();
                nNextTick += Timing().nTimerPeriodMs;
            }
        }
        ServiceManager::Stopping();
        control.Stop();
    }
    control.ReleaseStopped();  // one whose disk check stopped it may still end
    CNotifyCenter::Instance().Stop();
    control.Requests().Close();
    control.History().Close();
    return nResult;
}

int RunCheckConfig()
{
    const ConfigCheck check = CheckConfig(CSettingsFile::kDefaultPath);
    for (const std::string& note : check.notes)
        std::printf("%s\n", note.c_str());
    std::printf("%s\n", check.strSummary.c_str());
    for (const std::string& warning : check.warnings)
        std::printf("warning: %s\n", warning.c_str());
    for (const std::string& error : check.errors)
        std::printf("error: %s\n", error.c_str());
    if (check.errors.empty())
        std::printf("configuration OK\n");
    std::fflush(stdout);
    return check.errors.empty() ? 0 : 1;
}

} // namespace

const char* HeadlessUsage()
{
    return "Usage: zeldownloadd [--check-config | --help | --version]\n"
           "Runs the depot download server without a window, in the working directory: reads\n"
           "QorConfig.xml there (creating it with every key when it is missing), writes log.txt\n"
           "and fleet.db, and stops cleanly on SIGINT or SIGTERM.\n"
           "\n"
           "  --check-config  read the settings without creating or changing any file, print\n"
           "                  what the server would run with and every warning, and exit 1\n"
           "                  when it cannot work so (a download directory it cannot write)\n"
           "  --help          print this help and exit\n"
           "  --version       print the version and exit\n";
}

int RunHeadlessServer(int argc, char** argv)
{
    if (argc <= 1)
        return RunServer();
    const char* szOption = argv[1];
    if (argc == 2 && std::strcmp(szOption, "--help") == 0) {
        std::fputs(HeadlessUsage(), stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(szOption, "--version") == 0) {
        std::printf("zeldownloadd %s\n", ZEL_VERSION);
        return 0;
    }
    if (argc == 2 && std::strcmp(szOption, "--check-config") == 0)
        return RunCheckConfig();
    if (argc > 2)
        std::fprintf(stderr, "zeldownloadd: one option at most\n");
    else
        std::fprintf(stderr, "zeldownloadd: unknown option '%s'\n", szOption);
    std::fputs(HeadlessUsage(), stderr);
    return 2;
}
