#include "shell/ui/MainDlg.h"

#include "settings/ui/ConfigDlg.h"
#include "settings/ui/DepotSettingsDlg.h"

#include "support/Sandbox.h"
#include "platform/Timing.h"
#include "settings/Settings.h"
#include "shell/Logger.h"
#include "shell/ServerControl.h"
#include "depot/FleetHistory.h"
#include "settings/DepotSettings.h"
#include "settings/WallClock.h"
#include "shell/ui/AboutDlg.h"
#include "shell/ui/FleetView.h"
#include "shell/ui/LogFilterDlg.h"
#include "shell/ui/MessageBox.h"
#include "shell/ui/ZELCoolTabCtrl.h"
#include "support/LogFile.h"
#include "ui/SpinUntil.h"

#include <QAction>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QToolBar>
#include <QToolButton>
#include <QTimer>
#include <QApplication>
#include <QElapsedTimer>
#include <QTableWidget>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

int g_argc = 1;
char g_arg0[] = "MainDlgGuiTest";
char* g_argv[] = {g_arg0, nullptr};

void Spin(int nMs)
{
    SpinUntil([] { return false; }, nMs);
}

int CountLog(const std::string& text)
{
    const std::vector<std::string> messages = ReadLogMessages();
    return static_cast<int>(std::count(messages.begin(), messages.end(), text));
}

// A port nobody uses right now.
std::uint16_t FreeUdpPort()
{
    QUdpSocket socket;
    EXPECT_TRUE(socket.bind(QHostAddress::AnyIPv4, 0, QUdpSocket::DontShareAddress));
    return socket.localPort();
}

class MainDlgTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        Timing().nDiskCheckPeriodMs = 20;
        Timing().nPollMs = 10;
        CMessageBox::SetInterceptor([this](const QString& text) { m_messages.push_back(text.toStdString()); });
    }
    void TearDown() override
    {
        CMessageBox::SetInterceptor(nullptr);
        Sandbox::TearDown();
    }

    // Settings file with the given control port, as the window loads it at Start.
    void WriteSettings(std::uint16_t nPort)
    {
        ServerSettings settings = DefaultSettings();
        settings.nPort = nPort;
        ASSERT_TRUE(SaveSettings(settings));
    }

    static void ExpectStopped(CMainDlg& dlg)
    {
        EXPECT_TRUE(dlg.Action(CMainDlg::kIdStart)->isEnabled());
        EXPECT_FALSE(dlg.Action(CMainDlg::kIdStop)->isEnabled());
        EXPECT_TRUE(dlg.Action(CMainDlg::kIdConfig)->isEnabled());
        EXPECT_TRUE(dlg.Action(CMainDlg::kIdDepotSettings)->isEnabled());
        EXPECT_FALSE(dlg.IsRunning());
    }
    static void ExpectStarted(CMainDlg& dlg)
    {
        EXPECT_FALSE(dlg.Action(CMainDlg::kIdStart)->isEnabled());
        EXPECT_TRUE(dlg.Action(CMainDlg::kIdStop)->isEnabled());
        EXPECT_FALSE(dlg.Action(CMainDlg::kIdConfig)->isEnabled());
        EXPECT_FALSE(dlg.Action(CMainDlg::kIdDepotSettings)->isEnabled());
        EXPECT_TRUE(dlg.IsRunning());
    }

    std::vector<std::string> m_messages;
};

TEST_F(MainDlgTest, StartAndStopSwitchTheToolbarAndTheServer)
{
    QApplication app(g_argc, g_argv);
    const std::uint16_t nPort = FreeUdpPort();
    WriteSettings(nPort);
    CMainDlg dlg;
    dlg.show();
    ExpectStopped(dlg);
    EXPECT_TRUE(dlg.Action(CMainDlg::kIdClearDisplay)->isEnabled());
    EXPECT_TRUE(dlg.Action(CMainDlg::kIdFilter)->isEnabled());

    dlg.Action(CMainDlg::kIdStart)->trigger();
    ExpectStarted(dlg);
    EXPECT_TRUE(CServerControl::Instance().IsRunning());
    EXPECT_EQ(CountLog("Server starts"), 1);
    // The control port is taken by the server now.
    QUdpSocket probe;
    EXPECT_FALSE(probe.bind(QHostAddress::AnyIPv4, nPort, QUdpSocket::DontShareAddress));

    dlg.Action(CMainDlg::kIdStop)->trigger();
    ExpectStopped(dlg);
    EXPECT_FALSE(CServerControl::Instance().IsRunning());
    EXPECT_EQ(CountLog("Server stops"), 1);
    EXPECT_TRUE(m_messages.empty());
    // The Active log shows the entries too.
    QTableWidget* pLog = dlg.Tab()->LogList();
    auto shown = [&] {
        std::vector<std::string> texts;
        for (int i = 0; i < pLog->rowCount(); ++i)
            texts.push_back(pLog->item(i, 1)->text().toStdString());
        return texts;
    };
    ASSERT_TRUE(SpinUntil([&] { return shown() == ReadLogMessages(); })) << ::testing::PrintToString(shown());
    EXPECT_EQ(shown().front(), "Server starts");
    EXPECT_EQ(shown().back(), "Server stops");
}

TEST_F(MainDlgTest, BusyPortFailsOnceAndALaterStartWorks)
{
    QApplication app(g_argc, g_argv);
    auto pHolder = std::make_unique<QUdpSocket>();
    ASSERT_TRUE(pHolder->bind(QHostAddress::AnyIPv4, 0, QUdpSocket::DontShareAddress));
    WriteSettings(pHolder->localPort());
    CMainDlg dlg;

    dlg.OnStart();
    ExpectStopped(dlg);
    EXPECT_EQ(CountLog("failed to create udp server"), 1);
    EXPECT_EQ(CountLog("Server starts"), 0);
    EXPECT_EQ(m_messages, std::vector<std::string> {"Start failed, please assure port not occupied!"});

    pHolder.reset();
    dlg.Action(CMainDlg::kIdStart)->trigger();
    ExpectStarted(dlg);
    EXPECT_EQ(CountLog("Server starts"), 1);
    EXPECT_EQ(m_messages.size(), 1u);
    dlg.OnStop();
}

TEST_F(MainDlgTest, CloseIsRefusedWhileStarted)
{
    QApplication app(g_argc, g_argv);
    WriteSettings(FreeUdpPort());
    CMainDlg dlg;
    dlg.show();
    dlg.OnStart();

    dlg.Action(CMainDlg::kIdExit)->trigger();
    EXPECT_EQ(m_messages, std::vector<std::string> {"Please stop the server first!"});
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_TRUE(CServerControl::Instance().IsRunning());
    ExpectStarted(dlg);
    // The close box takes the same path.
    EXPECT_FALSE(dlg.close());
    EXPECT_EQ(m_messages.size(), 2u);

    dlg.OnStop();
    dlg.Action(CMainDlg::kIdExit)->trigger();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(m_messages.size(), 2u);
}

TEST_F(MainDlgTest, ClearDisplayEmptiesTheActiveLogButNotTheFile)
{
    QApplication app(g_argc, g_argv);
    CMainDlg dlg;
    QTableWidget* pLog = dlg.Tab()->LogList();
    WriteLog("first");
    WriteLog("second");
    ASSERT_TRUE(SpinUntil([&] { return pLog->rowCount() == 2; }));
    dlg.Action(CMainDlg::kIdClearDisplay)->trigger();
    EXPECT_EQ(pLog->rowCount(), 0);
    WriteLog("third");
    ASSERT_TRUE(SpinUntil([&] { return pLog->rowCount() == 1; }));
    EXPECT_EQ(pLog->item(0, 1)->text(), "third");
    EXPECT_EQ(ReadLogMessages(), (std::vector<std::string> {"first", "second", "third"}));
}

// Acts on the next modal dialog of type T as soon as it runs.
template <typename T, typename Action>
void WhenModal(Action action)
{
    auto* pTimer = new QTimer;
    pTimer->setInterval(10);
    QObject::connect(pTimer, &QTimer::timeout, [pTimer, action] {
        if (auto* pDlg = qobject_cast<T*>(QApplication::activeModalWidget())) {
            pTimer->stop();
            pTimer->deleteLater();
            action(pDlg);
        }
    });
    pTimer->start();
}

TEST_F(MainDlgTest, ConfigSavesOnOkOnlyAndTakesEffectAtTheNextStart)
{
    QApplication app(g_argc, g_argv);
    WriteSettings(FreeUdpPort());
    CMainDlg dlg;
    ASSERT_EQ(GlobalSettings().bComponentMode, 0);

    WhenModal<CConfigDlg>([](CConfigDlg* pDlg) {
        pDlg->findChild<QCheckBox*>()->setChecked(true);
        pDlg->reject();
    });
    dlg.Action(CMainDlg::kIdConfig)->trigger();
    ServerSettings saved;
    LoadSettings(saved);
    EXPECT_EQ(saved.bComponentMode, 0);

    WhenModal<CConfigDlg>([](CConfigDlg* pDlg) {
        pDlg->findChild<QCheckBox*>()->setChecked(true);
        pDlg->accept();
    });
    dlg.Action(CMainDlg::kIdConfig)->trigger();
    LoadSettings(saved);
    EXPECT_EQ(saved.bComponentMode, 1);
    EXPECT_EQ(GlobalSettings().bComponentMode, 0);  // not before the next Start

    dlg.OnStart();
    ExpectStarted(dlg);
    EXPECT_EQ(GlobalSettings().bComponentMode, 1);
    dlg.OnStop();
}

TEST_F(MainDlgTest, MenusToolbarAndAboutBox)
{
    QApplication app(g_argc, g_argv);
    CMainDlg dlg(QSize(1000, 800));
    EXPECT_EQ(dlg.windowTitle(), "ZELDownload");
    EXPECT_EQ(dlg.size(), QSize(600, 480));  // 60% of the screen
    const QList<QAction*> menus = dlg.menuBar()->actions();
    ASSERT_EQ(menus.size(), 2);
    EXPECT_EQ(menus[0]->text(), "&System");
    EXPECT_EQ(menus[1]->text(), "Edit");
    EXPECT_EQ(dlg.Action(CMainDlg::kIdExit)->text(), "E&xit");
    EXPECT_EQ(dlg.Action(CMainDlg::kIdClearDisplay)->text(), "Clear Display");
    EXPECT_EQ(dlg.Action(CMainDlg::kIdFilter)->text(), "Filter");
    EXPECT_TRUE(menus[0]->menu()->actions().contains(dlg.Action(CMainDlg::kIdAbout)));
    EXPECT_EQ(dlg.Action(CMainDlg::kIdAbout)->text(), QString::fromUtf8("关于 ZELDownload(&A)..."));
    for (CMainDlg::Command nId : {CMainDlg::kIdStart, CMainDlg::kIdStop, CMainDlg::kIdConfig}) {
        QWidget* pButton = dlg.ToolBar()->widgetForAction(dlg.Action(nId));
        ASSERT_NE(pButton, nullptr);
        EXPECT_EQ(pButton->size(), QSize(70, 70));
    }
    EXPECT_EQ(dlg.ToolBar()->iconSize(), QSize(48, 48));

    QString aboutText;
    QString okText;
    WhenModal<CAboutDlg>([&](CAboutDlg* pDlg) {
        aboutText = pDlg->findChild<QLabel*>("aboutText")->text();
        QPushButton* pOk = pDlg->findChild<QPushButton*>("aboutOk");
        okText = pOk->text();
        pOk->click();
    });
    dlg.Action(CMainDlg::kIdAbout)->trigger();
    EXPECT_EQ(aboutText, QString::fromUtf8("ZELDownload 1.0 版"));
    EXPECT_EQ(okText, QString::fromUtf8("确定"));
}

TEST_F(MainDlgTest, FilterConfirmedWithNoVehicleDropsVehicleEntries)
{
    QApplication app(g_argc, g_argv);
    CMainDlg dlg;
    WhenModal<CLogFilterDlg>([](CLogFilterDlg* pDlg) { pDlg->accept(); });
    dlg.Action(CMainDlg::kIdFilter)->trigger();
    WriteLog("for a vehicle", "BUS-1");
    WriteLog("for nobody");
    EXPECT_EQ(ReadLogMessages(), std::vector<std::string> {"for nobody"});

    // A cancelled dialog leaves the filter alone.
    WhenModal<CLogFilterDlg>([](CLogFilterDlg* pDlg) { pDlg->reject(); });
    dlg.Action(CMainDlg::kIdFilter)->trigger();
    WriteLog("again for a vehicle", "BUS-1");
    EXPECT_EQ(ReadLogMessages(), std::vector<std::string> {"for nobody"});
}

TEST_F(MainDlgTest, DepotSettingsFromTheEditMenuAndTheFleetPageFollowsTheTimer)
{
    QApplication app(g_argc, g_argv);
    Timing().nTimerPeriodMs = 20;
    WriteSettings(FreeUdpPort());
    CMainDlg dlg;
    QAction* pDepot = dlg.Action(CMainDlg::kIdDepotSettings);
    ASSERT_NE(pDepot, nullptr);
    EXPECT_EQ(pDepot->text(), "Depot settings...");
    EXPECT_TRUE(dlg.menuBar()->actions()[1]->menu()->actions().contains(pDepot));

    WhenModal<CDepotSettingsDlg>([](CDepotSettingsDlg* pDlg) {
        pDlg->findChild<QLineEdit*>("retainDaysEdit")->setText("14");
        pDlg->accept();
    });
    pDepot->trigger();
    EXPECT_EQ(LoadDepotSettings(SettingsFile()).nRetainDays, 14u);
    EXPECT_TRUE(m_messages.empty());

    // Not while the server runs (a disabled action does nothing when triggered).
    dlg.OnStart();
    ExpectStarted(dlg);
    dlg.OnStop();
    ExpectStopped(dlg);

    // The timer tick brings what the history records onto the Fleet page.
    CFleetHistory::Instance().OnArrival("BUS-77", "10.1.1.1:7000", WallClockNow());
    const QAbstractItemModel* pFleet = dlg.Tab()->FleetView()->model();
    ASSERT_TRUE(SpinUntil([&] { return pFleet->rowCount() == 1; }));
    EXPECT_EQ(pFleet->index(0, 0).data().toString(), "! BUS-77");
}

// Free space reported to the disk monitor in the tests below.
std::atomic<std::uint64_t> g_nFree {0};
std::atomic<int> g_nQueries {0};

void ReplaceFreeSpaceQuery(std::uint64_t nFree)
{
    g_nFree = nFree;
    g_nQueries = 0;
    CServerControl::Instance().DiskMonitor().SetQuery([](const std::string&) -> std::optional<std::uint64_t> {
        ++g_nQueries;
        return g_nFree.load();
    });
}

TEST_F(MainDlgTest, DiskMonitorStopsBelow256MiB)
{
    QApplication app(g_argc, g_argv);
    WriteSettings(FreeUdpPort());
    ReplaceFreeSpaceQuery(256ull * 1024 * 1024 - 1);  // 255 MiB and some bytes
    CMainDlg dlg;
    bool bStoppedBeforeBox = false;
    CMessageBox::SetInterceptor([&](const QString& text) {
        // The toolbar has switched before the user sees the box.
        bStoppedBeforeBox = dlg.Action(CMainDlg::kIdStart)->isEnabled() &&
                            !dlg.Action(CMainDlg::kIdStop)->isEnabled();
        m_messages.push_back(text.toStdString());
    });
    dlg.OnStart();
    ASSERT_TRUE(SpinUntil([&] { return !m_messages.empty(); }));
    EXPECT_EQ(m_messages, std::vector<std::string> {"Disk full,Please delete files or change path!"});
    EXPECT_TRUE(bStoppedBeforeBox);
    ExpectStopped(dlg);
    EXPECT_FALSE(CServerControl::Instance().IsRunning());
    EXPECT_EQ(CountLog("Server stops"), 1);

    // A later Start with enough space runs again.
    g_nFree = 256ull * 1024 * 1024;
    dlg.OnStart();
    ExpectStarted(dlg);
    dlg.OnStop();
}

TEST_F(MainDlgTest, DiskMonitorKeepsRunningAt256MiB)
{
    QApplication app(g_argc, g_argv);
    WriteSettings(FreeUdpPort());
    ReplaceFreeSpaceQuery(256ull * 1024 * 1024);
    CMainDlg dlg;
    dlg.OnStart();
    // Several checks happen while the window goes on.
    ASSERT_TRUE(SpinUntil([] { return g_nQueries >= 5; }));
    Spin(50);
    EXPECT_TRUE(m_messages.empty());
    ExpectStarted(dlg);
    EXPECT_TRUE(CServerControl::Instance().IsRunning());

    // Space runs low while started.
    g_nFree = 10ull * 1024 * 1024;
    ASSERT_TRUE(SpinUntil([&] { return !m_messages.empty(); }));
    ExpectStopped(dlg);
}

TEST_F(MainDlgTest, StartWhileTheMonitorWaitsForTheWindowDoesNotHang)
{
    QApplication app(g_argc, g_argv);
    WriteSettings(FreeUdpPort());
    ReplaceFreeSpaceQuery(1024);
    CMainDlg dlg;
    dlg.OnStart();
    // The monitor stops the server and then waits for its box, which the window
    // thread (not spinning its loop here) has not shown yet.
    for (int i = 0; i < 500 && CServerControl::Instance().IsRunning(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(CServerControl::Instance().IsRunning());

    // Start joins the old monitor: it must give up its wait instead of deadlocking.
    std::atomic<bool> bDone {false};
    std::thread watchdog([&] {
        for (int i = 0; i < 2000 && !bDone; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!bDone)
            std::abort();
    });
    g_nFree = 1ull << 40;
    dlg.OnStart();
    bDone = true;
    watchdog.join();
    ExpectStarted(dlg);

    // The late box still shows, but leaves the running server's toolbar alone.
    ASSERT_TRUE(SpinUntil([&] { return !m_messages.empty(); }));
    EXPECT_EQ(m_messages, std::vector<std::string> {"Disk full,Please delete files or change path!"});
    ExpectStarted(dlg);
    EXPECT_TRUE(CServerControl::Instance().IsRunning());
    dlg.OnStop();
}

} // namespace
