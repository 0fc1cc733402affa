#include "settings/ui/DepotSettingsDlg.h"

#include "settings/DepotSettings.h"
#include "settings/Settings.h"
#include "shell/ui/MessageBox.h"
#include "support/Sandbox.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

namespace {

int g_argc = 1;
char g_arg0[] = "DepotSettingsDlgGuiTest";
char* g_argv[] = {g_arg0, nullptr};

class DepotSettingsDlgTest : public Sandbox {
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

    static QLineEdit* Edit(QWidget& dlg, const char* szName)
    {
        auto* pEdit = dlg.findChild<QLineEdit*>(szName);
        EXPECT_NE(pEdit, nullptr) << szName;
        return pEdit;
    }
    static void ClickOk(QWidget& dlg) { dlg.findChild<QPushButton*>("okButton")->click(); }

    std::vector<std::string> m_messages;
    QApplication m_app {g_argc, g_argv};
};

TEST_F(DepotSettingsDlgTest, OpensWithTheFileRefusesBadValuesAndSavesGoodOnes)
{
    DepotSettings stored;
    stored.nRollingHours = 48;
    stored.nMaxTransfers = 6;
    stored.nRetainDays = 0;
    stored.nMinFreeMb = 2048;
    ASSERT_TRUE(SaveDepotSettings(stored, SettingsFile()));
    const std::string before = ReadFile("QorConfig.xml");

    CDepotSettingsDlg dlg;
    dlg.show();
    EXPECT_EQ(dlg.windowTitle(), "Depot settings");
    EXPECT_EQ(Edit(dlg, "rollingHoursEdit")->text(), "48");
    EXPECT_EQ(Edit(dlg, "maxTransfersEdit")->text(), "6");
    EXPECT_EQ(Edit(dlg, "retainDaysEdit")->text(), "0");
    EXPECT_EQ(Edit(dlg, "minFreeMbEdit")->text(), "2048");

    // Not whole numbers: named by their caption, the focus on the field, nothing saved.
    for (const char* szText : {"six", "", "-1", "2.5"}) {
        Edit(dlg, "maxTransfersEdit")->setText(szText);
        ClickOk(dlg);
        ASSERT_FALSE(m_messages.empty()) << szText;
        EXPECT_EQ(m_messages.back(), "Transfers at once must be a whole number!") << szText;
        EXPECT_EQ(dlg.focusWidget(), Edit(dlg, "maxTransfersEdit"));
    }
    EXPECT_EQ(m_messages.size(), 4u);
    Edit(dlg, "maxTransfersEdit")->setText(" 8 ");

    // Over a limit, also far beyond 32 bits: the limit's message, focus on the field.
    m_messages.clear();
    Edit(dlg, "retainDaysEdit")->setText("30");
    for (const QString& text : {QString::number(kMaxMinFreeMb + 1), QString("99999999999999999999")}) {
        Edit(dlg, "minFreeMbEdit")->setText(text);
        ClickOk(dlg);
        EXPECT_EQ(dlg.focusWidget(), Edit(dlg, "minFreeMbEdit"));
    }
    Edit(dlg, "minFreeMbEdit")->setText("512");
    Edit(dlg, "rollingHoursEdit")->setText(QString::number(kMaxRollingHours + 1));
    ClickOk(dlg);
    DepotSettings overMinFree;
    overMinFree.nMinFreeMb = kMaxMinFreeMb + 1;
    DepotSettings overRolling;
    overRolling.nRollingHours = kMaxRollingHours + 1;
    ASSERT_EQ(m_messages.size(), 3u);
    EXPECT_EQ(m_messages[0], ValidateDepotSettings(overMinFree));
    EXPECT_EQ(m_messages[1], ValidateDepotSettings(overMinFree));
    EXPECT_EQ(m_messages[2], ValidateDepotSettings(overRolling));
    EXPECT_NE(m_messages[2].find("Rolling window (hours)"), std::string::npos);
    EXPECT_EQ(dlg.focusWidget(), Edit(dlg, "rollingHoursEdit"));
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(ReadFile("QorConfig.xml"), before);

    // Every value at its limit is good.
    Edit(dlg, "rollingHoursEdit")->setText(QString::number(kMaxRollingHours));
    m_messages.clear();
    ClickOk(dlg);
    EXPECT_TRUE(m_messages.empty());
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    const DepotSettings loaded = LoadDepotSettings(SettingsFile());
    EXPECT_EQ(loaded.nRollingHours, kMaxRollingHours);
    EXPECT_EQ(loaded.nMaxTransfers, 8u);
    EXPECT_EQ(loaded.nRetainDays, 30u);
    EXPECT_EQ(loaded.nMinFreeMb, 512u);
}

TEST_F(DepotSettingsDlgTest, UnwritableFileIsReportedAndTheDialogStaysOpen)
{
    SettingsFile();
    // A working directory that no longer exists cannot be written, not even by root.
    std::filesystem::create_directory("gone");
    ASSERT_EQ(::chdir("gone"), 0);
    std::filesystem::remove(Dir() / "gone");

    CDepotSettingsDlg dlg;
    dlg.show();
    Edit(dlg, "retainDaysEdit")->setText("7");
    ClickOk(dlg);
    EXPECT_EQ(m_messages, std::vector<std::string> {"Failed to save the settings file!"});
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_NE(dlg.result(), QDialog::Accepted);

    ASSERT_EQ(::chdir(Dir().c_str()), 0);
    ClickOk(dlg);
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(LoadDepotSettings(SettingsFile()).nRetainDays, 7u);
}

} // namespace
