#include "shell/ui/Application.h"

#include "platform/System.h"
#include "shell/NotifyCenter.h"

#include <QApplication>
#include <QWidget>

#include <log4cpp/Category.hh>

int RunApplication(int argc, char** argv)
{
    IgnoreSigPipe();
    int nResult;
    {
        QApplication app(argc, argv);
        // Placeholder until the main window exists: an empty captioned window.
        QWidget window;
        window.setWindowTitle("ZELDownload");
        window.resize(640, 400);
        window.show();
        nResult = app.exec();
        CNotifyCenter::Instance().Stop();
    }
    log4cpp::Category::shutdown();
    return nResult;
}
