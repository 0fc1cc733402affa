#include "shell/ui/DialogButtons.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QPushButton>

QHBoxLayout* NewOkCancelRow(QDialog* pDialog)
{
    auto* pOk = new QPushButton("OK", pDialog);
    pOk->setObjectName("okButton");
    pOk->setDefault(true);
    QObject::connect(pOk, &QPushButton::clicked, pDialog, &QDialog::accept);
    auto* pCancel = new QPushButton("Cancel", pDialog);
    pCancel->setObjectName("cancelButton");
    pCancel->setAutoDefault(false);
    QObject::connect(pCancel, &QPushButton::clicked, pDialog, &QDialog::reject);

    auto* pRow = new QHBoxLayout;
    pRow->addStretch(1);
    pRow->addWidget(pOk);
    pRow->addWidget(pCancel);
    return pRow;
}
