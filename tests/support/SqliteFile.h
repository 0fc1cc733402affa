#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;

// A connection of the test's own to an SQLite file the code under test uses: to read
// what reached the file, to change it behind the code's back, or to hold its write
// lock. Test thread.
class SqliteFile {
public:
    // Opens path read-write (made when missing), or read only when bReadOnly; IsOpen says whether it worked.
    explicit SqliteFile(const std::string& path, bool bReadOnly = false);
    ~SqliteFile();
    SqliteFile(const SqliteFile&) = delete;
    SqliteFile& operator=(const SqliteFile&) = delete;

    bool IsOpen() const { return m_pDb != nullptr; }
    // Runs sql; "" when it worked, else what SQLite says.
    std::string Exec(const std::string& sql);
    // The first column of the first row of sql; -1 when there is no row or it fails.
    std::int64_t Int(const std::string& sql);
    // Every row of sql, its columns' text joined by '|' (NULL as nothing).
    std::vector<std::string> Rows(const std::string& sql);
    void Close();

    // Int through a read-only connection opened for the one query.
    static std::int64_t QueryInt(const std::string& path, const std::string& sql);

private:
    sqlite3* m_pDb = nullptr;
};
