// The online list under load: 500 vehicles, each tick one speed and one progress
// event per vehicle (as the registry's one-second timer posts them), handled on the
// window thread, followed by the repaint. Prints the time one tick takes, through
// the notification center and with the handler called directly.
// Then the Fleet page: 1000 vehicles in a fleet history on a temporary fleet.db,
// some of whose counts change every tick, refreshed and repainted once per tick.
#include "core/NotifyCenter.h"
#include "core/NotifyEvent.h"
#include "depot/FleetHistory.h"
#include "settings/WallClock.h"
#include "shell/ui/FleetModel.h"
#include "shell/ui/FleetView.h"
#include "shell/ui/ProgressListCtrl.h"
#include "shell/ui/ZELCoolTabCtrl.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kVehicles = 500;
constexpr int kTicks = 30;
constexpr int kFleetVehicles = 1000;
constexpr int kFleetChangesPerTick = 50;  // vehicles whose counts move in one tick

std::string Name(int i)
{
    return "VEH-" + std::to_string(10000 + i);
}

void Report(const char* szWhat, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    std::printf("%-44s min %7.2f ms  median %7.2f ms  max %7.2f ms\n", szWhat, ms.front(), ms[ms.size() / 2],
                ms.back());
}

// Flushes pending updates so the repaint is part of the measured time.
void Repaint()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    CNotifyCenter center;
    CFleetHistory unopened("redraw-bench-fleet.db");  // in memory only
    CZELCoolTabCtrl tab(QSize(1152, 560), center, unopened);
    tab.show();
    CProgressListCtrl& list = *tab.OnlineList();

    for (int i = 0; i < kVehicles; ++i) {
        const VehicleEvent ev = MakeVehicleEvent(Name(i).c_str(), 1);
        tab.OnNotifyEvent(NOTIFY_VEHICLE, &ev);
    }
    Repaint();

    // Every tick changes every cell: new speed, progress one step further.
    auto tickEvents = [](int nTick) {
        std::vector<std::pair<std::uint32_t, VehicleEvent>> events;
        for (int i = 0; i < kVehicles; ++i) {
            const std::string name = Name(i);
            events.emplace_back(NOTIFY_SPEED, MakeVehicleEvent(name.c_str(), 1000u * (nTick + 1) + i));
            events.emplace_back(NOTIFY_PROGRESS, MakeVehicleEvent(name.c_str(), (nTick + i) % 101));
        }
        return events;
    };

    std::vector<double> direct;
    for (int nTick = 0; nTick < kTicks; ++nTick) {
        const auto events = tickEvents(nTick);
        QElapsedTimer timer;
        timer.start();
        for (const auto& [nKind, ev] : events)
            tab.OnNotifyEvent(nKind, &ev);
        Repaint();
        direct.push_back(timer.nsecsElapsed() / 1e6);
    }

    std::vector<double> viaCenter;
    for (int nTick = kTicks; nTick < 2 * kTicks; ++nTick) {
        const auto events = tickEvents(nTick);
        const int nLastPercent = static_cast<int>(events.back().second.nValue);
        const int nLastRow = kVehicles - 1;
        QElapsedTimer timer;
        timer.start();
        for (const auto& [nKind, ev] : events)
            center.Post(0, nKind, &ev, sizeof(ev));
        // The last event of the tick marks the end of its handling.
        while (list.GetCell(nLastRow, 1)->nPercent != nLastPercent)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        Repaint();
        viaCenter.push_back(timer.nsecsElapsed() / 1e6);
    }
    center.Stop();

    std::printf("%d vehicles, %d ticks each, %d events per tick\n", kVehicles, kTicks, 2 * kVehicles);
    Report("tick, handler called directly + repaint:", direct);
    Report("tick, through the notification center + repaint:", viaCenter);

    // The Fleet page over a history filled the way the server fills it.
    QTemporaryDir work;
    if (!work.isValid()) {
        std::fprintf(stderr, "no temporary directory\n");
        return 1;
    }
    CFleetHistory history(QDir(work.path()).filePath("fleet.db").toStdString());
    if (history.Open() != 0) {
        std::fprintf(stderr, "cannot open the fleet history\n");
        return 1;
    }
    const std::uint32_t tStart = WallClockNow();
    std::vector<std::string> online;
    for (int i = 0; i < kFleetVehicles; ++i) {
        const std::string name = Name(i);
        history.OnArrival(name, "10.0.0.1:5000", tStart - 3600);
        for (int nFile = 0; nFile < i % 7; ++nFile)
            history.OnFileStored(name, 1000000u + static_cast<unsigned>(i), tStart - 60);
        if (i % 5 != 0)
            history.OnCompleteOffload(name, tStart - 1800);
        history.OnPending(name, i % 9 == 0 ? -1 : i % 3);
        if (i % 2 == 0)
            online.push_back(name);
    }
    history.Flush();

    CNotifyCenter fleetCenter;
    CZELCoolTabCtrl fleetTab(QSize(1152, 560), fleetCenter, history);
    fleetTab.show();
    fleetTab.SetActivePage(2);
    CFleetView& fleet = *fleetTab.FleetView();
    fleet.Refresh(tStart, online);
    Repaint();

    // Sorted by name, then by the column that changes (rows move within the view).
    auto fleetRun = [&](int nFirstTick) {
        std::vector<double> ticks;
        for (int nTick = nFirstTick; nTick < nFirstTick + kTicks; ++nTick) {
            for (int k = 0; k < kFleetChangesPerTick; ++k)
                history.OnFileStored(Name((nTick * kFleetChangesPerTick + k * 19) % kFleetVehicles), 500000, tStart);
            QElapsedTimer timer;
            timer.start();
            fleet.Refresh(tStart + static_cast<std::uint32_t>(nTick), online);
            Repaint();
            ticks.push_back(timer.nsecsElapsed() / 1e6);
        }
        return ticks;
    };
    const std::vector<double> byName = fleetRun(0);
    fleet.sortByColumn(CFleetModel::kColFilesToday, Qt::DescendingOrder);
    const std::vector<double> byFiles = fleetRun(kTicks);
    fleetCenter.Stop();
    history.Close();

    std::printf("%d vehicles in the fleet history, %d ticks, %d vehicles changed per tick\n", kFleetVehicles,
                kTicks, kFleetChangesPerTick);
    Report("tick, Fleet page refresh + repaint (by name):", byName);
    Report("tick, Fleet page refresh + repaint (by files):", byFiles);
    return 0;
}
