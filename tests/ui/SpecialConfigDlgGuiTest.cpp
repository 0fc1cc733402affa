#include "settings/ui/SpecialConfigDlg.h"

#include "settings/Settings.h"
#include "settings/WallClock.h"
#include "settings/ui/DialogFields.h"
#include "settings/ui/SpecialItemDlg.h"
#include "ui/ModalScript.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QLineEdit>
#include <QTableWidget>
#include <QTimeEdit>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>

namespace {

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

class SpecialConfigDlgTest : public WindowTest {
protected:
    // The table the dialog finds in the settings file.
    void Seed()
    {
        std::vector<SpecialConfigEntry> entries;
        for (const auto& [plate, entry] : m_table)
            entries.push_back(entry);
        ASSERT_TRUE(SaveSpecialConfig(m_nFlag, entries));
    }

    // What the file holds now.
    void Reload()
    {
        m_table.clear();
        LoadSpecialConfig(m_table, m_nFlag);
    }

    SpecialConfigTable m_table;
    int m_nFlag = 0;
protected:
    static QString Cell(CSpecialConfigDlg& dlg, int nRow, int nCol)
    {
        return Child<QTableWidget>(&dlg, "list")->item(nRow, nCol)->text();
    }
    static int Rows(CSpecialConfigDlg& dlg) { return Child<QTableWidget>(&dlg, "list")->rowCount(); }
    static void Select(CSpecialConfigDlg& dlg, int nRow) { Child<QTableWidget>(&dlg, "list")->selectRow(nRow); }
};

TEST_F(SpecialConfigDlgTest, AddRefusesDuplicatePlatesAndStopsAt512Rows)
{
    // Room for four more rows.
    const int n = CSpecialConfigDlg::kMaxRows - 4;
    for (int i = 0; i < n; ++i) {
        std::string plate = "P" + std::to_string(1000 + i);
        m_table[plate] = Entry(plate.c_str(), 1, 100, 200);
    }
    Seed();
    CSpecialConfigDlg dlg;
    dlg.show();
    EXPECT_EQ(dlg.windowTitle(), "Special Configuration");
    EXPECT_EQ(Headings(Child<QTableWidget>(&dlg, "list")->model()),
              QStringList({"Device Name.", "Chan NO.", "Start time", "Stop time", "DownLoad FileType"}));
    ASSERT_EQ(Rows(dlg), n);
    EXPECT_EQ(Cell(dlg, 0, 0), "P1000");  // table order

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
    ASSERT_EQ(Rows(dlg), n + 1);
    EXPECT_EQ(Cell(dlg, n, 0), "0000");
    EXPECT_EQ(Cell(dlg, n, 1), "ALL");
    EXPECT_EQ(Cell(dlg, n, 3), ListTimeText(tStopShown));
    EXPECT_EQ(Cell(dlg, n, 4), "All Record");

    // Second time: refused, and the editor comes back with what was entered.
    script.Then(OkWithPlate());
    script.Then([](QWidget* pModal) {
        EXPECT_EQ(Child<QLineEdit>(pModal, "plateEdit")->text(), "0000");
        Child<QComboBox>(pModal, "chanCombo")->setCurrentIndex(12);
        Child<QComboBox>(pModal, "fileTypeCombo")->setCurrentIndex(2);
        OkWithPlate("0001")(pModal);
    });
    Click(&dlg, "addButton");
    EXPECT_EQ(m_messages, std::vector<std::string> {"Duplicated plate number!"});
    ASSERT_EQ(Rows(dlg), n + 2);
    EXPECT_EQ(Cell(dlg, n + 1, 0), "0001");
    EXPECT_EQ(Cell(dlg, n + 1, 1), "12");
    EXPECT_EQ(Cell(dlg, n + 1, 4), "Alarm Record");

    // Plates compare case-sensitively; Cancel adds nothing.
    script.Then(OkWithPlate("ab"));
    Click(&dlg, "addButton");
    script.Then([](QWidget* pModal) { Click(pModal, "cancelButton"); });
    Click(&dlg, "addButton");
    script.Then(OkWithPlate("AB"));
    Click(&dlg, "addButton");
    EXPECT_EQ(Rows(dlg), 512);
    EXPECT_EQ(m_messages.size(), 1u);
    EXPECT_EQ(script.Left(), 0u);

    // Full: no editor opens now (the script would fail on it).
    Click(&dlg, "addButton");
    EXPECT_EQ(m_messages, (std::vector<std::string> {"Duplicated plate number!", "Item count must less than 512!"}));
    EXPECT_EQ(Rows(dlg), 512);
}

TEST_F(SpecialConfigDlgTest, DelAndEditNeedASelectionAndTheEditorChecksItsEntry)
{
    m_table["A1"] = Entry("A1", 0, 100, 200);
    m_table["B2"] = Entry("B2", 2, 300, 400, 2);
    m_table["C3"] = Entry("C3", 5, 500, 600, 1);
    Seed();
    CSpecialConfigDlg dlg;
    dlg.show();
    Click(&dlg, "delButton");
    Click(&dlg, "editButton");
    EXPECT_EQ(m_messages, std::vector<std::string>(2, "No selected items!"));

    // The editor refuses an empty span and stays open; keeping its own plate is fine.
    ModalScript script;
    Select(dlg, 1);
    script.Then([](QWidget* pModal) {
        EXPECT_EQ(Child<QLineEdit>(pModal, "plateEdit")->text(), "B2");
        EXPECT_EQ(Child<QComboBox>(pModal, "chanCombo")->currentText(), "2");
        EXPECT_EQ(Child<QComboBox>(pModal, "fileTypeCombo")->currentText(), "Alarm Record");
        const QTime start = Child<QTimeEdit>(pModal, "startTime")->time();
        Child<QTimeEdit>(pModal, "stopTime")->setTime(start);  // equal
        Click(pModal, "okButton");
        Child<QTimeEdit>(pModal, "stopTime")->setTime(start.addSecs(-1));  // before
        Click(pModal, "okButton");
        EXPECT_TRUE(pModal->isVisible());
        Child<QTimeEdit>(pModal, "stopTime")->setTime(start.addSecs(60));
        Child<QComboBox>(pModal, "chanCombo")->setCurrentIndex(7);
        Click(pModal, "okButton");
    });
    Click(&dlg, "editButton");
    EXPECT_EQ(m_messages, (std::vector<std::string> {"No selected items!", "No selected items!",
                                                     "Stop time must be larger than start time",
                                                     "Stop time must be larger than start time"}));
    EXPECT_EQ(Cell(dlg, 1, 1), "7");
    EXPECT_EQ(Cell(dlg, 1, 2), "2000-01-01 00:05:00");  // the picker's earliest day
    EXPECT_EQ(Cell(dlg, 1, 3), "2000-01-01 00:06:00");
    EXPECT_EQ(Cell(dlg, 1, 4), "Alarm Record");
    m_messages.clear();

    script.Then(OkWithPlate("C3"));
    script.Then([](QWidget* pModal) {
        EXPECT_EQ(Child<QLineEdit>(pModal, "plateEdit")->text(), "C3");
        Click(pModal, "cancelButton");
    });
    Click(&dlg, "editButton");
    EXPECT_EQ(m_messages, std::vector<std::string> {"Duplicated plate number!"});
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

TEST_F(SpecialConfigDlgTest, CloseWritesEveryRowAndTheFlagOrStaysOpen)
{
    m_table["V1"] = Entry("V1", 0, 100, 200, 1);
    m_table["V2"] = Entry("V2", 12, 1262304000, 1262390400, 2);
    m_nFlag = 1;
    Seed();
    CSpecialConfigDlg dlg;
    dlg.show();
    EXPECT_TRUE(Child<QCheckBox>(&dlg, "enableCheck")->isChecked());
    EXPECT_EQ(Cell(dlg, 0, 1), "ALL");
    EXPECT_EQ(Cell(dlg, 1, 2), "2010-01-01 00:00:00");
    Child<QCheckBox>(&dlg, "enableCheck")->setChecked(false);

    // The file cannot be written: said so, the dialog stays, nothing is in force.
    LoseWorkingDir();
    dlg.close();
    EXPECT_EQ(m_messages, std::vector<std::string> {SaveFailedText().toStdString()});
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(Rows(dlg), 2);
    Reload();
    EXPECT_EQ(m_nFlag, 1);

    RegainWorkingDir();
    dlg.close();
    EXPECT_FALSE(dlg.isVisible());
    std::string text = ReadFile("QorConfig.xml");
    EXPECT_NE(text.find("<EnablePrivileges>0</EnablePrivileges>"), std::string::npos);
    EXPECT_NE(text.find("<PlateNO>V1</PlateNO>\r\n<ChanNO>0</ChanNO>"), std::string::npos);
    EXPECT_NE(text.find("<PlateNO>V2</PlateNO>\r\n<ChanNO>12</ChanNO>\r\n<StartTime>1262304000</StartTime>"),
              std::string::npos);
    Reload();
    EXPECT_EQ(m_nFlag, 0);
    ASSERT_EQ(m_table.size(), 2u);
    EXPECT_EQ(m_table["V1"].nFileType, 1u);
    EXPECT_EQ(m_table["V2"].tStop, 1262390400u);
    EXPECT_EQ(m_messages.size(), 1u);
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
        m_table.clear();
        m_table["A"] = Entry("A", 1, tValues[0], tValues[1]);
        m_table["B"] = Entry("B", 2, tValues[1], tValues[2]);
        Seed();
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
        Reload();
        ASSERT_EQ(m_table.size(), 2u);
        EXPECT_EQ(m_table["A"].tStart, tValues[0]);
        EXPECT_EQ(m_table["A"].tStop, tValues[1]);
        EXPECT_EQ(m_table["B"].tStart, tValues[1]);
        EXPECT_EQ(m_table["B"].tStop, tValues[2]);
    }
}

}  // namespace
