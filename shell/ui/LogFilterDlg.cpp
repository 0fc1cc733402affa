#include "shell/ui/LogFilterDlg.h"

#include "core/Logger.h"
#include "shell/ui/DialogButtons.h"
#include "shell/ui/WindowThread.h"
#include "vehicles/VehicleMgr.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

CLogFilterDlg::CLogFilterDlg(const std::vector<std::string>& names, QWidget* pParent) : QDialog(pParent)
{
    CWindowThread::Check(Q_FUNC_INFO);
    setWindowTitle("Log Filter");

    m_list = new QTreeWidget(this);
    m_list->setObjectName("list");
    m_list->setColumnCount(1);
    m_list->setHeaderLabels({"Device"});
    m_list->setHeaderHidden(true);
    m_list->header()->setStretchLastSection(true);
    m_list->setRootIsDecorated(false);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);

    m_pSelectAll = new QCheckBox("Select All", this);
    m_pSelectAll->setObjectName("selectAllCheck");
    connect(m_pSelectAll, &QCheckBox::clicked, this, &CLogFilterDlg::OnSelectAll);

    m_pSearchEdit = new QLineEdit(this);
    m_pSearchEdit->setObjectName("searchEdit");
    auto* pSearch = new QPushButton("Search", this);
    pSearch->setObjectName("searchButton");
    pSearch->setAutoDefault(false);
    connect(pSearch, &QPushButton::clicked, this, &CLogFilterDlg::OnSearch);

    auto* pSearchRow = new QHBoxLayout;
    pSearchRow->addWidget(m_pSearchEdit, 1);
    pSearchRow->addWidget(pSearch);
    QHBoxLayout* pButtons = NewOkCancelRow(this);
    auto* pMain = new QVBoxLayout(this);
    pMain->addWidget(new QLabel("Select which vehicle to print log.", this));
    pMain->addWidget(m_list, 1);
    pMain->addWidget(m_pSelectAll);
    pMain->addLayout(pSearchRow);
    pMain->addLayout(pButtons);
    resize(270, 310);

    m_selectedNames.clear();
    for (const std::string& name : names) {
        auto* pItem = new QTreeWidgetItem(m_list, {QString::fromStdString(name)});
        pItem->setFlags(pItem->flags() | Qt::ItemIsUserCheckable);
        const bool bLogged = CLogger::Instance().IsLogged(name.c_str());
        pItem->setCheckState(0, bLogged ? Qt::Checked : Qt::Unchecked);
        if (bLogged)
            m_selectedNames.push_back(name);
    }
}

void CLogFilterDlg::accept()
{
    CWindowThread::Check(Q_FUNC_INFO);
    m_selectedNames.clear();
    for (int nRow = 0; nRow < m_list->topLevelItemCount(); ++nRow) {
        QTreeWidgetItem* pItem = m_list->topLevelItem(nRow);
        if (pItem->checkState(0) == Qt::Checked)
            m_selectedNames.push_back(pItem->text(0).toStdString());
    }
    QDialog::accept();
}

void CLogFilterDlg::OnSelectAll(bool bChecked)
{
    CWindowThread::Check(Q_FUNC_INFO);
    for (int nRow = 0; nRow < m_list->topLevelItemCount(); ++nRow)
        m_list->topLevelItem(nRow)->setCheckState(0, bChecked ? Qt::Checked : Qt::Unchecked);
}

void CLogFilterDlg::OnSearch()
{
    CWindowThread::Check(Q_FUNC_INFO);
    const QString text = m_pSearchEdit->text();
    for (int nRow = 0; nRow < m_list->topLevelItemCount(); ++nRow) {
        QTreeWidgetItem* pItem = m_list->topLevelItem(nRow);
        if (pItem->text(0) == text) {
            m_list->setCurrentItem(pItem);
            m_list->scrollToItem(pItem, QAbstractItemView::EnsureVisible);
            return;
        }
    }
}
