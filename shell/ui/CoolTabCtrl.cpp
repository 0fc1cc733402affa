#include "shell/ui/CoolTabCtrl.h"

#include <QMouseEvent>
#include <QPainter>

namespace {

constexpr int kAnimSteps = 10;
constexpr int kAnimPeriodMs = 15;
constexpr int kIconSize = 16;

} // namespace

CCoolTabCtrl::CCoolTabCtrl(unsigned nStyle, QWidget* pParent) : QWidget(pParent)
{
    m_nStyle = (nStyle & 0x0F) ? (nStyle & 0x0F) : kTabsTop;
    setFont(CreateFont());
    // The classic 3-D face: the white and black edges of the outline need a face
    // darker than the near-white of today's styles to be seen.
    QPalette pal = palette();
    pal.setColor(QPalette::Button, QColor(212, 208, 200));
    pal.setColor(QPalette::Dark, QColor(128, 128, 128));
    pal.setColor(QPalette::ButtonText, Qt::black);
    setPalette(pal);
    setAutoFillBackground(true);
    setCursor(Qt::ArrowCursor);
    m_animTimer.setInterval(kAnimPeriodMs);
    connect(&m_animTimer, &QTimer::timeout, this, [this] { OnAnimationStep(); });
}

CCoolTabCtrl::~CCoolTabCtrl() = default;

QFont CCoolTabCtrl::CreateFont()
{
    QFont font;
    // SimSun where it is installed; otherwise a CJK font the system has, so the
    // Chinese texts still show.
    font.setFamilies({"SimSun", QString::fromUtf8("宋体"), "WenQuanYi Zen Hei", "Noto Sans CJK SC",
                      "AR PL UMing CN"});
    font.setPixelSize(12);
    font.setWeight(QFont::Normal);
    return font;
}

int CCoolTabCtrl::AddPage(QWidget* pPage, const QString& text, const QIcon& icon)
{
    pPage->setParent(this);
    pPage->hide();
    m_pages.push_back(TabItem {pPage, text, icon, QRect()});
    Layout();
    update();
    return PageCount() - 1;
}

QWidget* CCoolTabCtrl::Page(int nIndex) const
{
    if (nIndex < 0 || nIndex >= PageCount())
        return nullptr;
    return m_pages[static_cast<std::size_t>(nIndex)].pWidget;
}

void CCoolTabCtrl::SetPageIcon(int nIndex, const QIcon& icon)
{
    if (nIndex < 0 || nIndex >= PageCount())
        return;
    m_pages[static_cast<std::size_t>(nIndex)].icon = icon;
    Layout();
    update();
}

void CCoolTabCtrl::SetActivePage(int nIndex)
{
    if (nIndex < 0 || nIndex >= PageCount() || nIndex == m_nActive)
        return;
    if (QWidget* pOld = Page(m_nActive))
        pOld->hide();
    m_nActive = nIndex;
    QWidget* pNew = Page(nIndex);
    Layout();
    if ((m_nStyle & kAnimated) && isVisible()) {
        // Slides in from the right edge of the page area.
        m_nAnimStep = 0;
        QRect rc = PageRect();
        pNew->move(rc.right(), rc.top());
        m_animTimer.start();
    }
    pNew->show();
    OnActivePageChanged(nIndex);
    update();
}

void CCoolTabCtrl::OnAnimationStep()
{
    QWidget* pPage = Page(m_nActive);
    QRect rc = PageRect();
    if (!pPage || ++m_nAnimStep >= kAnimSteps) {
        m_animTimer.stop();
        if (pPage)
            pPage->setGeometry(rc);
        return;
    }
    pPage->move(rc.left() + rc.width() * (kAnimSteps - m_nAnimStep) / kAnimSteps, rc.top());
}

void CCoolTabCtrl::OnActivePageChanged(int) {}

void CCoolTabCtrl::ModifyStyle(unsigned nRemove, unsigned nAdd)
{
    m_nStyle = (m_nStyle & ~nRemove) | (nAdd & 0x0F);
    if (!(m_nStyle & (kTabsTop | kTabsBottom)))
        m_nStyle |= kTabsTop;
    Layout();
    update();
}

void CCoolTabCtrl::SetBorder(Border border)
{
    m_border = border;
    update();
}

QRect CCoolTabCtrl::PageRect() const
{
    QRect rc = rect().adjusted(kPageInset, kPageInset, -kPageInset, -kPageInset);
    if (m_nStyle & kTabsBottom)
        rc.setBottom(rc.bottom() - kStripHeight);
    else
        rc.setTop(rc.top() + kStripHeight);
    return rc;
}

QRect CCoolTabCtrl::TabRect(int nIndex) const
{
    if (nIndex < 0 || nIndex >= PageCount())
        return QRect();
    return m_pages[static_cast<std::size_t>(nIndex)].rcTab;
}

void CCoolTabCtrl::Layout()
{
    const QRect rcPage = PageRect();
    for (TabItem& page : m_pages)
        if (!m_animTimer.isActive() || page.pWidget != Page(m_nActive))
            page.pWidget->setGeometry(rcPage);

    if (m_pages.empty())
        return;
    const int nStrip = width();
    const int nCount = PageCount();
    const QFontMetrics metrics(font());
    std::vector<int> widths;
    int nTotal = 0;
    for (const TabItem& page : m_pages) {
        int nWidth = metrics.horizontalAdvance(page.text) + 9 + (page.icon.isNull() ? 0 : 18);
        if (m_nStyle & kEqualWidth)
            nWidth = nStrip / nCount;
        widths.push_back(nWidth);
        nTotal += nWidth;
    }
    if (nTotal > nStrip)
        for (int& nWidth : widths)
            nWidth = std::min(nWidth, nStrip / nCount);

    // Tabs stand on the page frame: the strip lies just above (or below) it.
    const int nTop = (m_nStyle & kTabsBottom) ? height() - kStripHeight : 0;
    int nLeft = 0;
    for (std::size_t i = 0; i < m_pages.size(); ++i) {
        m_pages[i].rcTab = QRect(nLeft, nTop, widths[i], kStripHeight);
        nLeft += widths[i];
    }
}

QString CCoolTabCtrl::ShortenLabel(const QString& text, const QFontMetrics& metrics, int nSpace)
{
    QString label = text;
    bool bCut = false;
    for (int i = 0; i < 10 && metrics.horizontalAdvance(label) > nSpace && !label.isEmpty(); ++i) {
        label.chop(2);
        bCut = true;
    }
    if (bCut) {
        label.chop(2);
        label += "...";
    }
    return label;
}

void CCoolTabCtrl::resizeEvent(QResizeEvent* pEvent)
{
    QWidget::resizeEvent(pEvent);
    Layout();
}

void CCoolTabCtrl::mousePressEvent(QMouseEvent* pEvent)
{
    for (int i = 0; i < PageCount(); ++i) {
        if (TabRect(i).contains(pEvent->position().toPoint())) {
            SetActivePage(i);
            return;
        }
    }
    QWidget::mousePressEvent(pEvent);
}

void CCoolTabCtrl::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Button));
    DrawFrame(painter);
    const bool bBottom = m_nStyle & kTabsBottom;
    if (bBottom) {
        // The outline of a bottom tab is the top one turned upside down.
        painter.translate(0, height() - 1);
        painter.scale(1, -1);
        painter.translate(0, -(height() - kStripHeight));
    }
    // Inactive tabs first, so the active one covers the frame line below it.
    for (int i = 0; i < PageCount(); ++i)
        if (i != m_nActive)
            DrawTab(painter, m_pages[static_cast<std::size_t>(i)], false);
    if (m_nActive >= 0)
        DrawTab(painter, m_pages[static_cast<std::size_t>(m_nActive)], true);
}

void CCoolTabCtrl::DrawFrame(QPainter& painter) const
{
    QRect rc = rect();
    if (m_nStyle & kTabsBottom)
        rc.setBottom(rc.bottom() - kStripHeight);
    else
        rc.setTop(kStripHeight);
    const QPalette& pal = palette();
    auto frame = [&](const QRect& r, const QColor& topLeft, const QColor& bottomRight) {
        painter.setPen(topLeft);
        painter.drawLine(r.topLeft(), r.topRight());
        painter.drawLine(r.topLeft(), r.bottomLeft());
        painter.setPen(bottomRight);
        painter.drawLine(r.bottomLeft(), r.bottomRight());
        painter.drawLine(r.topRight(), r.bottomRight());
    };
    frame(rc, Qt::white, Qt::black);
    if (m_border == Border::Double)
        frame(rc.adjusted(1, 1, -1, -1), pal.color(QPalette::Button), pal.color(QPalette::Dark));
}

void CCoolTabCtrl::DrawTab(QPainter& painter, const TabItem& page, bool bActive) const
{
    const QRect& rc = page.rcTab;
    const int l = rc.left();
    const int r = rc.left() + rc.width() - 1;
    const int b = rc.top() + rc.height();
    // Inactive tabs stand two pixels lower.
    const int t = rc.top() + (bActive ? 0 : 2);
    const QPalette& pal = palette();
    const bool bBottom = m_nStyle & kTabsBottom;

    if (bActive)
        painter.fillRect(QRect(QPoint(l, t), QPoint(r, b)), pal.color(QPalette::Button));
    else
        painter.fillRect(QRect(QPoint(l, t), QPoint(r, b - 1)), pal.color(QPalette::Button));

    painter.setPen(Qt::white);
    painter.drawPolyline(QPolygon({QPoint(l, b), QPoint(l, t + 2), QPoint(l + 2, t), QPoint(r, t)}));
    painter.setPen(pal.color(QPalette::Dark));
    painter.drawLine(r - 1, t, r - 1, b);
    painter.setPen(Qt::black);
    painter.drawLine(r, t + 1, r, b);

    int nStart = l + 5;
    const int nEnd = r - 2;
    // Icon and text are drawn upright even when the outline is turned over.
    auto upright = [&](int y, int h) {
        return bBottom ? height() - kStripHeight + (kStripHeight - (y - rc.top()) - h) : y;
    };
    painter.save();
    if (bBottom)
        painter.resetTransform();
    if (nEnd - nStart > kIconSize && !page.icon.isNull()) {
        page.icon.paint(&painter, QRect(nStart, upright(t + 3, kIconSize), kIconSize, kIconSize));
        nStart += 18;
    }
    const int nSpace = nEnd - nStart;
    if (nSpace > 0) {
        const QFontMetrics metrics(font());
        const QString label = ShortenLabel(page.text, metrics, nSpace);
        painter.setPen(pal.color(QPalette::ButtonText));
        painter.setBackgroundMode(Qt::TransparentMode);
        painter.drawText(QRect(nStart, upright(t + 5, metrics.height()), nSpace, metrics.height()),
                         Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, label);
    }
    painter.restore();
}
