#include "shell/ui/FleetView.h"

#include "depot/FleetHistory.h"
#include "settings/WallClock.h"
#include "shell/ui/FleetModel.h"
#include "support/Sandbox.h"
#include "ui/SpinUntil.h"

#include <QAbstractItemModel>
#include <QHeaderView>
#include <QTest>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kHour = 3600;
constexpr std::uint64_t kMiB = 1024 * 1024;
// 00:30 of a day: an offload an hour before turns stale at 23:30:01 of the same day.
const std::uint32_t g_tNow = WallClockFromFields(2026, 3, 14, 0, 30, 0);

class FleetViewTest : public Sandbox {
protected:
    // What the view shows, by vehicle name, in the order shown: the cells, then the
    // tool tip and the colour (name) of a marked row.
    struct Shown {
        std::vector<std::string> order;
        std::map<std::string, std::vector<QString>> cells;
    };
    static Shown Read(const CFleetView& view)
    {
        Shown shown;
        const QAbstractItemModel* pModel = view.model();
        for (int nRow = 0; nRow < pModel->rowCount(); ++nRow) {
            const std::string name =
                pModel->index(nRow, CFleetModel::kColVehicle).data(CFleetModel::kSortRole).toString().toStdString();
            shown.order.push_back(name);
            std::vector<QString>& cells = shown.cells[name];
            for (int nCol = 0; nCol < CFleetModel::kColumnCount; ++nCol)
                cells.push_back(pModel->index(nRow, nCol).data().toString());
            cells.push_back(pModel->index(nRow, CFleetModel::kColPending).data(Qt::ToolTipRole).toString());
            const QVariant colour = pModel->index(nRow, CFleetModel::kColStatus).data(Qt::BackgroundRole);
            cells.push_back(colour.isValid() ? colour.value<QColor>().name() : "");
        }
        return shown;
    }

    TestApp m_app;
};

TEST_F(FleetViewTest, ListsTheHistoryMarksVehiclesAndSortsNumerically)
{
    CFleetHistory history((Dir() / "fleet.db").string());
    ASSERT_EQ(history.Open(), 0);
    // Fresh and complete, online.
    history.OnArrival("BUS-1", "10.0.0.1:5000", g_tNow - 2 * kHour);
    for (int i = 0; i < 3; ++i)
        history.OnFileStored("BUS-1", 3 * kMiB / 2, g_tNow - 60);
    history.OnCompleteOffload("BUS-1", g_tNow - kHour);
    history.OnPending("BUS-1", 0);
    // Offline, last complete offload 25 hours ago, pending unknown.
    history.OnArrival("BUS-2", "10.0.0.2:5000", g_tNow - 30 * kHour);
    history.OnCompleteOffload("BUS-2", g_tNow - 25 * kHour);
    for (int i = 0; i < 12; ++i)
        history.OnFileStored("BUS-2", 1000, g_tNow - 600);
    history.OnDeparture("BUS-2", WallClockFromFields(2026, 3, 14, 0, 17, 45));
    // Fresh offload but recordings left on the recorder.
    history.OnArrival("BUS-3", "10.0.0.3:5000", g_tNow - kHour);
    history.OnFileStored("BUS-3", 0, g_tNow - 30);
    history.OnFileStored("BUS-3", 0, g_tNow - 20);
    history.OnCompleteOffload("BUS-3", g_tNow - 10);
    history.OnPending("BUS-3", 5);
    // Never fully offloaded; yesterday's files do not count today.
    history.OnArrival("BUS-10", "10.0.0.4:5000", g_tNow - 3 * kHour);
    for (int i = 0; i < 100; ++i)
        history.OnFileStored("BUS-10", 2048, g_tNow - 10 - i);
    history.OnFileStored("BUS-10", 2048, g_tNow - 2 * kHour);
    history.OnPending("BUS-10", 0);
    history.Flush();

    CFleetView view(history);
    view.resize(900, 300);
    view.show();
    view.Refresh(g_tNow, {"BUS-3", "BUS-1", "NOT-IN-HISTORY"});
    const Shown shown = Read(view);
    const QString mark = CFleetModel::kAttentionColour.name();
    ASSERT_EQ(shown.order, (std::vector<std::string> {"BUS-1", "BUS-10", "BUS-2", "BUS-3"}));
    EXPECT_EQ(shown.cells.at("BUS-1"),
              (std::vector<QString> {"BUS-1", "online", "2026-03-13 23:30", "3", "4.5 MiB", "0", "0", "", ""}));
    EXPECT_EQ(shown.cells.at("BUS-2"),
              (std::vector<QString> {"! BUS-2", "last seen 2026-03-14 00:17", "2026-03-12 23:30", "12", "11.7 KiB",
                                     "unknown", "0", "not fully offloaded for more than 24 hours", mark}));
    EXPECT_EQ(shown.cells.at("BUS-3"), (std::vector<QString> {"! BUS-3", "online", "2026-03-14 00:29", "2", "0 B",
                                                              "5", "0", "recordings pending on the recorder", mark}));
    EXPECT_EQ(shown.cells.at("BUS-10")[2], "never");
    EXPECT_EQ(shown.cells.at("BUS-10")[7], "never fully offloaded");
    EXPECT_EQ(shown.cells.at("BUS-10")[8], mark);

    // A click on "Files today" sorts by the number, not by its text; a second click
    // turns the order round.
    QHeaderView* pHeader = view.horizontalHeader();
    const QPoint click(pHeader->sectionViewportPosition(CFleetModel::kColFilesToday) + 10, pHeader->height() / 2);
    QTest::mouseClick(pHeader->viewport(), Qt::LeftButton, Qt::NoModifier, click);
    EXPECT_EQ(Read(view).order, (std::vector<std::string> {"BUS-3", "BUS-1", "BUS-2", "BUS-10"}));
    QTest::mouseClick(pHeader->viewport(), Qt::LeftButton, Qt::NoModifier, click);
    EXPECT_EQ(Read(view).order, (std::vector<std::string> {"BUS-10", "BUS-2", "BUS-1", "BUS-3"}));
    view.sortByColumn(CFleetModel::kColBytesToday, Qt::AscendingOrder);
    EXPECT_EQ(Read(view).order, (std::vector<std::string> {"BUS-3", "BUS-2", "BUS-10", "BUS-1"}));
}

TEST_F(FleetViewTest, RefreshChangesOnlyWhatChanged)
{
    CFleetHistory history((Dir() / "fleet.db").string());
    ASSERT_EQ(history.Open(), 0);
    for (const char* szName : {"A", "C", "D"}) {
        history.OnArrival(szName, "10.0.0.9:1", g_tNow - kHour);
        history.OnCompleteOffload(szName, g_tNow - kHour);
    }
    history.Flush();
    CFleetView view(history);
    view.Refresh(g_tNow, {"A", "C", "D"});
    ASSERT_EQ(view.Model()->rowCount(), 3);

    std::vector<int> changedRows;
    int nStructural = 0;
    QAbstractItemModel* pModel = view.Model();
    QObject::connect(pModel, &QAbstractItemModel::dataChanged, [&](const QModelIndex& a, const QModelIndex& b) {
        EXPECT_EQ(a.row(), b.row());
        changedRows.push_back(a.row());
    });
    QObject::connect(pModel, &QAbstractItemModel::modelReset, [&] { ++nStructural; });
    QObject::connect(pModel, &QAbstractItemModel::rowsInserted, [&] { ++nStructural; });
    QObject::connect(pModel, &QAbstractItemModel::rowsRemoved, [&] { ++nStructural; });

    // One vehicle's files: one row signalled, nothing rebuilt.
    history.OnFileStored("C", 10, g_tNow);
    view.Refresh(g_tNow + 1, {"A", "C", "D"});
    EXPECT_EQ(changedRows, std::vector<int> {1});
    EXPECT_EQ(pModel->index(1, CFleetModel::kColFilesToday).data().toString(), "1");
    // Nothing new, the online set given in another order: nothing signalled.
    view.Refresh(g_tNow + 2, {"D", "C", "A"});
    EXPECT_EQ(changedRows.size(), 1u);
    // A vehicle leaves: only its row.
    view.Refresh(g_tNow + 3, {"A", "C"});
    EXPECT_EQ(changedRows, (std::vector<int> {1, 2}));
    EXPECT_TRUE(pModel->index(2, CFleetModel::kColStatus).data().toString().startsWith("last seen "));
    EXPECT_EQ(nStructural, 0);

    // A new vehicle is inserted in name order.
    history.OnArrival("B", "10.0.0.9:2", g_tNow + 4);
    view.Refresh(g_tNow + 4, {"A", "B", "C"});
    EXPECT_EQ(nStructural, 1);
    ASSERT_EQ(pModel->rowCount(), 4);
    EXPECT_EQ(pModel->index(1, CFleetModel::kColVehicle).data().toString(), "! B");
    EXPECT_EQ(pModel->index(1, CFleetModel::kColPending).data().toString(), "unknown");

    // Time alone makes an offload stale, with no change to the history: exactly
    // 24 hours is not yet too old, one second more is.
    changedRows.clear();
    const std::uint32_t tStale = g_tNow - kHour + 24 * kHour;
    view.Refresh(tStale, {"A", "B", "C"});
    EXPECT_TRUE(changedRows.empty());
    view.Refresh(tStale + 1, {"A", "B", "C"});
    EXPECT_EQ(changedRows, (std::vector<int> {0, 2, 3}));
    EXPECT_EQ(pModel->index(0, CFleetModel::kColVehicle).data().toString(), "! A");
    // The next day starts with no files today.
    view.Refresh(g_tNow + 24 * kHour, {"A", "B", "C"});
    EXPECT_EQ(pModel->index(2, CFleetModel::kColFilesToday).data().toString(), "0");
}

TEST_F(FleetViewTest, MissedRecordingsAreCountedListedAndMarked)
{
    CFleetHistory history((Dir() / "fleet.db").string());
    ASSERT_EQ(history.Open(), 0);
    auto missed = [](std::uint8_t nChannel, const std::string& file, std::uint32_t tStart, const std::string& reason) {
        MissedRecording rec;
        rec.nChannel = nChannel;
        rec.strFileName = file;
        rec.tStart = tStart;
        rec.tEnd = tStart + 300;
        rec.strReason = reason;
        return rec;
    };
    // Fresh and complete, so that only what was missed can mark them.
    for (const char* szName : {"BUS-1", "BUS-2", "BUS-3"}) {
        history.OnArrival(szName, "10.0.0.1:5000", g_tNow - kHour);
        history.OnCompleteOffload(szName, g_tNow - 60);
        history.OnPending(szName, 0);
    }
    // BUS-1: one recording missed in three visits, one left behind, one still retrying.
    const MissedRecording bad = missed(2, "ch02_0010.mp4", g_tNow - 20 * 60, "failed 3 times in a row: refused");
    for (int nVisit = 0; nVisit < 3; ++nVisit) {
        history.OnArrival("BUS-1", "10.0.0.1:5000", g_tNow - 50 + nVisit);
        history.OnRecordingMissed("BUS-1", bad, g_tNow - 50 + nVisit);
    }
    history.OnRecordingLeftBehind("BUS-1", missed(1, "ch01_0001.mp4", g_tNow - 25 * 60, "out of the span"),
                                  g_tNow - 40);
    history.OnRecordingMissed("BUS-1", missed(1, "ch01_0002.mp4", g_tNow - 10 * 60, "no answer"), g_tNow - 40);
    // BUS-2: only left behind, which is shown but not marked.
    history.OnRecordingLeftBehind("BUS-2", missed(3, "x.mp4", g_tNow - 30 * 60, "gone from the recorder"),
                                  g_tNow - 30);
    history.OnCompleteOffload("BUS-1", g_tNow - 10);
    history.OnCompleteOffload("BUS-2", g_tNow - 10);

    CFleetView view(history);
    view.Refresh(g_tNow, {});
    const Shown shown = Read(view);
    const QString mark = CFleetModel::kAttentionColour.name();
    EXPECT_EQ(shown.cells.at("BUS-1")[CFleetModel::kColVehicle], "! BUS-1");
    EXPECT_EQ(shown.cells.at("BUS-1")[CFleetModel::kColMissed], "1 unfetchable, 1 left behind");
    EXPECT_EQ(shown.cells.at("BUS-1")[CFleetModel::kColumnCount], "unfetchable recordings");
    EXPECT_EQ(shown.cells.at("BUS-1")[CFleetModel::kColumnCount + 1], mark);
    EXPECT_EQ(shown.cells.at("BUS-2")[CFleetModel::kColVehicle], "BUS-2");
    EXPECT_EQ(shown.cells.at("BUS-2")[CFleetModel::kColMissed], "1 left behind");
    EXPECT_EQ(shown.cells.at("BUS-2")[CFleetModel::kColumnCount + 1], "");
    EXPECT_EQ(shown.cells.at("BUS-3")[CFleetModel::kColMissed], "0");

    // The column's tool tip lists them with their reasons, the retrying one left out.
    const CFleetModel& model = *view.Model();
    EXPECT_EQ(model.index(0, CFleetModel::kColMissed).data(Qt::ToolTipRole).toString(),
              "ch1 ch01_0001.mp4 (2026-03-14 00:05 - 00:10): left behind: out of the span\n"
              "ch2 ch02_0010.mp4 (2026-03-14 00:10 - 00:15): unfetchable after 3 visits: failed 3 times in a row: "
              "refused");
    EXPECT_EQ(model.index(2, CFleetModel::kColMissed).data(Qt::ToolTipRole).toString(), "");

    // Sorted by the column: unfetchable ones first, then left-behind ones.
    view.sortByColumn(CFleetModel::kColMissed, Qt::DescendingOrder);
    EXPECT_EQ(Read(view).order, (std::vector<std::string> {"BUS-1", "BUS-2", "BUS-3"}));

    // Stored after all: the mark goes with the refresh that follows the history.
    history.OnRecordingStored("BUS-1", 2, "ch02_0010.mp4", bad.tStart);
    view.Refresh(g_tNow + 1, {});
    EXPECT_EQ(Read(view).cells.at("BUS-1")[CFleetModel::kColVehicle], "BUS-1");
    EXPECT_EQ(Read(view).cells.at("BUS-1")[CFleetModel::kColMissed], "1 left behind");
}

TEST(FleetModelTest, BytesAtTheUnitLimits)
{
    // Where the unit changes, and past the largest unit.
    EXPECT_EQ(CFleetModel::BytesText(1023), "1023 B");
    EXPECT_EQ(CFleetModel::BytesText(kMiB - 1), "1.0 MiB");
    EXPECT_EQ(CFleetModel::BytesText(3000 * 1024 * kMiB), "3000.0 GiB");
}

} // namespace
