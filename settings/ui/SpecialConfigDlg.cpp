#include "settings/ui/SpecialConfigDlg.h"

#include "settings/WallClock.h"
#include "settings/ui/DialogFields.h"
#include "settings/ui/SpecialItemDlg.h"
#include "shell/ui/MessageBox.h"
#include "shell/ui/WindowThread.h"
#include "store/LocalStore.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

enum Column { kColPlate, kColChan, kColStart, kColStop, kColFileType, kColumnCount };

QString PlateText(const SpecialConfigEntry& entry)
{
    return QString::fromUtf8(entry.szPlate, static_cast<int>(::strnlen(entry.szPlate, sizeof(entry.szPlate))));
}

}  // namespace

QString ListTimeText(std::uint32_t tValue)
{
    std::tm tmFields = SplitWallClock(tValue);
    char szText[32];
    std::strftime(szText, sizeof(szText), "%Y-%m-%d %H:%M:%S", &tmFields);
    return QString::fromLatin1(szText);
}

std::uint32_t ListTimeValue(const QString& text)
{
    QString digits = text;
    digits.remove('-').remove(' ').remove(':');
    return ParseTimeString(digits.toStdString());
}

CSpecialConfigDlg::CSpecialConfigDlg(QWidget* pParent) : QDialog(pParent)
{
    CWindowThread::Check(Q_FUNC_INFO);
    setWindowTitle("Special Configuration");

    m_pList = new QTableWidget(0, kColumnCount, this);
    m_pList->setObjectName("list");
    m_pList->setHorizontalHeaderLabels({"Device Name.", "Chan NO.", "Start time", "Stop time", "DownLoad FileType"});
    const int nWidths[kColumnCount] = {100, 60, 135, 135, 120};
    for (int nCol = 0; nCol < kColumnCount; ++nCol)
        m_pList->setColumnWidth(nCol, nWidths[nCol]);
    m_pList->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_pList->verticalHeader()->hide();
    m_pList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pList->setShowGrid(true);

    auto* pAdd = new QPushButton("ADD", this);
    pAdd->setObjectName("addButton");
    connect(pAdd, &QPushButton::clicked, this, &CSpecialConfigDlg::OnAdd);
    auto* pDel = new QPushButton("DEL", this);
    pDel->setObjectName("delButton");
    connect(pDel, &QPushButton::clicked, this, &CSpecialConfigDlg::OnDel);
    auto* pEdit = new QPushButton("EDIT", this);
    pEdit->setObjectName("editButton");
    connect(pEdit, &QPushButton::clicked, this, &CSpecialConfigDlg::OnEdit);
    for (QPushButton* pButton : {pAdd, pDel, pEdit})
        pButton->setAutoDefault(false);

    m_pEnableCheck = new QCheckBox("Enable special configuration", this);
    m_pEnableCheck->setObjectName("enableCheck");

    auto* pButtons = new QHBoxLayout;
    pButtons->addWidget(m_pEnableCheck);
    pButtons->addStretch(1);
    pButtons->addWidget(pAdd);
    pButtons->addWidget(pDel);
    pButtons->addWidget(pEdit);
    auto* pMain = new QVBoxLayout(this);
    pMain->addWidget(m_pList);
    pMain->addLayout(pButtons);
    resize(600, 360);

    // What the file holds now; the next Start takes what is saved here.
    SpecialConfigTable table;
    int nFlag = 0;
    LoadSpecialConfig(table, nFlag);
    for (const auto& [plate, entry] : table) {
        int nRow = m_pList->rowCount();
        m_pList->insertRow(nRow);
        x_SetRow(nRow, entry);
    }
    m_pEnableCheck->setChecked(nFlag == 1);
}

void CSpecialConfigDlg::closeEvent(QCloseEvent* pEvent)
{
    CWindowThread::Check(Q_FUNC_INFO);
    std::vector<SpecialConfigEntry> entries;
    for (int nRow = 0; nRow < m_pList->rowCount(); ++nRow)
        entries.push_back(x_RowEntry(nRow));
    if (!SaveSpecialConfig(m_pEnableCheck->isChecked() ? 1 : 0, entries)) {
        // Keep the rows on screen rather than lose them silently.
        CMessageBox::Show(this, SaveFailedText());
        pEvent->ignore();
        return;
    }
    pEvent->accept();
    done(QDialog::Accepted);
}

void CSpecialConfigDlg::OnAdd()
{
    CWindowThread::Check(Q_FUNC_INFO);
    if (m_pList->rowCount() >= kMaxRows) {
        CMessageBox::Show(this, "Item count must less than 512!");
        return;
    }
    SpecialConfigEntry entry;
    CopyField(entry.szPlate, sizeof(entry.szPlate), "0000");
    const std::uint32_t tNow = WallClockNow();
    entry.tStart = tNow - 86400;
    entry.tStop = tNow;
    for (;;) {
        CSpecialItemDlg dlg(entry, this);
        if (dlg.exec() != QDialog::Accepted)
            return;
        entry = dlg.GetEntry();
        if (x_FindPlate(entry.szPlate, -1) < 0) {
            int nRow = m_pList->rowCount();
            m_pList->insertRow(nRow);
            x_SetRow(nRow, entry);
            return;
        }
        CMessageBox::Show(this, "Duplicated plate number!");
    }
}

void CSpecialConfigDlg::OnDel()
{
    CWindowThread::Check(Q_FUNC_INFO);
    int nRow = x_FirstSelectedRow();
    if (nRow < 0) {
        CMessageBox::Show(this, "No selected items!");
        return;
    }
    m_pList->removeRow(nRow);
}

void CSpecialConfigDlg::OnEdit()
{
    CWindowThread::Check(Q_FUNC_INFO);
    int nRow = x_FirstSelectedRow();
    if (nRow < 0) {
        CMessageBox::Show(this, "No selected items!");
        return;
    }
    SpecialConfigEntry entry = x_RowEntry(nRow);
    for (;;) {
        CSpecialItemDlg dlg(entry, this);
        if (dlg.exec() != QDialog::Accepted)
            return;
        entry = dlg.GetEntry();
        if (x_FindPlate(entry.szPlate, nRow) < 0) {
            x_SetRow(nRow, entry);
            return;
        }
        CMessageBox::Show(this, "Duplicated plate number!");
    }
}

int CSpecialConfigDlg::x_FirstSelectedRow() const
{
    int nFirst = -1;
    const QModelIndexList rows = m_pList->selectionModel()->selectedRows();
    for (const QModelIndex& index : rows) {
        if (nFirst < 0 || index.row() < nFirst)
            nFirst = index.row();
    }
    return nFirst;
}

int CSpecialConfigDlg::x_FindPlate(const char* szPlate, int nExceptRow) const
{
    const QString plate = QString::fromUtf8(szPlate);
    for (int nRow = 0; nRow < m_pList->rowCount(); ++nRow) {
        if (nRow != nExceptRow && m_pList->item(nRow, kColPlate)->text() == plate)
            return nRow;
    }
    return -1;
}

void CSpecialConfigDlg::x_SetRow(int nRow, const SpecialConfigEntry& entry)
{
    const QStringList& types = FileTypeNames();
    const QString texts[kColumnCount] = {
        PlateText(entry),
        entry.nChan == 0 ? QString("ALL") : QString::number(entry.nChan),
        ListTimeText(entry.tStart),
        ListTimeText(entry.tStop),
        // Read back as 0 whatever it shows; "All Record" says so.
        entry.nFileType < static_cast<std::uint32_t>(types.size()) ? types[static_cast<int>(entry.nFileType)]
                                                                   : types[0],
    };
    for (int nCol = 0; nCol < kColumnCount; ++nCol) {
        QTableWidgetItem* pItem = m_pList->item(nRow, nCol);
        if (pItem == nullptr) {
            pItem = new QTableWidgetItem;
            pItem->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
            m_pList->setItem(nRow, nCol, pItem);
        }
        pItem->setText(texts[nCol]);
    }
}

SpecialConfigEntry CSpecialConfigDlg::x_RowEntry(int nRow) const
{
    SpecialConfigEntry entry;
    CopyField(entry.szPlate, sizeof(entry.szPlate), m_pList->item(nRow, kColPlate)->text().toStdString());
    const QString chan = m_pList->item(nRow, kColChan)->text();
    entry.nChan = chan == "ALL" ? 0 : static_cast<std::uint8_t>(std::atoi(chan.toLatin1().constData()));
    entry.tStart = ListTimeValue(m_pList->item(nRow, kColStart)->text());
    entry.tStop = ListTimeValue(m_pList->item(nRow, kColStop)->text());
    int nType = FileTypeNames().indexOf(m_pList->item(nRow, kColFileType)->text());
    entry.nFileType = nType >= 0 ? static_cast<std::uint32_t>(nType) : 0;
    return entry;
}
