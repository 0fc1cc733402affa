#pragma once

#include "support/WaitFor.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QCoreApplication>
#include <QStringList>

#include <cstdlib>

// The application object of a window test. Without a platform named, it draws
// off screen, so that the test binary runs on a machine without a display too.
class TestApp : public QApplication {
public:
    TestApp() : QApplication(Argc(), s_argv) {}

private:
    static int& Argc()
    {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return s_nArgc;
    }

    static inline int s_nArgc = 1;
    static inline char s_szName[] = "guitest";
    static inline char* s_argv[] = {s_szName, nullptr};
};

// Runs the event loop until pred holds or nMs pass; whether it held.
template <typename Pred>
bool SpinUntil(Pred pred, int nMs = 5000)
{
    return WaitFor(pred, std::chrono::milliseconds(nMs),
                   [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); });
}

// The column headings of a list, left to right.
inline QStringList Headings(const QAbstractItemModel* pModel)
{
    QStringList headings;
    for (int nCol = 0; nCol < pModel->columnCount(); ++nCol)
        headings << pModel->headerData(nCol, Qt::Horizontal).toString();
    return headings;
}
