#pragma once

#include <QFont>
#include <QIcon>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <vector>

// A self-drawn tab window: a strip of tabs with a 3-D outline above (or below) a
// framed page area; each tab shows one page widget. All members: window thread.
class CCoolTabCtrl : public QWidget {
    Q_OBJECT
public:
    // Style bits (the low four bits of the creation style).
    enum Style : unsigned {
        kTabsTop = 1,
        kTabsBottom = 2,
        kEqualWidth = 4,
        kAnimated = 8,
    };
    enum class Border { Single = 1, Double = 2 };

    static constexpr int kStripHeight = 23;
    static constexpr int kPageInset = 2;

    // nStyle: the style bits above; 0 means tabs at the top.
    explicit CCoolTabCtrl(unsigned nStyle = kTabsTop, QWidget* pParent = nullptr);
    ~CCoolTabCtrl() override;

    // The window's font: SimSun, 12 pixels, falling back to an installed CJK font.
    static QFont CreateFont();

    // Appends a page showing pPage (reparented to the tab window). Returns its index.
    int AddPage(QWidget* pPage, const QString& text, const QIcon& icon = QIcon());
    // Shows page nIndex and hides the previous one; out-of-range indices are ignored.
    void SetActivePage(int nIndex);
    int ActivePage() const { return m_nActive; }
    int PageCount() const { return static_cast<int>(m_pages.size()); }
    QWidget* Page(int nIndex) const;
    void SetPageIcon(int nIndex, const QIcon& icon);

    // Adds and removes style bits (position, equal width, animation).
    void ModifyStyle(unsigned nRemove, unsigned nAdd);
    unsigned Style() const { return m_nStyle; }
    void SetBorder(Border border);

    // The area every page is moved to, in this window's coordinates.
    QRect PageRect() const;
    // The tab rectangle of page nIndex (after the last layout).
    QRect TabRect(int nIndex) const;

    // A label cut to fit nSpace pixels: two characters off at a time, at most ten
    // times; if cut at all, two more off and "..." appended. Any thread.
    static QString ShortenLabel(const QString& text, const QFontMetrics& metrics, int nSpace);

protected:
    // Called after the active page changed.
    virtual void OnActivePageChanged(int nIndex);

    void paintEvent(QPaintEvent* pEvent) override;
    void resizeEvent(QResizeEvent* pEvent) override;
    void mousePressEvent(QMouseEvent* pEvent) override;

private:
    struct TabItem {
        QWidget* pWidget;
        QString text;
        QIcon icon;
        QRect rcTab;
    };

    void Layout();
    void DrawTab(QPainter& painter, const TabItem& page, bool bActive) const;
    void DrawFrame(QPainter& painter) const;
    void OnAnimationStep();

    std::vector<TabItem> m_pages;
    int m_nActive = -1;
    unsigned m_nStyle = 2;
    Border m_border = Border::Single;
    QTimer m_animTimer;
    int m_nAnimStep = 0;
};
