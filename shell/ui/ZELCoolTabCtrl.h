#pragma once

#include "shell/ui/CoolTabCtrl.h"
#include "shell/ui/NotifyBridge.h"

#include <cstdint>

class CNotifyCenter;
class CProgressListCtrl;
class QTableWidget;

// The main window's tab window: page "Online DVR" (the online vehicles with their
// progress and speed) and page "Active log" (the on-screen event log). It is the
// observer of the notification center and turns its events into list changes.
class CZELCoolTabCtrl : public CCoolTabCtrl {
    Q_OBJECT
public:
    static constexpr int kLogRowLimit = 500;  // one more row than this is kept
    static const QColor kLogTextColour;       // RGB(0, 0, 255)

    // Builds both pages for a tab window of the given size (column widths follow
    // from it) and registers with center. Window thread.
    CZELCoolTabCtrl(const QSize& size, QWidget* pParent = nullptr);
    CZELCoolTabCtrl(const QSize& size, CNotifyCenter& center, QWidget* pParent = nullptr);
    // Stops the center first: it has no way to unregister an observer. Window thread.
    ~CZELCoolTabCtrl() override;

    // Handles one notification event: NOTIFY_LOG (payload text, up to 1024 bytes,
    // its NUL optional) or a VehicleEvent for NOTIFY_VEHICLE, NOTIFY_SPEED and
    // NOTIFY_PROGRESS; other kinds are ignored. Window thread.
    void OnNotifyEvent(std::uint32_t nKind, const void* pPayload);

    // Deletes every row of the Active log; log.txt is untouched. Window thread.
    void ClearLog();

    // Window thread.
    CProgressListCtrl* OnlineList() const { return m_pOnline; }
    QTableWidget* LogList() const { return m_pLog; }
    CNotifyCenter& Center() const { return m_center; }

private:
    void AddLogEntry(const QString& text);

    CNotifyCenter& m_center;
    CNotifyBridge m_bridge;
    CProgressListCtrl* m_pOnline = nullptr;
    QTableWidget* m_pLog = nullptr;
};
