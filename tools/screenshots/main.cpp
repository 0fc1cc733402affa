// Renders the windows of ZELDownload to PNG files with made-up content: the main
// window with a few online vehicles, the Active log, the About box and the dialogs.
#include "settings/Settings.h"
#include "settings/ui/ConfigDlg.h"
#include "settings/ui/SpecialConfigDlg.h"
#include "settings/ui/SpecialItemDlg.h"
#include "shell/NotifyEvent.h"
#include "shell/ui/AboutDlg.h"
#include "shell/ui/LogFilterDlg.h"
#include "shell/ui/MainDlg.h"
#include "shell/ui/ZELCoolTabCtrl.h"
#include "vehicles/VehicleMgr.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>
#include <string>

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
        CMainDlg dlg(QSize(1920, 1080));
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
        // The filter dialog lists the registry's vehicles: register the same ones
        // (no keepalive follows, so no download starts).
        for (const char* szName : vehicles) {
            VehicleInfo info;
            CopyField(info.szIP, sizeof(info.szIP), "127.0.0.1");
            CopyField(info.szName, sizeof(info.szName), szName);
            info.nChannels = 4;
            CVehicleMgr& registry = CVehicleMgr::Instance();
            if (!registry.Find(szName))
                registry.Add(info);
            registry.Release();
        }
        CLogFilterDlg filter(&dlg);
        bOk &= Save(filter, outDir, "log-filter-dialog.png");
        CVehicleMgr::Instance().RemoveAll();
    }
    return bOk ? 0 : 1;
}
