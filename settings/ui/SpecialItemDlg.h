#pragma once

#include "settings/Settings.h"

#include <QDialog>

class QComboBox;
class QDateEdit;
class QLineEdit;
class QTimeEdit;

// The modal editor of one special configuration entry. Window thread only.
class CSpecialItemDlg : public QDialog {
    Q_OBJECT

public:
    CSpecialItemDlg(const SpecialConfigEntry& entry, QWidget* pParent = nullptr);

    // The edited entry (after an OK result).
    const SpecialConfigEntry& GetEntry() const { return m_entry; }

public slots:
    // Takes the fields; stays open when the span is empty.
    void accept() override;

private:
    SpecialConfigEntry m_entry;

    QLineEdit* m_pPlateEdit;
    QComboBox* m_pChanCombo;
    QDateEdit* m_pStartDate;
    QTimeEdit* m_pStartTime;
    QDateEdit* m_pStopDate;
    QTimeEdit* m_pStopTime;
    QComboBox* m_pFileTypeCombo;
};
