#pragma once

#include <string>
#include <string_view>
#include <vector>

class CPgConnection;
class CWakeFd;

// One migration of the shared database: its file name (which orders it; the number
// it starts with is the schema version it makes) and its statements.
struct CentralMigration {
    std::string_view name;
    std::string_view sql;
};

// Every migration in the source tree, in order (generated from central/migrations).
std::vector<CentralMigration> CentralMigrations();

// The schema version a migration's file name makes; 0 for a name that starts with no
// number.
int MigrationVersion(std::string_view name);

// Brings the shared database up to the newest migration: in one transaction, under an
// advisory lock so that two depots starting together do not both migrate, each
// migration above the version in schema_version runs and is recorded. A database of a
// newer program is left alone. True, or false with strError. The central store's
// thread.
bool MigrateCentral(CPgConnection& conn, int nTimeoutMs, const CWakeFd* pStop, std::string& strError);
