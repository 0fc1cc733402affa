#pragma once

#include "depot/FleetRecord.h"
#include "depot/MissedRecording.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QString>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The rows of the Fleet tab: one per vehicle of a fleet history snapshot, kept in
// name order. An update changes rows in place and signals only the rows whose shown
// values changed, so a large fleet costs little per tick. All members: window thread.
class CFleetModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        kColVehicle = 0,
        kColStatus,
        kColLastOffload,
        kColFilesToday,
        kColBytesToday,
        kColPending,
        kColMissed,
        kColumnCount
    };
    // The raw value a column sorts by (numbers and times, not their text).
    static constexpr int kSortRole = Qt::UserRole;
    // A complete offload older than this at the snapshot's time needs attention.
    static constexpr std::uint32_t kStaleSeconds = 24 * 3600;
    static const QColor kAttentionColour;
    // Unfetchable and left-behind recordings listed in the Missed column's tool tip.
    static constexpr int kMissedTipLines = 20;

    explicit CFleetModel(QObject* pParent = nullptr);

    // Takes a snapshot (records in name order, as the history gives them), the online
    // names (sorted), the time it was taken for and, by name, the missed recordings of
    // the vehicles that have unfetchable or left-behind ones. Rows of new vehicles are
    // inserted, rows of vanished ones removed, changed rows signalled one by one.
    void Update(std::vector<FleetRecord> records, const std::vector<std::string>& onlineSorted, std::uint32_t tNow,
                const std::map<std::string, std::vector<MissedRecording>>& missed = {});
    // The first time after the last update at which a vehicle's last complete offload
    // turns stale; UINT32_MAX when none will.
    std::uint32_t NextStaleTime() const { return m_tNextStale; }

    // The record shown in nRow (model order), or null.
    const FleetRecord* Record(int nRow) const;
    // Why nRow needs attention ("" when it does not).
    QString AttentionText(int nRow) const;

    // "YYYY-MM-DD HH:MM" of a wall-clock value. Any thread.
    static QString TimeText(std::uint32_t tValue);
    // Bytes in B, KiB, MiB or GiB, the last three with one decimal. Any thread.
    static QString BytesText(std::uint64_t nBytes);
    // The Missed column: "2 unfetchable, 1 left behind", "0" when nothing is. Any thread.
    static QString MissedText(const FleetRecord& record);
    // One line per unfetchable or left-behind recording, with its reason, at most
    // kMissedTipLines. Any thread.
    static QString MissedTip(const std::vector<MissedRecording>& missed);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int nRole) const override;
    QVariant headerData(int nSection, Qt::Orientation orientation, int nRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    struct Row {
        FleetRecord record;
        bool bOnline = false;
        QString attention;  // why the row is marked; empty when it is not
        QString missedTip;  // the recordings behind the Missed column
    };

    Row MakeRow(FleetRecord record, const std::vector<std::string>& onlineSorted, std::uint32_t tNow,
                const std::map<std::string, std::vector<MissedRecording>>& missed) const;
    // Whether anything the row shows differs.
    static bool SameShown(const Row& a, const Row& b);
    // What a column of the row shows, and the value it sorts by.
    static QVariant ShownValue(const Row& row, int nColumn);
    static QVariant SortValue(const Row& row, int nColumn);

    std::vector<Row> m_rows;
    std::uint32_t m_tNextStale = UINT32_MAX;
};
