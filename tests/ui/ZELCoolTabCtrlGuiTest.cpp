#include "shell/ui/ZELCoolTabCtrl.h"

#include "shell/NotifyCenter.h"
#include "shell/NotifyEvent.h"
#include "shell/ui/CoolTabCtrl.h"
#include "shell/ui/FleetView.h"
#include "shell/ui/ProgressListCtrl.h"
#include "ui/SpinUntil.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QElapsedTimer>
#include <QFontMetrics>
#include <QHeaderView>
#include <QStyleOptionViewItem>
#include <QImage>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

int g_argc = 1;
char g_arg0[] = "ZELCoolTabCtrlGuiTest";
char* g_argv[] = {g_arg0, nullptr};

// Each test runs in its own process; the tab window gets a center of its own.
class TabTest : public ::testing::Test {
protected:
    TabTest() : m_app(g_argc, g_argv), m_tab(QSize(900, 500), m_center) {}

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

    QApplication m_app;
    CNotifyCenter m_center;
    CZELCoolTabCtrl m_tab;
};

TEST_F(TabTest, PagesAndColumns)
{
    ASSERT_EQ(m_tab.PageCount(), 3);
    EXPECT_EQ(m_tab.ActivePage(), 0);
    EXPECT_EQ(m_tab.Page(0), m_tab.OnlineList());
    EXPECT_EQ(m_tab.Page(1), m_tab.LogList());
    EXPECT_EQ(m_tab.Page(2), m_tab.FleetView());
    QAbstractItemModel* pModel = Online().model();
    ASSERT_EQ(pModel->columnCount(), 3);
    EXPECT_EQ(pModel->headerData(0, Qt::Horizontal).toString(), "Device name");
    EXPECT_EQ(pModel->headerData(1, Qt::Horizontal).toString(), "download progress");
    EXPECT_EQ(pModel->headerData(2, Qt::Horizontal).toString(), "Download speed");
    // Widths are fractions of the page area less 5 pixels on each side.
    const int nBase = m_tab.PageRect().width() - 10;
    EXPECT_EQ(Online().columnWidth(0), static_cast<int>(nBase * 0.19));
    EXPECT_EQ(Online().columnWidth(1), static_cast<int>(nBase * 0.64));
    EXPECT_EQ(Online().columnWidth(2), static_cast<int>(nBase * 0.15));
    EXPECT_EQ(LogList().columnWidth(1), static_cast<int>(nBase * 0.87));
    EXPECT_EQ(LogList().horizontalHeaderItem(0)->text(), "Time");
    EXPECT_EQ(LogList().horizontalHeaderItem(1)->text(), "Event");

    // A click on the second tab shows the Active log.
    m_tab.show();
    QTest::mouseClick(&m_tab, Qt::LeftButton, Qt::NoModifier, m_tab.TabRect(1).center());
    EXPECT_EQ(m_tab.ActivePage(), 1);
    EXPECT_TRUE(m_tab.LogList()->isVisible());
    EXPECT_FALSE(m_tab.OnlineList()->isVisible());
    QTest::mouseClick(&m_tab, Qt::LeftButton, Qt::NoModifier, m_tab.TabRect(2).center());
    EXPECT_EQ(m_tab.ActivePage(), 2);
    EXPECT_TRUE(m_tab.FleetView()->isVisible());
    EXPECT_FALSE(m_tab.LogList()->isVisible());
    const QAbstractItemModel* pFleet = m_tab.FleetView()->model();
    ASSERT_EQ(pFleet->columnCount(), 6);
    QStringList headings;
    for (int i = 0; i < pFleet->columnCount(); ++i) {
        headings << pFleet->headerData(i, Qt::Horizontal).toString();
        // Every heading can be read in full.
        EXPECT_GE(m_tab.FleetView()->columnWidth(i),
                  m_tab.FleetView()->horizontalHeader()->fontMetrics().horizontalAdvance(headings.back()));
    }
    EXPECT_EQ(headings, (QStringList {"Vehicle", "Status", "Last complete offload", "Files today", "Bytes today",
                                      "Pending"}));
}

TEST_F(TabTest, TimeColumnShowsTheWholeTime)
{
    // The tab window of a main window on a 1280x900 screen: 12% is too narrow.
    const int nMainWidth = static_cast<int>((1280 / 2) * 1.2);
    CNotifyCenter center;
    CZELCoolTabCtrl narrow(QSize(nMainWidth, 420), center);
    QTableWidget& log = *narrow.LogList();
    const int nText = log.fontMetrics().horizontalAdvance(CZELCoolTabCtrl::kWidestTime);
    const int nBase = narrow.PageRect().width() - 10;
    ASSERT_LT(static_cast<int>(nBase * 0.12), nText);
    EXPECT_GE(log.columnWidth(0), nText);
    EXPECT_EQ(log.columnWidth(1), static_cast<int>(nBase * 0.87));
    // As shown: the time is not cut short.
    const char* szEvent = "Server starts";
    char szBuf[kNotifyPayloadSize] = {};
    std::strncpy(szBuf, szEvent, sizeof(szBuf) - 1);
    narrow.OnNotifyEvent(NOTIFY_LOG, szBuf);
    QStyleOptionViewItem option;
    option.initFrom(&log);
    option.font = log.font();
    option.rect = log.visualRect(log.model()->index(0, 0));
    const QSize needed = log.itemDelegate()->sizeHint(option, log.model()->index(0, 0));
    EXPECT_GE(log.columnWidth(0), needed.width());

    // A wide screen keeps 12%.
    CNotifyCenter wideCenter;
    CZELCoolTabCtrl wide(QSize(static_cast<int>((2560 / 2) * 1.2), 800), wideCenter);
    const int nWideBase = wide.PageRect().width() - 10;
    ASSERT_GT(static_cast<int>(nWideBase * 0.12), nText + 20);
    EXPECT_EQ(wide.LogList()->columnWidth(0), static_cast<int>(nWideBase * 0.12));
    EXPECT_EQ(wide.LogList()->columnWidth(1), static_cast<int>(nWideBase * 0.87));
}

TEST_F(TabTest, VehicleWaitingForASlotShowsWaitingInsteadOfItsBar)
{
    Vehicle(NOTIFY_VEHICLE, "BUS-1", 1);
    Vehicle(NOTIFY_VEHICLE, "BUS-2", 1);
    Vehicle(NOTIFY_PROGRESS, "BUS-1", 60);
    Vehicle(NOTIFY_PROGRESS, "BUS-2", 60);
    m_tab.show();
    Online().clearSelection();
    const QColor highlight = Online().palette().color(QPalette::Active, QPalette::Highlight);
    // The left end of a cell's bar, away from the centred text.
    auto barStart = [&](int nRow) {
        QCoreApplication::processEvents();
        const QImage image = Online().viewport()->grab().toImage();
        const QRect rc = Online().visualRect(Online().model()->index(nRow, 1));
        return image.pixelColor(rc.left() + 6, rc.top() + 4);
    };
    ASSERT_EQ(barStart(0), highlight);

    Vehicle(NOTIFY_WAITING, "BUS-1", 1);
    EXPECT_EQ(Online().model()->index(0, 1).data().toString(), "waiting");
    EXPECT_EQ(Online().GetCell(0, 1)->barText, "waiting");
    EXPECT_NE(barStart(0), highlight);
    EXPECT_EQ(barStart(1), highlight);
    // Progress goes on underneath, unseen; an unknown name changes nothing.
    Vehicle(NOTIFY_PROGRESS, "BUS-1", 75);
    Vehicle(NOTIFY_WAITING, "BUS-9", 1);
    EXPECT_EQ(Online().GetCell(0, 1)->nPercent, 75);
    EXPECT_EQ(Online().model()->index(0, 1).data().toString(), "waiting");
    EXPECT_TRUE(Online().GetCell(1, 1)->barText.isEmpty());

    Vehicle(NOTIFY_WAITING, "BUS-1", 0);
    EXPECT_EQ(Online().model()->index(0, 1).data().toInt(), 75);
    EXPECT_EQ(barStart(0), highlight);
}

TEST_F(TabTest, VehicleRowsAppearUpdateAndLeave)
{
    Vehicle(NOTIFY_VEHICLE, "BUS-1", 1);
    Vehicle(NOTIFY_VEHICLE, "BUS-2", 1);
    ASSERT_EQ(Online().GetItemCount(), 2);
    EXPECT_EQ(Online().GetItemText(1, 0), "BUS-2");
    const CProgressListCtrl::Cell* pBar = Online().GetCell(0, 1);
    ASSERT_NE(pBar, nullptr);
    EXPECT_TRUE(pBar->bShowProgress);
    EXPECT_TRUE(pBar->bShowProgressText);
    EXPECT_EQ(pBar->nPercent, 0);
    EXPECT_EQ(Online().GetCell(0, 0)->nImage, 0);
    EXPECT_EQ(Online().GetItemText(0, 2), "");
    EXPECT_EQ(Online().rowHeight(0), 32);

    Vehicle(NOTIFY_SPEED, "BUS-2", 0);
    EXPECT_EQ(Online().GetItemText(1, 2), "0kbps");
    Vehicle(NOTIFY_SPEED, "BUS-2", 1024);
    EXPECT_EQ(Online().GetItemText(1, 2), "8kbps");
    Vehicle(NOTIFY_SPEED, "BUS-2", 1000);
    EXPECT_EQ(Online().GetItemText(1, 2), "7kbps");
    Vehicle(NOTIFY_PROGRESS, "BUS-2", 42);
    EXPECT_EQ(Online().GetCell(1, 1)->nPercent, 42);
    EXPECT_EQ(Online().GetCell(0, 1)->nPercent, 0);
    EXPECT_EQ(Online().GetItemText(0, 2), "");

    // Unknown names change nothing; names are compared case-sensitively.
    Vehicle(NOTIFY_SPEED, "bus-2", 4096);
    Vehicle(NOTIFY_PROGRESS, "BUS-3", 90);
    Vehicle(NOTIFY_VEHICLE, "BUS-3", 0);
    ASSERT_EQ(Online().GetItemCount(), 2);
    EXPECT_EQ(Online().GetItemText(1, 2), "7kbps");
    EXPECT_EQ(Online().GetCell(1, 1)->nPercent, 42);

    Vehicle(NOTIFY_VEHICLE, "BUS-1", 0);
    ASSERT_EQ(Online().GetItemCount(), 1);
    EXPECT_EQ(Online().GetItemText(0, 0), "BUS-2");
    EXPECT_EQ(Online().GetCell(0, 1)->nPercent, 42);
}

TEST_F(TabTest, EqualNamesActOnTheUpperRow)
{
    Vehicle(NOTIFY_VEHICLE, "TWIN", 1);
    Vehicle(NOTIFY_VEHICLE, "OTHER", 1);
    Vehicle(NOTIFY_VEHICLE, "TWIN", 1);
    Vehicle(NOTIFY_SPEED, "TWIN", 2048);
    Vehicle(NOTIFY_PROGRESS, "TWIN", 55);
    EXPECT_EQ(Online().GetItemText(0, 2), "16kbps");
    EXPECT_EQ(Online().GetCell(0, 1)->nPercent, 55);
    EXPECT_EQ(Online().GetItemText(2, 2), "");
    EXPECT_EQ(Online().GetCell(2, 1)->nPercent, 0);

    Vehicle(NOTIFY_VEHICLE, "TWIN", 0);
    ASSERT_EQ(Online().GetItemCount(), 2);
    EXPECT_EQ(Online().GetItemText(0, 0), "OTHER");
    EXPECT_EQ(Online().GetItemText(1, 0), "TWIN");
    EXPECT_EQ(Online().GetCell(1, 1)->nPercent, 0);
}

TEST_F(TabTest, LongestNamesAreMatchedInFull)
{
    const std::string first(31, 'A');
    const std::string second = std::string(30, 'A') + "B";
    Vehicle(NOTIFY_VEHICLE, first.c_str(), 1);
    Vehicle(NOTIFY_VEHICLE, second.c_str(), 1);
    Vehicle(NOTIFY_PROGRESS, second.c_str(), 70);
    EXPECT_EQ(Online().GetCell(0, 1)->nPercent, 0);
    EXPECT_EQ(Online().GetCell(1, 1)->nPercent, 70);
    EXPECT_EQ(Online().GetItemText(1, 0).toStdString(), second);
}

TEST_F(TabTest, ProgressUpdateRepaintsOnlyItsCell)
{
    Vehicle(NOTIFY_VEHICLE, "BUS-1", 1);
    Vehicle(NOTIFY_VEHICLE, "BUS-2", 1);
    std::vector<std::pair<QModelIndex, QModelIndex>> changes;
    QObject::connect(Online().model(), &QAbstractItemModel::dataChanged,
                     [&](const QModelIndex& a, const QModelIndex& b) { changes.emplace_back(a, b); });
    Vehicle(NOTIFY_PROGRESS, "BUS-2", 30);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].first, changes[0].second);
    EXPECT_EQ(changes[0].first.row(), 1);
    EXPECT_EQ(changes[0].first.column(), 1);
    // An unchanged value needs no repaint at all.
    Vehicle(NOTIFY_PROGRESS, "BUS-2", 30);
    EXPECT_EQ(changes.size(), 1u);
    Vehicle(NOTIFY_SPEED, "BUS-1", 8192);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[1].first, changes[1].second);
    EXPECT_EQ(changes[1].first.row(), 0);
    EXPECT_EQ(changes[1].first.column(), 2);
}

TEST_F(TabTest, ProgressBarsAreDrawnInTheirColours)
{
    Vehicle(NOTIFY_VEHICLE, "DONE", 1);
    Vehicle(NOTIFY_VEHICLE, "HALF", 1);
    Vehicle(NOTIFY_VEHICLE, "NONE", 1);
    Vehicle(NOTIFY_PROGRESS, "DONE", 100);
    Vehicle(NOTIFY_PROGRESS, "HALF", 50);
    m_tab.show();
    Online().clearSelection();
    QCoreApplication::processEvents();
    const QImage image = Online().viewport()->grab().toImage();
    auto cell = [&](int nRow) { return Online().visualRect(Online().model()->index(nRow, 1)); };
    // Sample near the left and the right end of the bar, away from the centred text.
    auto left = [&](int nRow) { QRect r = cell(nRow); return image.pixelColor(r.left() + 6, r.top() + 4); };
    auto right = [&](int nRow) { QRect r = cell(nRow); return image.pixelColor(r.right() - 6, r.top() + 4); };
    const QColor highlight = Online().palette().color(QPalette::Active, QPalette::Highlight);

    EXPECT_EQ(left(0), CProgressListCtrl::kCompletedColour);
    EXPECT_EQ(right(0), CProgressListCtrl::kCompletedColour);
    EXPECT_EQ(left(1), highlight);
    EXPECT_EQ(right(1), CProgressListCtrl::kWindowColour);
    EXPECT_EQ(left(2), CProgressListCtrl::kWindowColour);
}

TEST_F(TabTest, ActiveLogKeeps501RowsNewestAtTheBottom)
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
}

TEST_F(TabTest, LogTextWithoutTerminatorStopsAtThePayloadEnd)
{
    // The payload buffer is followed by bytes that are not part of it.
    std::vector<char> buffer(kNotifyPayloadSize + 16, 'x');
    std::memset(buffer.data(), 'm', kNotifyPayloadSize);
    m_tab.OnNotifyEvent(NOTIFY_LOG, buffer.data());
    ASSERT_EQ(LogList().rowCount(), 1);
    EXPECT_EQ(LogList().item(0, 1)->text(), QString(static_cast<int>(kNotifyPayloadSize), 'm'));
    // Unknown kinds are ignored.
    m_tab.OnNotifyEvent(7, buffer.data());
    EXPECT_EQ(LogList().rowCount(), 1);
    EXPECT_EQ(Online().GetItemCount(), 0);
}

TEST_F(TabTest, EventsPostedToTheCenterReachTheLists)
{
    for (const char* szName : {"V1", "V2"}) {
        const VehicleEvent ev = MakeVehicleEvent(szName, 1);
        m_center.Post(0, NOTIFY_VEHICLE, &ev, sizeof(ev));
    }
    const VehicleEvent progress = MakeVehicleEvent("V2", 80);
    m_center.Post(0, NOTIFY_PROGRESS, &progress, sizeof(progress));
    char szText[kNotifyPayloadSize] = "Server starts";
    m_center.Post(0, NOTIFY_LOG, szText, sizeof(szText));
    ASSERT_TRUE(SpinUntil([&] { return LogList().rowCount() == 1; }));
    ASSERT_EQ(Online().GetItemCount(), 2);
    EXPECT_EQ(Online().GetCell(1, 1)->nPercent, 80);
    EXPECT_EQ(LogList().item(0, 1)->text(), "Server starts");
}

TEST(CoolTabCtrlTest, LabelsAreShortenedTwoCharactersAtATime)
{
    QApplication app(g_argc, g_argv);
    const QFontMetrics metrics(CCoolTabCtrl::CreateFont());
    EXPECT_EQ(CCoolTabCtrl::ShortenLabel("Active log", metrics, 1000), "Active log");
    // At most ten cuts of two, then two more and "...".
    EXPECT_EQ(CCoolTabCtrl::ShortenLabel("abcdefghijklmnopqrstuvwxyz0123", metrics, 0), "abcdefgh...");
    // Cut until it fits, then two more.
    const QString text = "Online DVR list";
    const int nSpace = metrics.horizontalAdvance("Online DVR l");
    const QString shortened = CCoolTabCtrl::ShortenLabel(text, metrics, nSpace);
    EXPECT_EQ(shortened, "Online DV...");
}

} // namespace
