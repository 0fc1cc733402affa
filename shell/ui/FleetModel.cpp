#include "shell/ui/FleetModel.h"

#include "settings/WallClock.h"

#include <algorithm>
#include <cmath>

const QColor CFleetModel::kAttentionColour(255, 224, 150);

namespace {

const char* const kHeadings[CFleetModel::kColumnCount] = {
    "Vehicle", "Status", "Last complete offload", "Files today", "Bytes today", "Pending", "Missed",
};

// Sorts online vehicles after every offline one, however recently that was seen.
constexpr qlonglong kOnlineSortValue = qlonglong {1} << 40;

QString NameText(const std::string& name)
{
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

} // namespace

CFleetModel::CFleetModel(QObject* pParent) : QAbstractTableModel(pParent) {}

QString CFleetModel::TimeText(std::uint32_t tValue)
{
    const std::tm tmFields = SplitWallClock(tValue);
    return QString::asprintf("%04d-%02d-%02d %02d:%02d", tmFields.tm_year + 1900, tmFields.tm_mon + 1,
                             tmFields.tm_mday, tmFields.tm_hour, tmFields.tm_min);
}

QString CFleetModel::BytesText(std::uint64_t nBytes)
{
    if (nBytes < 1024)
        return QString::number(nBytes) + " B";
    static const char* const s_szUnits[] = {"KiB", "MiB", "GiB"};
    double dValue = static_cast<double>(nBytes) / 1024.0;
    std::size_t nUnit = 0;
    // A value that would round to 1024.0 is shown in the next unit.
    while (nUnit + 1 < std::size(s_szUnits) && std::round(dValue * 10.0) >= 1024.0 * 10.0) {
        dValue /= 1024.0;
        ++nUnit;
    }
    return QString::asprintf("%.1f %s", dValue, s_szUnits[nUnit]);
}

QString CFleetModel::MissedText(const FleetRecord& record)
{
    QStringList parts;
    if (record.nUnfetchable > 0)
        parts << QString::number(record.nUnfetchable) + " unfetchable";
    if (record.nLeftBehind > 0)
        parts << QString::number(record.nLeftBehind) + " left behind";
    if (record.nMissedDropped > 0)
        parts << QString::number(record.nMissedDropped) + " not listed";
    return parts.isEmpty() ? QStringLiteral("0") : parts.join(", ");
}

QString CFleetModel::MissedTip(const std::vector<MissedRecording>& missed)
{
    QStringList lines;
    int nMore = 0;
    for (const MissedRecording& rec : missed) {
        if (rec.eState == MissedRecording::State::Retrying)
            continue;
        if (lines.size() == kMissedTipLines) {
            ++nMore;
            continue;
        }
        const QString state = rec.eState == MissedRecording::State::Unfetchable
                                  ? QString("unfetchable after %1 visits").arg(rec.nVisits)
                                  : QStringLiteral("left behind");
        lines << QString("ch%1 %2 (%3 - %4): %5: %6")
                     .arg(rec.nChannel)
                     .arg(NameText(rec.strFileName), TimeText(rec.tStart), TimeText(rec.tEnd).mid(11), state,
                          NameText(rec.strReason));
    }
    if (nMore > 0)
        lines << QString("... and %1 more").arg(nMore);
    return lines.join('\n');
}

CFleetModel::Row CFleetModel::MakeRow(FleetRecord record, const std::vector<std::string>& onlineSorted,
                                      std::uint32_t tNow,
                                      const std::map<std::string, std::vector<MissedRecording>>& missed) const
{
    Row row;
    row.bOnline = std::binary_search(onlineSorted.begin(), onlineSorted.end(), record.strName);
    QStringList reasons;
    if (record.nPending > 0)
        reasons << "recordings pending on the recorder";
    if (record.tLastCompleteOffload == 0)
        reasons << "never fully offloaded";
    else if (tNow > record.tLastCompleteOffload && tNow - record.tLastCompleteOffload > kStaleSeconds)
        reasons << "not fully offloaded for more than 24 hours";
    if (record.nUnfetchable > 0)
        reasons << "unfetchable recordings";
    if (record.nMissedDropped > 0)
        reasons << "missed recordings beyond the list's limit";
    row.attention = reasons.join('\n');
    auto it = missed.find(record.strName);
    if (it != missed.end())
        row.missedTip = MissedTip(it->second);
    row.record = std::move(record);
    return row;
}

bool CFleetModel::SameShown(const Row& a, const Row& b)
{
    const FleetRecord& x = a.record;
    const FleetRecord& y = b.record;
    return a.bOnline == b.bOnline && a.attention == b.attention && a.missedTip == b.missedTip &&
           x.strName == y.strName && x.tLastSeen == y.tLastSeen && x.tLastCompleteOffload == y.tLastCompleteOffload &&
           x.nFilesToday == y.nFilesToday && x.nBytesToday == y.nBytesToday && x.nPending == y.nPending &&
           x.nUnfetchable == y.nUnfetchable && x.nLeftBehind == y.nLeftBehind && x.nMissedDropped == y.nMissedDropped;
}

void CFleetModel::Update(std::vector<FleetRecord> records, const std::vector<std::string>& onlineSorted,
                         std::uint32_t tNow, const std::map<std::string, std::vector<MissedRecording>>& missed)
{
    m_tNextStale = UINT32_MAX;
    for (const FleetRecord& record : records) {
        const std::uint32_t t = record.tLastCompleteOffload;
        if (t != 0 && t + std::uint64_t {kStaleSeconds} < UINT32_MAX && tNow <= t + kStaleSeconds)
            m_tNextStale = std::min(m_tNextStale, t + kStaleSeconds + 1);
    }

    if (m_rows.empty()) {
        if (records.empty())
            return;
        beginResetModel();
        m_rows.reserve(records.size());
        for (FleetRecord& record : records)
            m_rows.push_back(MakeRow(std::move(record), onlineSorted, tNow, missed));
        endResetModel();
        return;
    }

    // Both sides are in name order: walk them together.
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < m_rows.size() || j < records.size()) {
        const int nRow = static_cast<int>(i);
        if (j == records.size() || (i < m_rows.size() && m_rows[i].record.strName < records[j].strName)) {
            beginRemoveRows(QModelIndex(), nRow, nRow);
            m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(i));
            endRemoveRows();
            continue;
        }
        Row row = MakeRow(std::move(records[j++]), onlineSorted, tNow, missed);
        if (i == m_rows.size() || row.record.strName < m_rows[i].record.strName) {
            beginInsertRows(QModelIndex(), nRow, nRow);
            m_rows.insert(m_rows.begin() + static_cast<std::ptrdiff_t>(i), std::move(row));
            endInsertRows();
        } else if (!SameShown(m_rows[i], row)) {
            m_rows[i] = std::move(row);
            emit dataChanged(index(nRow, 0), index(nRow, kColumnCount - 1));
        } else {
            m_rows[i] = std::move(row);  // totals not shown may have moved on
        }
        ++i;
    }
}

const FleetRecord* CFleetModel::Record(int nRow) const
{
    if (nRow < 0 || nRow >= rowCount())
        return nullptr;
    return &m_rows[static_cast<std::size_t>(nRow)].record;
}

QString CFleetModel::AttentionText(int nRow) const
{
    if (nRow < 0 || nRow >= rowCount())
        return QString();
    return m_rows[static_cast<std::size_t>(nRow)].attention;
}

int CFleetModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CFleetModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant CFleetModel::data(const QModelIndex& index, int nRole) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= kColumnCount)
        return QVariant();
    const Row& row = m_rows[static_cast<std::size_t>(index.row())];
    const bool bMarked = !row.attention.isEmpty();
    switch (nRole) {
    case Qt::DisplayRole:
        return ShownValue(row, index.column());
    case kSortRole:
        return SortValue(row, index.column());
    case Qt::ToolTipRole:
        if (index.column() == kColMissed && !row.missedTip.isEmpty())
            return row.missedTip;
        return bMarked ? QVariant(row.attention) : QVariant();
    case Qt::BackgroundRole:
        return bMarked ? QVariant(kAttentionColour) : QVariant();
    case Qt::TextAlignmentRole:
        if (index.column() >= kColFilesToday)
            return QVariant(int(Qt::AlignRight | Qt::AlignVCenter));
        return QVariant(int(Qt::AlignLeft | Qt::AlignVCenter));
    default:
        break;
    }
    return QVariant();
}

QVariant CFleetModel::ShownValue(const Row& row, int nColumn)
{
    const FleetRecord& record = row.record;
    switch (nColumn) {
    case kColVehicle:
        return !row.attention.isEmpty() ? "! " + NameText(record.strName) : NameText(record.strName);
    case kColStatus:
        if (row.bOnline)
            return QStringLiteral("online");
        return record.tLastSeen ? "last seen " + TimeText(record.tLastSeen) : QStringLiteral("never seen");
    case kColLastOffload:
        return record.tLastCompleteOffload ? TimeText(record.tLastCompleteOffload) : QStringLiteral("never");
    case kColFilesToday:
        return QString::number(record.nFilesToday);
    case kColBytesToday:
        return BytesText(record.nBytesToday);
    case kColPending:
        return record.nPending < 0 ? QStringLiteral("unknown") : QString::number(record.nPending);
    case kColMissed:
        return MissedText(record);
    }
    return QVariant();
}

QVariant CFleetModel::SortValue(const Row& row, int nColumn)
{
    const FleetRecord& record = row.record;
    switch (nColumn) {
    case kColVehicle:
        return NameText(record.strName);
    case kColStatus:
        return row.bOnline ? kOnlineSortValue : qlonglong {record.tLastSeen};
    case kColLastOffload:
        return qlonglong {record.tLastCompleteOffload};
    case kColFilesToday:
        return qulonglong {record.nFilesToday};
    case kColBytesToday:
        return qulonglong {record.nBytesToday};
    case kColPending:
        return qlonglong {std::max<std::int64_t>(record.nPending, -1)};
    case kColMissed:
        // Unfetchable ones (listed or not) first, then left-behind ones.
        return (qulonglong {record.nUnfetchable} + std::min<std::uint64_t>(record.nMissedDropped, UINT32_MAX))
                   << 32 |
               record.nLeftBehind;
    }
    return QVariant();
}

QVariant CFleetModel::headerData(int nSection, Qt::Orientation orientation, int nRole) const
{
    if (orientation != Qt::Horizontal || nSection < 0 || nSection >= kColumnCount)
        return QVariant();
    if (nRole == Qt::DisplayRole)
        return QString(kHeadings[nSection]);
    // A first click on a heading sorts from the smallest up.
    if (nRole == Qt::InitialSortOrderRole)
        return QVariant::fromValue(Qt::AscendingOrder);
    if (nRole == Qt::TextAlignmentRole)
        return QVariant(int((nSection >= kColFilesToday ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter));
    return QVariant();
}

Qt::ItemFlags CFleetModel::flags(const QModelIndex& index) const
{
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}
