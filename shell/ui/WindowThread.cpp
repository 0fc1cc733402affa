#include "shell/ui/WindowThread.h"

#include <QCoreApplication>
#include <QThread>
#include <QtGlobal>

bool CWindowThread::IsCurrent()
{
    const QCoreApplication* pApp = QCoreApplication::instance();
    return pApp == nullptr || QThread::currentThread() == pApp->thread();
}

void CWindowThread::Check(const char* szWhere)
{
    if (!IsCurrent())
        qFatal("%s called off the window thread", szWhere);
}
