#include "shell/ui/MainDlg.h"

#include "core/Logger.h"
#include "depot/FleetHistory.h"
#include "platform/Timing.h"
#include "settings/DepotSettings.h"
#include "settings/Settings.h"
#include "settings/WallClock.h"
#include "shell/ServerControl.h"
#include "shell/ui/FleetView.h"
#include "shell/ui/ZELCoolTabCtrl.h"
#include "support/LogFile.h"
#include "ui/ModalScript.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QTableWidget>
#include <QToolBar>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

class MainDlgTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        Timing().nDiskCheckPeriodMs = 20;
        Timing().nPollMs = 10;
    }

    // A settings file with the given control port (a free one by default), as the
    // window loads it at Start.
    static void WriteSettings(std::uint16_t nPort = 0)
    {
        if (nPort == 0) {
            QUdpSocket socket;
            EXPECT_TRUE(socket.bind(QHostAddress::AnyIPv4, 0, QUdpSocket::DontShareAddress));
            nPort = socket.localPort();
        }
        ServerSettings settings = DefaultSettings();
        settings.nPort = nPort;
        ASSERT_TRUE(SaveSettings(settings));
    }

    // Start, Config and Depot settings exactly while stopped, Stop while started.
    void ExpectRunning(CMainDlg& dlg, bool bRunning)
    {
        EXPECT_EQ(dlg.Action(CMainDlg::kIdStart)->isEnabled(), !bRunning);
        EXPECT_EQ(dlg.Action(CMainDlg::kIdStop)->isEnabled(), bRunning);
        EXPECT_EQ(dlg.Action(CMainDlg::kIdConfig)->isEnabled(), !bRunning);
        EXPECT_EQ(dlg.Action(CMainDlg::kIdDepotSettings)->isEnabled(), !bRunning);
        EXPECT_EQ(dlg.IsRunning(), bRunning);
        EXPECT_EQ(Control().IsRunning(), bRunning);
    }
};

TEST_F(MainDlgTest, StartStopAndExitSwitchTheToolbarTheServerAndTheLog)
{
    auto pHolder = std::make_unique<QUdpSocket>();
    ASSERT_TRUE(pHolder->bind(QHostAddress::AnyIPv4, 0, QUdpSocket::DontShareAddress));
    const std::uint16_t nPort = pHolder->localPort();
    WriteSettings(nPort);
    CMainDlg dlg(Control());
    dlg.show();
    ExpectRunning(dlg, false);

    // A busy control port fails the Start once.
    dlg.Action(CMainDlg::kIdStart)->trigger();
    ExpectRunning(dlg, false);
    EXPECT_EQ(CountLog("failed to create udp server"), 1u);
    EXPECT_EQ(CountLog("Server starts"), 0u);
    EXPECT_EQ(m_messages, std::vector<std::string> {"Start failed, please assure port not occupied!"});

    // Free again: the next Start takes the port.
    pHolder.reset();
    dlg.Action(CMainDlg::kIdStart)->trigger();
    ExpectRunning(dlg, true);
    EXPECT_EQ(CountLog("Server starts"), 1u);
    QUdpSocket probe;
    EXPECT_FALSE(probe.bind(QHostAddress::AnyIPv4, nPort, QUdpSocket::DontShareAddress));

    // No closing while started, neither from the menu nor by the close box.
    m_messages.clear();
    dlg.Action(CMainDlg::kIdExit)->trigger();
    EXPECT_EQ(m_messages, std::vector<std::string> {"Please stop the server first!"});
    EXPECT_FALSE(dlg.close());
    EXPECT_EQ(m_messages.size(), 2u);
    EXPECT_TRUE(dlg.isVisible());
    ExpectRunning(dlg, true);

    dlg.Action(CMainDlg::kIdStop)->trigger();
    ExpectRunning(dlg, false);
    EXPECT_EQ(CountLog("Server stops"), 1u);

    // The Active log shows the file's entries; Clear Display empties it, not the file.
    QTableWidget* pLog = dlg.Tab()->LogList();
    auto shown = [&] {
        std::vector<std::string> texts;
        for (int i = 0; i < pLog->rowCount(); ++i)
            texts.push_back(pLog->item(i, 1)->text().toStdString());
        return texts;
    };
    ASSERT_TRUE(SpinUntil([&] { return shown() == ReadLogMessages(); })) << ::testing::PrintToString(shown());
    EXPECT_EQ(shown().back(), "Server stops");
    const std::size_t nInFile = ReadLogMessages().size();
    dlg.Action(CMainDlg::kIdClearDisplay)->trigger();
    EXPECT_EQ(pLog->rowCount(), 0);
    WriteLog("after clearing");
    ASSERT_TRUE(SpinUntil([&] { return pLog->rowCount() == 1; }));
    EXPECT_EQ(pLog->item(0, 1)->text(), "after clearing");
    EXPECT_EQ(ReadLogMessages().size(), nInFile + 1);

    dlg.Action(CMainDlg::kIdExit)->trigger();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(m_messages.size(), 2u);
}

TEST_F(MainDlgTest, MenusAboutBoxAndLogFilter)
{
    CMainDlg dlg(Control(), QSize(1000, 800));
    EXPECT_EQ(dlg.windowTitle(), "ZELDownload");
    EXPECT_EQ(dlg.size(), QSize(600, 480));  // 60% of the screen
    EXPECT_EQ(dlg.ToolBar()->iconSize(), QSize(48, 48));
    const QList<QAction*> menus = dlg.menuBar()->actions();
    ASSERT_EQ(menus.size(), 2);
    EXPECT_EQ(menus[0]->text(), "&System");
    EXPECT_EQ(menus[1]->text(), "Edit");
    EXPECT_TRUE(menus[0]->menu()->actions().contains(dlg.Action(CMainDlg::kIdAbout)));
    EXPECT_TRUE(menus[1]->menu()->actions().contains(dlg.Action(CMainDlg::kIdDepotSettings)));
    EXPECT_EQ(dlg.Action(CMainDlg::kIdExit)->text(), "E&xit");
    EXPECT_EQ(dlg.Action(CMainDlg::kIdAbout)->text(), QString::fromUtf8("关于 ZELDownload(&A)..."));
    EXPECT_EQ(dlg.Action(CMainDlg::kIdClearDisplay)->text(), "Clear Display");
    EXPECT_EQ(dlg.Action(CMainDlg::kIdFilter)->text(), "Filter");
    EXPECT_EQ(dlg.Action(CMainDlg::kIdDepotSettings)->text(), "Depot settings...");

    ModalScript script;
    script.Then([](QWidget* pModal) {
        EXPECT_EQ(pModal->windowTitle(), QString::fromUtf8("关于 ZELDownload"));
        EXPECT_EQ(Child<QLabel>(pModal, "aboutText")->text(), QString::fromUtf8("ZELDownload 1.0 版"));
        EXPECT_EQ(Child<QPushButton>(pModal, "aboutOk")->text(), QString::fromUtf8("确定"));
        Click(pModal, "aboutOk");
    });
    dlg.Action(CMainDlg::kIdAbout)->trigger();

    // A filter confirmed with no vehicle online drops every vehicle's entries; a
    // cancelled one leaves the filter alone.
    script.Then([](QWidget* pModal) {
        EXPECT_EQ(pModal->windowTitle(), "Log Filter");
        qobject_cast<QDialog*>(pModal)->accept();
    });
    dlg.Action(CMainDlg::kIdFilter)->trigger();
    WriteLog("for a vehicle", "BUS-1");
    WriteLog("for nobody");
    script.Then([](QWidget* pModal) { qobject_cast<QDialog*>(pModal)->reject(); });
    dlg.Action(CMainDlg::kIdFilter)->trigger();
    WriteLog("again for a vehicle", "BUS-1");
    EXPECT_EQ(ReadLogMessages(), std::vector<std::string> {"for nobody"});
    EXPECT_EQ(script.Left(), 0u);
}

TEST_F(MainDlgTest, ConfigAndDepotSettingsSaveOnOkAndTakeEffectAtTheNextStart)
{
    Timing().nTimerPeriodMs = 20;
    WriteSettings();
    CMainDlg dlg(Control());
    ModalScript script;
    auto config = [](bool bOk) {
        return [bOk](QWidget* pModal) {
            EXPECT_EQ(pModal->windowTitle(), "Configuration");
            Child<QCheckBox>(pModal, "componentCheck")->setChecked(true);
            Click(pModal, bOk ? "okButton" : "cancelButton");
        };
    };
    ServerSettings saved;
    script.Then(config(false));
    dlg.Action(CMainDlg::kIdConfig)->trigger();
    LoadSettings(saved);
    EXPECT_EQ(saved.bComponentMode, 0);
    script.Then(config(true));
    dlg.Action(CMainDlg::kIdConfig)->trigger();
    LoadSettings(saved);
    EXPECT_EQ(saved.bComponentMode, 1);

    script.Then([](QWidget* pModal) {
        EXPECT_EQ(pModal->windowTitle(), "Depot settings");
        Child<QLineEdit>(pModal, "retainDaysEdit")->setText("14");
        Click(pModal, "okButton");
    });
    dlg.Action(CMainDlg::kIdDepotSettings)->trigger();
    EXPECT_EQ(LoadDepotSettings(SettingsFile()).nRetainDays, 14u);
    EXPECT_EQ(script.Left(), 0u);
    EXPECT_TRUE(m_messages.empty());

    dlg.OnStart();
    ExpectRunning(dlg, true);
    EXPECT_EQ(Server().Config().settings.bComponentMode, 1);
    EXPECT_EQ(Server().Config().depot.nRetainDays, 14u);
    dlg.OnStop();

    // The timer tick brings what the history records onto the Fleet page.
    Control().History().OnArrival("BUS-77", "10.1.1.1:7000", WallClockNow());
    const QAbstractItemModel* pFleet = dlg.Tab()->FleetView()->model();
    ASSERT_TRUE(SpinUntil([&] { return pFleet->rowCount() == 1; }));
    EXPECT_EQ(pFleet->index(0, 0).data().toString(), "! BUS-77");
}

TEST_F(MainDlgTest, DiskMonitorKeepsRunningAt256MiBAndStopsBelow)
{
    WriteSettings();
    static std::atomic<std::uint64_t> s_nFree {256ull * 1024 * 1024};
    static std::atomic<int> s_nQueries {0};
    Control().DiskMonitor().SetQuery([](const std::string&) -> std::optional<std::uint64_t> {
        ++s_nQueries;
        return s_nFree.load();
    });
    CMainDlg dlg(Control());
    bool bStoppedBeforeBox = false;
    CMessageBox::SetInterceptor([&](const QString& text) {
        // The toolbar has switched before the user sees the box.
        bStoppedBeforeBox = dlg.Action(CMainDlg::kIdStart)->isEnabled() &&
                            !dlg.Action(CMainDlg::kIdStop)->isEnabled();
        m_messages.push_back(text.toStdString());
    });
    dlg.OnStart();
    // Several checks happen while the window goes on.
    ASSERT_TRUE(SpinUntil([] { return s_nQueries >= 5; }));
    SpinUntil([] { return false; }, 50);
    EXPECT_TRUE(m_messages.empty());
    ExpectRunning(dlg, true);

    const std::vector<std::string> full(1, "Disk full,Please delete files or change path!");
    s_nFree = 256ull * 1024 * 1024 - 1;
    ASSERT_TRUE(SpinUntil([&] { return !m_messages.empty(); }));
    EXPECT_EQ(m_messages, full);
    EXPECT_TRUE(bStoppedBeforeBox);
    ExpectRunning(dlg, false);
    EXPECT_EQ(CountLog("Server stops"), 1u);

    // A later Start with enough space runs again.
    s_nFree = 256ull * 1024 * 1024;
    dlg.OnStart();
    ExpectRunning(dlg, true);

    // Space runs out while the window thread is busy: the monitor stops the server
    // and waits for its box, which the window (not spinning its loop) cannot show.
    m_messages.clear();
    s_nFree = 1024;
    ASSERT_TRUE(WaitFor([this] { return !Control().IsRunning(); }));
    // Start joins the old monitor: it must give up its wait instead of deadlocking.
    std::atomic<bool> bDone {false};
    std::jthread watchdog([&] {
        if (!WaitFor([&] { return bDone.load(); }, std::chrono::seconds(20)))
            std::abort();
    });
    s_nFree = 1ull << 40;
    dlg.OnStart();
    bDone = true;
    watchdog.join();
    ExpectRunning(dlg, true);
    // The late box still shows, but leaves the running server's toolbar alone.
    ASSERT_TRUE(SpinUntil([&] { return !m_messages.empty(); }));
    EXPECT_EQ(m_messages, full);
    ExpectRunning(dlg, true);
    dlg.OnStop();
}

} // namespace
