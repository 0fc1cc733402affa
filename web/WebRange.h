#pragma once

#include "web/WebRoute.h"

#include <cstdint>
#include <memory>
#include <string>

class CFile;

// What a request's Range header asks of a body of a known size.
struct WebByteRange {
    enum class Kind {
        Whole,          // no range, or one the server ignores (another unit, several ranges, bad syntax)
        Part,           // [nOffset, nOffset + nLength): answered 206
        Unsatisfiable,  // starts past the end: answered 416
    };
    Kind eKind = Kind::Whole;
    std::uint64_t nOffset = 0;
    std::uint64_t nLength = 0;
};

// header: the Range header's value ("" when none): "bytes=a-b", "bytes=a-" or
// "bytes=-n" (the last n bytes). An end past the body is cut to it. Any thread.
WebByteRange ParseByteRange(const std::string& header, std::uint64_t nSize);

// The answer to req for nSize bytes of pFile from its start: 200 with all of them,
// 206 with the range asked and Content-Range, 416 with "Content-Range: bytes */size"
// when the range lies past the end. Every one says Accept-Ranges: bytes. A HEAD
// request gets the same head (the server leaves the body out). Any thread.
WebAnswer FileAnswer(const WebRequest& req, std::shared_ptr<const CFile> pFile, std::uint64_t nSize,
                     const std::string& contentType);
