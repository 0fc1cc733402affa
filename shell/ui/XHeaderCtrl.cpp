#include "shell/ui/XHeaderCtrl.h"

#include <QIcon>
#include <QPainter>

CXHeaderCtrl::CXHeaderCtrl(QWidget* pParent) : QHeaderView(Qt::Horizontal, pParent)
{
    setSectionsClickable(false);
    setHighlightSections(false);
}

void CXHeaderCtrl::SetDoubleBorderHeight(bool bOn)
{
    m_bExtraHeight = bOn;
    updateGeometry();
}

QSize CXHeaderCtrl::sizeHint() const
{
    QSize size = QHeaderView::sizeHint();
    if (m_bExtraHeight)
        size.rheight() += 2 * kBorderWidth;
    return size;
}

void CXHeaderCtrl::paintSection(QPainter* pPainter, const QRect& rect, int nSection) const
{
    if (!rect.isValid())
        return;
    const QPalette& pal = palette();
    pPainter->save();
    pPainter->fillRect(rect, pal.color(QPalette::Button));
    // Raised edge: highlight on top and left, shadow on bottom and right.
    pPainter->setPen(pal.color(QPalette::Light));
    pPainter->drawLine(rect.topLeft(), rect.topRight());
    pPainter->drawLine(rect.topLeft(), rect.bottomLeft());
    pPainter->setPen(pal.color(QPalette::Dark));
    pPainter->drawLine(rect.bottomLeft(), rect.bottomRight());
    pPainter->drawLine(rect.topRight(), rect.bottomRight());

    QRect rcContent = rect.adjusted(6, 1, -6, -1);
    const QVariant decoration = model() ? model()->headerData(nSection, orientation(), Qt::DecorationRole)
                                        : QVariant();
    const QIcon icon = decoration.value<QIcon>();
    if (!icon.isNull()) {
        const int nSize = std::min(16, rcContent.height());
        icon.paint(pPainter, QRect(rcContent.left(), rcContent.center().y() - nSize / 2, nSize, nSize));
        rcContent.setLeft(rcContent.left() + nSize + kImageTextGap);
    }
    const QString text = model() ? model()->headerData(nSection, orientation(), Qt::DisplayRole).toString()
                                 : QString();
    const QVariant align = model() ? model()->headerData(nSection, orientation(), Qt::TextAlignmentRole)
                                   : QVariant();
    const Qt::Alignment alignment =
        align.isValid() ? Qt::Alignment(align.toInt()) : Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter);
    pPainter->setPen(pal.color(QPalette::ButtonText));
    pPainter->setFont(font());
    const QString shown = fontMetrics().elidedText(text, Qt::ElideRight, rcContent.width());
    pPainter->drawText(rcContent, int(alignment | Qt::AlignVCenter) | Qt::TextSingleLine, shown);
    pPainter->restore();
}
