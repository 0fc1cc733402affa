#include "settings/ui/ConfigDlg.h"

#include "settings/ui/DepotSettingsDlg.h"
#include "settings/ui/DialogFields.h"
#include "settings/ui/SpecialConfigDlg.h"
#include "shell/ui/DialogButtons.h"
#include "shell/ui/MessageBox.h"
#include "shell/ui/WindowThread.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkInterface>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTimeEdit>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdlib>
#include <cstring>

QStringList LocalIPv4Addresses()
{
    QStringList addresses;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& iface : interfaces) {
        const QList<QNetworkAddressEntry> entries = iface.addressEntries();
        for (const QNetworkAddressEntry& entry : entries) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                addresses.append(entry.ip().toString());
        }
    }
    return addresses;
}

QString DownDirFromChosenFolder(const QString& folder)
{
    if (folder.size() > 1 && folder.endsWith('/'))
        return folder.left(folder.size() - 1);
    return folder;
}

namespace {

// The address choice: automatic, then this machine's addresses, at the stored one.
QComboBox* NewIpCombo(QWidget* pParent, const ServerSettings& settings)
{
    auto* pIpCombo = new QComboBox(pParent);
    pIpCombo->setObjectName("ipCombo");
    const QString strIP =
        QString::fromLatin1(settings.szIP, static_cast<int>(::strnlen(settings.szIP, sizeof(settings.szIP))));
    // "automatic" is stored as an empty IP: each recorder is then told the address its
    // datagrams arrive on. Every item's data is what is stored.
    pIpCombo->addItem(kAutomaticIp, QString(""));
    for (const QString& address : LocalIPv4Addresses())
        pIpCombo->addItem(address, address);
    pIpCombo->setToolTip("The address recorders connect back to for their transfers; automatic: the address "
                         "each recorder sends to");
    // An address not of this machine becomes the first of its addresses.
    int nIP = strIP.isEmpty()
                  ? 0
                  : pIpCombo->findData(strIP, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive);
    pIpCombo->setCurrentIndex(nIP >= 0 ? nIP : std::min(1, pIpCombo->count() - 1));
    return pIpCombo;
}

// A button beside the fields, which Enter does not press.
QPushButton* NewSideButton(QWidget* pParent, const QString& text, const QString& name)
{
    auto* pButton = new QPushButton(text, pParent);
    pButton->setObjectName(name);
    pButton->setAutoDefault(false);
    return pButton;
}

// A row of a line of explanation and the button it explains.
QHBoxLayout* NewButtonRow(QWidget* pParent, const QString& text, QPushButton* pButton)
{
    auto* pRow = new QHBoxLayout;
    pRow->addWidget(new QLabel(text, pParent), 1);
    pRow->addWidget(pButton);
    return pRow;
}

} // namespace

CConfigDlg::CConfigDlg(const ServerSettings& settings, QWidget* pParent)
    : QDialog(pParent),
      m_nPort(settings.nPort),
      m_strDownDir(QString::fromUtf8(settings.szDownDir, static_cast<int>(::strnlen(settings.szDownDir,
                                                                                    sizeof(settings.szDownDir))))),
      m_settings(settings)
{
    CWindowThread::Check(Q_FUNC_INFO);
    setWindowTitle("Configuration");

    m_pPortEdit = new QLineEdit(this);
    m_pPortEdit->setObjectName("portEdit");
    m_pPortEdit->setMaxLength(5);
    m_pPortEdit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), m_pPortEdit));
    m_pPortEdit->setText(QString::number(m_nPort));
    // The port comes from the settings file only.
    m_pPortEdit->setEnabled(false);

    m_pIpCombo = NewIpCombo(this, settings);

    m_pDirEdit = new QLineEdit(m_strDownDir, this);
    m_pDirEdit->setObjectName("dirEdit");
    m_pDirEdit->setReadOnly(true);
    QPushButton* pBrowse = NewSideButton(this, "...", "browseButton");
    connect(pBrowse, &QPushButton::clicked, this, &CConfigDlg::OnBrowse);

    const SpanPickers span = NewSpanPickers(this, settings.tStart, settings.tStop);
    m_pStartDate = span.pStartDate;
    m_pStartTime = span.pStartTime;
    m_pStopDate = span.pStopDate;
    m_pStopTime = span.pStopTime;
    m_pFileTypeCombo = NewFileTypeCombo(this, settings.nFileType);

    QPushButton* pSpecial = NewSideButton(this, "Special Configuration(&S)", "specialButton");
    connect(pSpecial, &QPushButton::clicked, this, &CConfigDlg::OnSpecialConfig);

    QPushButton* pDepot = NewSideButton(this, "Depot settings...", "depotButton");
    connect(pDepot, &QPushButton::clicked, this, &CConfigDlg::OnDepotSettings);

    m_pComponentCheck = new QCheckBox("Run in MIRDO component mode.", this);
    m_pComponentCheck->setObjectName("componentCheck");
    m_pComponentCheck->setChecked(settings.bComponentMode != 0);

    x_LayOut(pBrowse, pSpecial, pDepot);
}

void CConfigDlg::x_LayOut(QPushButton* pBrowse, QPushButton* pSpecial, QPushButton* pDepot)
{
    // Server fields, time span, special configuration, buttons.
    auto* pServer = new QGridLayout;
    pServer->addWidget(new QLabel("Listening port", this), 0, 0);
    pServer->addWidget(m_pPortEdit, 0, 1, 1, 2);
    pServer->addWidget(new QLabel("IP Address", this), 1, 0);
    pServer->addWidget(m_pIpCombo, 1, 1, 1, 2);
    pServer->addWidget(new QLabel("Download to", this), 2, 0);
    pServer->addWidget(m_pDirEdit, 2, 1);
    pServer->addWidget(pBrowse, 2, 2);

    auto* pSpanBox = new QGroupBox(this);
    auto* pSpan = new QGridLayout(pSpanBox);
    pSpan->addWidget(new QLabel("Starting Time", this), 0, 0);
    pSpan->addWidget(m_pStartDate, 0, 1);
    pSpan->addWidget(m_pStartTime, 0, 2);
    pSpan->addWidget(new QLabel("Ending Time", this), 1, 0);
    pSpan->addWidget(m_pStopDate, 1, 1);
    pSpan->addWidget(m_pStopTime, 1, 2);
    pSpan->addWidget(new QLabel("File Type:", this), 2, 0);
    pSpan->addWidget(m_pFileTypeCombo, 2, 1, 1, 2);

    QHBoxLayout* pSpecialRow =
        NewButtonRow(this, "Config special parameters for particular downloading.", pSpecial);
    QHBoxLayout* pDepotRow = NewButtonRow(this, "Rolling window, transfer limit and retention of the depot.", pDepot);
    QHBoxLayout* pButtons = NewOkCancelRow(this);

    auto* pMain = new QVBoxLayout(this);
    pMain->addLayout(pServer);
    pMain->addWidget(pSpanBox);
    pMain->addLayout(pSpecialRow);
    pMain->addLayout(pDepotRow);
    pMain->addWidget(m_pComponentCheck);
    pMain->addLayout(pButtons);
}

ServerSettings CConfigDlg::GetSettings() const
{
    return m_settings;
}

void CConfigDlg::accept()
{
    CWindowThread::Check(Q_FUNC_INFO);
    // A file type the list does not offer (hand-edited file) stays as it was.
    int nType = m_pFileTypeCombo->currentIndex();
    m_nFileType = nType >= 0 ? static_cast<std::uint32_t>(nType) : m_settings.nFileType;
    m_settings.nPort = static_cast<std::uint16_t>(std::atoi(m_pPortEdit->text().toLatin1().constData()));
    m_settings.tStart = ReadPickers(m_pStartDate, m_pStartTime);
    m_settings.tStop = ReadPickers(m_pStopDate, m_pStopTime);
    CopyField(m_settings.szDownDir, sizeof(m_settings.szDownDir), m_pDirEdit->text().toStdString());

    if (m_settings.tStart >= m_settings.tStop) {
        CMessageBox::Show(this, "Stop time must be larger than start time");
        return;
    }
    m_settings.nFileType = m_nFileType;
    CopyField(m_settings.szIP, sizeof(m_settings.szIP), m_pIpCombo->currentData().toString().toStdString());
    m_settings.bComponentMode = m_pComponentCheck->isChecked() ? 1 : 0;

    // The port field is disabled; only a hand-edited file gets here out of range.
    m_nPort = static_cast<std::uint32_t>(std::atoi(m_pPortEdit->text().toLatin1().constData()));
    if (m_nPort < 1 || m_nPort > 65535) {
        CMessageBox::Show(this, "Please enter an integer between 1 and 65535.");
        return;
    }
    // What the dialog reports as saved must be on disk.
    if (!SaveSettings(m_settings)) {
        CMessageBox::Show(this, SaveFailedText());
        return;
    }
    QDialog::accept();
}

void CConfigDlg::OnBrowse()
{
    CWindowThread::Check(Q_FUNC_INFO);
    QString folder = QFileDialog::getExistingDirectory(this, "Choose the download directory", m_strDownDir,
                                                       QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return;
    folder = DownDirFromChosenFolder(folder);
    // A path cut to fit the record would name another folder.
    if (folder.toUtf8().size() >= static_cast<int>(sizeof(m_settings.szDownDir))) {
        CMessageBox::Show(this, "The path of the download directory is too long!");
        return;
    }
    m_strDownDir = folder;
    m_pDirEdit->setText(m_strDownDir);
}

void CConfigDlg::OnSpecialConfig()
{
    CWindowThread::Check(Q_FUNC_INFO);
    CSpecialConfigDlg dlg(this);
    dlg.exec();
}

void CConfigDlg::OnDepotSettings()
{
    CWindowThread::Check(Q_FUNC_INFO);
    // The depot keys are saved by that dialog on its own OK, whatever this one ends with.
    CDepotSettingsDlg dlg(this);
    dlg.exec();
}
