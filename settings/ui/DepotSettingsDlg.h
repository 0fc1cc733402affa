#pragma once

#include "settings/DepotSettings.h"

#include <QDialog>

#include <vector>

class QLineEdit;

// The modal "Depot settings" dialog: every depot key, one row each in the order of
// DepotKeys() (rolling window, transfer limit, retention, vehicle limit, log size).
// Opens with what the settings file holds and writes it back on OK. Window thread
// only.
class CDepotSettingsDlg : public QDialog {
    Q_OBJECT

public:
    explicit CDepotSettingsDlg(QWidget* pParent = nullptr);

    // The values shown at opening, or after an OK result those saved.
    const DepotSettings& GetSettings() const { return m_settings; }

public slots:
    // Reads and checks every field, saves and ends the dialog; stays open, with the
    // focus on the field at fault, on a refused value or when the file cannot be
    // written.
    void accept() override;

private:
    struct Field {
        const DepotKey* pKey;
        QLineEdit* pEdit;
    };

    DepotSettings m_settings;
    std::vector<Field> m_fields;
};
