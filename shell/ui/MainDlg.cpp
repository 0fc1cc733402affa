#include "shell/ui/MainDlg.h"

#include "core/Logger.h"
#include "core/NotifyCenter.h"
#include "platform/MutexLock.h"
#include "platform/Timing.h"
#include "resources/Artwork.h"
#include "settings/Settings.h"
#include "settings/WallClock.h"
#include "settings/ui/ConfigDlg.h"
#include "settings/ui/DepotSettingsDlg.h"
#include "shell/ServerControl.h"
#include "shell/ui/AboutDlg.h"
#include "shell/ui/FleetView.h"
#include "shell/ui/LogFilterDlg.h"
#include "shell/ui/MessageBox.h"
#include "shell/ui/WindowThread.h"
#include "shell/ui/ZELCoolTabCtrl.h"
#include "vehicles/VehicleMgr.h"

#include <QAction>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <string>
#include <vector>

namespace {

constexpr int kButtonSize = 70;

QSize PrimaryScreenSize()
{
    const QScreen* pScreen = QGuiApplication::primaryScreen();
    return pScreen ? pScreen->geometry().size() : QSize(1024, 768);
}

} // namespace

CMainDlg::CMainDlg(CServerControl& control, QWidget* pParent) : CMainDlg(control, PrimaryScreenSize(), pParent) {}

CMainDlg::CMainDlg(CServerControl& control, const QSize& screenSize, QWidget* pParent)
    : QMainWindow(pParent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                               Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_control(control)
{
    CWindowThread::Check(Q_FUNC_INFO);
    Build(screenSize);
}

void CMainDlg::Build(const QSize& screenSize)
{
    setWindowTitle("ZELDownload");
    setWindowIcon(CArtwork::AppIcon());
    m_bRunning = 0;

    // 60% of the screen, at its top-left corner; not resizable.
    const int nWidth = static_cast<int>((screenSize.width() / 2) * 1.2);
    const int nHeight = static_cast<int>((screenSize.height() / 2) * 1.2);
    setFixedSize(nWidth, nHeight);
    move(0, 0);

    x_BuildMenus();
    x_BuildToolBar();
    QStatusBar* pStatus = x_BuildStatusBar();

    // The tab window fills the rest, a quarter of the toolbar's height below it.
    const int nToolBarHeight = m_pToolBar->sizeHint().height();
    const int nTop = nToolBarHeight / 4;
    const QSize tabSize(nWidth, nHeight - menuBar()->sizeHint().height() - nToolBarHeight - nTop -
                                    pStatus->sizeHint().height());
    auto* pCentral = new QWidget(this);
    auto* pLayout = new QVBoxLayout(pCentral);
    pLayout->setContentsMargins(0, nTop, 0, 0);
    m_pTab = new CZELCoolTabCtrl(tabSize, CNotifyCenter::Instance(), m_control.History(), pCentral,
                                 &m_control.Requests());
    m_pTab->setObjectName("tab");
    pLayout->addWidget(m_pTab);
    setCentralWidget(pCentral);

    // The disk monitor stops the server from its own thread; the window's part of
    // that runs here on the window thread.
    m_control.SetLowSpaceHandler([this] { OnLowSpace(); });

    m_timer.setInterval(Timing().nTimerPeriodMs);
    connect(&m_timer, &QTimer::timeout, this, &CMainDlg::OnTick);
    m_timer.start();
}

void CMainDlg::x_BuildMenus()
{
    QMenu* pSystem = menuBar()->addMenu("&System");
    m_pActExit = pSystem->addAction("E&xit", this, &CMainDlg::OnExit);
    pSystem->addSeparator();
    // A window manager here offers no system menu to extend; the About item lives
    // in the System menu instead.
    m_pActAbout = pSystem->addAction(QString::fromUtf8("关于 ZELDownload(&A)..."), this, &CMainDlg::OnAbout);
    QMenu* pEdit = menuBar()->addMenu("Edit");
    m_pActClear = pEdit->addAction("Clear Display", this, &CMainDlg::OnClearDisplay);
    m_pActFilter = pEdit->addAction("Filter", this, &CMainDlg::OnFilter);
    m_pActDepot = pEdit->addAction("Depot settings...", this, &CMainDlg::OnDepotSettings);
}

void CMainDlg::x_BuildToolBar()
{
    m_pToolBar = new QToolBar("toolbar", this);
    m_pToolBar->setObjectName("toolBar");
    m_pToolBar->setMovable(true);
    m_pToolBar->setFloatable(false);
    m_pToolBar->setAllowedAreas(Qt::TopToolBarArea);
    m_pToolBar->setIconSize(QSize(CArtwork::kToolbarImageSize, CArtwork::kToolbarImageSize));
    m_pToolBar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    m_pActStart = m_pToolBar->addAction(CArtwork::ToolbarIcon(CArtwork::Button::Start), "Start", this,
                                        &CMainDlg::OnStart);
    m_pActStop = m_pToolBar->addAction(CArtwork::ToolbarIcon(CArtwork::Button::Stop), "Stop", this,
                                       &CMainDlg::OnStop);
    m_pActConfig = m_pToolBar->addAction(CArtwork::ToolbarIcon(CArtwork::Button::Config), "Config", this,
                                         &CMainDlg::OnConfig);
    m_pActStart->setWhatsThis("Start the server");
    m_pActStop->setWhatsThis("Stop the server");
    m_pActConfig->setWhatsThis("Config the server");
    m_pActExit->setWhatsThis("Exit the server");
    for (QAction* pAction : {m_pActStart, m_pActStop, m_pActConfig})
        if (QWidget* pButton = m_pToolBar->widgetForAction(pAction))
            pButton->setFixedSize(kButtonSize, kButtonSize);
    addToolBar(Qt::TopToolBarArea, m_pToolBar);
    m_pActStop->setEnabled(false);
}

QStatusBar* CMainDlg::x_BuildStatusBar()
{
    // Status bar: two empty parts, the first four fifths of the width.
    QStatusBar* pStatus = statusBar();
    pStatus->setSizeGripEnabled(false);
    for (int i = 0; i < 2; ++i) {
        m_pStatusParts[i] = new QLabel(pStatus);
        m_pStatusParts[i]->setFrameShape(QFrame::Panel);
        m_pStatusParts[i]->setFrameShadow(QFrame::Sunken);
    }
    pStatus->addWidget(m_pStatusParts[0], 4);
    pStatus->addWidget(m_pStatusParts[1], 1);
    return pStatus;
}

CMainDlg::~CMainDlg()
{
    CWindowThread::Check(Q_FUNC_INFO);
    m_timer.stop();
    BeginMonitorJoin();  // never ended: a waiting monitor must not wait for a gone window
    m_control.Stop();
    m_control.ReleaseStopped();  // one whose disk check stopped it may still end
    m_control.SetLowSpaceHandler([&control = m_control] { control.Stop(); });
}

QAction* CMainDlg::Action(Command nId) const
{
    switch (nId) {
    case kIdStart: return m_pActStart;
    case kIdStop: return m_pActStop;
    case kIdConfig: return m_pActConfig;
    case kIdExit: return m_pActExit;
    case kIdClearDisplay: return m_pActClear;
    case kIdFilter: return m_pActFilter;
    case kIdDepotSettings: return m_pActDepot;
    case kIdAbout: return m_pActAbout;
    }
    return nullptr;
}

void CMainDlg::ShowRunning(bool bRunning)
{
    m_pActStart->setEnabled(!bRunning);
    m_pActStop->setEnabled(bRunning);
    m_pActConfig->setEnabled(!bRunning);
    m_pActDepot->setEnabled(!bRunning);
}

void CMainDlg::OnTick()
{
    CWindowThread::Check(Q_FUNC_INFO);
    std::vector<std::string> names;
    if (std::shared_ptr<CDepotServer> pServer = m_control.Server())
        pServer->Registry().GetNames(names);
    m_pTab->FleetView()->Refresh(WallClockNow(), names);
    m_pTab->RefreshRequests();
}

void CMainDlg::BeginMonitorJoin()
{
    {
        CMutexLock guard(m_lowLock);
        ++m_nJoiners;
    }
    m_lowDone.NotifyAll();
}

void CMainDlg::EndMonitorJoin()
{
    CMutexLock guard(m_lowLock);
    --m_nJoiners;
}

void CMainDlg::OnStart()
{
    CWindowThread::Check(Q_FUNC_INFO);
    // Start may wait for the previous period's monitor.
    BeginMonitorJoin();
    const int nResult = m_control.Start();
    EndMonitorJoin();
    if (nResult != 0) {
        CMessageBox::Show(this, "Start failed, please assure port not occupied!");
        return;
    }
    ShowRunning(true);
    m_bRunning = 1;
}

void CMainDlg::OnStop()
{
    CWindowThread::Check(Q_FUNC_INFO);
    m_bRunning = 0;
    ShowRunning(false);
    BeginMonitorJoin();
    m_control.Stop();
    EndMonitorJoin();
}

void CMainDlg::OnLowSpace()
{
    m_bRunning = 0;
    m_control.Stop();

    // The toolbar and the box belong to the window thread; this thread waits until
    // the box is closed, unless the window thread is (or gets) busy waiting for it.
    std::uint64_t nBox = 0;
    {
        CMutexLock guard(m_lowLock);
        nBox = ++m_nLastLowBox;
        m_openLowBoxes.insert(nBox);
    }
    QMetaObject::invokeMethod(this, [this, nBox] {
        CWindowThread::Check(Q_FUNC_INFO);
        if (!m_control.IsRunning()) {
            m_bRunning = 0;
            ShowRunning(false);
        }
        CMessageBox::Show(this, "Disk full,Please delete files or change path!");
        {
            CMutexLock guard(m_lowLock);
            m_openLowBoxes.erase(nBox);
        }
        m_lowDone.NotifyAll();
    }, Qt::QueuedConnection);
    CMutexLock guard(m_lowLock);
    while (m_openLowBoxes.count(nBox) != 0 && m_nJoiners == 0)
        m_lowDone.Wait(m_lowLock);
}

void CMainDlg::OnConfig()
{
    CWindowThread::Check(Q_FUNC_INFO);
    // Edits a fresh copy; the dialog saves it on OK (and tells the user when it cannot),
    // and the next Start reloads the process-wide record from the file.
    ServerSettings settings;
    LoadSettings(settings);
    CConfigDlg dlg(settings, this);
    dlg.exec();
}

void CMainDlg::OnExit()
{
    CWindowThread::Check(Q_FUNC_INFO);
    close();
}

void CMainDlg::closeEvent(QCloseEvent* pEvent)
{
    CWindowThread::Check(Q_FUNC_INFO);
    if (m_pActStop->isEnabled()) {
        CMessageBox::Show(this, "Please stop the server first!");
        pEvent->ignore();
        return;
    }
    pEvent->accept();
}

void CMainDlg::OnClearDisplay()
{
    CWindowThread::Check(Q_FUNC_INFO);
    m_pTab->ClearLog();
}

void CMainDlg::OnFilter()
{
    CWindowThread::Check(Q_FUNC_INFO);
    std::vector<std::string> names;
    if (std::shared_ptr<CDepotServer> pServer = m_control.Server())
        pServer->Registry().GetNames(names);
    CLogFilterDlg dlg(names, this);
    if (dlg.exec() == QDialog::Accepted)
        CLogger::Instance().SetFilter(dlg.SelectedNames());
}

void CMainDlg::OnDepotSettings()
{
    CWindowThread::Check(Q_FUNC_INFO);
    // Saved on OK; the next Start puts the values in force.
    CDepotSettingsDlg dlg(this);
    dlg.exec();
}

void CMainDlg::OnAbout()
{
    CWindowThread::Check(Q_FUNC_INFO);
    CAboutDlg dlg(this);
    dlg.exec();
}
