#include "web/WebBody.h"

void CWebBody::AddBytes(std::string bytes)
{
    if (bytes.empty())
        return;
    m_nSize += bytes.size();
    Piece piece;
    piece.nLength = bytes.size();
    piece.bytes = std::move(bytes);
    m_pieces.push_back(std::move(piece));
}

void CWebBody::AddFile(std::shared_ptr<const CFile> pFile, std::int64_t nOffset, std::uint64_t nLength)
{
    if (nLength == 0)
        return;
    m_nSize += nLength;
    Piece piece;
    piece.pFile = std::move(pFile);
    piece.nOffset = nOffset;
    piece.nLength = nLength;
    m_pieces.push_back(std::move(piece));
}

int CWebBody::AddFile(const std::string& strPath, std::int64_t nOffset, std::uint64_t nLength)
{
    auto pFile = std::make_shared<CFile>();
    if (int nErr = pFile->Open(strPath, CFile::Mode::Read); nErr != 0)
        return nErr;
    AddFile(std::shared_ptr<const CFile>(std::move(pFile)), nOffset, nLength);
    return 0;
}

std::vector<CWebBody::Piece> CWebBody::Take()
{
    std::vector<Piece> pieces = std::move(m_pieces);
    m_pieces.clear();
    m_nSize = 0;
    return pieces;
}
