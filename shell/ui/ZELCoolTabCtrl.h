#pragma once

#include "shell/ui/CoolTabCtrl.h"
#include "shell/ui/NotifyBridge.h"

#include <cstdint>

class CFleetHistory;
class CFleetView;
class CFootageRequestList;
class CFootageRequests;
class CNotifyCenter;
class CProgressListCtrl;
class QTableWidget;

// The main window's tab window: page "Online DVR" (the online vehicles with their
// progress and speed), page "Active log" (the on-screen event log) and page "Fleet"
// (every vehicle of the fleet history, with the footage requests below it). It is the observer of the notification
// center and turns its events into list changes.
class CZELCoolTabCtrl : public CCoolTabCtrl {
    Q_OBJECT
public:
    static constexpr int kLogRowLimit = 500;  // one more row than this is kept
    static const QColor kLogTextColour;       // RGB(0, 0, 255)

    // The text the Active log's Time column is made wide enough for.
    static constexpr const char* kWidestTime = "2026-12-07 23:59:59";

    // Builds the pages for a tab window of the given size (column widths follow
    // from it) and registers with center; the Fleet page shows history and, when
    // given, the footage requests, which its context menu adds to. Window thread.
    CZELCoolTabCtrl(const QSize& size, CNotifyCenter& center, CFleetHistory& history, QWidget* pParent = nullptr,
                    CFootageRequests* pRequests = nullptr);
    // Stops the center first: it has no way to unregister an observer. Window thread.
    ~CZELCoolTabCtrl() override;

    // Handles one notification event: NOTIFY_LOG (payload text, up to 1024 bytes,
    // its NUL optional) or a VehicleEvent for NOTIFY_VEHICLE, NOTIFY_SPEED,
    // NOTIFY_PROGRESS and NOTIFY_WAITING (1: "waiting" replaces the progress bar
    // until a 0); other kinds are ignored. Window thread.
    void OnNotifyEvent(std::uint32_t nKind, const void* pPayload);

    // Deletes every row of the Active log; log.txt is untouched. Window thread.
    void ClearLog();

    // Window thread.
    CProgressListCtrl* OnlineList() const { return m_pOnline; }
    QTableWidget* LogList() const { return m_pLog; }
    CFleetView* FleetView() const { return m_pFleet; }
    // Null without a request store.
    CFootageRequestList* RequestList() const { return m_pRequestList; }
    // Brings the request list up to the store. Window thread (timer).
    void RefreshRequests();
    CNotifyCenter& Center() const { return m_center; }

private:
    void AddLogEntry(const QString& text);

    CNotifyCenter& m_center;
    CNotifyBridge m_bridge;
    CProgressListCtrl* m_pOnline = nullptr;
    QTableWidget* m_pLog = nullptr;
    CFleetView* m_pFleet = nullptr;
    CFootageRequests* m_pRequests = nullptr;
    CFootageRequestList* m_pRequestList = nullptr;
};
