#include "shell/ui/LogFilterDlg.h"

#include "core/Logger.h"
#include "support/Sandbox.h"
#include "ui/ModalScript.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Names = std::vector<std::string>;

class LogFilterDlgTest : public WindowTest {
protected:
    // The online vehicles the window hands the dialog: the registry's names, in order.
    void AddVehicles(const Names& names)
    {
        m_online = names;
        std::sort(m_online.begin(), m_online.end());
    }

    Names m_online;

    static QTreeWidget* List(CLogFilterDlg& dlg) { return Child<QTreeWidget>(&dlg, "list"); }

    static Names Rows(CLogFilterDlg& dlg, bool bCheckedOnly)
    {
        Names rows;
        for (int i = 0; i < List(dlg)->topLevelItemCount(); ++i) {
            QTreeWidgetItem* pItem = List(dlg)->topLevelItem(i);
            if (!bCheckedOnly || pItem->checkState(0) == Qt::Checked)
                rows.push_back(pItem->text(0).toStdString());
        }
        return rows;
    }
};

TEST_F(LogFilterDlgTest, ListsTheOnlineVehiclesCheckedAsTheFilterLetsThemThrough)
{
    // In name order; before any filter every vehicle passes.
    AddVehicles({"C3", "A1", "B2"});
    {
        CLogFilterDlg dlg(m_online);
        EXPECT_EQ(Rows(dlg, false), Names({"A1", "B2", "C3"}));
        EXPECT_EQ(Rows(dlg, true), Names({"A1", "B2", "C3"}));
        EXPECT_EQ(dlg.SelectedNames(), Names({"A1", "B2", "C3"}));
    }

    // Z9 went offline after it was chosen; C3 is new to the filter.
    CLogger::Instance().SetFilter({"Z9", "B2"});
    CLogFilterDlg dlg(m_online);
    dlg.show();
    EXPECT_EQ(Rows(dlg, true), Names({"B2"}));
    EXPECT_FALSE(Child<QCheckBox>(&dlg, "selectAllCheck")->isChecked());
    Click(&dlg, "okButton");
    EXPECT_EQ(dlg.SelectedNames(), Names({"B2"}));

    // Rows checked by hand are taken in row order.
    CLogFilterDlg again(m_online);
    again.show();
    List(again)->topLevelItem(2)->setCheckState(0, Qt::Checked);
    List(again)->topLevelItem(0)->setCheckState(0, Qt::Checked);
    List(again)->topLevelItem(1)->setCheckState(0, Qt::Unchecked);
    Click(&again, "okButton");
    EXPECT_EQ(again.SelectedNames(), Names({"A1", "C3"}));
}

TEST_F(LogFilterDlgTest, SelectAllSearchAndCancel)
{
    AddVehicles({"abc", "ABC", "ABCD"});
    CLogger::Instance().SetFilter({"abc"});
    CLogFilterDlg dlg(m_online);
    dlg.show();
    QCheckBox* pAll = Child<QCheckBox>(&dlg, "selectAllCheck");
    pAll->click();
    EXPECT_EQ(Rows(dlg, true), Rows(dlg, false));
    EXPECT_EQ(Rows(dlg, true).size(), 3u);
    pAll->click();
    EXPECT_TRUE(Rows(dlg, true).empty());
    List(dlg)->topLevelItem(1)->setCheckState(0, Qt::Checked);
    const Names checked = Rows(dlg, true);

    // Search selects the exact, case-sensitive match only; a miss changes nothing,
    // and no search touches a check box.
    QLineEdit* pSearch = Child<QLineEdit>(&dlg, "searchEdit");
    pSearch->setText("Abc");
    Click(&dlg, "searchButton");
    EXPECT_TRUE(List(dlg)->selectedItems().isEmpty());
    pSearch->setText("ABC");
    Click(&dlg, "searchButton");
    ASSERT_EQ(List(dlg)->selectedItems().size(), 1);
    EXPECT_EQ(List(dlg)->selectedItems().front()->text(0), "ABC");
    EXPECT_EQ(List(dlg)->currentItem()->text(0), "ABC");
    pSearch->setText("AB");
    Click(&dlg, "searchButton");
    EXPECT_EQ(List(dlg)->currentItem()->text(0), "ABC");
    EXPECT_EQ(Rows(dlg, true), checked);

    // Cancel leaves the result as the dialog opened with it.
    Click(&dlg, "cancelButton");
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_EQ(dlg.SelectedNames(), Names({"abc"}));
}

}  // namespace
