#include "shell/ui/LogFilterDlg.h"

#include "shell/Logger.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"
#include "vehicles/VehicleMgr.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

int g_argc = 1;
char g_arg0[] = "LogFilterDlgGuiTest";
char* g_argv[] = {g_arg0, nullptr};

using Names = std::vector<std::string>;

class LogFilterDlgTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        CLogger::Instance();  // log.txt in the sandbox
    }
    void TearDown() override
    {
        CVehicleMgr::Instance().RemoveAll();
        Sandbox::TearDown();
    }

    static void AddVehicles(const Names& names)
    {
        for (const std::string& name : names) {
            VehicleInfo info;
            std::strncpy(info.szIP, "127.0.0.1", sizeof(info.szIP) - 1);
            info.nPort = 5000;
            info.nChannels = 1;
            std::strncpy(info.szName, name.c_str(), sizeof(info.szName) - 1);
            CVehicleMgr& mgr = CVehicleMgr::Instance();
            if (mgr.Find(name) == nullptr)
                mgr.Add(info);
            mgr.Release();
        }
    }

    static QTreeWidget* List(CLogFilterDlg& dlg) { return dlg.findChild<QTreeWidget*>("list"); }

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

    static void Click(CLogFilterDlg& dlg, const char* szName) { dlg.findChild<QPushButton*>(szName)->click(); }

    QApplication m_app {g_argc, g_argv};
};

TEST_F(LogFilterDlgTest, NoVehicleOnlineGivesAnEmptyFilterThatDropsVehicleEntries)
{
    CLogFilterDlg dlg;
    dlg.show();
    EXPECT_EQ(dlg.windowTitle(), "Log Filter");
    EXPECT_EQ(List(dlg)->topLevelItemCount(), 0);
    Click(dlg, "okButton");
    ASSERT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_TRUE(dlg.SelectedNames().empty());

    // What the main window does with the result.
    CLogger::Instance().SetFilter(dlg.SelectedNames());
    WriteLog("for a vehicle", "V1");
    WriteLog("for nobody");
    EXPECT_EQ(ReadLogMessages(), Names({"for nobody"}));
}

TEST_F(LogFilterDlgTest, RowsArePreCheckedAsTheFilterLetsThemThrough)
{
    AddVehicles({"C3", "A1", "B2"});
    {
        // Before any filter every vehicle passes.
        CLogFilterDlg dlg;
        EXPECT_EQ(Rows(dlg, false), Names({"A1", "B2", "C3"}));
        EXPECT_EQ(Rows(dlg, true), Names({"A1", "B2", "C3"}));
        EXPECT_EQ(dlg.SelectedNames(), Names({"A1", "B2", "C3"}));
    }

    // Z9 went offline after it was chosen; C3 is new to the filter.
    CLogger::Instance().SetFilter({"Z9", "B2"});
    CLogFilterDlg dlg;
    dlg.show();
    EXPECT_EQ(Rows(dlg, true), Names({"B2"}));
    EXPECT_FALSE(dlg.findChild<QCheckBox*>("selectAllCheck")->isChecked());
    Click(dlg, "okButton");
    EXPECT_EQ(dlg.SelectedNames(), Names({"B2"}));

    // Rows checked by hand are taken in row order.
    CLogFilterDlg again;
    again.show();
    List(again)->topLevelItem(2)->setCheckState(0, Qt::Checked);
    List(again)->topLevelItem(0)->setCheckState(0, Qt::Checked);
    List(again)->topLevelItem(1)->setCheckState(0, Qt::Unchecked);
    Click(again, "okButton");
    EXPECT_EQ(again.SelectedNames(), Names({"A1", "C3"}));
}

TEST_F(LogFilterDlgTest, SelectAllChecksAndClearsEveryRow)
{
    AddVehicles({"A1", "B2", "C3"});
    CLogger::Instance().SetFilter({"A1"});
    CLogFilterDlg dlg;
    dlg.show();
    QCheckBox* pAll = dlg.findChild<QCheckBox*>("selectAllCheck");
    pAll->click();
    EXPECT_EQ(Rows(dlg, true), Names({"A1", "B2", "C3"}));
    pAll->click();
    EXPECT_TRUE(Rows(dlg, true).empty());

    // Cancel leaves the result as the dialog opened with it.
    Click(dlg, "cancelButton");
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_EQ(dlg.SelectedNames(), Names({"A1"}));
}

TEST_F(LogFilterDlgTest, SearchSelectsTheExactCaseSensitiveMatchOnly)
{
    AddVehicles({"abc", "ABC", "ABCD"});
    CLogger::Instance().SetFilter({"abc"});
    CLogFilterDlg dlg;
    dlg.show();
    QLineEdit* pSearch = dlg.findChild<QLineEdit*>("searchEdit");
    const Names checkedBefore = Rows(dlg, true);

    pSearch->setText("Abc");
    Click(dlg, "searchButton");
    EXPECT_TRUE(List(dlg)->selectedItems().isEmpty());
    pSearch->setText("ABC");
    Click(dlg, "searchButton");
    ASSERT_EQ(List(dlg)->selectedItems().size(), 1);
    EXPECT_EQ(List(dlg)->selectedItems().front()->text(0), "ABC");
    EXPECT_EQ(List(dlg)->currentItem()->text(0), "ABC");

    // A miss changes nothing; no search touches a check box.
    pSearch->setText("AB");
    Click(dlg, "searchButton");
    EXPECT_EQ(List(dlg)->currentItem()->text(0), "ABC");
    EXPECT_EQ(Rows(dlg, true), checkedBefore);
}

}  // namespace
