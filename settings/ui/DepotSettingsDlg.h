#pragma once

#include "settings/DepotSettings.h"

#include <QDialog>

#include <cstdint>

class QLineEdit;

// The modal "Depot settings" dialog: the rolling window, the transfer limit and the
// two retention limits of an unattended depot. Opens with what the settings file
// holds and writes it back on OK. Window thread only.
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
        const char* szCaption;
        std::uint32_t DepotSettings::*pValue;
        std::uint32_t nMax;
        QLineEdit* pEdit;
    };

    DepotSettings m_settings;
    Field m_fields[4];
};
