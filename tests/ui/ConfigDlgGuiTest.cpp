#include "settings/ui/ConfigDlg.h"

#include "settings/DepotSettings.h"
#include "settings/Settings.h"
#include "settings/WallClock.h"
#include "settings/ui/DialogFields.h"
#include "ui/ModalScript.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFileDialog>
#include <QHostAddress>
#include <QLineEdit>
#include <QTimeEdit>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

class ConfigDlgTest : public WindowTest {
protected:
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
};

TEST_F(ConfigDlgTest, ShowsTheSettingsRefusesAnEmptySpanAndSavesOnOk)
{
    SettingsFile();
    const std::string before = ReadFile("QorConfig.xml");
    CConfigDlg dlg(Sample());
    dlg.show();
    EXPECT_EQ(dlg.windowTitle(), "Configuration");
    EXPECT_EQ(Child<QLineEdit>(&dlg, "portEdit")->text(), "6001");
    EXPECT_FALSE(Child<QLineEdit>(&dlg, "portEdit")->isEnabled());
    EXPECT_EQ(Child<QLineEdit>(&dlg, "dirEdit")->text(), "/srv/rec");
    EXPECT_EQ(Child<QDateEdit>(&dlg, "startDate")->date(), QDate(2013, 3, 5));
    EXPECT_EQ(Child<QTimeEdit>(&dlg, "startTime")->time(), QTime(14, 2, 9));
    EXPECT_EQ(Child<QDateEdit>(&dlg, "stopDate")->date(), QDate(2013, 3, 6));
    EXPECT_EQ(Child<QComboBox>(&dlg, "fileTypeCombo")->currentText(), "Alarm Record");
    EXPECT_TRUE(Child<QCheckBox>(&dlg, "componentCheck")->isChecked());
    EXPECT_EQ(Child<QComboBox>(&dlg, "ipCombo")->currentText(), "127.0.0.1");

    // Equal times, then stop before start: refused, dialog open, nothing written.
    Child<QDateEdit>(&dlg, "stopDate")->setDate(QDate(2013, 3, 5));
    Child<QTimeEdit>(&dlg, "stopTime")->setTime(QTime(14, 2, 9));
    Click(&dlg, "okButton");
    Child<QTimeEdit>(&dlg, "stopTime")->setTime(QTime(14, 2, 8));
    Click(&dlg, "okButton");
    EXPECT_EQ(m_messages, std::vector<std::string>(2, "Stop time must be larger than start time"));
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(ReadFile("QorConfig.xml"), before);

    m_messages.clear();
    Child<QDateEdit>(&dlg, "stopDate")->setDate(QDate(2013, 3, 6));
    Child<QTimeEdit>(&dlg, "stopTime")->setTime(QTime(23, 59, 58));
    Child<QComboBox>(&dlg, "fileTypeCombo")->setCurrentIndex(1);
    Child<QCheckBox>(&dlg, "componentCheck")->setChecked(false);
    Click(&dlg, "okButton");
    EXPECT_TRUE(m_messages.empty());
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    ServerSettings loaded;
    ASSERT_EQ(LoadSettings(loaded), 0);
    EXPECT_EQ(loaded.nPort, 6001);
    EXPECT_STREQ(loaded.szDownDir, "/srv/rec");
    EXPECT_STREQ(loaded.szIP, "127.0.0.1");
    EXPECT_EQ(loaded.tStart, 1362492129u);
    EXPECT_EQ(loaded.tStop, WallClockFromFields(2013, 3, 6, 23, 59, 58));
    EXPECT_EQ(loaded.nFileType, 1u);
    EXPECT_EQ(loaded.bComponentMode, 0);
}

TEST_F(ConfigDlgTest, PickersOfferOnlyWhatCanBeUsed)
{
    // One trailing slash goes, except the root's (chosen below).
    EXPECT_EQ(DownDirFromChosenFolder("/srv/rec/"), "/srv/rec");
    EXPECT_EQ(DownDirFromChosenFolder("/srv//"), "/srv/");

    ServerSettings settings = Sample();
    CopyField(settings.szIP, sizeof(settings.szIP), "203.0.113.77");  // not of this machine
    CopyField(settings.szDownDir, sizeof(settings.szDownDir), Dir().string());
    settings.tStart = 0;                                        // 1970
    settings.tStop = WallClockFromFields(2040, 6, 1, 0, 0, 0);  // past the range
    CConfigDlg dlg(settings);
    dlg.show();

    // "automatic", then only this machine's IPv4 addresses, loopback among them; an
    // unknown one becomes the first address.
    QComboBox* pIp = Child<QComboBox>(&dlg, "ipCombo");
    ASSERT_GT(pIp->count(), 1);
    EXPECT_EQ(pIp->itemText(0), "automatic");
    EXPECT_EQ(pIp->findText("203.0.113.77"), -1);
    EXPECT_NE(pIp->findText("127.0.0.1"), -1);
    EXPECT_EQ(pIp->currentIndex(), 1);
    for (int i = 1; i < pIp->count(); ++i)
        EXPECT_EQ(QHostAddress(pIp->itemText(i)).protocol(), QAbstractSocket::IPv4Protocol);

    // Dates from 2000 to 2037 only.
    EXPECT_EQ(Child<QDateEdit>(&dlg, "startDate")->date(), QDate(2000, 1, 1));
    EXPECT_EQ(Child<QDateEdit>(&dlg, "stopDate")->date(), QDate(2037, 12, 31));
    Child<QDateEdit>(&dlg, "startDate")->setDate(QDate(1999, 12, 31));
    EXPECT_EQ(Child<QDateEdit>(&dlg, "startDate")->date(), QDate(2000, 1, 1));
    Child<QDateEdit>(&dlg, "stopDate")->setDate(QDate(2038, 1, 1));
    EXPECT_EQ(Child<QDateEdit>(&dlg, "stopDate")->date(), QDate(2037, 12, 31));

    // The folder browser: a folder, the root, and a cancelled browse.
    std::filesystem::create_directory("rec");
    const QString sub = QString::fromStdString((Dir() / "rec").string());
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
    Click(&dlg, "browseButton");
    EXPECT_EQ(Child<QLineEdit>(&dlg, "dirEdit")->text(), sub);
    script.Then(choose("/"));
    Click(&dlg, "browseButton");
    EXPECT_EQ(Child<QLineEdit>(&dlg, "dirEdit")->text(), "/");
    script.Then([](QWidget* pModal) { qobject_cast<QDialog*>(pModal)->reject(); });
    Click(&dlg, "browseButton");
    EXPECT_EQ(Child<QLineEdit>(&dlg, "dirEdit")->text(), "/");
    EXPECT_EQ(script.Left(), 0u);

    Click(&dlg, "okButton");
    ServerSettings loaded;
    ASSERT_EQ(LoadSettings(loaded), 0);
    EXPECT_STREQ(loaded.szDownDir, "/");
    EXPECT_EQ(loaded.szIP, pIp->itemText(1).toStdString());
}

TEST_F(ConfigDlgTest, AutomaticStandsForAnEmptyIpBothWays)
{
    ServerSettings settings = Sample();
    settings.szIP[0] = '\0';
    CConfigDlg automatic(settings);
    automatic.show();
    QComboBox* pIp = Child<QComboBox>(&automatic, "ipCombo");
    EXPECT_EQ(pIp->currentIndex(), 0);
    EXPECT_EQ(pIp->currentText(), "automatic");
    Click(&automatic, "okButton");
    ASSERT_EQ(automatic.result(), QDialog::Accepted);
    ServerSettings loaded;
    ASSERT_EQ(LoadSettings(loaded), 0);
    EXPECT_STREQ(loaded.szIP, "");
    EXPECT_STREQ(automatic.GetSettings().szIP, "");

    // Picked in place of an address, and an address picked in its place.
    CConfigDlg pick(Sample());
    pick.show();
    pIp = Child<QComboBox>(&pick, "ipCombo");
    EXPECT_EQ(pIp->currentText(), "127.0.0.1");
    pIp->setCurrentIndex(pIp->findText("automatic"));
    Click(&pick, "okButton");
    ASSERT_EQ(LoadSettings(loaded), 0);
    EXPECT_STREQ(loaded.szIP, "");
    CConfigDlg back(loaded);
    back.show();
    pIp = Child<QComboBox>(&back, "ipCombo");
    EXPECT_EQ(pIp->currentText(), "automatic");
    pIp->setCurrentIndex(pIp->findText("127.0.0.1"));
    Click(&back, "okButton");
    ASSERT_EQ(LoadSettings(loaded), 0);
    EXPECT_STREQ(loaded.szIP, "127.0.0.1");
}

TEST_F(ConfigDlgTest, OkIsRefusedForAPortOutOfRangeOrAnUnwritableFile)
{
    ServerSettings settings = Sample();
    settings.nPort = 0;  // from the file: the field cannot be edited
    CConfigDlg badPort(settings);
    badPort.show();
    Click(&badPort, "okButton");
    EXPECT_EQ(m_messages, std::vector<std::string> {"Please enter an integer between 1 and 65535."});
    EXPECT_TRUE(badPort.isVisible());
    EXPECT_EQ(LoadSettings(settings), -1);

    m_messages.clear();
    LoseWorkingDir();
    CConfigDlg dlg(Sample());
    dlg.show();
    Click(&dlg, "okButton");
    EXPECT_EQ(m_messages, std::vector<std::string> {SaveFailedText().toStdString()});
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_NE(dlg.result(), QDialog::Accepted);
    // Writable again: the same OK goes through.
    RegainWorkingDir();
    Click(&dlg, "okButton");
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    ASSERT_EQ(LoadSettings(settings), 0);
    EXPECT_EQ(settings.nPort, 6001);
}

TEST_F(ConfigDlgTest, SpecialAndDepotSettingsSaveOnTheirOwnEvenWhenConfigIsCancelled)
{
    CConfigDlg dlg(Sample());
    dlg.show();
    EXPECT_EQ(Child<QPushButton>(&dlg, "depotButton")->text(), "Depot settings...");
    ModalScript script;
    script.Then([](QWidget* pModal) {
        EXPECT_EQ(pModal->windowTitle(), "Special Configuration");
        Child<QCheckBox>(pModal, "enableCheck")->setChecked(true);
        pModal->close();
    });
    Click(&dlg, "specialButton");
    script.Then([](QWidget* pModal) {
        EXPECT_EQ(pModal->windowTitle(), "Depot settings");
        Child<QLineEdit>(pModal, "maxTransfersEdit")->setText("3");
        Click(pModal, "okButton");
    });
    Click(&dlg, "depotButton");
    EXPECT_EQ(script.Left(), 0u);
    EXPECT_TRUE(m_messages.empty());
    Click(&dlg, "cancelButton");
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_FALSE(dlg.isVisible());

    SpecialConfigTable table;
    int nFlag = 0;
    LoadSpecialConfig(table, nFlag);
    EXPECT_EQ(nFlag, 1);
    EXPECT_NE(ReadFile("QorConfig.xml").find("<EnablePrivileges>1</EnablePrivileges>"), std::string::npos);
    EXPECT_EQ(LoadDepotSettings(SettingsFile()).nMaxTransfers, 3u);
    // Cancel saved nothing of its own.
    ServerSettings loaded;
    EXPECT_EQ(LoadSettings(loaded), -1);
}

}  // namespace
