#include "settings/ui/DepotSettingsDlg.h"

#include "settings/DepotSettings.h"
#include "settings/Settings.h"
#include "ui/ModalScript.h"

#include <QLineEdit>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using DepotSettingsDlgTest = WindowTest;

TEST_F(DepotSettingsDlgTest, OpensWithTheFileRefusesBadValuesAndSavesGoodOnes)
{
    DepotSettings stored;
    stored.nRollingHours = 48;
    stored.nMaxTransfers = 6;
    stored.nRetainDays = 0;
    stored.nMinFreeMb = 2048;
    stored.nMaxVehicles = 1000;
    stored.nLogMaxMb = 64;
    stored.nLogKeep = 5;
    ASSERT_TRUE(SaveDepotSettings(stored, SettingsFile()));
    const std::string before = ReadFile("QorConfig.xml");

    CDepotSettingsDlg dlg;
    dlg.show();
    auto edit = [&](const char* szName) { return Child<QLineEdit>(&dlg, szName); };
    EXPECT_EQ(dlg.windowTitle(), "Depot settings");
    EXPECT_EQ(edit("rollingHoursEdit")->text(), "48");
    EXPECT_EQ(edit("maxTransfersEdit")->text(), "6");
    EXPECT_EQ(edit("retainDaysEdit")->text(), "0");
    EXPECT_EQ(edit("minFreeMbEdit")->text(), "2048");
    EXPECT_EQ(edit("maxVehiclesEdit")->text(), "1000");
    EXPECT_EQ(edit("logMaxMbEdit")->text(), "64");
    EXPECT_EQ(edit("logKeepEdit")->text(), "5");

    // Not whole numbers: named by their caption, the focus on the field.
    for (const char* szText : {"six", "", "-1", "2.5"}) {
        m_messages.clear();
        edit("maxTransfersEdit")->setText(szText);
        Click(&dlg, "okButton");
        EXPECT_EQ(m_messages, std::vector<std::string> {"Transfers at once must be a whole number!"}) << szText;
        EXPECT_EQ(dlg.focusWidget(), edit("maxTransfersEdit"));
    }
    edit("maxTransfersEdit")->setText(" 8 ");

    // Over a limit, also far beyond 32 bits: the limit's message, focus on the field.
    m_messages.clear();
    edit("retainDaysEdit")->setText("30");
    for (const QString& text : {QString::number(kMaxMinFreeMb + 1), QString("99999999999999999999")}) {
        edit("minFreeMbEdit")->setText(text);
        Click(&dlg, "okButton");
        EXPECT_EQ(dlg.focusWidget(), edit("minFreeMbEdit"));
    }
    edit("minFreeMbEdit")->setText("512");
    edit("rollingHoursEdit")->setText(QString::number(kMaxRollingHours + 1));
    Click(&dlg, "okButton");
    const std::string overMinFree = "Minimum free space (MiB) must be between 0 and 67108864!";
    EXPECT_EQ(m_messages, (std::vector<std::string> {overMinFree, overMinFree,
                                                     "Rolling window (hours) must be between 0 and 8784!"}));
    EXPECT_EQ(dlg.focusWidget(), edit("rollingHoursEdit"));
    // The number of old log files has a floor as well as a ceiling.
    edit("rollingHoursEdit")->setText("48");
    for (const char* szText : {"0", "101"}) {
        m_messages.clear();
        edit("logKeepEdit")->setText(szText);
        Click(&dlg, "okButton");
        EXPECT_EQ(m_messages, std::vector<std::string> {"Old log files kept must be between 1 and 100!"}) << szText;
        EXPECT_EQ(dlg.focusWidget(), edit("logKeepEdit"));
    }
    edit("logKeepEdit")->setText("10");
    edit("logMaxMbEdit")->setText("16");
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(ReadFile("QorConfig.xml"), before);

    // Every value good (one at its limit), but the file cannot be written: said so,
    // and the dialog stays open.
    edit("rollingHoursEdit")->setText(QString::number(kMaxRollingHours));
    m_messages.clear();
    LoseWorkingDir();
    Click(&dlg, "okButton");
    EXPECT_EQ(m_messages, std::vector<std::string> {"Failed to save the settings file!"});
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_NE(dlg.result(), QDialog::Accepted);

    RegainWorkingDir();
    Click(&dlg, "okButton");
    EXPECT_EQ(m_messages.size(), 1u);
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    const DepotSettings loaded = LoadDepotSettings(SettingsFile());
    EXPECT_EQ(loaded.nRollingHours, kMaxRollingHours);
    EXPECT_EQ(loaded.nMaxTransfers, 8u);
    EXPECT_EQ(loaded.nRetainDays, 30u);
    EXPECT_EQ(loaded.nMinFreeMb, 512u);
    // Keys not touched keep their values.
    EXPECT_EQ(loaded.nMaxVehicles, 1000u);
    EXPECT_EQ(loaded.nLogMaxMb, 16u);
    EXPECT_EQ(loaded.nLogKeep, 10u);
}

} // namespace
