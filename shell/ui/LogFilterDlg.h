#pragma once

#include <QDialog>

#include <string>
#include <vector>

class QCheckBox;
class QLineEdit;
class QTreeWidget;

// The modal "Log Filter" dialog: the online vehicles with a check box each,
// pre-checked as the event log's filter lets them through. Window thread only.
class CLogFilterDlg : public QDialog {
    Q_OBJECT

public:
    // online: the online vehicles' names, in row order.
    explicit CLogFilterDlg(const std::vector<std::string>& online, QWidget* pParent = nullptr);

    // The checked names in row order; after OK, the filter the user chose.
    const std::vector<std::string>& SelectedNames() const { return m_selectedNames; }

public slots:
    // Collects the checked names and ends the dialog.
    void accept() override;

private slots:
    void OnSelectAll(bool bChecked);
    void OnSearch();

private:
    QTreeWidget* m_list;
    std::vector<std::string> m_selectedNames;
    QCheckBox* m_pSelectAll;
    QLineEdit* m_pSearchEdit;
};
