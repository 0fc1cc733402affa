#pragma once

#include <QDialog>

#include <cstdint>
#include <string>
#include <vector>

class CFootageRequests;
class QDateTimeEdit;
class QLineEdit;

// The modal "Request footage" dialog of the Fleet tab: vehicle (preset to the row the
// menu was opened on), channels (empty for all), from, to (the depot's wall clock)
// and reason. OK stores the request, asked by "window"; a request the store refuses
// keeps the dialog open with the reason in a message box. Window thread only.
class CFootageRequestDlg : public QDialog {
    Q_OBJECT

public:
    // tNow presets the window to the ten minutes before it.
    CFootageRequestDlg(CFootageRequests& requests, const std::string& vehicle, std::uint32_t tNow,
                       QWidget* pParent = nullptr);

    // After OK, the new request's id.
    std::int64_t CreatedId() const { return m_nCreated; }

    // "1, 2 3" as channels 1, 2 and 3; false for anything but channel numbers.
    static bool ParseChannels(const QString& text, std::vector<std::uint8_t>& channels);

public slots:
    void accept() override;

private:
    CFootageRequests& m_requests;
    QLineEdit* m_pVehicle;
    QLineEdit* m_pChannels;
    QDateTimeEdit* m_pFrom;
    QDateTimeEdit* m_pTo;
    QLineEdit* m_pReason;
    std::int64_t m_nCreated = 0;
};
