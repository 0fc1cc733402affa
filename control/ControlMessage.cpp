#include "control/ControlMessage.h"

#include "control/ByteOrder.h"

#include <cstring>

namespace {

// Copies a C string into a fixed field, cut to leave its NUL.
void PutString(unsigned char* pField, std::size_t nFieldSize, const char* sz)
{
    std::memset(pField, 0, nFieldSize);
    std::size_t nLen = ::strnlen(sz, nFieldSize - 1);
    std::memcpy(pField, sz, nLen);
}

// Reads a fixed field into a buffer of the same size, always NUL-terminated.
void GetString(const unsigned char* pField, std::size_t nFieldSize, char* pOut)
{
    std::memcpy(pOut, pField, nFieldSize);
    pOut[nFieldSize - 1] = '\0';
}

} // namespace

void EncodeHeader(const ControlHeader& header, unsigned char* pOut)
{
    WriteBe16(pOut, header.magic);
    pOut[2] = header.version;
    pOut[3] = header.reserved;
    pOut[4] = header.isReply;
    pOut[5] = header.command;
    WriteBe16(pOut + 6, header.status);
    WriteBe32(pOut + 8, header.transactionId);
    WriteBe32(pOut + 12, header.payloadLength);
    std::memcpy(pOut + 16, header.reserved2, 4);
}

bool DecodeHeader(const unsigned char* pData, std::size_t nLen, ControlHeader* pHeader)
{
    if (nLen < kControlHeaderSize)
        return false;
    pHeader->magic = ReadBe16(pData);
    pHeader->version = pData[2];
    pHeader->reserved = pData[3];
    pHeader->isReply = pData[4];
    pHeader->command = pData[5];
    pHeader->status = ReadBe16(pData + 6);
    pHeader->transactionId = ReadBe32(pData + 8);
    pHeader->payloadLength = ReadBe32(pData + 12);
    std::memcpy(pHeader->reserved2, pData + 16, 4);
    return true;
}

void EncodeQuery(const QueryPayload& query, unsigned char* pOut)
{
    std::memset(pOut, 0, kQueryPayloadSize);
    WriteLe32(pOut, query.kind);
    WriteLe32(pOut + 4, kQueryPayloadSize - 8);
    pOut[8] = query.channel;
    pOut[9] = query.fileType;
    WriteLe32(pOut + 12, query.start);
    WriteLe32(pOut + 16, query.end);
}

bool DecodeQuery(const unsigned char* pPayload, std::size_t nLen, QueryPayload* pQuery)
{
    if (nLen < kQueryPayloadSize)
        return false;
    pQuery->kind = ReadLe32(pPayload);
    pQuery->channel = pPayload[8];
    pQuery->fileType = pPayload[9];
    pQuery->start = ReadLe32(pPayload + 12);
    pQuery->end = ReadLe32(pPayload + 16);
    return true;
}

void EncodeGetFileRequest(const GetFileRequest& request, unsigned char* pOut)
{
    std::memset(pOut, 0, kGetFileRequestSize);
    WriteLe32(pOut, kGetFileKind);
    WriteLe32(pOut + 4, kGetFileRequestSize - 8);
    PutString(pOut + 8, 32, request.szFileName);
    WriteLe32(pOut + 40, request.nSeek);
    PutString(pOut + 44, 16, request.szListenIp);
    WriteLe16(pOut + 60, request.nListenPort);
    pOut[62] = request.nChannel;
}

bool DecodeGetFileRequest(const unsigned char* pPayload, std::size_t nLen, GetFileRequest* pRequest)
{
    if (nLen < kGetFileRequestSize)
        return false;
    GetString(pPayload + 8, 32, pRequest->szFileName);
    pRequest->nSeek = ReadLe32(pPayload + 40);
    GetString(pPayload + 44, 16, pRequest->szListenIp);
    pRequest->nListenPort = ReadLe16(pPayload + 60);
    pRequest->nChannel = pPayload[62];
    return true;
}

void EncodeEarliestFileRecord(const EarliestFileRecord& record, unsigned char* pOut)
{
    std::memset(pOut, 0, kEarliestFileRecordSize);
    PutString(pOut + 8, 36, record.szFileName);
    WriteLe32(pOut + 44, record.nStart);
    WriteLe32(pOut + 48, record.nEnd);
    pOut[52] = record.nChannel;
}

bool DecodeEarliestFileRecord(const unsigned char* pPayload, std::size_t nLen, EarliestFileRecord* pRecord)
{
    if (nLen < kEarliestFileRecordSize)
        return false;
    GetString(pPayload + 8, 36, pRecord->szFileName);
    pRecord->nStart = ReadLe32(pPayload + 44);
    pRecord->nEnd = ReadLe32(pPayload + 48);
    pRecord->nChannel = pPayload[52];
    return true;
}

void EncodeFileCountRecord(const FileCountRecord& record, unsigned char* pOut)
{
    std::memset(pOut, 0, kFileCountRecordSize);
    WriteLe32(pOut + 8, record.nCount);
}

bool DecodeFileCountRecord(const unsigned char* pPayload, std::size_t nLen, FileCountRecord* pRecord)
{
    if (nLen < kFileCountRecordSize)
        return false;
    pRecord->nCount = ReadLe32(pPayload + 8);
    return true;
}

void BuildReply(const unsigned char* pRequest, std::uint16_t nStatus, unsigned char* pOut)
{
    std::memcpy(pOut, pRequest, kControlHeaderSize);
    pOut[4] = 1;
    WriteBe16(pOut + 6, nStatus);
}

bool ReadNameField(const unsigned char* pData, std::size_t nLen, std::size_t nOffset, std::string* pName)
{
    if (nLen <= nOffset)
        return false;
    std::size_t nAvailable = nLen - nOffset < kNameFieldSize ? nLen - nOffset : kNameFieldSize;
    const char* pField = reinterpret_cast<const char*>(pData + nOffset);
    std::size_t nName = ::strnlen(pField, nAvailable);
    // A datagram cut short still names its vehicle when the name's NUL arrived.
    if (nName == nAvailable && nAvailable < kNameFieldSize)
        return false;
    // A name that fills the field without a NUL is cut to 31 characters, as a
    // 32-byte field with its terminator would hold.
    pName->assign(pField, nName < kNameFieldSize - 1 ? nName : kNameFieldSize - 1);
    return true;
}

std::uint8_t WireFileType(std::uint32_t nSettingsFileType)
{
    switch (nSettingsFileType) {
    case 1:
        return 0;
    case 2:
        return 2;
    default:
        return 0xFF;
    }
}
