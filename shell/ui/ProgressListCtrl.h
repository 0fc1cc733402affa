#pragma once

#include <QColor>
#include <QPixmap>
#include <QString>
#include <QTableView>

#include <string>
#include <vector>

class CXHeaderCtrl;
class QAbstractTableModel;

// A report list whose cells it draws itself, any of which may be a progress bar
// (the online vehicle list). A progress update repaints only its own cell.
// All members: window thread.
class CProgressListCtrl : public QTableView {
    Q_OBJECT
public:
    // What the list keeps for every cell.
    struct Cell {
        QString text;
        bool bEnabled = true;                       // false: gray text
        bool bBold = false;
        int nImage = -1;                            // index into the image list, -1 none
        QString toolTip;
        QColor textColour = Qt::black;
        QColor backColour = QColor(214, 211, 206);
        bool bShowProgress = false;                 // the cell is a progress bar
        int nPercent = 0;                           // 0 to 100
        QString progressText;                       // printf format of the percent; empty "%d%%"
        bool bShowProgressText = false;
        QString barText;                            // non-empty: shown in place of the bar
    };

    static const QColor kWindowColour;     // RGB(214, 211, 206)
    static const QColor kCompletedColour;  // RGB(0, 139, 0), a bar at 100

    explicit CProgressListCtrl(QWidget* pParent = nullptr);
    ~CProgressListCtrl() override;

    // Appends a column; nWidth in pixels.
    void InsertColumn(int nColumn, const QString& heading, Qt::Alignment alignment, int nWidth);
    // Images shown before a cell's text; rows become as high as the images.
    void SetImageList(const std::vector<QPixmap>& images);

    // Inserts a row (nIndex past the end appends) with text and image in column 0.
    // Returns its index.
    int InsertItem(int nIndex, const QString& text, int nImage = -1);
    void SetItemText(int nRow, int nColumn, const QString& text);
    // Makes a cell a progress bar, with its percentage text shown when bShowText;
    // customText (a printf format of the percent) replaces "%d%%".
    void SetProgress(int nRow, int nColumn, bool bShowText, const QString& customText = QString());
    // Sets the percentage (cut to 0..100) of a progress cell and repaints that cell.
    void UpdateProgress(int nRow, int nColumn, int nPercent);
    // Shows text in a progress cell instead of its bar (a state, not a percentage);
    // an empty text brings the bar back. The percentage goes on updating underneath.
    void SetBarText(int nRow, int nColumn, const QString& text);
    void DeleteItem(int nRow);
    void DeleteAllItems();

    int GetItemCount() const;
    QString GetItemText(int nRow, int nColumn) const;
    // The cell record, or null out of range.
    const Cell* GetCell(int nRow, int nColumn) const;

    // The first row whose column-0 text, read as at most 31 bytes (UTF-8), equals
    // name read the same way, byte for byte; -1 when none does.
    int FindRow(const QString& name) const;

    CXHeaderCtrl* Header() const { return m_pHeader; }

private:
    class Model;
    class Delegate;

    Model* m_pModel;
    CXHeaderCtrl* m_pHeader;
};
