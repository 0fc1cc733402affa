#pragma once

#include <span>
#include <string>

// One column a feed carries: its name in both databases and its type in the shared one.
struct CentralColumn {
    const char* szName;
    const char* szPgType;
    const char* szLocal = nullptr;  // its expression in fleet.db when not the name (a rowid)
};

// A table of fleet.db whose rows are copied to the table of the same name in the
// shared database, where each row also carries its depot. The outbox keeps one entry
// per row key: the row's newest state.
struct CentralFeed {
    const char* szTable;
    const char* szKey;                       // the row's key in fleet.db, as an SQL expression over its columns
    std::span<const CentralColumn> columns;  // the first szConflictColumns ones key the shared row (with depot)
    int nKeyColumns;
    bool bAppendOnly;                        // rows are never changed: a row sent again is ignored
};

// Every feed, in the order a batch writes them. Any thread.
std::span<const CentralFeed> CentralFeeds();
// The feed of a table; null for one that is not fed. Any thread.
const CentralFeed* FindCentralFeed(const std::string& table);
