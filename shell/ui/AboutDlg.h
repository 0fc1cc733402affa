#pragma once

#include <QDialog>

// The About box: the application icon, "ZELDownload 1.0 版" and an OK button "确定".
// Window thread.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* pParent = nullptr);
};
