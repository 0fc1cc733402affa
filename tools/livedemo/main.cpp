// Runs ZELDownload's main window with its real server against a few simulated
// recorders on loopback, and saves what the window shows while vehicles arrive and
// download, and after they have left: live-downloading.png, live-log.png,
// live-left.png. Works on any display, a virtual one (xvfb-run) included.
#include "platform/Socket.h"
#include "platform/Timing.h"
#include "settings/Settings.h"
#include "shell/ServerControl.h"
#include "shell/ui/MainDlg.h"
#include "shell/ui/ZELCoolTabCtrl.h"
#include "tools/dvrsim/DvrSimulator.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace {

bool Save(QWidget& widget, const QString& dir, const char* szName)
{
    const QString path = QDir(dir).filePath(szName);
    const bool bOk = widget.grab().save(path, "PNG");
    std::printf("%s %s\n", bOk ? "wrote" : "FAILED", path.toLocal8Bit().constData());
    return bOk;
}

std::size_t StoredFiles(const char* szExt)
{
    std::size_t n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator("store", ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!ec && it->path().extension() == szExt)
            ++n;
    }
    return n;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QString outDir = QDir(argc > 1 ? QString::fromLocal8Bit(argv[1])
                                         : QString(ZEL_SOURCE_DIR "/docs/screenshots")).absolutePath();
    QDir().mkpath(outDir);
    QTemporaryDir work;
    QDir::setCurrent(work.path());

    // Vehicles leave 3 s after their last keepalive instead of 20, so that leaving shows.
    Timing().nKeepAliveExpiryS = 3;
    const std::uint32_t tStart = 1700000000;
    ServerSettings settings = DefaultSettings();
    settings.nPort = CSocket::CreateUdp(nullptr, 0).LocalPort();
    std::strcpy(settings.szDownDir, "store");
    settings.tStart = tStart;
    settings.tStop = tStart + 6 * 600;  // the six recordings of each channel
    SaveSettings(settings);

    CServerControl control;
    CMainDlg dlg(control);
    dlg.show();
    dlg.OnStart();

    SimOptions options;
    options.nServerPort = settings.nPort;
    options.vecNames = {"BUS-0417", "TRUCK-22", "COACH-9"};
    options.nChannels = 2;
    options.nRecordings = 6;
    options.nRecBytes = 6u << 20;
    options.tStart = tStart;
    options.nKeepAliveMs = 500;
    options.nVerbosity = 0;
    // Transfers break every 512 KiB and reconnect after a pause, so the downloads
    // take long enough to watch progress and speed move.
    options.faults.nCutAfterBytes = 512u << 10;
    options.faults.nConnectDelayMs = 120;
    auto pSim = std::make_unique<CDvrSimulator>(options);
    pSim->Start();

    bool bOk = true;
    QTimer::singleShot(6000, [&] {
        bOk &= Save(dlg, outDir, "live-downloading.png");
        dlg.Tab()->SetActivePage(1);
        QTimer::singleShot(300, [&] {
            bOk &= Save(dlg, outDir, "live-log.png");
            dlg.Tab()->SetActivePage(0);
            std::printf("before the recorders left: %zu files stored, %zu partial\n", StoredFiles(".mp4"),
                        StoredFiles(".td"));
            pSim.reset();  // the recorders drive away
            QTimer::singleShot(6000, [&] {
                bOk &= Save(dlg, outDir, "live-left.png");
                dlg.OnStop();
                app.quit();
            });
        });
    });
    app.exec();
    return bOk ? 0 : 1;
}
