#include "shell/ui/FleetView.h"

#include "depot/FleetHistory.h"
#include "settings/WallClock.h"
#include "shell/ui/FleetModel.h"
#include "shell/ui/FootageRequestDlg.h"
#include "shell/ui/ProgressListCtrl.h"
#include "shell/ui/WindowThread.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMenu>
#include <QSortFilterProxyModel>

#include <algorithm>
#include <map>
#include <numeric>

namespace {

constexpr std::uint32_t kSecondsPerDay = 24 * 3600;

} // namespace

CFleetView::CFleetView(CFleetHistory& history, QWidget* pParent)
    : QTableView(pParent), m_history(history), m_pModel(new CFleetModel(this)),
      m_pSorted(new QSortFilterProxyModel(this))
{
    CWindowThread::Check(Q_FUNC_INFO);
    m_pSorted->setSourceModel(m_pModel);
    m_pSorted->setSortRole(CFleetModel::kSortRole);
    m_pSorted->setDynamicSortFilter(true);
    setModel(m_pSorted);

    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setHighlightSections(false);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(true);
    setWordWrap(false);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setSortingEnabled(true);
    sortByColumn(CFleetModel::kColVehicle, Qt::AscendingOrder);

    QPalette pal = palette();
    pal.setColor(QPalette::Base, CProgressListCtrl::kWindowColour);
    pal.setColor(QPalette::Window, CProgressListCtrl::kWindowColour);
    pal.setColor(QPalette::Text, Qt::black);
    setPalette(pal);
}

CFleetView::~CFleetView() = default;

void CFleetView::Refresh(std::uint32_t tNow, const std::vector<std::string>& onlineNames)
{
    CWindowThread::Check(Q_FUNC_INFO);
    std::vector<std::string> online = onlineNames;
    std::sort(online.begin(), online.end());
    online.erase(std::unique(online.begin(), online.end()), online.end());
    const std::uint64_t nVersion = m_history.Version();
    const std::uint32_t tDay = tNow / kSecondsPerDay;
    // Besides the history and the online set, the day (today's totals) and the
    // passing of time (offloads turning stale, a clock set back) change the rows.
    if (m_bShown && nVersion == m_nVersion && online == m_online && tDay == m_tDay && tNow >= m_tLastNow &&
        tNow < m_pModel->NextStaleTime())
        return;
    std::vector<FleetRecord> records = m_history.Snapshot(tNow);
    std::map<std::string, std::vector<MissedRecording>> missed;
    for (const FleetRecord& record : records)
        if (record.nUnfetchable > 0 || record.nLeftBehind > 0)
            missed.emplace(record.strName, m_history.MissedRecordings(record.strName));
    m_pModel->Update(std::move(records), online, tNow, missed);
    m_bShown = true;
    m_nVersion = nVersion;
    m_tDay = tDay;
    m_tLastNow = tNow;
    m_online = std::move(online);
}

void CFleetView::FitColumns(int nWidth)
{
    CWindowThread::Check(Q_FUNC_INFO);
    // Share of the spare width, and the text each column must show in full.
    static const double s_dShares[CFleetModel::kColumnCount] = {0.17, 0.19, 0.15, 0.09, 0.12, 0.09, 0.18};
    static const char* const s_szSamples[CFleetModel::kColumnCount] = {
        "! WWWWWWWWWW", "last seen 2026-12-07 23:59", "2026-12-07 23:59", "99999", "1023.9 MiB", "unknown",
        "9 unfetchable, 99 left behind",
    };
    const QFontMetrics metrics(font());
    const QFontMetrics headerMetrics(horizontalHeader()->font());
    const int nPadding = 2 * style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, horizontalHeader()) + 8;
    int nMinimum[CFleetModel::kColumnCount];
    for (int i = 0; i < CFleetModel::kColumnCount; ++i) {
        const QString heading = m_pModel->headerData(i, Qt::Horizontal, Qt::DisplayRole).toString();
        nMinimum[i] = std::max(metrics.horizontalAdvance(s_szSamples[i]),
                               headerMetrics.horizontalAdvance(heading) + 16) +  // room for the sort arrow
                      nPadding;
    }
    const int nNeeded = std::accumulate(std::begin(nMinimum), std::end(nMinimum), 0);
    const int nSpare = std::max(0, nWidth - nNeeded);
    for (int i = 0; i < CFleetModel::kColumnCount; ++i)
        setColumnWidth(i, nMinimum[i] + static_cast<int>(nSpare * s_dShares[i]));
}

QMenu* CFleetView::NewContextMenu(const QModelIndex& index)
{
    CWindowThread::Check(Q_FUNC_INFO);
    const std::string vehicle =
        index.isValid()
            ? m_pSorted->index(index.row(), CFleetModel::kColVehicle).data(CFleetModel::kSortRole).toString().toStdString()
            : std::string();
    auto* pMenu = new QMenu(this);
    QAction* pRequest = pMenu->addAction(QString::fromUtf8("Request footage\u2026"));
    pRequest->setObjectName("requestFootageAction");
    pRequest->setEnabled(m_pRequests != nullptr);
    connect(pRequest, &QAction::triggered, this, [this, vehicle] { RequestFootage(vehicle); });
    return pMenu;
}

std::int64_t CFleetView::RequestFootage(const std::string& vehicle)
{
    CWindowThread::Check(Q_FUNC_INFO);
    if (!m_pRequests)
        return 0;
    CFootageRequestDlg dlg(*m_pRequests, vehicle, WallClockNow(), this);
    return dlg.exec() == QDialog::Accepted ? dlg.CreatedId() : 0;
}

void CFleetView::contextMenuEvent(QContextMenuEvent* pEvent)
{
    CWindowThread::Check(Q_FUNC_INFO);
    QMenu* pMenu = NewContextMenu(indexAt(viewport()->mapFromGlobal(pEvent->globalPos())));
    pMenu->setAttribute(Qt::WA_DeleteOnClose);
    pMenu->popup(pEvent->globalPos());
}
