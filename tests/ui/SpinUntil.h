#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>

// Runs the event loop until pred holds or nMs pass; the last value of pred.
template <typename Pred>
bool SpinUntil(Pred pred, int nMs = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!pred() && timer.elapsed() < nMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return pred();
}
