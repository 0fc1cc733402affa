#include "settings/ui/SpecialItemDlg.h"

#include "settings/ui/DialogFields.h"
#include "shell/ui/DialogButtons.h"
#include "shell/ui/MessageBox.h"
#include "shell/ui/WindowThread.h"

#include <QComboBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimeEdit>
#include <QVBoxLayout>

#include <cstring>

namespace {

constexpr int kMaxChannel = 12;  // channels offered besides "ALL"

}  // namespace

CSpecialItemDlg::CSpecialItemDlg(const SpecialConfigEntry& entry, QWidget* pParent)
    : QDialog(pParent), m_entry(entry)
{
    CWindowThread::Check(Q_FUNC_INFO);
    setWindowTitle("Special Configuration Item");

    m_pPlateEdit = new QLineEdit(this);
    m_pPlateEdit->setObjectName("plateEdit");
    // The record holds 31 bytes; a longer text would be cut behind the user's back.
    m_pPlateEdit->setMaxLength(static_cast<int>(sizeof(m_entry.szPlate)) - 1);
    m_pPlateEdit->setText(
        QString::fromUtf8(entry.szPlate, static_cast<int>(::strnlen(entry.szPlate, sizeof(entry.szPlate)))));

    m_pChanCombo = new QComboBox(this);
    m_pChanCombo->setObjectName("chanCombo");
    m_pChanCombo->addItem("ALL");
    for (int nChan = 1; nChan <= kMaxChannel; ++nChan)
        m_pChanCombo->addItem(QString::number(nChan));
    // Index = channel; a channel beyond the list (hand-edited file) selects nothing.
    m_pChanCombo->setCurrentIndex(entry.nChan <= kMaxChannel ? entry.nChan : -1);

    const SpanPickers span = NewSpanPickers(this, entry.tStart, entry.tStop);
    m_pStartDate = span.pStartDate;
    m_pStartTime = span.pStartTime;
    m_pStopDate = span.pStopDate;
    m_pStopTime = span.pStopTime;
    m_pFileTypeCombo = NewFileTypeCombo(this, entry.nFileType);

    auto* pGrid = new QGridLayout;
    pGrid->addWidget(new QLabel("Device Name:", this), 0, 0);
    pGrid->addWidget(m_pPlateEdit, 0, 1, 1, 2);
    pGrid->addWidget(new QLabel("Chan NO.", this), 1, 0);
    pGrid->addWidget(m_pChanCombo, 1, 1, 1, 2);
    pGrid->addWidget(new QLabel("Starting Time:", this), 2, 0);
    pGrid->addWidget(m_pStartDate, 2, 1);
    pGrid->addWidget(m_pStartTime, 2, 2);
    pGrid->addWidget(new QLabel("Ending Time:", this), 3, 0);
    pGrid->addWidget(m_pStopDate, 3, 1);
    pGrid->addWidget(m_pStopTime, 3, 2);
    pGrid->addWidget(new QLabel("FileType:", this), 4, 0);
    pGrid->addWidget(m_pFileTypeCombo, 4, 1, 1, 2);

    QHBoxLayout* pButtons = NewOkCancelRow(this);

    auto* pMain = new QVBoxLayout(this);
    pMain->addLayout(pGrid);
    pMain->addLayout(pButtons);
}

void CSpecialItemDlg::accept()
{
    CWindowThread::Check(Q_FUNC_INFO);
    CopyField(m_entry.szPlate, sizeof(m_entry.szPlate), m_pPlateEdit->text().toStdString());
    if (m_pChanCombo->currentIndex() >= 0)
        m_entry.nChan = static_cast<std::uint8_t>(m_pChanCombo->currentIndex());
    m_entry.tStart = ReadPickers(m_pStartDate, m_pStartTime);
    m_entry.tStop = ReadPickers(m_pStopDate, m_pStopTime);
    if (m_entry.tStart >= m_entry.tStop) {
        CMessageBox::Show(this, "Stop time must be larger than start time");
        return;
    }
    if (m_pFileTypeCombo->currentIndex() >= 0)
        m_entry.nFileType = static_cast<std::uint32_t>(m_pFileTypeCombo->currentIndex());
    QDialog::accept();
}
