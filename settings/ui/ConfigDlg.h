#pragma once

#include "settings/Settings.h"

#include <QDialog>
#include <QString>
#include <QStringList>

#include <cstdint>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLineEdit;
class QPushButton;
class QTimeEdit;

// The modal "Configuration" dialog: edits a copy of the settings and, on OK, writes
// it to the settings file. Window thread only.
class CConfigDlg : public QDialog {
    Q_OBJECT

public:
    // Keeps a copy of settings; nothing is written before OK.
    CConfigDlg(const ServerSettings& settings, QWidget* pParent = nullptr);

    // The edited record; after an OK result it is what the settings file holds.
    ServerSettings GetSettings() const;

public slots:
    // Validates, saves and ends the dialog; stays open on a refused value or when
    // the settings file cannot be written.
    void accept() override;

private slots:
    void OnBrowse();
    void OnSpecialConfig();
    void OnDepotSettings();

private:
    // Puts the fields and buttons in their places. Window thread.
    void x_LayOut(QPushButton* pBrowse, QPushButton* pSpecial, QPushButton* pDepot);

    std::uint32_t m_nPort;        // the port field's value
    QString m_strDownDir;         // the download directory shown
    ServerSettings m_settings;    // the working copy
    std::uint32_t m_nFileType = 0;  // the file type chosen at the last OK

    QLineEdit* m_pPortEdit;
    QComboBox* m_pIpCombo;
    QLineEdit* m_pDirEdit;
    QDateEdit* m_pStartDate;
    QTimeEdit* m_pStartTime;
    QDateEdit* m_pStopDate;
    QTimeEdit* m_pStopTime;
    QComboBox* m_pFileTypeCombo;
    QCheckBox* m_pComponentCheck;
};

// The first item of the address list, stored as an empty IP.
inline constexpr const char* kAutomaticIp = "automatic";

// The IPv4 addresses of the machine's interfaces in interface order, loopback
// included. Window thread.
QStringList LocalIPv4Addresses();

// The download directory for a folder picked in the browser: one trailing "/" is
// dropped, except from the root "/" itself. Any thread.
QString DownDirFromChosenFolder(const QString& folder);
