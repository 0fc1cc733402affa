#include "shell/ui/AboutDlg.h"

#include "resources/Artwork.h"
#include "shell/ui/WindowThread.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

CAboutDlg::CAboutDlg(QWidget* pParent) : QDialog(pParent)
{
    CWindowThread::Check(Q_FUNC_INFO);
    setWindowTitle(QString::fromUtf8("关于 ZELDownload"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    auto* pIcon = new QLabel(this);
    pIcon->setPixmap(CArtwork::AppIcon().pixmap(32, 32));
    auto* pText = new QLabel(QString::fromUtf8("ZELDownload 1.0 版"), this);
    pText->setObjectName("aboutText");
    auto* pOk = new QPushButton(QString::fromUtf8("确定"), this);
    pOk->setObjectName("aboutOk");
    pOk->setDefault(true);
    connect(pOk, &QPushButton::clicked, this, &QDialog::accept);

    auto* pRow = new QHBoxLayout;
    pRow->addWidget(pIcon);
    pRow->addSpacing(12);
    pRow->addWidget(pText, 1);
    pRow->addSpacing(12);
    pRow->addWidget(pOk, 0, Qt::AlignTop);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addLayout(pRow);
    pLayout->setContentsMargins(14, 14, 14, 14);
    setFixedSize(sizeHint());
}
