#include "shell/ui/ZELCoolTabCtrl.h"

#include "core/NotifyCenter.h"
#include "depot/FleetHistory.h"
#include "core/NotifyEvent.h"
#include "shell/ui/CoolTabCtrl.h"
#include "shell/ui/FleetView.h"
#include "shell/ui/ProgressListCtrl.h"
#include "ui/SpinUntil.h"

#include <QAbstractItemModel>
#include <QFontMetrics>
#include <QHeaderView>
#include <QImage>
#include <QRegularExpression>
#include <QStyleOptionViewItem>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// The tab window gets a center of its own. Its size is that of a main window on a
// 1280x900 screen.
class TabTest : public ::testing::Test {
protected:
    TabTest() : m_tab(QSize(static_cast<int>((1280 / 2) * 1.2), 420), m_center, m_history) {}

    void Vehicle(std::uint32_t nKind, const char* szName, std::uint32_t nValue)
    {
        const VehicleEvent ev = MakeVehicleEvent(szName, nValue);
        m_tab.OnNotifyEvent(nKind, &ev);
    }
    void Log(const std::string& text)
    {
        char szBuf[kNotifyPayloadSize] = {};
        std::strncpy(szBuf, text.c_str(), sizeof(szBuf) - 1);
        m_tab.OnNotifyEvent(NOTIFY_LOG, szBuf);
    }
    CProgressListCtrl& Online() { return *m_tab.OnlineList(); }
    QTableWidget& LogList() { return *m_tab.LogList(); }
    QString Shown(int nRow, int nCol) { return Online().model()->index(nRow, nCol).data().toString(); }
    int Percent(int nRow) { return Online().GetCell(nRow, 1)->nPercent; }

    TestApp m_app;
    CNotifyCenter m_center;
    CFleetHistory m_history {"never-opened.db"};  // in memory only
    CZELCoolTabCtrl m_tab;
};

TEST_F(TabTest, PagesHeadingsAndTabs)
{
    ASSERT_EQ(m_tab.PageCount(), 3);
    EXPECT_EQ(Headings(Online().model()), QStringList({"Device name", "download progress", "Download speed"}));
    EXPECT_EQ(Headings(LogList().model()), QStringList({"Time", "Event"}));

    // A click on a tab shows its page.
    m_tab.show();
    EXPECT_EQ(m_tab.ActivePage(), 0);
    EXPECT_TRUE(m_tab.OnlineList()->isVisible());
    QTest::mouseClick(&m_tab, Qt::LeftButton, Qt::NoModifier, m_tab.TabRect(1).center());
    EXPECT_EQ(m_tab.ActivePage(), 1);
    EXPECT_TRUE(m_tab.LogList()->isVisible());
    EXPECT_FALSE(m_tab.OnlineList()->isVisible());
    QTest::mouseClick(&m_tab, Qt::LeftButton, Qt::NoModifier, m_tab.TabRect(2).center());
    EXPECT_EQ(m_tab.ActivePage(), 2);
    EXPECT_TRUE(m_tab.FleetView()->isVisible());
    EXPECT_FALSE(m_tab.LogList()->isVisible());
    const QStringList headings = Headings(m_tab.FleetView()->model());
    EXPECT_EQ(headings, (QStringList {"Vehicle", "Status", "Last complete offload", "Files today", "Bytes today",
                                      "Pending", "Missed"}));
    // Every heading can be read in full.
    for (int i = 0; i < headings.size(); ++i)
        EXPECT_GE(m_tab.FleetView()->columnWidth(i),
                  m_tab.FleetView()->horizontalHeader()->fontMetrics().horizontalAdvance(headings[i]));
}

TEST_F(TabTest, OnlineRowsAppearUpdateAndLeaveByTheirNames)
{
    // Through the center, as the server posts them.
    for (const char* szName : {"BUS-1", "BUS-2"}) {
        const VehicleEvent ev = MakeVehicleEvent(szName, 1);
        m_center.Post(0, NOTIFY_VEHICLE, &ev, sizeof(ev));
    }
    ASSERT_TRUE(SpinUntil([&] { return Online().GetItemCount() == 2; }));
    EXPECT_EQ(Online().GetItemText(1, 0), "BUS-2");
    const CProgressListCtrl::Cell* pBar = Online().GetCell(0, 1);
    ASSERT_NE(pBar, nullptr);
    EXPECT_TRUE(pBar->bShowProgress);
    EXPECT_TRUE(pBar->bShowProgressText);
    EXPECT_EQ(pBar->nPercent, 0);
    EXPECT_EQ(Online().GetCell(0, 0)->nImage, 0);
    EXPECT_EQ(Online().GetItemText(0, 2), "");
    EXPECT_EQ(Online().rowHeight(0), 32);

    // An update repaints only its own cell, and an unchanged value nothing.
    std::vector<std::pair<QModelIndex, QModelIndex>> changes;
    QObject::connect(Online().model(), &QAbstractItemModel::dataChanged,
                     [&](const QModelIndex& a, const QModelIndex& b) { changes.emplace_back(a, b); });
    Vehicle(NOTIFY_PROGRESS, "BUS-2", 42);
    Vehicle(NOTIFY_PROGRESS, "BUS-2", 42);
    Vehicle(NOTIFY_SPEED, "BUS-1", 8192);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].first, changes[0].second);
    EXPECT_EQ(changes[0].first, Online().model()->index(1, 1));
    EXPECT_EQ(changes[1].first, changes[1].second);
    EXPECT_EQ(changes[1].first, Online().model()->index(0, 2));
    EXPECT_EQ(Percent(1), 42);
    EXPECT_EQ(Percent(0), 0);
    EXPECT_EQ(Online().GetItemText(0, 2), "64kbps");

    // Bytes per second shown as whole kilobits.
    Vehicle(NOTIFY_SPEED, "BUS-2", 0);
    EXPECT_EQ(Online().GetItemText(1, 2), "0kbps");
    Vehicle(NOTIFY_SPEED, "BUS-2", 1024);
    EXPECT_EQ(Online().GetItemText(1, 2), "8kbps");
    Vehicle(NOTIFY_SPEED, "BUS-2", 1000);
    EXPECT_EQ(Online().GetItemText(1, 2), "7kbps");

    // Unknown names change nothing; names are compared case-sensitively.
    Vehicle(NOTIFY_SPEED, "bus-2", 4096);
    Vehicle(NOTIFY_PROGRESS, "BUS-3", 90);
    Vehicle(NOTIFY_VEHICLE, "BUS-3", 0);
    ASSERT_EQ(Online().GetItemCount(), 2);
    EXPECT_EQ(Online().GetItemText(1, 2), "7kbps");
    EXPECT_EQ(Percent(1), 42);

    Vehicle(NOTIFY_VEHICLE, "BUS-1", 0);
    ASSERT_EQ(Online().GetItemCount(), 1);
    EXPECT_EQ(Online().GetItemText(0, 0), "BUS-2");
    EXPECT_EQ(Percent(0), 42);

    // Names of the longest length are matched in full; of equal names the upper row acts.
    const std::string longest(31, 'A');
    const std::string longestToo = std::string(30, 'A') + "B";
    Vehicle(NOTIFY_VEHICLE, longest.c_str(), 1);
    Vehicle(NOTIFY_VEHICLE, longestToo.c_str(), 1);
    Vehicle(NOTIFY_PROGRESS, longestToo.c_str(), 70);
    EXPECT_EQ(Percent(1), 0);
    EXPECT_EQ(Percent(2), 70);
    EXPECT_EQ(Online().GetItemText(2, 0).toStdString(), longestToo);

    Vehicle(NOTIFY_VEHICLE, "TWIN", 1);
    Vehicle(NOTIFY_VEHICLE, "OTHER", 1);
    Vehicle(NOTIFY_VEHICLE, "TWIN", 1);
    Vehicle(NOTIFY_SPEED, "TWIN", 2048);
    Vehicle(NOTIFY_PROGRESS, "TWIN", 55);
    EXPECT_EQ(Online().GetItemText(3, 2), "16kbps");
    EXPECT_EQ(Percent(3), 55);
    EXPECT_EQ(Online().GetItemText(5, 2), "");
    EXPECT_EQ(Percent(5), 0);
    Vehicle(NOTIFY_VEHICLE, "TWIN", 0);
    ASSERT_EQ(Online().GetItemCount(), 5);
    EXPECT_EQ(Online().GetItemText(3, 0), "OTHER");
    EXPECT_EQ(Online().GetItemText(4, 0), "TWIN");
    EXPECT_EQ(Percent(4), 0);
}

TEST_F(TabTest, ProgressBarsAreDrawnInTheirColoursOrWaitingInstead)
{
    Vehicle(NOTIFY_VEHICLE, "DONE", 1);
    Vehicle(NOTIFY_VEHICLE, "HALF", 1);
    Vehicle(NOTIFY_VEHICLE, "NONE", 1);
    Vehicle(NOTIFY_PROGRESS, "DONE", 100);
    Vehicle(NOTIFY_PROGRESS, "HALF", 50);
    m_tab.show();
    Online().clearSelection();
    // Samples near the left and the right end of a bar, away from the centred text.
    auto pixel = [&](int nRow, bool bRight = false) {
        QCoreApplication::processEvents();
        const QRect rc = Online().visualRect(Online().model()->index(nRow, 1));
        return Online().viewport()->grab().toImage().pixelColor(bRight ? rc.right() - 6 : rc.left() + 6, rc.top() + 4);
    };
    const QColor highlight = Online().palette().color(QPalette::Active, QPalette::Highlight);
    EXPECT_EQ(pixel(0), CProgressListCtrl::kCompletedColour);
    EXPECT_EQ(pixel(0, true), CProgressListCtrl::kCompletedColour);
    EXPECT_EQ(pixel(1), highlight);
    EXPECT_EQ(pixel(1, true), CProgressListCtrl::kWindowColour);
    EXPECT_EQ(pixel(2), CProgressListCtrl::kWindowColour);

    // A vehicle waiting for a transfer slot shows "waiting" instead of its bar.
    Vehicle(NOTIFY_WAITING, "HALF", 1);
    EXPECT_EQ(Shown(1, 1), "waiting");
    EXPECT_NE(pixel(1), highlight);
    EXPECT_EQ(pixel(0), CProgressListCtrl::kCompletedColour);
    // Progress goes on underneath, unseen; an unknown name changes nothing.
    Vehicle(NOTIFY_PROGRESS, "HALF", 75);
    Vehicle(NOTIFY_WAITING, "OTHER", 1);
    EXPECT_EQ(Percent(1), 75);
    EXPECT_EQ(Shown(1, 1), "waiting");
    EXPECT_EQ(Shown(0, 1), "100");
    EXPECT_EQ(Shown(2, 1), "0");

    Vehicle(NOTIFY_WAITING, "HALF", 0);
    EXPECT_EQ(Shown(1, 1), "75");
    EXPECT_EQ(pixel(1), highlight);
}

TEST_F(TabTest, ActiveLogKeeps501RowsNewestAtTheBottomWithTheWholeTime)
{
    for (int i = 0; i < 501; ++i)
        Log("entry " + std::to_string(i));
    ASSERT_EQ(LogList().rowCount(), 501);
    EXPECT_EQ(LogList().item(0, 1)->text(), "entry 0");
    Log("entry 501");
    ASSERT_EQ(LogList().rowCount(), 501);
    EXPECT_EQ(LogList().item(0, 1)->text(), "entry 1");
    EXPECT_EQ(LogList().item(500, 1)->text(), "entry 501");
    const QRegularExpression stamp("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}$");
    EXPECT_TRUE(stamp.match(LogList().item(500, 0)->text()).hasMatch()) << LogList().item(500, 0)->text().toStdString();

    // The Time column fits the time even where its 12% share of the width would not.
    const int nText = LogList().fontMetrics().horizontalAdvance(CZELCoolTabCtrl::kWidestTime);
    ASSERT_LT(static_cast<int>((m_tab.PageRect().width() - 10) * 0.12), nText);
    EXPECT_GE(LogList().columnWidth(0), nText);
    QStyleOptionViewItem option;
    option.initFrom(&LogList());
    option.font = LogList().font();
    const QModelIndex time = LogList().model()->index(500, 0);
    option.rect = LogList().visualRect(time);
    EXPECT_GE(LogList().columnWidth(0), LogList().itemDelegate()->sizeHint(option, time).width());

    // A text without its NUL stops at the payload's end; unknown kinds are ignored.
    std::vector<char> buffer(kNotifyPayloadSize + 16, 'x');
    std::memset(buffer.data(), 'm', kNotifyPayloadSize);
    m_tab.OnNotifyEvent(NOTIFY_LOG, buffer.data());
    EXPECT_EQ(LogList().item(500, 1)->text(), QString(static_cast<int>(kNotifyPayloadSize), 'm'));
    m_tab.OnNotifyEvent(7, buffer.data());
    EXPECT_EQ(LogList().item(0, 1)->text(), "entry 2");
    EXPECT_EQ(Online().GetItemCount(), 0);
}

TEST(CoolTabCtrlTest, LabelsAreShortenedTwoCharactersAtATime)
{
    TestApp app;
    const QFontMetrics metrics(CCoolTabCtrl::CreateFont());
    EXPECT_EQ(CCoolTabCtrl::ShortenLabel("Active log", metrics, 1000), "Active log");
    // At most ten cuts of two, then two more and "...".
    EXPECT_EQ(CCoolTabCtrl::ShortenLabel("abcdefghijklmnopqrstuvwxyz0123", metrics, 0), "abcdefgh...");
    // Cut until it fits, then two more.
    const int nSpace = metrics.horizontalAdvance("Online DVR l");
    EXPECT_EQ(CCoolTabCtrl::ShortenLabel("Online DVR list", metrics, nSpace), "Online DV...");
}

} // namespace
