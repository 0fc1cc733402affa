#include "control/ControlMessage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

TEST(ControlMessageTest, RequestHeaderBytes)
{
    ControlHeader header;
    header.command = ZELP_GETFILE;
    header.transactionId = 0x01020304;
    header.payloadLength = kGetFileRequestSize;
    unsigned char bytes[kControlHeaderSize];
    EncodeHeader(header, bytes);
    const unsigned char expected[] = {0x48, 0x0F, 0x01, 0x00, 0x00, 0x04, 0x00, 0x00, 0x01, 0x02,
                                      0x03, 0x04, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof(expected)));

    ControlHeader decoded;
    ASSERT_TRUE(DecodeHeader(bytes, sizeof(bytes), &decoded));
    EXPECT_EQ(decoded.transactionId, 0x01020304u);
    EXPECT_EQ(decoded.command, ZELP_GETFILE);
    EXPECT_FALSE(DecodeHeader(bytes, 19, &decoded));
}

TEST(ControlMessageTest, RequestSizesAndPayloadByteOrder)
{
    EXPECT_EQ(kControlHeaderSize + kGetFileRequestSize, 84u);
    EXPECT_EQ(kControlHeaderSize + kQueryPayloadSize, 40u);

    QueryPayload query;
    query.kind = kQueryKindEarliest;
    query.channel = 3;
    query.fileType = WireFileType(2);
    query.start = 0x11223344;
    query.end = 0x55667788;
    unsigned char q[kQueryPayloadSize];
    EncodeQuery(query, q);
    const unsigned char expectedQuery[] = {1, 0, 0, 0, 12, 0, 0, 0, 3, 2, 0, 0,
                                           0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55};
    EXPECT_EQ(0, std::memcmp(q, expectedQuery, sizeof(expectedQuery)));

    GetFileRequest request;
    std::strcpy(request.szFileName, "ch01_20240101.264");
    request.nSeek = 0x01000000;
    std::strcpy(request.szListenIp, "192.168.100.200");
    request.nListenPort = 10001;  // 0x2711
    request.nChannel = 2;
    unsigned char r[kGetFileRequestSize];
    EncodeGetFileRequest(request, r);
    EXPECT_EQ(r[0], 4);
    EXPECT_EQ(r[4], 56);
    EXPECT_STREQ(reinterpret_cast<char*>(r + 8), "ch01_20240101.264");
    EXPECT_EQ(r[40], 0x00);
    EXPECT_EQ(r[43], 0x01);
    EXPECT_STREQ(reinterpret_cast<char*>(r + 44), "192.168.100.200");
    EXPECT_EQ(r[60], 0x11);
    EXPECT_EQ(r[61], 0x27);
    EXPECT_EQ(r[62], 2);
    EXPECT_EQ(r[63], 0);

    GetFileRequest back;
    ASSERT_TRUE(DecodeGetFileRequest(r, sizeof(r), &back));
    EXPECT_STREQ(back.szFileName, request.szFileName);
    EXPECT_EQ(back.nSeek, request.nSeek);
    EXPECT_EQ(back.nListenPort, 10001);
}

TEST(ControlMessageTest, LongStringsAreCutToTheirFields)
{
    GetFileRequest request;
    std::memset(request.szFileName, 'a', sizeof(request.szFileName));  // no NUL at all
    std::memset(request.szListenIp, '1', sizeof(request.szListenIp));
    unsigned char r[kGetFileRequestSize + 1];
    r[kGetFileRequestSize] = 0xEE;
    EncodeGetFileRequest(request, r);
    EXPECT_EQ(r[8 + 31], 0);
    EXPECT_EQ(r[44 + 15], 0);
    EXPECT_EQ(r[kGetFileRequestSize], 0xEE);
}

TEST(ControlMessageTest, ReplyEchoesRequestHeader)
{
    unsigned char request[kControlHeaderSize] = {0x12, 0x34, 7, 9, 0, ZELP_REGISTER, 0, 0,
                                                 0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0x01, 0x05, 1, 2, 3, 4};
    unsigned char reply[kControlHeaderSize];
    BuildReply(request, kStatusOk, reply);
    EXPECT_EQ(reply[4], 1);
    EXPECT_EQ(reply[6], 0);
    EXPECT_EQ(reply[7], 200);
    // Everything else, payloadLength included, is the request's.
    for (std::size_t i : {0, 1, 2, 3, 5, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19})
        EXPECT_EQ(reply[i], request[i]) << "byte " << i;
    BuildReply(request, kStatusNotRegistered, reply);
    EXPECT_EQ(reply[6], 0x01);
    EXPECT_EQ(reply[7], 0x92);
}

TEST(ControlMessageTest, RecordsDecodeAndRefuseShortPayloads)
{
    EarliestFileRecord record;
    std::strcpy(record.szFileName, "a-name-of-thirty-five-characters-xx");
    record.nStart = 1000;
    record.nEnd = 2000;
    record.nChannel = 4;
    unsigned char e[kEarliestFileRecordSize];
    EncodeEarliestFileRecord(record, e);
    EarliestFileRecord back;
    ASSERT_TRUE(DecodeEarliestFileRecord(e, sizeof(e), &back));
    EXPECT_STREQ(back.szFileName, record.szFileName);
    EXPECT_EQ(back.nStart, 1000u);
    EXPECT_EQ(back.nEnd, 2000u);
    EXPECT_EQ(back.nChannel, 4);
    EXPECT_FALSE(DecodeEarliestFileRecord(e, sizeof(e) - 1, &back));

    // A name field without its NUL comes back terminated inside the field.
    std::memset(e + 8, 'z', 36);
    ASSERT_TRUE(DecodeEarliestFileRecord(e, sizeof(e), &back));
    EXPECT_EQ(std::strlen(back.szFileName), 35u);

    FileCountRecord count {7};
    unsigned char c[kFileCountRecordSize];
    EncodeFileCountRecord(count, c);
    FileCountRecord countBack;
    ASSERT_TRUE(DecodeFileCountRecord(c, sizeof(c), &countBack));
    EXPECT_EQ(countBack.nCount, 7u);
    EXPECT_FALSE(DecodeFileCountRecord(c, 15, &countBack));
}

TEST(ControlMessageTest, NameFieldsAndWireFileTypes)
{
    std::vector<unsigned char> datagram(kRegisterMinSize, 0);
    std::memcpy(datagram.data() + kRegisterNameOffset, "BUS-42", 6);
    std::string name;
    ASSERT_TRUE(ReadNameField(datagram.data(), datagram.size(), kRegisterNameOffset, &name));
    EXPECT_EQ(name, "BUS-42");
    // Cut short: the name counts when its NUL arrived, not otherwise.
    ASSERT_TRUE(ReadNameField(datagram.data(), kRegisterNameOffset + 7, kRegisterNameOffset, &name));
    EXPECT_EQ(name, "BUS-42");
    EXPECT_FALSE(ReadNameField(datagram.data(), kRegisterNameOffset + 6, kRegisterNameOffset, &name));
    EXPECT_FALSE(ReadNameField(datagram.data(), kRegisterNameOffset, kRegisterNameOffset, &name));
    std::memset(datagram.data() + kRegisterNameOffset, 'N', 32);
    ASSERT_TRUE(ReadNameField(datagram.data(), datagram.size(), kRegisterNameOffset, &name));
    EXPECT_EQ(name.size(), 31u);

    EXPECT_EQ(WireFileType(0), 0xFF);
    EXPECT_EQ(WireFileType(1), 0);
    EXPECT_EQ(WireFileType(2), 2);
    EXPECT_EQ(WireFileType(9), 0xFF);
}
