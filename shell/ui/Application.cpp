#include "shell/ui/Application.h"

#include "core/Logger.h"
#include "platform/System.h"
#include "settings/DepotSettings.h"
#include "settings/SettingsFile.h"
#include "shell/ui/MainDlg.h"
#include "shell/ServerControl.h"

#include <QApplication>

#include <log4cpp/Category.hh>

int RunApplication(int argc, char** argv)
{
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
    int nResult;
    {
        QApplication app(argc, argv);
        // The main window loads the settings while it is built; closing it (only
        // possible while the server is stopped) stops the notification center and
        // ends the program.
        CMainDlg dlg(control);
        dlg.show();
        nResult = app.exec();
    }
    control.History().Close();
    log4cpp::Category::shutdown();
    return nResult;
}
