#include "support/SqliteFile.h"

#include <sqlite3.h>

SqliteFile::SqliteFile(const std::string& path, bool bReadOnly)
{
    if (sqlite3_open_v2(path.c_str(), &m_pDb, bReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK)
        Close();
}

SqliteFile::~SqliteFile()
{
    Close();
}

void SqliteFile::Close()
{
    sqlite3_close_v2(m_pDb);
    m_pDb = nullptr;
}

std::string SqliteFile::Exec(const std::string& sql)
{
    if (m_pDb == nullptr)
        return "not open";
    char* szError = nullptr;
    if (sqlite3_exec(m_pDb, sql.c_str(), nullptr, nullptr, &szError) == SQLITE_OK)
        return "";
    std::string error = szError != nullptr ? szError : "failed";
    sqlite3_free(szError);
    return error;
}

std::int64_t SqliteFile::Int(const std::string& sql)
{
    sqlite3_stmt* pStmt = nullptr;
    std::int64_t nValue = -1;
    if (m_pDb != nullptr && sqlite3_prepare_v2(m_pDb, sql.c_str(), -1, &pStmt, nullptr) == SQLITE_OK &&
        sqlite3_step(pStmt) == SQLITE_ROW)
        nValue = sqlite3_column_int64(pStmt, 0);
    sqlite3_finalize(pStmt);
    return nValue;
}

std::vector<std::string> SqliteFile::Rows(const std::string& sql)
{
    std::vector<std::string> rows;
    sqlite3_stmt* pStmt = nullptr;
    if (m_pDb != nullptr && sqlite3_prepare_v2(m_pDb, sql.c_str(), -1, &pStmt, nullptr) == SQLITE_OK) {
        while (sqlite3_step(pStmt) == SQLITE_ROW) {
            std::string row;
            for (int c = 0; c < sqlite3_column_count(pStmt); ++c) {
                const auto* sz = reinterpret_cast<const char*>(sqlite3_column_text(pStmt, c));
                row += (c ? "|" : "") + std::string(sz ? sz : "");
            }
            rows.push_back(row);
        }
    }
    sqlite3_finalize(pStmt);
    return rows;
}

std::int64_t SqliteFile::QueryInt(const std::string& path, const std::string& sql)
{
    return SqliteFile(path, true).Int(sql);
}
