#pragma once

#include "settings/Settings.h"

#include <QDialog>
#include <QString>

#include <cstdint>

class QCheckBox;
class QCloseEvent;
class QTableWidget;

// The modal "Special Configuration" list: one row per vehicle entry, edited in place
// and written to the settings file when the window is closed (Escape leaves without
// saving). Window thread only.
class CSpecialConfigDlg : public QDialog {
    Q_OBJECT

public:
    static constexpr int kMaxRows = 512;

    // Fills the list from the process-wide table and flag.
    explicit CSpecialConfigDlg(QWidget* pParent = nullptr);

protected:
    // Saves the rows and reloads the process-wide table; stays open when the settings
    // file cannot be written.
    void closeEvent(QCloseEvent* pEvent) override;

private slots:
    void OnAdd();
    void OnDel();
    void OnEdit();

private:
    // The lowest selected row, or -1.
    int x_FirstSelectedRow() const;
    // A row other than nExceptRow whose plate is szPlate, or -1.
    int x_FindPlate(const char* szPlate, int nExceptRow) const;
    void x_SetRow(int nRow, const SpecialConfigEntry& entry);
    SpecialConfigEntry x_RowEntry(int nRow) const;

    QTableWidget* m_pList;
    QCheckBox* m_pEnableCheck;
};

// A time as the list shows it: "%Y-%m-%d %H:%M:%S" of the UTC breakdown. Any thread.
QString ListTimeText(std::uint32_t tValue);

// The wall-clock value of a list time text ("-", " " and ":" dropped, 14 digits
// left). Any thread.
std::uint32_t ListTimeValue(const QString& text);
