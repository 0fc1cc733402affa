#include "web/WebRange.h"

#include "platform/File.h"

namespace {

// Digits only, at most 18 of them (no overflow); false otherwise.
bool ParseCount(const std::string& text, std::uint64_t& nValue)
{
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    nValue = std::stoull(text);
    return true;
}

} // namespace

WebByteRange ParseByteRange(const std::string& header, std::uint64_t nSize)
{
    WebByteRange range;
    static const std::string kUnit = "bytes=";
    if (header.compare(0, kUnit.size(), kUnit) != 0)
        return range;
    const std::string bounds = header.substr(kUnit.size());
    const std::size_t nDash = bounds.find('-');
    // Several ranges would need a multipart answer: the whole body is as right.
    if (nDash == std::string::npos || bounds.find(',') != std::string::npos)
        return range;
    const std::string first = bounds.substr(0, nDash);
    const std::string last = bounds.substr(nDash + 1);
    std::uint64_t nFirst = 0, nLast = 0;
    if (first.empty()) {  // the last n bytes
        if (!ParseCount(last, nLast))
            return range;
        if (nLast == 0 || nSize == 0) {
            range.eKind = WebByteRange::Kind::Unsatisfiable;
            return range;
        }
        range.eKind = WebByteRange::Kind::Part;
        range.nLength = std::min(nLast, nSize);
        range.nOffset = nSize - range.nLength;
        return range;
    }
    if (!ParseCount(first, nFirst) || (!last.empty() && (!ParseCount(last, nLast) || nLast < nFirst)))
        return range;
    if (nFirst >= nSize) {
        range.eKind = WebByteRange::Kind::Unsatisfiable;
        return range;
    }
    const std::uint64_t nEnd = last.empty() ? nSize - 1 : std::min(nLast, nSize - 1);
    range.eKind = WebByteRange::Kind::Part;
    range.nOffset = nFirst;
    range.nLength = nEnd - nFirst + 1;
    return range;
}

WebAnswer FileAnswer(const WebRequest& req, std::shared_ptr<const CFile> pFile, std::uint64_t nSize,
                     const std::string& contentType)
{
    WebAnswer answer;
    answer.strContentType = contentType;
    answer.headers.emplace_back("Accept-Ranges", "bytes");
    const WebByteRange range = ParseByteRange(req.Header("Range"), nSize);
    switch (range.eKind) {
    case WebByteRange::Kind::Whole:
        answer.body.AddFile(std::move(pFile), 0, nSize);
        break;
    case WebByteRange::Kind::Part:
        answer.nStatus = 206;
        answer.headers.emplace_back("Content-Range", "bytes " + std::to_string(range.nOffset) + "-" +
                                                         std::to_string(range.nOffset + range.nLength - 1) + "/" +
                                                         std::to_string(nSize));
        answer.body.AddFile(std::move(pFile), static_cast<std::int64_t>(range.nOffset), range.nLength);
        break;
    case WebByteRange::Kind::Unsatisfiable:
        answer.nStatus = 416;
        answer.strContentType.clear();
        answer.headers.emplace_back("Content-Range", "bytes */" + std::to_string(nSize));
        break;
    }
    return answer;
}
