#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The control datagrams exchanged with recorders: a 20-byte header (big-endian
// fields) and a payload (little-endian integers). Decoders never read past nLen.

constexpr std::size_t kControlHeaderSize = 20;
constexpr std::size_t kMaxDatagramSize = 7168;   // the receive buffer
constexpr std::size_t kSendBufferSize = 6144;    // largest request, header included
constexpr std::size_t kMaxRequestPayload = kSendBufferSize - kControlHeaderSize;
constexpr std::size_t kReplyBufferSize = 6144;   // largest reply a request accepts
constexpr std::uint16_t kControlMagic = 0x480F;

enum ControlCommand : std::uint8_t {
    ZELP_REGISTER = 0,
    ZELP_KEEPALIVE = 1,
    ZELP_QUERY_FILE_COUNT = 2,
    ZELP_GETFILE = 4,
    ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN = 5,
};

constexpr std::uint16_t kStatusOk = 200;
constexpr std::uint16_t kStatusNotRegistered = 402;

// Registration: vehicle name at 92, channel count at 124. Keepalive: name at 28.
constexpr std::size_t kRegisterNameOffset = 92;
constexpr std::size_t kRegisterChannelsOffset = 124;
constexpr std::size_t kRegisterMinSize = 125;
constexpr std::size_t kKeepAliveNameOffset = 28;
constexpr std::size_t kKeepAliveMinSize = 60;
constexpr std::size_t kNameFieldSize = 32;

constexpr std::size_t kQueryPayloadSize = 20;
constexpr std::size_t kEarliestFileRecordSize = 56;
constexpr std::size_t kFileCountRecordSize = 16;
constexpr std::size_t kGetFileRequestSize = 64;

// Query kinds (first payload word).
constexpr std::uint32_t kQueryKindEarliest = 1;
constexpr std::uint32_t kQueryKindCount = 2;
constexpr std::uint32_t kGetFileKind = 4;

struct ControlHeader {
    std::uint16_t magic = kControlMagic;
    std::uint8_t version = 1;
    std::uint8_t reserved = 0;
    std::uint8_t isReply = 0;
    std::uint8_t command = 0;
    std::uint16_t status = 0;
    std::uint32_t transactionId = 0;
    std::uint32_t payloadLength = 0;
    std::uint8_t reserved2[4] = {};
};

// Query payload of ZELP_QUERY_FILE_COUNT and ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN.
struct QueryPayload {
    std::uint32_t kind = 0;
    std::uint8_t channel = 0;
    std::uint8_t fileType = 0;  // wire file type
    std::uint32_t start = 0;
    std::uint32_t end = 0;
};

struct EarliestFileRecord {
    char szFileName[36] = {};  // always NUL-terminated after decoding
    std::uint32_t nStart = 0;
    std::uint32_t nEnd = 0;
    std::uint8_t nChannel = 0;
};

struct FileCountRecord {
    std::uint32_t nCount = 0;
};

struct GetFileRequest {
    char szFileName[32] = {};
    std::uint32_t nSeek = 0;
    char szListenIp[16] = {};
    std::uint16_t nListenPort = 0;
    std::uint8_t nChannel = 0;
};

void EncodeHeader(const ControlHeader& header, unsigned char* pOut);
// False when fewer than 20 bytes are given.
bool DecodeHeader(const unsigned char* pData, std::size_t nLen, ControlHeader* pHeader);

// pOut receives kQueryPayloadSize bytes.
void EncodeQuery(const QueryPayload& query, unsigned char* pOut);
bool DecodeQuery(const unsigned char* pPayload, std::size_t nLen, QueryPayload* pQuery);

// pOut receives kGetFileRequestSize bytes; strings are cut to their fields.
void EncodeGetFileRequest(const GetFileRequest& request, unsigned char* pOut);
bool DecodeGetFileRequest(const unsigned char* pPayload, std::size_t nLen, GetFileRequest* pRequest);

void EncodeEarliestFileRecord(const EarliestFileRecord& record, unsigned char* pOut);
bool DecodeEarliestFileRecord(const unsigned char* pPayload, std::size_t nLen, EarliestFileRecord* pRecord);

void EncodeFileCountRecord(const FileCountRecord& record, unsigned char* pOut);
bool DecodeFileCountRecord(const unsigned char* pPayload, std::size_t nLen, FileCountRecord* pRecord);

// Reply to a recorder's request: its own 20 header bytes with isReply 1 and the
// status set. pRequest must hold at least 20 bytes.
void BuildReply(const unsigned char* pRequest, std::uint16_t nStatus, unsigned char* pOut);

// Name field of a registration or keepalive: the bytes up to the first NUL within
// the 32-byte field. A datagram that ends inside the field still names its vehicle
// when the NUL arrived; false when it did not.
bool ReadNameField(const unsigned char* pData, std::size_t nLen, std::size_t nOffset, std::string* pName);

// Wire file type of a settings file type: 1 timing -> 0, 2 alarm -> 2, else 0xFF.
std::uint8_t WireFileType(std::uint32_t nSettingsFileType);
