#pragma once

#include "central/CentralFeeds.h"
#include "support/PgCluster.h"
#include "support/SqliteFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// What the shared-database tests compare: a fed table's rows, each as its columns'
// text joined by '|' (NULL as nothing), ordered by the row's key, from fleet.db and
// from the shared database (one depot's rows).

inline std::string FeedColumns(const CentralFeed& feed, bool bLocal)
{
    std::string columns;
    for (const CentralColumn& column : feed.columns) {
        if (!columns.empty())
            columns += ", ";
        columns += bLocal && column.szLocal ? column.szLocal : column.szName;
    }
    return columns;
}

inline std::string FeedOrder(const CentralFeed& feed, bool bLocal)
{
    std::string order;
    for (int i = 0; i < feed.nKeyColumns; ++i) {
        const CentralColumn& column = feed.columns[static_cast<std::size_t>(i)];
        order += (i ? ", " : "") + std::string(bLocal && column.szLocal ? column.szLocal : column.szName);
    }
    return order;
}

inline std::vector<std::string> LocalRows(const std::string& dbPath, const CentralFeed& feed)
{
    return SqliteFile(dbPath, true).Rows("SELECT " + FeedColumns(feed, true) + " FROM " + feed.szTable +
                                         " ORDER BY " + FeedOrder(feed, true));
}

inline std::vector<std::string> CentralRows(CPgCluster& cluster, const std::string& db, const std::string& depot,
                                            const CentralFeed& feed)
{
    std::string text = cluster.Query(db, "SELECT " + FeedColumns(feed, false) + " FROM " + feed.szTable +
                                             " WHERE depot = '" + depot + "' ORDER BY " + FeedOrder(feed, false));
    if (text.empty() && !cluster.Why().empty())
        ADD_FAILURE() << cluster.Why();
    std::vector<std::string> rows;
    std::size_t nAt = 0;
    while (!text.empty() && nAt <= text.size()) {
        std::size_t nEnd = text.find('\n', nAt);
        rows.push_back(text.substr(nAt, nEnd == std::string::npos ? std::string::npos : nEnd - nAt));
        if (nEnd == std::string::npos)
            break;
        nAt = nEnd + 1;
    }
    return rows;
}
