#include "shell/ui/FootageRequestList.h"

#include "footage/FootageRequests.h"
#include "shell/ui/WindowThread.h"
#include "store/LocalStore.h"

#include <QHeaderView>

namespace {

QString Channels(const FootageRequest& request)
{
    if (request.ask.channels.empty())
        return "all";
    QStringList parts;
    for (std::uint8_t n : request.ask.channels)
        parts << QString::number(n);
    return parts.join(", ");
}

QString Time(std::uint32_t tValue)
{
    CalendarTime t = SplitTime(tValue);
    return QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", t.nYear, t.nMonth, t.nDay, t.nHour, t.nMinute,
                             t.nSecond);
}

} // namespace

CFootageRequestList::CFootageRequestList(QWidget* pParent) : QTableWidget(0, kColumnCount, pParent)
{
    CWindowThread::Check(Q_FUNC_INFO);
    setHorizontalHeaderLabels({"Request", "Vehicle", "Channels", "Window", "State", "Recordings", "Requested by"});
    verticalHeader()->hide();
    horizontalHeader()->setStretchLastSection(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setWordWrap(false);
}

void CFootageRequestList::Refresh(const CFootageRequests& requests)
{
    CWindowThread::Check(Q_FUNC_INFO);
    const std::uint64_t nVersion = requests.Version();
    if (m_bShown && nVersion == m_nVersion)
        return;
    std::vector<FootageRequest> list = requests.List(kRowsShown);
    setRowCount(static_cast<int>(list.size()));
    for (int nRow = 0; nRow < static_cast<int>(list.size()); ++nRow) {
        const FootageRequest& request = list[static_cast<std::size_t>(nRow)];
        const QString texts[kColumnCount] = {
            QString::number(request.nId),
            QString::fromStdString(request.ask.strVehicle),
            Channels(request),
            Time(request.ask.tFrom) + " - " + Time(request.ask.tTo),
            FootageStateName(request.eState),
            QString::number(request.nRecordings),
            QString::fromStdString(request.ask.strRequestedBy),
        };
        QStringList reasons;
        for (const std::string& reason : request.reasons)
            reasons << QString::fromStdString(reason);
        for (int nCol = 0; nCol < kColumnCount; ++nCol) {
            auto* pItem = new QTableWidgetItem(texts[nCol]);
            if (nCol == kColState && !reasons.isEmpty())
                pItem->setToolTip(reasons.join("\n"));
            setItem(nRow, nCol, pItem);
        }
    }
    m_bShown = true;
    m_nVersion = nVersion;
}
