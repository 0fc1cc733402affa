#pragma once

#include "platform/File.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The body of an answer as pieces sent one after the other: bytes held in memory and
// ranges of open files. A file range is never read into memory to build the answer:
// the connection sends it from the file as the client takes it (sendfile, or TLS's
// own where the kernel does the encryption). One thread at a time.
class CWebBody {
public:
    struct Piece {
        std::string bytes;                    // when pFile is null
        std::shared_ptr<const CFile> pFile;   // the file a range is sent from
        std::int64_t nOffset = 0;
        std::uint64_t nLength = 0;            // of the range
    };

    void AddBytes(std::string bytes);
    // Adds [nOffset, nOffset + nLength) of an open file; the file is shared with
    // whoever else holds it and stays open until sent.
    void AddFile(std::shared_ptr<const CFile> pFile, std::int64_t nOffset, std::uint64_t nLength);
    // Opens strPath and adds that range of it: 0, or the errno of the open.
    [[nodiscard]] int AddFile(const std::string& strPath, std::int64_t nOffset, std::uint64_t nLength);

    // Bytes of all pieces together: the answer's Content-Length.
    std::uint64_t Size() const { return m_nSize; }
    bool Empty() const { return m_pieces.empty(); }
    // Hands the pieces over, leaving the body empty.
    std::vector<Piece> Take();

private:
    std::vector<Piece> m_pieces;
    std::uint64_t m_nSize = 0;
};
