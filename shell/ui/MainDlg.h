#pragma once

#include "platform/Condition.h"
#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <QMainWindow>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <set>

class CServerControl;
class CZELCoolTabCtrl;
class QAction;
class QCloseEvent;
class QLabel;
class QStatusBar;
class QToolBar;

// The main window: toolbar Start, Stop, Config; menus System (Exit, About) and Edit
// (Clear Display, Filter, Depot settings); the tab window with the online list, the
// Active log and the Fleet page; a two-part status bar. Runs the registry's
// one-second timer, which also refreshes the Fleet page. Start, Config and Depot
// settings are enabled exactly while the server is stopped, Stop while it runs.
class CMainDlg : public QMainWindow {
    Q_OBJECT
public:
    // Command identifiers of the toolbar and menus.
    enum Command {
        kIdStart = 32771,
        kIdStop = 32772,
        kIdConfig = 32773,
        kIdExit = 32774,
        kIdClearDisplay = 32783,
        kIdFilter = 32784,
        kIdDepotSettings = 32785,
        kIdAbout = 16,
    };

    // Sized to 60% of the primary screen, at its top-left corner. Window thread.
    explicit CMainDlg(CServerControl& control, QWidget* pParent = nullptr);
    // Sized for a screen of screenSize (screenshots). Window thread.
    CMainDlg(CServerControl& control, const QSize& screenSize, QWidget* pParent = nullptr);
    // Stops a running server and waits for its disk monitor. Window thread.
    ~CMainDlg() override;

    // The window's commands. Window thread.
    void OnStart();
    void OnStop();
    void OnConfig();
    void OnExit();
    void OnClearDisplay();
    void OnFilter();
    void OnDepotSettings();
    void OnAbout();

    // Whether the server is started (as the window last set it). Any thread.
    bool IsRunning() const { return m_bRunning != 0; }

    // Window thread.
    CZELCoolTabCtrl* Tab() const { return m_pTab; }
    QToolBar* ToolBar() const { return m_pToolBar; }
    // The action of a command id, or null.
    QAction* Action(Command nId) const;

protected:
    void closeEvent(QCloseEvent* pEvent) override;

private:
    void Build(const QSize& screenSize);
    // Build's parts: the menus and the toolbar with their actions, the status bar.
    void x_BuildMenus();
    void x_BuildToolBar();
    QStatusBar* x_BuildStatusBar();
    void ShowRunning(bool bRunning);
    // The one-second tick of the Fleet page (the registry ticks on the server's runner).
    void OnTick();
    // The disk monitor's low-space handler. Disk monitor thread.
    void OnLowSpace() EXCLUDES(m_lowLock);
    // Marks a window-thread call that may wait for the disk monitor thread, so a
    // monitor waiting for the window thread gives up its wait.
    void BeginMonitorJoin() EXCLUDES(m_lowLock);
    void EndMonitorJoin() EXCLUDES(m_lowLock);

    std::atomic<int> m_bRunning {0};
    CServerControl& m_control;
    CZELCoolTabCtrl* m_pTab = nullptr;
    QToolBar* m_pToolBar = nullptr;
    QLabel* m_pStatusParts[2] = {};
    QAction* m_pActStart = nullptr;
    QAction* m_pActStop = nullptr;
    QAction* m_pActConfig = nullptr;
    QAction* m_pActExit = nullptr;
    QAction* m_pActClear = nullptr;
    QAction* m_pActFilter = nullptr;
    QAction* m_pActDepot = nullptr;
    QAction* m_pActAbout = nullptr;
    QTimer m_timer;

    CMutex m_lowLock;
    CCondition m_lowDone;  // a low-space box closed, or a join began
    int m_nJoiners GUARDED_BY(m_lowLock) = 0;
    std::uint64_t m_nLastLowBox GUARDED_BY(m_lowLock) = 0;
    std::set<std::uint64_t> m_openLowBoxes GUARDED_BY(m_lowLock);  // by number: posted and not closed yet
};
