#include "shell/ui/MessageBox.h"

#include "shell/ui/WindowThread.h"

#include <QMessageBox>

namespace {

CMessageBox::Interceptor& TheInterceptor()
{
    static CMessageBox::Interceptor s_interceptor;
    return s_interceptor;
}

} // namespace

void CMessageBox::Show(QWidget* pParent, const QString& text)
{
    CWindowThread::Check(Q_FUNC_INFO);
    if (TheInterceptor()) {
        TheInterceptor()(text);
        return;
    }
    QMessageBox::information(pParent, "ZELDownload", text);
}

void CMessageBox::SetInterceptor(Interceptor interceptor)
{
    CWindowThread::Check(Q_FUNC_INFO);
    TheInterceptor() = std::move(interceptor);
}
