#pragma once

#include <QString>

#include <functional>

class QWidget;

// Every message box of the program goes through here, so that window tests can
// see the text instead of a box that blocks them.
class CMessageBox {
public:
    using Interceptor = std::function<void(const QString& text)>;

    // Shows text modally with an OK button ("ZELDownload" caption). Window thread.
    static void Show(QWidget* pParent, const QString& text);

    // While set, Show hands the text to interceptor and shows nothing. Window thread
    // (tests).
    static void SetInterceptor(Interceptor interceptor);
};
