#include "shell/ui/MessageBox.h"

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
    if (TheInterceptor()) {
        TheInterceptor()(text);
        return;
    }
    QMessageBox::information(pParent, "ZELDownload", text);
}

void CMessageBox::SetInterceptor(Interceptor interceptor)
{
    TheInterceptor() = std::move(interceptor);
}
