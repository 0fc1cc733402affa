#include "settings/ui/DepotSettingsDlg.h"

#include "settings/Settings.h"
#include "shell/ui/DialogButtons.h"
#include "shell/ui/MessageBox.h"
#include "shell/ui/WindowThread.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>
#include <string>

namespace {

// A field's text as a number: digits only (blanks around them allowed). Numbers too
// large for 32 bits read as the largest, which the limit check then refuses.
bool ParseWholeNumber(const QString& text, std::uint32_t& nValue)
{
    const QString digits = text.trimmed();
    if (digits.isEmpty())
        return false;
    constexpr std::uint64_t kLargest = std::numeric_limits<std::uint32_t>::max();
    std::uint64_t nSum = 0;
    for (QChar ch : digits) {
        if (ch < '0' || ch > '9')
            return false;
        if (nSum <= kLargest)
            nSum = nSum * 10 + static_cast<std::uint64_t>(ch.unicode() - '0');
    }
    nValue = static_cast<std::uint32_t>(std::min(nSum, kLargest));
    return true;
}

} // namespace

CDepotSettingsDlg::CDepotSettingsDlg(QWidget* pParent)
    : QDialog(pParent),
      m_settings(LoadDepotSettings(SettingsFile())),
      m_fields {
          {"Rolling window (hours)", &DepotSettings::nRollingHours, kMaxRollingHours, nullptr},
          {"Transfers at once", &DepotSettings::nMaxTransfers, kMaxMaxTransfers, nullptr},
          {"Keep recordings (days)", &DepotSettings::nRetainDays, kMaxRetainDays, nullptr},
          {"Minimum free space (MiB)", &DepotSettings::nMinFreeMb, kMaxMinFreeMb, nullptr},
      }
{
    CWindowThread::Check(Q_FUNC_INFO);
    setWindowTitle("Depot settings");

    static const char* const s_szNames[] = {"rollingHoursEdit", "maxTransfersEdit", "retainDaysEdit",
                                            "minFreeMbEdit"};
    static const char* const s_szHints[] = {"0: the fixed span of the configuration", "0: no limit",
                                            "0: keep everything", "0: off"};
    auto* pGrid = new QGridLayout;
    int nRow = 0;
    for (Field& field : m_fields) {
        field.pEdit = new QLineEdit(QString::number(m_settings.*field.pValue), this);
        field.pEdit->setObjectName(s_szNames[nRow]);
        // No input mask: a wrong entry is named when OK is pressed.
        auto* pHint = new QLabel(s_szHints[nRow], this);
        QPalette pal = pHint->palette();
        pal.setColor(QPalette::WindowText, Qt::gray);
        pHint->setPalette(pal);
        pGrid->addWidget(new QLabel(field.szCaption, this), nRow, 0);
        pGrid->addWidget(field.pEdit, nRow, 1);
        pGrid->addWidget(pHint, nRow, 2);
        ++nRow;
    }
    pGrid->setColumnStretch(1, 1);

    auto* pMain = new QVBoxLayout(this);
    pMain->addLayout(pGrid);
    pMain->addLayout(NewOkCancelRow(this));
}

void CDepotSettingsDlg::accept()
{
    CWindowThread::Check(Q_FUNC_INFO);
    DepotSettings settings;
    for (const Field& field : m_fields) {
        if (!ParseWholeNumber(field.pEdit->text(), settings.*field.pValue)) {
            CMessageBox::Show(this, QString::asprintf("%s must be a whole number!", field.szCaption));
            field.pEdit->setFocus();
            field.pEdit->selectAll();
            return;
        }
    }
    const std::string fault = ValidateDepotSettings(settings);
    if (!fault.empty()) {
        CMessageBox::Show(this, QString::fromStdString(fault));
        // The message names the first value over its limit, in the order shown here.
        for (const Field& field : m_fields) {
            if (settings.*field.pValue > field.nMax) {
                field.pEdit->setFocus();
                field.pEdit->selectAll();
                break;
            }
        }
        return;
    }
    if (!SaveDepotSettings(settings, SettingsFile())) {
        CMessageBox::Show(this, "Failed to save the settings file!");
        return;
    }
    m_settings = settings;
    QDialog::accept();
}
