#pragma once

#include <QTableWidget>

#include <cstdint>

class CFootageRequests;

// The footage requests under the Fleet tab's vehicles, newest first: id, vehicle,
// channels, window, state (with its reasons in the tool tip), recordings, who asked.
// Window thread only.
class CFootageRequestList : public QTableWidget {
    Q_OBJECT
public:
    enum Column { kColId, kColVehicle, kColChannels, kColWindow, kColState, kColRecordings, kColBy, kColumnCount };
    static constexpr std::size_t kRowsShown = 100;

    explicit CFootageRequestList(QWidget* pParent = nullptr);

    // Reloads the rows when the store changed since the last call (or never was).
    void Refresh(const CFootageRequests& requests);

private:
    std::uint64_t m_nVersion = 0;
    bool m_bShown = false;
};
