// Renders the windows of ZELDownload to PNG files with made-up content: the main
// window with a few online vehicles, the Active log, the Fleet page, the About box
// and the dialogs.
#include "core/NotifyEvent.h"
#include "depot/FleetHistory.h"
#include "settings/DepotSettings.h"
#include "settings/Settings.h"
#include "settings/WallClock.h"
#include "settings/ui/ConfigDlg.h"
#include "settings/ui/DepotSettingsDlg.h"
#include "settings/ui/SpecialConfigDlg.h"
#include "settings/ui/SpecialItemDlg.h"
#include "shell/ServerControl.h"
#include "shell/ui/AboutDlg.h"
#include "shell/ui/FleetView.h"
#include "shell/ui/LogFilterDlg.h"
#include "shell/ui/MainDlg.h"
#include "shell/ui/ZELCoolTabCtrl.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Vehicle(CZELCoolTabCtrl& tab, std::uint32_t nKind, const char* szName, std::uint32_t nValue)
{
    const VehicleEvent ev = MakeVehicleEvent(szName, nValue);
    tab.OnNotifyEvent(nKind, &ev);
}

void Log(CZELCoolTabCtrl& tab, const std::string& text)
{
    char szBuf[kNotifyPayloadSize] = {};
    std::strncpy(szBuf, text.c_str(), sizeof(szBuf) - 1);
    tab.OnNotifyEvent(NOTIFY_LOG, szBuf);
}

// A dozen vehicles' history: the five online ones and seven that left, some of
// them needing attention (pending recordings, no recent complete offload, an
// unfetchable recording).
void FillFleetHistory(CFleetHistory& history, std::uint32_t tNow)
{
    constexpr std::uint32_t kHour = 3600;
    struct Made {
        const char* szName;
        std::uint32_t nSeenAgo;      // hours since the last keepalive
        int nFiles;                  // stored today
        std::uint64_t nFileBytes;
        int nOffloadAgo;             // hours since the last complete offload; -1 never
        std::int64_t nPending;
    };
    const Made made[] = {
        {"粤B12345", 0, 14, 48000000, 0, 0},     {"京A88888", 0, 22, 52000000, 0, 0},
        {"沪C20231", 0, 6, 61000000, 1, 3},      {"BUS-0417", 0, 2, 35000000, -1, -1},
        {"TRUCK-22", 0, 9, 40000000, 0, -1},     {"BUS-0102", 3, 31, 45000000, 3, 0},
        {"BUS-0233", 49, 0, 0, 50, 0},           {"BUS-0388", 5, 18, 700000, 6, -1},
        {"TRUCK-07", 30, 0, 0, 31, 2},           {"TRUCK-15", 2, 40, 51000000, 2, 0},
        {"苏E66A12", 1, 27, 1200000000, 1, 0},   {"VAN-3", 4, 0, 0, -1, -1},
    };
    for (const Made& m : made) {
        const std::uint32_t tSeen = tNow - m.nSeenAgo * kHour;
        history.OnArrival(m.szName, "192.168.10.23:5990", tSeen - 2 * kHour);
        for (int i = 0; i < m.nFiles; ++i)
            history.OnFileStored(m.szName, m.nFileBytes, tNow - std::min<std::uint32_t>(tNow % 86400, 60));
        if (m.nOffloadAgo >= 0)
            history.OnCompleteOffload(m.szName, tNow - static_cast<std::uint32_t>(m.nOffloadAgo) * kHour);
        history.OnPending(m.szName, m.nPending);
        if (m.nSeenAgo > 0)
            history.OnDeparture(m.szName, tSeen);
    }
    // A recording missed in three visits, and two that fell out of the span.
    MissedRecording missed;
    missed.nChannel = 2;
    missed.strFileName = "ch02_20240311_0815.mp4";
    missed.tStart = tNow - 50 * kHour;
    missed.tEnd = missed.tStart + 300;
    missed.strReason = "failed 3 times in a row: connection closed after the header";
    for (int nVisit = 0; nVisit < 3; ++nVisit) {
        history.OnArrival("TRUCK-07", "192.168.10.23:5990", tNow - (40 - nVisit) * kHour);
        history.OnRecordingMissed("TRUCK-07", missed, tNow - (40 - nVisit) * kHour);
        history.OnDeparture("TRUCK-07", tNow - 30 * kHour);
    }
    missed.strReason = "out of the span";
    for (std::uint32_t nClip = 0; nClip < 2; ++nClip) {
        missed.strFileName = "ch01_part" + std::to_string(nClip) + ".mp4";
        missed.tStart = tNow - (8 - nClip) * kHour;
        missed.tEnd = missed.tStart + 300;
        history.OnRecordingLeftBehind("BUS-0388", missed, tNow - 5 * kHour);
    }
}

bool Save(QWidget& widget, const QString& dir, const char* szName)
{
    widget.show();
    QApplication::processEvents();
    const QString path = QDir(dir).filePath(szName);
    const bool bOk = widget.grab().save(path, "PNG");
    std::printf("%s %s\n", bOk ? "wrote" : "FAILED", path.toLocal8Bit().constData());
    widget.hide();
    return bOk;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const QString outDir = QDir(argc > 1 ? QString::fromLocal8Bit(argv[1])
                                         : QString(ZEL_SOURCE_DIR "/docs/screenshots")).absolutePath();
    QDir().mkpath(outDir);

    // The program writes its settings and log to the working directory.
    QTemporaryDir work;
    if (!work.isValid() || !QDir::setCurrent(work.path())) {
        std::fprintf(stderr, "no working directory\n");
        return 1;
    }

    QApplication app(argc, argv);
    bool bOk = true;
    {
        CServerControl control;
        CMainDlg dlg(control, QSize(1920, 1080));
        CZELCoolTabCtrl& tab = *dlg.Tab();
        const char* vehicles[] = {"粤B12345", "京A88888", "沪C20231", "BUS-0417", "TRUCK-22"};
        const std::uint32_t progress[] = {35, 100, 72, 0, 8};
        const std::uint32_t bytes[] = {412000, 0, 1250000, 0, 96000};
        Log(tab, "Server starts");
        for (std::size_t i = 0; i < std::size(vehicles); ++i) {
            Vehicle(tab, NOTIFY_VEHICLE, vehicles[i], 1);
            Log(tab, std::string("Start download task for ") + vehicles[i]);
        }
        for (std::size_t i = 0; i < std::size(vehicles); ++i) {
            Vehicle(tab, NOTIFY_PROGRESS, vehicles[i], progress[i]);
            Vehicle(tab, NOTIFY_SPEED, vehicles[i], bytes[i]);
        }
        Log(tab, "vehname=粤B12345, chan=1, recv file 20240311083000_20240311084500.mp4 OK");
        Log(tab, "vehname=京A88888, chan=2, no more file in the time span");
        Log(tab, "vehname=沪C20231, chan=1, get file timeout");
        dlg.Action(CMainDlg::kIdStart)->setEnabled(false);
        dlg.Action(CMainDlg::kIdStop)->setEnabled(true);
        dlg.Action(CMainDlg::kIdConfig)->setEnabled(false);
        bOk &= Save(dlg, outDir, "main-window.png");
        tab.SetActivePage(1);
        bOk &= Save(dlg, outDir, "active-log.png");
        // The Fleet page, its online vehicles in name order as the registry lists them.
        std::vector<std::string> online(std::begin(vehicles), std::end(vehicles));
        std::sort(online.begin(), online.end());
        const std::uint32_t tNow = WallClockNow();
        FillFleetHistory(control.History(), tNow);
        tab.FleetView()->Refresh(tNow, online);
        tab.SetActivePage(2);
        bOk &= Save(dlg, outDir, "fleet.png");
        tab.SetActivePage(0);
        dlg.Action(CMainDlg::kIdStart)->setEnabled(true);
        dlg.Action(CMainDlg::kIdStop)->setEnabled(false);
        dlg.Action(CMainDlg::kIdConfig)->setEnabled(true);

        CAboutDlg about(&dlg);
        bOk &= Save(about, outDir, "about.png");

        ServerSettings settings;
        LoadSettings(settings);
        CConfigDlg config(settings, &dlg);
        bOk &= Save(config, outDir, "config-dialog.png");
        SpecialConfigEntry entry;
        CopyField(entry.szPlate, sizeof(entry.szPlate), "粤B12345");
        entry.nChan = 2;
        entry.tStart = settings.tStart;
        entry.tStop = settings.tStop;
        SpecialConfigEntry other = entry;
        CopyField(other.szPlate, sizeof(other.szPlate), "BUS-0417");
        other.nChan = 0;
        other.nFileType = 2;
        SaveSpecialConfig(1, {entry, other});
        CSpecialConfigDlg special(&dlg);
        bOk &= Save(special, outDir, "special-config-dialog.png");
        CSpecialItemDlg item(entry, &dlg);
        bOk &= Save(item, outDir, "special-item-dialog.png");
        DepotSettings depot = HeadlessDepotSettings();
        depot.nMaxTransfers = 8;
        depot.nRetainDays = 30;
        depot.nMinFreeMb = 10240;
        SaveDepotSettings(depot, SettingsFile());
        CDepotSettingsDlg depotDlg(&dlg);
        bOk &= Save(depotDlg, outDir, "depot-settings.png");
        // The filter dialog lists the online vehicles.
        CLogFilterDlg filter(online, &dlg);
        bOk &= Save(filter, outDir, "log-filter-dialog.png");
    }
    return bOk ? 0 : 1;
}
