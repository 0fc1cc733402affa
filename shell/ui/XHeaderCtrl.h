#pragma once

#include <QHeaderView>

// The online list's header: draws its own sections in the 3-D colours (button face
// fill, highlight and shadow edges, button text), 6 pixels between a section's
// image and its text, and can be made two border widths taller. Window thread.
class CXHeaderCtrl : public QHeaderView {
    Q_OBJECT
public:
    static constexpr int kImageTextGap = 6;
    static constexpr int kBorderWidth = 2;

    explicit CXHeaderCtrl(QWidget* pParent = nullptr);

    // Adds (or removes) two border widths to the header's height.
    void SetDoubleBorderHeight(bool bOn);

    QSize sizeHint() const override;

protected:
    void paintSection(QPainter* pPainter, const QRect& rect, int nSection) const override;

private:
    bool m_bExtraHeight = true;
};
