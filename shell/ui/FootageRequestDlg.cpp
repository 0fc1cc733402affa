#include "shell/ui/FootageRequestDlg.h"

#include "footage/FootageRequests.h"
#include "settings/WallClock.h"
#include "shell/ui/DialogButtons.h"
#include "shell/ui/MessageBox.h"
#include "shell/ui/WindowThread.h"

#include <QDateTimeEdit>
#include <QFormLayout>
#include <QLineEdit>
#include <QRegularExpression>
#include <QVBoxLayout>

namespace {

// Wall-clock seconds are local time counted as UTC: the editors show them as UTC,
// so no time zone shifts what the user typed.
QDateTime ToEditor(std::uint32_t tValue)
{
    return QDateTime::fromSecsSinceEpoch(tValue, Qt::UTC);
}

std::uint32_t FromEditor(const QDateTimeEdit* pEdit)
{
    return static_cast<std::uint32_t>(pEdit->dateTime().toSecsSinceEpoch());
}

QDateTimeEdit* NewTimeEdit(QWidget* pParent, const char* szName, std::uint32_t tValue)
{
    auto* pEdit = new QDateTimeEdit(pParent);
    pEdit->setObjectName(szName);
    pEdit->setTimeSpec(Qt::UTC);
    pEdit->setDisplayFormat("yyyy-MM-dd HH:mm:ss");
    pEdit->setDateTime(ToEditor(tValue));
    return pEdit;
}

} // namespace

CFootageRequestDlg::CFootageRequestDlg(CFootageRequests& requests, const std::string& vehicle, std::uint32_t tNow,
                                       QWidget* pParent)
    : QDialog(pParent), m_requests(requests)
{
    CWindowThread::Check(Q_FUNC_INFO);
    setWindowTitle("Request footage");
    m_pVehicle = new QLineEdit(QString::fromStdString(vehicle), this);
    m_pVehicle->setObjectName("vehicleEdit");
    m_pChannels = new QLineEdit(this);
    m_pChannels->setObjectName("channelsEdit");
    m_pChannels->setPlaceholderText("all");
    m_pFrom = NewTimeEdit(this, "fromEdit", tNow - 600);
    m_pTo = NewTimeEdit(this, "toEdit", tNow);
    m_pReason = new QLineEdit(this);
    m_pReason->setObjectName("reasonEdit");
    m_pReason->setMaxLength(static_cast<int>(CFootageRequests::kReasonMax));

    auto* pForm = new QFormLayout;
    pForm->addRow("Vehicle", m_pVehicle);
    pForm->addRow("Channels (e.g. 1, 2; empty: all)", m_pChannels);
    pForm->addRow("From", m_pFrom);
    pForm->addRow("To", m_pTo);
    pForm->addRow("Reason", m_pReason);
    auto* pMain = new QVBoxLayout(this);
    pMain->addLayout(pForm);
    pMain->addLayout(NewOkCancelRow(this));
    resize(420, 220);
}

bool CFootageRequestDlg::ParseChannels(const QString& text, std::vector<std::uint8_t>& channels)
{
    channels.clear();
    for (const QString& part : text.split(QRegularExpression("[,\\s]+"), Qt::SkipEmptyParts)) {
        bool bOk = false;
        const int n = part.toInt(&bOk);
        if (!bOk || n < 1 || n > CFootageRequests::kChannelMax)
            return false;
        channels.push_back(static_cast<std::uint8_t>(n));
    }
    return true;
}

void CFootageRequestDlg::accept()
{
    CWindowThread::Check(Q_FUNC_INFO);
    FootageAsk ask;
    ask.strVehicle = m_pVehicle->text().trimmed().toStdString();
    if (!ParseChannels(m_pChannels->text(), ask.channels)) {
        CMessageBox::Show(this, QString("Channels must be numbers from 1 to %1.").arg(CFootageRequests::kChannelMax));
        return;
    }
    ask.tFrom = FromEditor(m_pFrom);
    ask.tTo = FromEditor(m_pTo);
    ask.strReason = m_pReason->text().toStdString();
    ask.strRequestedBy = "window";
    std::string error;
    if (m_requests.Create(ask, WallClockNow(), m_nCreated, error) != CFootageRequests::CreateResult::Created) {
        CMessageBox::Show(this, QString::fromStdString("The request was not stored: " + error));
        return;
    }
    QDialog::accept();
}
