#pragma once

#include <QAbstractItemModel>
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>

// The application object of a window test; one per test process.
class TestApp : public QApplication {
public:
    TestApp() : QApplication(s_nArgc, s_argv) {}

private:
    static inline int s_nArgc = 1;
    static inline char s_szName[] = "guitest";
    static inline char* s_argv[] = {s_szName, nullptr};
};

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

// The column headings of a list, left to right.
inline QStringList Headings(const QAbstractItemModel* pModel)
{
    QStringList headings;
    for (int nCol = 0; nCol < pModel->columnCount(); ++nCol)
        headings << pModel->headerData(nCol, Qt::Horizontal).toString();
    return headings;
}
