#pragma once

#include <cstdint>
#include <string>

// What the file system says of a path, links followed (stat). An object belongs to
// one thread at a time.
class CFileStatus {
public:
    // Asks about strPath: 0, or the errno (ENOENT when nothing is there); on failure
    // the status is that of a missing path.
    [[nodiscard]] int Query(const std::string& strPath);

    [[nodiscard]] bool Exists() const { return m_bExists; }
    [[nodiscard]] bool IsRegular() const { return m_bRegular; }
    // Size in bytes (0 when missing).
    [[nodiscard]] std::int64_t Size() const { return m_nSize; }

private:
    bool m_bExists = false;
    bool m_bRegular = false;
    std::int64_t m_nSize = 0;
};
