#include "shell/ui/FootageRequestDlg.h"
#include "shell/ui/FootageRequestList.h"
#include "shell/ui/FleetView.h"
#include "shell/ui/ZELCoolTabCtrl.h"

#include "core/NotifyCenter.h"
#include "depot/FleetHistory.h"
#include "footage/FootageRequests.h"
#include "settings/WallClock.h"
#include "ui/ModalScript.h"

#include <QAction>
#include <QDateTimeEdit>
#include <QLineEdit>
#include <QMenu>

#include <gtest/gtest.h>

namespace {

class FootageRequestGuiTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        ASSERT_EQ(m_history.Open(), 0);
        ASSERT_EQ(m_requests.Open(), 0);
        m_history.OnArrival("BUS-0412", "10.0.0.1:5000", 1796565000);
        m_history.OnArrival("BUS-7", "10.0.0.2:5000", 1796565000);
    }

    CFleetHistory m_history {(Dir() / "fleet.db").string()};
    CFootageRequests m_requests {(Dir() / "fleet.db").string()};
};

} // namespace

TEST_F(FootageRequestGuiTest, TheFleetMenuOpensTheDialogPresetToTheRowsVehicleAndTheListShowsTheRequest)
{
    CZELCoolTabCtrl tab(QSize(900, 500), CNotifyCenter::Instance(), m_history, nullptr, &m_requests);
    CFleetView* pView = tab.FleetView();
    pView->Refresh(1796566000, {});
    ASSERT_EQ(pView->model()->rowCount(), 2);
    // The row of BUS-0412, wherever the sort put it.
    int nRow = 0;
    while (pView->model()->index(nRow, 0).data(Qt::DisplayRole).toString().indexOf("BUS-0412") < 0)
        ++nRow;

    ModalScript script;
    script.Then([](QWidget* pDlg) {
        EXPECT_EQ(Child<QLineEdit>(pDlg, "vehicleEdit")->text(), "BUS-0412");
        Child<QLineEdit>(pDlg, "channelsEdit")->setText("2, 1");
        Child<QDateTimeEdit>(pDlg, "fromEdit")->setDateTime(QDateTime::fromSecsSinceEpoch(1796565600, Qt::UTC));
        Child<QDateTimeEdit>(pDlg, "toEdit")->setDateTime(QDateTime::fromSecsSinceEpoch(1796566200, Qt::UTC));
        Child<QLineEdit>(pDlg, "reasonEdit")->setText("mirror damage");
        Click(pDlg, "okButton");
    });
    std::unique_ptr<QMenu> pMenu(pView->NewContextMenu(pView->model()->index(nRow, 0)));
    QAction* pAction = pMenu->findChild<QAction*>("requestFootageAction");
    ASSERT_NE(pAction, nullptr);
    EXPECT_TRUE(pAction->text().startsWith("Request footage"));
    pAction->trigger();
    EXPECT_EQ(script.Left(), 0u);

    std::vector<FootageRequest> list = m_requests.List(10);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].ask.strVehicle, "BUS-0412");
    EXPECT_EQ(list[0].ask.channels, (std::vector<std::uint8_t> {1, 2}));
    // The editors hold the wall clock as it is: no time zone moved the window.
    EXPECT_EQ(list[0].ask.tFrom, 1796565600u);
    EXPECT_EQ(list[0].ask.tTo, 1796566200u);
    EXPECT_EQ(list[0].ask.strReason, "mirror damage");
    EXPECT_EQ(list[0].ask.strRequestedBy, "window");

    tab.RefreshRequests();
    CFootageRequestList* pList = tab.RequestList();
    ASSERT_NE(pList, nullptr);
    ASSERT_EQ(pList->rowCount(), 1);
    EXPECT_EQ(pList->item(0, CFootageRequestList::kColVehicle)->text(), "BUS-0412");
    EXPECT_EQ(pList->item(0, CFootageRequestList::kColChannels)->text(), "1, 2");
    EXPECT_EQ(pList->item(0, CFootageRequestList::kColState)->text(), "waiting");
    EXPECT_EQ(pList->item(0, CFootageRequestList::kColWindow)->text(), "2026-12-06 14:00:00 - 2026-12-06 14:10:00");

    // A state change shows at the next refresh, with its reasons in the tool tip.
    m_requests.OnTakenUp(list[0].nId, 1796567000);
    m_requests.OnPassEnded(list[0].nId, {1}, {FootageChannelResult {1, true, {}, {}}}, 1796567100);
    tab.RefreshRequests();
    QTableWidgetItem* pState = pList->item(0, CFootageRequestList::kColState);
    EXPECT_EQ(pState->text(), "partial");
    EXPECT_EQ(pState->toolTip(), "channel 2: not downloaded from this vehicle");
}

TEST_F(FootageRequestGuiTest, ABadRequestKeepsTheDialogOpenWithTheReason)
{
    CFootageRequestDlg dlg(m_requests, "BUS-7", 1796566000);
    Child<QLineEdit>(&dlg, "channelsEdit")->setText("1, x");
    dlg.accept();
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    ASSERT_EQ(m_messages.size(), 1u);
    EXPECT_NE(m_messages[0].find("Channels must be numbers"), std::string::npos);

    Child<QLineEdit>(&dlg, "channelsEdit")->clear();
    Child<QDateTimeEdit>(&dlg, "toEdit")->setDateTime(QDateTime::fromSecsSinceEpoch(1796560000, Qt::UTC));
    dlg.accept();
    ASSERT_EQ(m_messages.size(), 2u);
    EXPECT_NE(m_messages[1].find("window ends before it starts"), std::string::npos);
    EXPECT_TRUE(m_requests.List(10).empty());

    // The preset window is the ten minutes before now, on every channel.
    Child<QDateTimeEdit>(&dlg, "toEdit")->setDateTime(QDateTime::fromSecsSinceEpoch(1796566000, Qt::UTC));
    dlg.accept();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    std::optional<FootageRequest> request = m_requests.Get(dlg.CreatedId());
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->ask.tFrom, 1796565400u);
    EXPECT_TRUE(request->ask.channels.empty());
}
