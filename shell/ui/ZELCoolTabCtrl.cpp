#include "shell/ui/ZELCoolTabCtrl.h"

#include "core/NotifyCenter.h"
#include "core/NotifyEvent.h"
#include "depot/FleetHistory.h"
#include "resources/Artwork.h"
#include "footage/FootageRequests.h"
#include "shell/ui/FleetView.h"
#include "shell/ui/FootageRequestList.h"
#include "shell/ui/ProgressListCtrl.h"
#include "shell/ui/WindowThread.h"

#include <QDateTime>
#include <QHeaderView>
#include <QSplitter>
#include <QStyle>
#include <QTableWidget>

#include <algorithm>
#include <cstring>

const QColor CZELCoolTabCtrl::kLogTextColour(0, 0, 255);

namespace {

constexpr int kPageMargin = 5;  // the lists' column widths leave this much on each side

enum OnlineColumn { kColName = 0, kColProgress = 1, kColSpeed = 2 };

// The event log's table: time and event, in the log's colours, read-only rows.
QTableWidget* NewLogTable(QWidget* pParent, int nBase)
{
    auto* pLog = new QTableWidget(0, 2, pParent);
    pLog->setObjectName("logList");
    pLog->setFont(pParent->font());
    pLog->setHorizontalHeaderLabels({"Time", "Event"});
    pLog->horizontalHeaderItem(0)->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    pLog->horizontalHeaderItem(1)->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    pLog->horizontalHeader()->setStretchLastSection(false);
    // 12% of the width, unless that would cut the time short (narrow screens).
    const int nTimePadding =
        std::max(2 * pLog->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, pLog->horizontalHeader()),
                 2 * (pLog->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, pLog) + 1)) +
        1;  // the grid line
    const int nTimeWidth = pLog->fontMetrics().horizontalAdvance(CZELCoolTabCtrl::kWidestTime) + nTimePadding;
    pLog->setColumnWidth(0, std::max(static_cast<int>(nBase * 0.12), nTimeWidth));
    pLog->setColumnWidth(1, static_cast<int>(nBase * 0.87));
    pLog->verticalHeader()->hide();
    pLog->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    pLog->verticalHeader()->setDefaultSectionSize(pLog->fontMetrics().height() + 4);
    pLog->setFrameShape(QFrame::NoFrame);
    pLog->setSelectionMode(QAbstractItemView::ExtendedSelection);
    pLog->setSelectionBehavior(QAbstractItemView::SelectRows);
    pLog->setEditTriggers(QAbstractItemView::NoEditTriggers);
    pLog->setShowGrid(true);
    pLog->setWordWrap(false);
    QPalette pal = pLog->palette();
    pal.setColor(QPalette::Base, CProgressListCtrl::kWindowColour);
    pal.setColor(QPalette::Window, CProgressListCtrl::kWindowColour);
    pal.setColor(QPalette::Text, CZELCoolTabCtrl::kLogTextColour);
    pLog->setPalette(pal);
    return pLog;
}

} // namespace

CZELCoolTabCtrl::CZELCoolTabCtrl(const QSize& size, CNotifyCenter& center, CFleetHistory& history,
                                 QWidget* pParent, CFootageRequests* pRequests)
    : CCoolTabCtrl(kTabsTop, pParent),
      m_center(center),
      m_bridge([this](std::uint32_t nKind, const void* pPayload) { OnNotifyEvent(nKind, pPayload); }),
      m_pRequests(pRequests)
{
    CWindowThread::Check(Q_FUNC_INFO);
    resize(size);
    const int nBase = PageRect().adjusted(kPageMargin, kPageMargin, -kPageMargin, -kPageMargin).width();

    m_pOnline = new CProgressListCtrl(this);
    m_pOnline->setObjectName("onlineList");
    m_pOnline->setFont(font());
    m_pOnline->SetImageList({CArtwork::RecorderImage()});
    m_pOnline->InsertColumn(kColName, "Device name", Qt::AlignLeft, static_cast<int>(nBase * 0.19));
    m_pOnline->InsertColumn(kColProgress, "download progress", Qt::AlignLeft, static_cast<int>(nBase * 0.64));
    m_pOnline->InsertColumn(kColSpeed, "Download speed", Qt::AlignHCenter, static_cast<int>(nBase * 0.15));

    m_pLog = NewLogTable(this, nBase);

    m_pFleet = new CFleetView(history, this);
    m_pFleet->setObjectName("fleetList");
    m_pFleet->setFont(font());
    m_pFleet->horizontalHeader()->setFont(font());
    m_pFleet->setFrameShape(QFrame::NoFrame);
    m_pFleet->FitColumns(nBase);
    QWidget* pFleetPage = m_pFleet;
    if (m_pRequests) {
        // The requests under the vehicles, the way the menu of a vehicle adds them.
        auto* pSplitter = new QSplitter(Qt::Vertical, this);
        pSplitter->setObjectName("fleetPage");
        m_pFleet->setParent(pSplitter);
        m_pFleet->SetRequests(m_pRequests);
        m_pRequestList = new CFootageRequestList(pSplitter);
        m_pRequestList->setObjectName("requestList");
        m_pRequestList->setFont(font());
        pSplitter->addWidget(m_pFleet);
        pSplitter->addWidget(m_pRequestList);
        pSplitter->setStretchFactor(0, 3);
        pSplitter->setStretchFactor(1, 1);
        pFleetPage = pSplitter;
    }

    AddPage(m_pOnline, "Online DVR", CArtwork::OnlineTabIcon());
    AddPage(m_pLog, "Active log", CArtwork::LogTabIcon());
    AddPage(pFleetPage, "Fleet",
            QIcon(CArtwork::RecorderImage().scaled(16, 16, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    SetActivePage(0);

    m_center.Register(&m_bridge);
}

CZELCoolTabCtrl::~CZELCoolTabCtrl()
{
    CWindowThread::Check(Q_FUNC_INFO);
    // The center may be the process's, which goes on after this window.
    m_center.Unregister(&m_bridge);
}

void CZELCoolTabCtrl::OnNotifyEvent(std::uint32_t nKind, const void* pPayload)
{
    CWindowThread::Check(Q_FUNC_INFO);
    if (nKind == NOTIFY_LOG) {
        const char* szText = static_cast<const char*>(pPayload);
        AddLogEntry(QString::fromUtf8(szText, static_cast<qsizetype>(strnlen(szText, kNotifyPayloadSize))));
        return;
    }
    if (nKind != NOTIFY_VEHICLE && nKind != NOTIFY_SPEED && nKind != NOTIFY_PROGRESS && nKind != NOTIFY_WAITING)
        return;

    VehicleEvent ev;
    std::memcpy(&ev, pPayload, sizeof(ev));
    const QString name =
        QString::fromUtf8(ev.szName, static_cast<qsizetype>(strnlen(ev.szName, sizeof(ev.szName) - 1)));

    if (nKind == NOTIFY_VEHICLE && ev.nValue == 1) {
        // The registry announces a vehicle only once while it is online, so no
        // existing row is looked for.
        const int nRow = m_pOnline->InsertItem(m_pOnline->GetItemCount(), name, 0);
        m_pOnline->SetProgress(nRow, kColProgress, true);
        m_pOnline->UpdateProgress(nRow, kColProgress, 0);
        return;
    }
    const int nRow = m_pOnline->FindRow(name);
    if (nRow < 0)
        return;
    switch (nKind) {
    case NOTIFY_VEHICLE:
        m_pOnline->DeleteItem(nRow);
        break;
    case NOTIFY_SPEED: {
        const std::uint32_t nKbps = (ev.nValue * 8u) >> 10;  // 1 kbit = 1024 bits
        m_pOnline->SetItemText(nRow, kColSpeed, QString::asprintf("%dkbps", static_cast<int>(nKbps)));
        break;
    }
    case NOTIFY_PROGRESS:
        m_pOnline->UpdateProgress(nRow, kColProgress, static_cast<int>(std::min<std::uint32_t>(ev.nValue, 100)));
        break;
    case NOTIFY_WAITING:
        m_pOnline->SetBarText(nRow, kColProgress, ev.nValue ? QStringLiteral("waiting") : QString());
        break;
    default:
        break;
    }
}

void CZELCoolTabCtrl::AddLogEntry(const QString& text)
{
    const int nBefore = m_pLog->rowCount();
    m_pLog->insertRow(nBefore);
    m_pLog->setItem(nBefore, 0, new QTableWidgetItem(QDateTime::currentDateTime().toString("yyyy-MM-dd HH:mm:ss")));
    m_pLog->setItem(nBefore, 1, new QTableWidgetItem(text));
    if (nBefore > kLogRowLimit)
        m_pLog->removeRow(0);
}

void CZELCoolTabCtrl::RefreshRequests()
{
    CWindowThread::Check(Q_FUNC_INFO);
    if (m_pRequestList && m_pRequests)
        m_pRequestList->Refresh(*m_pRequests);
}

void CZELCoolTabCtrl::ClearLog()
{
    CWindowThread::Check(Q_FUNC_INFO);
    m_pLog->setRowCount(0);
}
