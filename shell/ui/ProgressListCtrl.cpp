#include "shell/ui/ProgressListCtrl.h"

#include "shell/ui/XHeaderCtrl.h"

#include <QAbstractTableModel>
#include <QHeaderView>
#include <QPainter>
#include <QStyledItemDelegate>

#include <algorithm>

const QColor CProgressListCtrl::kWindowColour(214, 211, 206);
const QColor CProgressListCtrl::kCompletedColour(0, 139, 0);

namespace {

constexpr std::size_t kMaxKeyBytes = 31;  // a row's name is read into 32 bytes

// The bytes a row is matched by: its column-0 text as a 31-byte field would hold it.
std::string RowKey(const QString& text)
{
    QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), std::min<std::size_t>(static_cast<std::size_t>(bytes.size()), kMaxKeyBytes));
}

// The custom progress text with its percent filled in ("%d" and "%%" understood).
QString FormatProgressText(const QString& format, int nPercent)
{
    if (format.isEmpty())
        return QString::number(nPercent) + '%';
    QString text;
    for (qsizetype i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size()) {
            if (format[i + 1] == 'd') {
                text += QString::number(nPercent);
                ++i;
                continue;
            }
            if (format[i + 1] == '%') {
                text += '%';
                ++i;
                continue;
            }
        }
        text += format[i];
    }
    return text;
}

} // namespace

class CProgressListCtrl::Model : public QAbstractTableModel {
public:
    struct Column {
        QString heading;
        Qt::Alignment alignment;
    };
    struct Row {
        std::string key;
        std::vector<Cell> cells;
    };

    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
    }
    int columnCount(const QModelIndex& parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : static_cast<int>(m_columns.size());
    }

    QVariant data(const QModelIndex& index, int nRole) const override
    {
        const Cell* pCell = CellAt(index.row(), index.column());
        if (!pCell)
            return QVariant();
        switch (nRole) {
        case Qt::DisplayRole:
            if (pCell->bShowProgress)
                return pCell->barText.isEmpty() ? QVariant(pCell->nPercent) : QVariant(pCell->barText);
            return QVariant(pCell->text);
        case Qt::ToolTipRole:
            return pCell->toolTip.isEmpty() ? QVariant() : QVariant(pCell->toolTip);
        case Qt::TextAlignmentRole:
            return QVariant(int(m_columns[static_cast<std::size_t>(index.column())].alignment));
        default:
            return QVariant();
        }
    }

    QVariant headerData(int nSection, Qt::Orientation orientation, int nRole) const override
    {
        if (orientation != Qt::Horizontal || nSection < 0 || nSection >= columnCount())
            return QVariant();
        const Column& column = m_columns[static_cast<std::size_t>(nSection)];
        if (nRole == Qt::DisplayRole)
            return column.heading;
        if (nRole == Qt::TextAlignmentRole)
            return QVariant(int(column.alignment | Qt::AlignVCenter));
        return QVariant();
    }

    Qt::ItemFlags flags(const QModelIndex& index) const override
    {
        return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
    }

    const Cell* CellAt(int nRow, int nColumn) const
    {
        if (nRow < 0 || nRow >= rowCount() || nColumn < 0 || nColumn >= columnCount())
            return nullptr;
        return &m_rows[static_cast<std::size_t>(nRow)].cells[static_cast<std::size_t>(nColumn)];
    }
    Cell* CellAt(int nRow, int nColumn)
    {
        return const_cast<Cell*>(static_cast<const Model*>(this)->CellAt(nRow, nColumn));
    }

    void AddColumn(int nColumn, const QString& heading, Qt::Alignment alignment)
    {
        nColumn = std::clamp(nColumn, 0, columnCount());
        beginInsertColumns(QModelIndex(), nColumn, nColumn);
        m_columns.insert(m_columns.begin() + nColumn, Column {heading, alignment});
        for (Row& row : m_rows)
            row.cells.insert(row.cells.begin() + nColumn, Cell());
        endInsertColumns();
    }

    int AddRow(int nIndex, const QString& text, int nImage)
    {
        nIndex = std::clamp(nIndex, 0, rowCount());
        Row row;
        row.key = RowKey(text);
        row.cells.resize(m_columns.size());
        if (!row.cells.empty()) {
            row.cells[0].text = text;
            row.cells[0].nImage = nImage;
        }
        beginInsertRows(QModelIndex(), nIndex, nIndex);
        m_rows.insert(m_rows.begin() + nIndex, std::move(row));
        endInsertRows();
        return nIndex;
    }

    void RemoveRow(int nRow)
    {
        if (nRow < 0 || nRow >= rowCount())
            return;
        beginRemoveRows(QModelIndex(), nRow, nRow);
        m_rows.erase(m_rows.begin() + nRow);
        endRemoveRows();
    }

    void Clear()
    {
        beginResetModel();
        m_rows.clear();
        endResetModel();
    }

    void SetText(int nRow, int nColumn, const QString& text)
    {
        Cell* pCell = CellAt(nRow, nColumn);
        if (!pCell || pCell->text == text)
            return;
        pCell->text = text;
        if (nColumn == 0)
            m_rows[static_cast<std::size_t>(nRow)].key = RowKey(text);
        CellChanged(nRow, nColumn);
    }

    // One change signal for exactly one cell, so the view repaints only that cell.
    void CellChanged(int nRow, int nColumn)
    {
        const QModelIndex cell = index(nRow, nColumn);
        emit dataChanged(cell, cell);
    }

    int Find(const QString& name) const
    {
        const std::string key = RowKey(name);
        for (std::size_t i = 0; i < m_rows.size(); ++i)
            if (m_rows[i].key == key)
                return static_cast<int>(i);
        return -1;
    }

    std::vector<Column> m_columns;
    std::vector<Row> m_rows;
};

class CProgressListCtrl::Delegate : public QStyledItemDelegate {
public:
    Delegate(CProgressListCtrl* pList, Model* pModel) : QStyledItemDelegate(pList), m_pList(pList), m_pModel(pModel) {}

    std::vector<QPixmap> m_images;

    void paint(QPainter* pPainter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const Cell* pCell = m_pModel->CellAt(index.row(), index.column());
        if (!pCell)
            return;
        const QPalette& pal = m_pList->palette();
        QColor back = pCell->backColour;
        QColor text = pCell->bEnabled ? pCell->textColour : pal.color(QPalette::Disabled, QPalette::Text);
        if (option.state & QStyle::State_Selected) {
            // Focused: the highlight colours; otherwise the selection stays visible
            // as window text on button face.
            if (m_pList->hasFocus()) {
                back = pal.color(QPalette::Active, QPalette::Highlight);
                text = pal.color(QPalette::Active, QPalette::HighlightedText);
            } else {
                back = pal.color(QPalette::Button);
                text = Qt::black;
            }
        }
        pPainter->save();
        if (pCell->bShowProgress && pCell->barText.isEmpty()) {
            PaintProgress(pPainter, option.rect, *pCell, back, text);
        } else if (pCell->bShowProgress) {
            // The state text stands centred where the bar would be.
            Cell shown = *pCell;
            shown.text = pCell->barText;
            shown.nImage = -1;
            PaintText(pPainter, option, index, shown, back, text, Qt::AlignCenter);
        } else {
            PaintText(pPainter, option, index, *pCell, back, text);
        }
        pPainter->restore();
    }

private:
    void PaintText(QPainter* pPainter, const QStyleOptionViewItem& option, const QModelIndex& index,
                   const Cell& cell, const QColor& back, const QColor& text,
                   Qt::Alignment alignment = Qt::Alignment()) const
    {
        pPainter->fillRect(option.rect, back);
        QRect rc = option.rect.adjusted(2, 0, -2, 0);
        if (cell.nImage >= 0 && cell.nImage < static_cast<int>(m_images.size())) {
            const QPixmap& image = m_images[static_cast<std::size_t>(cell.nImage)];
            pPainter->drawPixmap(rc.left(), rc.top() + (rc.height() - image.height()) / 2, image);
            rc.setLeft(rc.left() + image.width() + 2);
        }
        QFont font = option.font;
        font.setBold(cell.bBold);
        pPainter->setFont(font);
        pPainter->setPen(text);
        if (!alignment)
            alignment = Qt::Alignment(m_pModel->data(index, Qt::TextAlignmentRole).toInt()) | Qt::AlignVCenter;
        const QString shown = QFontMetrics(font).elidedText(cell.text, Qt::ElideRight, rc.width());
        pPainter->drawText(rc, int(alignment) | Qt::TextSingleLine, shown);
    }

    void PaintProgress(QPainter* pPainter, const QRect& rcCell, const Cell& cell, const QColor& back,
                       const QColor& text) const
    {
        const QPalette& pal = m_pList->palette();
        // The cell less one pixel on the left and at the bottom, framed.
        const QRect rc = rcCell.adjusted(1, 0, 0, -1);
        pPainter->fillRect(rc, back);
        pPainter->setPen(back);
        pPainter->drawLine(rc.topLeft(), rc.topRight());
        pPainter->drawLine(rc.topLeft(), rc.bottomLeft());
        pPainter->setPen(pal.color(QPalette::Dark));
        pPainter->drawLine(rc.bottomLeft(), rc.bottomRight());
        pPainter->drawLine(rc.topRight(), rc.bottomRight());

        const QRect rcInner = rc.adjusted(1, 1, -1, -1);
        QRect rcBar = rcInner;
        rcBar.setWidth(rcInner.width() * cell.nPercent / 100);
        if (cell.nPercent > 0) {
            pPainter->fillRect(rcBar, cell.nPercent == 100 ? kCompletedColour
                                                            : pal.color(QPalette::Active, QPalette::Highlight));
        }
        if (!cell.bShowProgressText)
            return;
        const QString label = FormatProgressText(cell.progressText, cell.nPercent);
        const int nFlags = Qt::AlignCenter | Qt::TextSingleLine;
        // The text reads in the highlight-text colour over the bar and in the cell's
        // text colour over the rest.
        pPainter->setClipRect(rcBar);
        pPainter->setPen(pal.color(QPalette::Active, QPalette::HighlightedText));
        pPainter->drawText(rcInner, nFlags, label);
        QRect rcRest = rcInner;
        rcRest.setLeft(rcBar.right() + 1);
        pPainter->setClipRect(rcRest);
        pPainter->setPen(text);
        pPainter->drawText(rcInner, nFlags, label);
    }

    CProgressListCtrl* m_pList;
    Model* m_pModel;
};

CProgressListCtrl::CProgressListCtrl(QWidget* pParent)
    : QTableView(pParent), m_pModel(new Model(this)), m_pHeader(new CXHeaderCtrl(this))
{
    setModel(m_pModel);
    setHorizontalHeader(m_pHeader);
    m_pHeader->setModel(m_pModel);
    m_pHeader->setStretchLastSection(false);
    m_pHeader->setSectionResizeMode(QHeaderView::Interactive);
    setItemDelegate(new Delegate(this, m_pModel));
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(true);
    setWordWrap(false);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setFocusPolicy(Qt::StrongFocus);

    QPalette pal = palette();
    pal.setColor(QPalette::Base, kWindowColour);
    pal.setColor(QPalette::Window, kWindowColour);
    pal.setColor(QPalette::Text, Qt::black);
    setPalette(pal);
}

CProgressListCtrl::~CProgressListCtrl() = default;

void CProgressListCtrl::InsertColumn(int nColumn, const QString& heading, Qt::Alignment alignment, int nWidth)
{
    m_pModel->AddColumn(nColumn, heading, alignment);
    setColumnWidth(std::clamp(nColumn, 0, m_pModel->columnCount() - 1), nWidth);
}

void CProgressListCtrl::SetImageList(const std::vector<QPixmap>& images)
{
    auto* pDelegate = static_cast<Delegate*>(itemDelegate());
    pDelegate->m_images = images;
    int nHeight = fontMetrics().height() + 4;
    for (const QPixmap& image : images)
        nHeight = std::max(nHeight, image.height());
    verticalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setDefaultSectionSize(nHeight);
    viewport()->update();
}

int CProgressListCtrl::InsertItem(int nIndex, const QString& text, int nImage)
{
    return m_pModel->AddRow(nIndex, text, nImage);
}

void CProgressListCtrl::SetItemText(int nRow, int nColumn, const QString& text)
{
    m_pModel->SetText(nRow, nColumn, text);
}

void CProgressListCtrl::SetProgress(int nRow, int nColumn, bool bShowText, const QString& customText)
{
    Cell* pCell = m_pModel->CellAt(nRow, nColumn);
    if (!pCell)
        return;
    pCell->bShowProgress = true;
    pCell->bShowProgressText = bShowText;
    pCell->progressText = customText;
    m_pModel->CellChanged(nRow, nColumn);
}

void CProgressListCtrl::UpdateProgress(int nRow, int nColumn, int nPercent)
{
    Cell* pCell = m_pModel->CellAt(nRow, nColumn);
    if (!pCell)
        return;
    nPercent = std::clamp(nPercent, 0, 100);
    if (pCell->nPercent == nPercent)
        return;
    pCell->nPercent = nPercent;
    m_pModel->CellChanged(nRow, nColumn);
}

void CProgressListCtrl::SetBarText(int nRow, int nColumn, const QString& text)
{
    Cell* pCell = m_pModel->CellAt(nRow, nColumn);
    if (!pCell || pCell->barText == text)
        return;
    pCell->barText = text;
    m_pModel->CellChanged(nRow, nColumn);
}

void CProgressListCtrl::DeleteItem(int nRow)
{
    m_pModel->RemoveRow(nRow);
}

void CProgressListCtrl::DeleteAllItems()
{
    m_pModel->Clear();
}

int CProgressListCtrl::GetItemCount() const
{
    return m_pModel->rowCount();
}

QString CProgressListCtrl::GetItemText(int nRow, int nColumn) const
{
    const Cell* pCell = m_pModel->CellAt(nRow, nColumn);
    return pCell ? pCell->text : QString();
}

const CProgressListCtrl::Cell* CProgressListCtrl::GetCell(int nRow, int nColumn) const
{
    return m_pModel->CellAt(nRow, nColumn);
}

int CProgressListCtrl::FindRow(const QString& name) const
{
    return m_pModel->Find(name);
}
