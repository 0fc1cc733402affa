#include "settings/ui/ConfigDlg.h"

#include "settings/DepotSettings.h"
#include "settings/Settings.h"
#include "settings/WallClock.h"
#include "settings/ui/DialogFields.h"
#include "shell/ui/MessageBox.h"
#include "support/Sandbox.h"
#include "ui/ModalScript.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QHostAddress>
#include <QLineEdit>
#include <QPushButton>
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
char g_arg0[] = "ConfigDlgGuiTest";
char* g_argv[] = {g_arg0, nullptr};


class ConfigDlgTest : public Sandbox {
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

    static ServerSettings Sample()
    {
        ServerSettings settings;
        settings.nPort = 6001;
        CopyField(settings.szIP, sizeof(settings.szIP), "127.0.0.1");
        CopyField(settings.szDownDir, sizeof(settings.szDownDir), "/srv/rec");
        settings.tStart = WallClockFromFields(2013, 3, 5, 14, 2, 9);
        settings.tStop = WallClockFromFields(2013, 3, 6, 8, 0, 0);
        settings.nFileType = 2;
        settings.bComponentMode = 1;
        return settings;
    }

    template <typename T>
    static T* Child(QWidget& dlg, const char* szName)
    {
        T* pChild = dlg.findChild<T*>(szName);
        EXPECT_NE(pChild, nullptr) << szName;
        return pChild;
    }

    static void ClickOk(QWidget& dlg) { Child<QPushButton>(dlg, "okButton")->click(); }

    std::vector<std::string> m_messages;
    QApplication m_app {g_argc, g_argv};
};

TEST_F(ConfigDlgTest, ShowsTheSettingsAndSavesThemOnOk)
{
    CConfigDlg dlg(Sample());
    dlg.show();
    EXPECT_EQ(dlg.windowTitle(), "Configuration");
    EXPECT_EQ(Child<QLineEdit>(dlg, "portEdit")->text(), "6001");
    EXPECT_FALSE(Child<QLineEdit>(dlg, "portEdit")->isEnabled());
    EXPECT_EQ(Child<QLineEdit>(dlg, "dirEdit")->text(), "/srv/rec");
    EXPECT_EQ(Child<QDateEdit>(dlg, "startDate")->date(), QDate(2013, 3, 5));
    EXPECT_EQ(Child<QTimeEdit>(dlg, "startTime")->time(), QTime(14, 2, 9));
    EXPECT_EQ(Child<QDateEdit>(dlg, "stopDate")->date(), QDate(2013, 3, 6));
    EXPECT_EQ(Child<QComboBox>(dlg, "fileTypeCombo")->currentText(), "Alarm Record");
    EXPECT_TRUE(Child<QCheckBox>(dlg, "componentCheck")->isChecked());
    EXPECT_EQ(Child<QComboBox>(dlg, "ipCombo")->currentText(), "127.0.0.1");

    Child<QComboBox>(dlg, "fileTypeCombo")->setCurrentIndex(1);
    Child<QCheckBox>(dlg, "componentCheck")->setChecked(false);
    Child<QTimeEdit>(dlg, "stopTime")->setTime(QTime(23, 59, 58));
    ClickOk(dlg);
    EXPECT_TRUE(m_messages.empty());
    EXPECT_EQ(dlg.result(), QDialog::Accepted);

    ServerSettings edited = dlg.GetSettings();
    EXPECT_EQ(edited.tStart, 1362492129u);
    EXPECT_EQ(edited.tStop, WallClockFromFields(2013, 3, 6, 23, 59, 58));
    EXPECT_EQ(edited.nFileType, 1u);
    EXPECT_EQ(edited.bComponentMode, 0);

    // What OK reports is what the file holds.
    ServerSettings loaded;
    ASSERT_EQ(LoadSettings(loaded), 0);
    EXPECT_EQ(loaded.nPort, 6001);
    EXPECT_STREQ(loaded.szDownDir, "/srv/rec");
    EXPECT_STREQ(loaded.szIP, "127.0.0.1");
    EXPECT_EQ(loaded.tStart, edited.tStart);
    EXPECT_EQ(loaded.tStop, edited.tStop);
    EXPECT_EQ(loaded.nFileType, 1u);
    EXPECT_EQ(loaded.bComponentMode, 0);
}

TEST_F(ConfigDlgTest, StopNotAfterStartIsRefusedAndCancelLeavesTheFile)
{
    SettingsFile();
    const std::string before = ReadFile("QorConfig.xml");
    CConfigDlg dlg(Sample());
    dlg.show();

    // Equal times, then stop before start: refused, dialog open, nothing written.
    Child<QDateEdit>(dlg, "stopDate")->setDate(QDate(2013, 3, 5));
    Child<QTimeEdit>(dlg, "stopTime")->setTime(QTime(14, 2, 9));
    ClickOk(dlg);
    Child<QTimeEdit>(dlg, "stopTime")->setTime(QTime(14, 2, 8));
    ClickOk(dlg);
    EXPECT_EQ(m_messages, std::vector<std::string>(2, "Stop time must be larger than start time"));
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(ReadFile("QorConfig.xml"), before);

    Child<QPushButton>(dlg, "cancelButton")->click();
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(ReadFile("QorConfig.xml"), before);
}

TEST_F(ConfigDlgTest, IpListHoldsLoopbackAndUnknownIpTakesTheFirst)
{
    EXPECT_TRUE(LocalIPv4Addresses().contains("127.0.0.1"));

    ServerSettings settings = Sample();
    CopyField(settings.szIP, sizeof(settings.szIP), "203.0.113.77");
    CConfigDlg dlg(settings);
    dlg.show();
    QComboBox* pIp = Child<QComboBox>(dlg, "ipCombo");
    ASSERT_GT(pIp->count(), 0);
    EXPECT_EQ(pIp->findText("203.0.113.77"), -1);
    EXPECT_NE(pIp->findText("127.0.0.1"), -1);
    EXPECT_EQ(pIp->currentIndex(), 0);
    for (int i = 0; i < pIp->count(); ++i)
        EXPECT_TRUE(QHostAddress(pIp->itemText(i)).protocol() == QAbstractSocket::IPv4Protocol);

    ClickOk(dlg);
    EXPECT_EQ(dlg.GetSettings().szIP, pIp->itemText(0).toStdString());
    ServerSettings loaded;
    LoadSettings(loaded);
    EXPECT_EQ(loaded.szIP, pIp->itemText(0).toStdString());
}

TEST_F(ConfigDlgTest, DatePickersStayWithin2000To2037)
{
    ServerSettings settings = Sample();
    settings.tStart = 0;                                        // 1970
    settings.tStop = WallClockFromFields(2040, 6, 1, 0, 0, 0);  // past the range
    CConfigDlg dlg(settings);
    for (const char* szName : {"startDate", "stopDate"}) {
        QDateEdit* pDate = Child<QDateEdit>(dlg, szName);
        EXPECT_EQ(pDate->minimumDate(), QDate(2000, 1, 1));
        EXPECT_EQ(pDate->maximumDate(), QDate(2037, 12, 31));
    }
    EXPECT_EQ(Child<QDateEdit>(dlg, "startDate")->date(), QDate(2000, 1, 1));
    EXPECT_EQ(Child<QDateEdit>(dlg, "stopDate")->date(), QDate(2037, 12, 31));
    Child<QDateEdit>(dlg, "startDate")->setDate(QDate(1999, 12, 31));
    EXPECT_EQ(Child<QDateEdit>(dlg, "startDate")->date(), QDate(2000, 1, 1));
}

TEST_F(ConfigDlgTest, ChosenFolderLosesOneTrailingSlashExceptTheRoot)
{
    EXPECT_EQ(DownDirFromChosenFolder("/srv/rec/"), "/srv/rec");
    EXPECT_EQ(DownDirFromChosenFolder("/srv/rec"), "/srv/rec");
    EXPECT_EQ(DownDirFromChosenFolder("/srv//"), "/srv/");
    EXPECT_EQ(DownDirFromChosenFolder("/"), "/");

    // Through the real browser: a folder, the root, and a cancelled browse.
    std::filesystem::create_directory("rec");
    const QString sub = QString::fromStdString((Dir() / "rec").string());
    ServerSettings settings = Sample();
    CopyField(settings.szDownDir, sizeof(settings.szDownDir), Dir().string());
    CConfigDlg dlg(settings);
    dlg.show();
    ModalScript script;
    auto choose = [](const QString& folder) {
        return [folder](QWidget* pModal) {
            auto* pFiles = qobject_cast<QFileDialog*>(pModal);
            ASSERT_NE(pFiles, nullptr);
            EXPECT_EQ(pFiles->windowTitle(), "Choose the download directory");
            pFiles->setDirectory(folder);
            if (auto* pName = pFiles->findChild<QLineEdit*>("fileNameEdit"))
                pName->clear();
            static_cast<QDialog*>(pFiles)->accept();
        };
    };
    script.Then(choose(sub));
    Child<QPushButton>(dlg, "browseButton")->click();
    EXPECT_EQ(Child<QLineEdit>(dlg, "dirEdit")->text(), sub);

    script.Then(choose("/"));
    Child<QPushButton>(dlg, "browseButton")->click();
    EXPECT_EQ(Child<QLineEdit>(dlg, "dirEdit")->text(), "/");

    script.Then([](QWidget* pModal) { qobject_cast<QDialog*>(pModal)->reject(); });
    Child<QPushButton>(dlg, "browseButton")->click();
    EXPECT_EQ(Child<QLineEdit>(dlg, "dirEdit")->text(), "/");
    EXPECT_EQ(script.Left(), 0u);

    ClickOk(dlg);
    EXPECT_STREQ(dlg.GetSettings().szDownDir, "/");
}

TEST_F(ConfigDlgTest, UnwritableSettingsFileIsReportedAndOkRefused)
{
    // A working directory that no longer exists cannot be written, not even by root.
    std::filesystem::create_directory("gone");
    ASSERT_EQ(::chdir("gone"), 0);
    std::filesystem::remove(Dir() / "gone");

    CConfigDlg dlg(Sample());
    dlg.show();
    ClickOk(dlg);
    EXPECT_EQ(m_messages, std::vector<std::string>{SaveFailedText().toStdString()});
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_NE(dlg.result(), QDialog::Accepted);

    // Writable again: the same OK goes through.
    ASSERT_EQ(::chdir(Dir().c_str()), 0);
    ClickOk(dlg);
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    ServerSettings loaded;
    EXPECT_EQ(LoadSettings(loaded), 0);
    EXPECT_EQ(loaded.nPort, 6001);
}

TEST_F(ConfigDlgTest, PortOutOfRangeFromTheFileIsRefused)
{
    ServerSettings settings = Sample();
    settings.nPort = 0;
    CConfigDlg dlg(settings);
    dlg.show();
    ClickOk(dlg);
    EXPECT_EQ(m_messages, std::vector<std::string>{"Please enter an integer between 1 and 65535."});
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(LoadSettings(settings), -1);
}

TEST_F(ConfigDlgTest, SpecialConfigurationSavesOnItsCloseEvenWhenConfigIsCancelled)
{
    CConfigDlg dlg(Sample());
    dlg.show();
    ModalScript script;
    script.Then([](QWidget* pModal) {
        EXPECT_EQ(pModal->windowTitle(), "Special Configuration");
        pModal->findChild<QCheckBox*>("enableCheck")->setChecked(true);
        pModal->close();
    });
    Child<QPushButton>(dlg, "specialButton")->click();
    EXPECT_EQ(script.Left(), 0u);
    Child<QPushButton>(dlg, "cancelButton")->click();

    EXPECT_EQ(EnablePrivileges(), 1);
    EXPECT_NE(ReadFile("QorConfig.xml").find("<EnablePrivileges>1</EnablePrivileges>"), std::string::npos);
    ServerSettings loaded;
    EXPECT_EQ(LoadSettings(loaded), -1);
}

TEST_F(ConfigDlgTest, DepotSettingsButtonOpensItsDialog)
{
    CConfigDlg dlg(Sample());
    dlg.show();
    QPushButton* pDepot = Child<QPushButton>(dlg, "depotButton");
    ASSERT_NE(pDepot, nullptr);
    EXPECT_EQ(pDepot->text(), "Depot settings...");
    ModalScript script;
    script.Then([](QWidget* pModal) {
        EXPECT_EQ(pModal->windowTitle(), "Depot settings");
        pModal->findChild<QLineEdit*>("maxTransfersEdit")->setText("3");
        pModal->findChild<QPushButton*>("okButton")->click();
    });
    pDepot->click();
    EXPECT_EQ(script.Left(), 0u);
    EXPECT_TRUE(m_messages.empty());
    // Saved by its own OK, whatever the Configuration dialog ends with.
    Child<QPushButton>(dlg, "cancelButton")->click();
    EXPECT_EQ(LoadDepotSettings(SettingsFile()).nMaxTransfers, 3u);
}

}  // namespace
