#pragma once

#include <QTableView>

#include <cstdint>
#include <string>
#include <vector>

class CFleetHistory;
class CFleetModel;
class CFootageRequests;
class QMenu;
class QSortFilterProxyModel;

// The Fleet tab: every vehicle the fleet history knows, with its status, its last
// complete offload, today's downloads, what is still pending on its recorder and the
// recordings it could not be offloaded of (listed in that column's tool tip).
// Vehicles that need attention stand out. Sorts by a click on a column header. Its
// context menu asks for a vehicle's footage ("Request footage...").
// All members: window thread.
class CFleetView : public QTableView {
    Q_OBJECT
public:
    explicit CFleetView(CFleetHistory& history, QWidget* pParent = nullptr);
    ~CFleetView() override;

    // Brings the rows up to the history at tNow (wall-clock seconds) with the names
    // of the vehicles online now. Does nothing when neither the history, the online
    // set nor the day changed and no offload turned stale since the last call.
    void Refresh(std::uint32_t tNow, const std::vector<std::string>& onlineNames);

    // Spreads nWidth pixels over the columns, none narrower than its longest usual text.
    void FitColumns(int nWidth);

    // Where "Request footage..." stores its requests; null leaves the item disabled.
    void SetRequests(CFootageRequests* pRequests) { m_pRequests = pRequests; }
    // The context menu of the row at index (none: no vehicle preset); the caller owns it.
    QMenu* NewContextMenu(const QModelIndex& index);
    // Opens the request dialog preset to vehicle; the new request's id, 0 when none.
    std::int64_t RequestFootage(const std::string& vehicle);

    CFleetModel* Model() const { return m_pModel; }
    // What the view shows (sorted), over Model().
    QSortFilterProxyModel* SortedModel() const { return m_pSorted; }

protected:
    void contextMenuEvent(QContextMenuEvent* pEvent) override;

private:
    CFleetHistory& m_history;
    CFootageRequests* m_pRequests = nullptr;
    CFleetModel* m_pModel;
    QSortFilterProxyModel* m_pSorted;

    bool m_bShown = false;  // a first Refresh happened
    std::uint64_t m_nVersion = 0;
    std::uint32_t m_tDay = 0;
    std::uint32_t m_tLastNow = 0;
    std::vector<std::string> m_online;  // sorted
};
