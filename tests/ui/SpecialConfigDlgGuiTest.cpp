#include "settings/ui/SpecialConfigDlg.h"

#include "settings/Settings.h"
#include "settings/WallClock.h"
#include "settings/ui/DialogFields.h"
#include "settings/ui/SpecialItemDlg.h"
#include "shell/ui/MessageBox.h"
#include "support/Sandbox.h"
#include "ui/ModalScript.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTimeEdit>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>

namespace {

int g_argc = 1;
char g_arg0[] = "SpecialConfigDlgGuiTest";
char* g_argv[] = {g_arg0, nullptr};


template <typename T>
T* Child(QWidget* pDlg, const char* szName)
{
    T* pChild = pDlg->findChild<T*>(szName);
    EXPECT_NE(pChild, nullptr) << szName;
    return pChild;
}

void Click(QWidget* pDlg, const char* szName)
{
    Child<QPushButton>(pDlg, szName)->click();
}

// An item editor action: optionally set the plate, then press OK.
std::function<void(QWidget*)> OkWithPlate(const char* szPlate = nullptr)
{
    return [szPlate](QWidget* pModal) {
        if (szPlate)
            Child<QLineEdit>(pModal, "plateEdit")->setText(szPlate);
        Click(pModal, "okButton");
    };
}

SpecialConfigEntry Entry(const char* szPlate, std::uint8_t nChan, std::uint32_t tStart, std::uint32_t tStop,
                         std::uint32_t nFileType = 0)
{
    SpecialConfigEntry entry;
    CopyField(entry.szPlate, sizeof(entry.szPlate), szPlate);
    entry.nChan = nChan;
    entry.tStart = tStart;
    entry.tStop = tStop;
    entry.nFileType = nFileType;
    return entry;
}

class SpecialConfigDlgTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        CMessageBox::SetInterceptor([this](const QString& text) { m_messages.push_back(text.toStdString()); });
    }
    void TearDown() override
    {
        CMessageBox::SetInterceptor(nullptr);
        Sandbox::TearDown();
    }

    static QString Cell(CSpecialConfigDlg& dlg, int nRow, int nCol)
    {
        return Child<QTableWidget>(&dlg, "list")->item(nRow, nCol)->text();
    }
    static int Rows(CSpecialConfigDlg& dlg) { return Child<QTableWidget>(&dlg, "list")->rowCount(); }
    static void Select(CSpecialConfigDlg& dlg, int nRow) { Child<QTableWidget>(&dlg, "list")->selectRow(nRow); }

    std::vector<std::string> m_messages;
    QApplication m_app {g_argc, g_argv};
};

TEST_F(SpecialConfigDlgTest, AddingTheDefaultPlateTwiceIsADuplicate)
{
    CSpecialConfigDlg dlg;
    dlg.show();
    EXPECT_EQ(dlg.windowTitle(), "Special Configuration");
    QTableWidget* pList = Child<QTableWidget>(&dlg, "list");
    QStringList headers;
    for (int nCol = 0; nCol < pList->columnCount(); ++nCol)
        headers << pList->horizontalHeaderItem(nCol)->text();
    EXPECT_EQ(headers, QStringList({"Device Name.", "Chan NO.", "Start time", "Stop time", "DownLoad FileType"}));

    ModalScript script;
    std::uint32_t tStartShown = 0;
    std::uint32_t tStopShown = 0;
    script.Then([&](QWidget* pModal) {
        // The default entry: "0000", all channels, the last 24 hours, all records.
        EXPECT_EQ(Child<QLineEdit>(pModal, "plateEdit")->text(), "0000");
        EXPECT_EQ(Child<QComboBox>(pModal, "chanCombo")->currentText(), "ALL");
        EXPECT_EQ(Child<QComboBox>(pModal, "fileTypeCombo")->currentText(), "All Record");
        tStartShown = ReadPickers(Child<QDateEdit>(pModal, "startDate"), Child<QTimeEdit>(pModal, "startTime"));
        tStopShown = ReadPickers(Child<QDateEdit>(pModal, "stopDate"), Child<QTimeEdit>(pModal, "stopTime"));
        Click(pModal, "okButton");
    });
    std::uint32_t tBefore = WallClockNow();
    Click(&dlg, "addButton");
    EXPECT_EQ(tStopShown - tStartShown, 86400u);
    EXPECT_LE(tBefore, tStopShown);
    EXPECT_LE(tStopShown, WallClockNow());
    ASSERT_EQ(Rows(dlg), 1);
    EXPECT_EQ(Cell(dlg, 0, 0), "0000");
    EXPECT_EQ(Cell(dlg, 0, 1), "ALL");
    EXPECT_EQ(Cell(dlg, 0, 3), ListTimeText(tStopShown));
    EXPECT_EQ(Cell(dlg, 0, 4), "All Record");

    // Second time: refused, and the editor comes back with what was entered.
    script.Then(OkWithPlate());
    script.Then([](QWidget* pModal) {
        EXPECT_EQ(Child<QLineEdit>(pModal, "plateEdit")->text(), "0000");
        Child<QComboBox>(pModal, "chanCombo")->setCurrentIndex(12);
        Child<QComboBox>(pModal, "fileTypeCombo")->setCurrentIndex(2);
        OkWithPlate("0001")(pModal);
    });
    Click(&dlg, "addButton");
    EXPECT_EQ(m_messages, std::vector<std::string>{"Duplicated plate number!"});
    ASSERT_EQ(Rows(dlg), 2);
    EXPECT_EQ(Cell(dlg, 1, 0), "0001");
    EXPECT_EQ(Cell(dlg, 1, 1), "12");
    EXPECT_EQ(Cell(dlg, 1, 4), "Alarm Record");

    // Plates compare case-sensitively; Cancel adds nothing.
    script.Then(OkWithPlate("ab"));
    Click(&dlg, "addButton");
    script.Then(OkWithPlate("AB"));
    Click(&dlg, "addButton");
    script.Then([](QWidget* pModal) { Click(pModal, "cancelButton"); });
    Click(&dlg, "addButton");
    EXPECT_EQ(Rows(dlg), 4);
    EXPECT_EQ(m_messages.size(), 1u);
    EXPECT_EQ(script.Left(), 0u);
}

TEST_F(SpecialConfigDlgTest, ItemEditorRefusesAnEmptySpan)
{
    const std::uint32_t tStart = WallClockFromFields(2013, 3, 5, 14, 2, 9);
    CSpecialItemDlg dlg(Entry("V1", 3, tStart, tStart + 60, 1));
    dlg.show();
    EXPECT_EQ(Child<QComboBox>(&dlg, "chanCombo")->currentText(), "3");
    EXPECT_EQ(Child<QDateEdit>(&dlg, "stopDate")->minimumDate(), QDate(2000, 1, 1));
    EXPECT_EQ(Child<QDateEdit>(&dlg, "stopDate")->maximumDate(), QDate(2037, 12, 31));

    Child<QTimeEdit>(&dlg, "stopTime")->setTime(QTime(14, 2, 9));  // equal
    Click(&dlg, "okButton");
    Child<QDateEdit>(&dlg, "stopDate")->setDate(QDate(2013, 3, 4));  // before
    Click(&dlg, "okButton");
    EXPECT_EQ(m_messages, std::vector<std::string>(2, "Stop time must be larger than start time"));
    EXPECT_TRUE(dlg.isVisible());

    Child<QDateEdit>(&dlg, "stopDate")->setDate(QDate(2013, 3, 6));
    Child<QComboBox>(&dlg, "chanCombo")->setCurrentIndex(0);
    Click(&dlg, "okButton");
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_STREQ(dlg.GetEntry().szPlate, "V1");
    EXPECT_EQ(dlg.GetEntry().nChan, 0);
    EXPECT_EQ(dlg.GetEntry().tStart, tStart);
    EXPECT_EQ(dlg.GetEntry().tStop, WallClockFromFields(2013, 3, 6, 14, 2, 9));
    EXPECT_EQ(dlg.GetEntry().nFileType, 1u);
}

TEST_F(SpecialConfigDlgTest, AddStopsAt512Rows)
{
    for (int i = 0; i < CSpecialConfigDlg::kMaxRows - 1; ++i) {
        std::string plate = "P" + std::to_string(1000 + i);
        SpecialConfig()[plate] = Entry(plate.c_str(), 1, 100, 200);
    }
    CSpecialConfigDlg dlg;
    dlg.show();
    ASSERT_EQ(Rows(dlg), 511);
    EXPECT_EQ(Cell(dlg, 0, 0), "P1000");  // table order

    ModalScript script;
    script.Then(OkWithPlate());
    Click(&dlg, "addButton");
    EXPECT_EQ(Rows(dlg), 512);
    EXPECT_TRUE(m_messages.empty());

    // No editor opens now (the script would fail on it).
    Click(&dlg, "addButton");
    EXPECT_EQ(m_messages, std::vector<std::string>{"Item count must less than 512!"});
    EXPECT_EQ(Rows(dlg), 512);
}

TEST_F(SpecialConfigDlgTest, DelAndEditNeedASelectionAndEditKeepsItsOwnPlate)
{
    SpecialConfig()["A1"] = Entry("A1", 0, 100, 200);
    SpecialConfig()["B2"] = Entry("B2", 2, 300, 400, 2);
    SpecialConfig()["C3"] = Entry("C3", 5, 500, 600, 1);
    CSpecialConfigDlg dlg;
    dlg.show();
    Click(&dlg, "delButton");
    Click(&dlg, "editButton");
    EXPECT_EQ(m_messages, std::vector<std::string>(2, "No selected items!"));

    // Keeping its own plate is fine; taking another row's is not.
    ModalScript script;
    Select(dlg, 1);
    script.Then([](QWidget* pModal) {
        EXPECT_EQ(Child<QLineEdit>(pModal, "plateEdit")->text(), "B2");
        EXPECT_EQ(Child<QComboBox>(pModal, "chanCombo")->currentText(), "2");
        EXPECT_EQ(Child<QComboBox>(pModal, "fileTypeCombo")->currentText(), "Alarm Record");
        Child<QComboBox>(pModal, "chanCombo")->setCurrentIndex(7);
        Click(pModal, "okButton");
    });
    Click(&dlg, "editButton");
    EXPECT_EQ(Cell(dlg, 1, 1), "7");

    script.Then(OkWithPlate("C3"));
    script.Then([](QWidget* pModal) {
        EXPECT_EQ(Child<QLineEdit>(pModal, "plateEdit")->text(), "C3");
        Click(pModal, "cancelButton");
    });
    Click(&dlg, "editButton");
    EXPECT_EQ(m_messages.back(), "Duplicated plate number!");
    EXPECT_EQ(Cell(dlg, 1, 0), "B2");
    EXPECT_EQ(script.Left(), 0u);

    // DEL takes the first selected row.
    QTableWidget* pList = Child<QTableWidget>(&dlg, "list");
    pList->setSelectionMode(QAbstractItemView::MultiSelection);
    pList->clearSelection();
    pList->selectRow(2);
    pList->selectRow(0);
    Click(&dlg, "delButton");
    ASSERT_EQ(Rows(dlg), 2);
    EXPECT_EQ(Cell(dlg, 0, 0), "B2");
    EXPECT_EQ(Cell(dlg, 1, 0), "C3");
}

TEST_F(SpecialConfigDlgTest, CloseWritesEveryRowAndTheFlag)
{
    SpecialConfig()["V1"] = Entry("V1", 0, 100, 200, 1);
    SpecialConfig()["V2"] = Entry("V2", 12, 1262304000, 1262390400, 2);
    EnablePrivileges() = 1;
    CSpecialConfigDlg dlg;
    dlg.show();
    EXPECT_TRUE(Child<QCheckBox>(&dlg, "enableCheck")->isChecked());
    EXPECT_EQ(Cell(dlg, 0, 1), "ALL");
    EXPECT_EQ(Cell(dlg, 1, 2), "2010-01-01 00:00:00");
    Child<QCheckBox>(&dlg, "enableCheck")->setChecked(false);
    dlg.close();
    EXPECT_FALSE(dlg.isVisible());

    std::string text = ReadFile("QorConfig.xml");
    EXPECT_NE(text.find("<EnablePrivileges>0</EnablePrivileges>"), std::string::npos);
    EXPECT_NE(text.find("<PlateNO>V1</PlateNO>\r\n<ChanNO>0</ChanNO>"), std::string::npos);
    EXPECT_NE(text.find("<PlateNO>V2</PlateNO>\r\n<ChanNO>12</ChanNO>\r\n<StartTime>1262304000</StartTime>"),
              std::string::npos);
    EXPECT_EQ(EnablePrivileges(), 0);
    ASSERT_EQ(SpecialConfig().size(), 2u);
    EXPECT_EQ(SpecialConfig()["V1"].nFileType, 1u);
    EXPECT_EQ(SpecialConfig()["V2"].tStop, 1262390400u);
}

TEST_F(SpecialConfigDlgTest, ListTimesReadBackAsTheSameSecondsInEveryZone)
{
    const std::uint32_t tValues[] = {WallClockFromFields(2013, 3, 5, 14, 2, 9),
                                     WallClockFromFields(2013, 7, 1, 2, 30, 0),  // summer time in CET
                                     WallClockFromFields(2037, 12, 31, 23, 59, 59)};
    for (const char* szTZ : {"UTC0", "IST-5:30", "EST5EDT,M3.2.0,M11.1.0", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
        SCOPED_TRACE(szTZ);
        ::setenv("TZ", szTZ, 1);
        ::tzset();
        EXPECT_EQ(ListTimeText(tValues[0]), "2013-03-05 14:02:09");
        SpecialConfig().clear();
        SpecialConfig()["A"] = Entry("A", 1, tValues[0], tValues[1]);
        SpecialConfig()["B"] = Entry("B", 2, tValues[1], tValues[2]);
        CSpecialConfigDlg dlg;
        dlg.show();

        // EDIT shows the row's seconds and an untouched OK rewrites the same text.
        ModalScript script;
        Select(dlg, 1);
        std::uint32_t tShown = 0;
        script.Then([&](QWidget* pModal) {
            tShown = ReadPickers(Child<QDateEdit>(pModal, "startDate"), Child<QTimeEdit>(pModal, "startTime"));
            Click(pModal, "okButton");
        });
        Click(&dlg, "editButton");
        EXPECT_EQ(tShown, tValues[1]);
        EXPECT_EQ(Cell(dlg, 1, 2), "2013-07-01 02:30:00");

        // Closing writes the same seconds that were shown.
        dlg.close();
        ASSERT_EQ(SpecialConfig().size(), 2u);
        EXPECT_EQ(SpecialConfig()["A"].tStart, tValues[0]);
        EXPECT_EQ(SpecialConfig()["A"].tStop, tValues[1]);
        EXPECT_EQ(SpecialConfig()["B"].tStart, tValues[1]);
        EXPECT_EQ(SpecialConfig()["B"].tStop, tValues[2]);
    }
}

TEST_F(SpecialConfigDlgTest, UnwritableSettingsFileKeepsTheDialogOpen)
{
    SpecialConfig()["V1"] = Entry("V1", 0, 100, 200);
    EnablePrivileges() = 0;
    // A working directory that no longer exists cannot be written, not even by root.
    std::filesystem::create_directory("gone");
    ASSERT_EQ(::chdir("gone"), 0);
    std::filesystem::remove(Dir() / "gone");

    CSpecialConfigDlg dlg;
    dlg.show();
    Child<QCheckBox>(&dlg, "enableCheck")->setChecked(true);
    dlg.close();
    EXPECT_EQ(m_messages, std::vector<std::string>{SaveFailedText().toStdString()});
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(Rows(dlg), 1);
    EXPECT_EQ(EnablePrivileges(), 0);  // not in force: it was not written

    ASSERT_EQ(::chdir(Dir().c_str()), 0);
    dlg.close();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(EnablePrivileges(), 1);
    EXPECT_EQ(SpecialConfig().count("V1"), 1u);
}

}  // namespace
