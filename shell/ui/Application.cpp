#include "shell/ui/Application.h"

#include "core/Logger.h"
#include "core/NotifyCenter.h"
#include "platform/System.h"
#include "settings/DepotSettings.h"
#include "settings/SettingsFile.h"
#include "shell/ui/MainDlg.h"
#include "shell/ServerControl.h"

#include <QApplication>

#include <log4cpp/Category.hh>

int RunApplication(int argc, char** argv)
{
    KeepLargeBlocksMapped();
    IgnoreSigPipe();
    // The log's limits come before its first line (logmaxmb 0, the default, empties it).
    {
        CSettingsFile peek(CSettingsFile::kDefaultPath, CSettingsFile::Access::ReadOnly);
        CLogger::SetStartRotation(LogRotationOf(LoadDepotSettings(peek)));
    }
    // The Fleet tab shows the history before the server is started.
    CServerControl control;
    // The record index lives from before the window to after it.
    control.Index();
    control.History().Open();
    control.Requests().Open();
    int nResult;
    {
        QApplication app(argc, argv);
        // Closing the main window (only possible while the server is stopped) ends
        // the program: the notification center stops before the window goes.
        CMainDlg dlg(control);
        dlg.show();
        nResult = app.exec();
        CNotifyCenter::Instance().Stop();
    }
    control.Requests().Close();
    control.History().Close();
    log4cpp::Category::shutdown();
    return nResult;
}
