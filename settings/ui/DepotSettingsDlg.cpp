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
#include <cstring>
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

// The edit's object name: the key in camel case, "maxVehiclesEdit".
QString EditName(const char* szKey)
{
    static const struct {
        const char* szKey;
        const char* szName;
    } s_names[] = {
        {"rollinghours", "rollingHoursEdit"}, {"maxtransfers", "maxTransfersEdit"}, {"retaindays", "retainDaysEdit"},
        {"minfreemb", "minFreeMbEdit"},       {"maxvehicles", "maxVehiclesEdit"},   {"logmaxmb", "logMaxMbEdit"},
        {"logkeep", "logKeepEdit"},
    };
    for (const auto& entry : s_names) {
        if (std::strcmp(entry.szKey, szKey) == 0)
            return entry.szName;
    }
    return QString(szKey) + "Edit";
}

} // namespace

CDepotSettingsDlg::CDepotSettingsDlg(QWidget* pParent)
    : QDialog(pParent),
      m_settings(LoadDepotSettings(SettingsFile()))
{
    CWindowThread::Check(Q_FUNC_INFO);
    setWindowTitle("Depot settings");

    auto* pGrid = new QGridLayout;
    int nRow = 0;
    for (const DepotKey& key : DepotKeys()) {
        Field field {&key, new QLineEdit(QString::number(m_settings.*key.pField), this)};
        field.pEdit->setObjectName(EditName(key.szName));
        // No input mask: a wrong entry is named when OK is pressed.
        auto* pHint = new QLabel(key.szHint, this);
        QPalette pal = pHint->palette();
        pal.setColor(QPalette::WindowText, Qt::gray);
        pHint->setPalette(pal);
        pGrid->addWidget(new QLabel(key.szCaption, this), nRow, 0);
        pGrid->addWidget(field.pEdit, nRow, 1);
        pGrid->addWidget(pHint, nRow, 2);
        m_fields.push_back(field);
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
    DepotSettings settings = m_settings;
    for (const Field& field : m_fields) {
        if (!ParseWholeNumber(field.pEdit->text(), settings.*field.pKey->pField)) {
            CMessageBox::Show(this, QString::asprintf("%s must be a whole number!", field.pKey->szCaption));
            field.pEdit->setFocus();
            field.pEdit->selectAll();
            return;
        }
    }
    const std::string fault = ValidateDepotSettings(settings);
    if (!fault.empty()) {
        CMessageBox::Show(this, QString::fromStdString(fault));
        // The message names the first value outside its limits, in the order shown here.
        for (const Field& field : m_fields) {
            const std::uint32_t nValue = settings.*field.pKey->pField;
            if (nValue < field.pKey->nMin || nValue > field.pKey->nMax) {
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
