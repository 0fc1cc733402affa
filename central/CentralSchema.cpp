#include "central/CentralSchema.h"

#include "central/PgConnection.h"
#include "core/EmbeddedFile.h"
#include "platform/Format.h"

#include <cstdlib>

namespace {

// Any constant of ours: the lock migrations take.
constexpr const char* kMigrationLock = "SELECT pg_advisory_xact_lock(7420531)";
constexpr const char* kCreateVersion =
    "CREATE TABLE IF NOT EXISTS schema_version(version integer PRIMARY KEY, name text NOT NULL,"
    " applied_at timestamptz NOT NULL DEFAULT now())";

bool Run(CPgConnection& conn, const std::string& sql, const std::vector<std::optional<std::string>>& params,
         int nTimeoutMs, const CWakeFd* pStop, std::string& strError, PgResult* pResult = nullptr)
{
    PgResult result = conn.Exec(sql, params, nTimeoutMs, pStop);
    if (!result.bOk)
        strError = result.strError;
    if (pResult)
        *pResult = std::move(result);
    return strError.empty();
}

} // namespace

// Generated from central/migrations.
extern const EmbeddedFile kCentralMigrationFiles[];
extern const std::size_t kCentralMigrationFilesCount;

std::vector<CentralMigration> CentralMigrations()
{
    std::vector<CentralMigration> migrations;
    for (std::size_t i = 0; i < kCentralMigrationFilesCount; ++i)
        migrations.push_back({kCentralMigrationFiles[i].name, kCentralMigrationFiles[i].data});
    return migrations;
}

int MigrationVersion(std::string_view name)
{
    int nVersion = 0;
    for (char c : name) {
        if (c < '0' || c > '9')
            break;
        nVersion = nVersion * 10 + (c - '0');
    }
    return nVersion;
}

bool MigrateCentral(CPgConnection& conn, int nTimeoutMs, const CWakeFd* pStop, std::string& strError)
{
    strError.clear();
    const std::vector<CentralMigration> migrations = CentralMigrations();
    const int nNewest = migrations.empty() ? 0 : MigrationVersion(migrations.back().name);
    // Read first without a transaction: a depot role that may not create tables still
    // starts against a database already up to date.
    PgResult current;
    if (Run(conn, "SELECT COALESCE(MAX(version), 0) FROM schema_version", {}, nTimeoutMs, pStop, strError, &current) &&
        !current.rows.empty() && current.rows[0][0] && std::atoi(current.rows[0][0]->c_str()) >= nNewest)
        return true;
    if (current.bLost)
        return false;
    strError.clear();
    if (!Run(conn, "BEGIN", {}, nTimeoutMs, pStop, strError) ||
        !Run(conn, kMigrationLock, {}, nTimeoutMs, pStop, strError) ||
        !Run(conn, kCreateVersion, {}, nTimeoutMs, pStop, strError) ||
        !Run(conn, "SELECT COALESCE(MAX(version), 0) FROM schema_version", {}, nTimeoutMs, pStop, strError, &current)) {
        conn.Exec("ROLLBACK", {}, nTimeoutMs, pStop);
        return false;
    }
    const int nVersion = std::atoi(current.rows.at(0).at(0).value_or("0").c_str());
    for (const CentralMigration& migration : migrations) {
        const int nMade = MigrationVersion(migration.name);
        if (nMade <= nVersion)
            continue;
        if (!Run(conn, std::string(migration.sql), {}, nTimeoutMs, pStop, strError) ||
            !Run(conn, "INSERT INTO schema_version(version, name) VALUES($1, $2)",
                 {std::to_string(nMade), std::string(migration.name)}, nTimeoutMs, pStop, strError)) {
            strError = Format("migration %s: %s", std::string(migration.name).c_str(), strError.c_str());
            conn.Exec("ROLLBACK", {}, nTimeoutMs, pStop);
            return false;
        }
    }
    return Run(conn, "COMMIT", {}, nTimeoutMs, pStop, strError);
}
