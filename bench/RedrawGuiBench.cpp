// The online list under load: 500 vehicles, each tick one speed and one progress
// event per vehicle (as the registry's one-second timer posts them), handled on the
// window thread, followed by the repaint. Prints the time one tick takes, through
// the notification center and with the handler called directly.
#include "shell/NotifyCenter.h"
#include "shell/NotifyEvent.h"
#include "shell/ui/ProgressListCtrl.h"
#include "shell/ui/ZELCoolTabCtrl.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kVehicles = 500;
constexpr int kTicks = 30;

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
    CZELCoolTabCtrl tab(QSize(1152, 560), center);
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
    return 0;
}
