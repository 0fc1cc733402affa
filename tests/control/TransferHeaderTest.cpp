#include "control/TransferHeader.h"

#include <gtest/gtest.h>

// The 80 bytes as a recorder sends them, written out by hand: device "BUS7", file
// "ch02_20231114221320_0", start 0x6553F100, end 0x6553F22C, size 300000 (0x000493E0),
// channel 2, little-endian integers.
TEST(TransferHeaderTest, DecodesAndEncodesTheWireBytes)
{
    const unsigned char wire[80] = {
        'B', 'U', 'S', '7', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // szDevice
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        'c', 'h', '0', '2', '_', '2', '0', '2', '3', '1', '1', '1', '4', '2', '2', '1',  // szChan
        '3', '2', '0', '_', '0', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0x00, 0xF1, 0x53, 0x65,  // tStart
        0x2C, 0xF2, 0x53, 0x65,  // tEnd
        0xE0, 0x93, 0x04, 0x00,  // nFileSize
        0x02,                    // nChan
        0x00, 0x00, 0x00,        // reserved
    };
    TransferHeader hdr {};
    ASSERT_TRUE(DecodeTransferHeader(wire, sizeof(wire), hdr));
    EXPECT_EQ(HeaderText(hdr.szDevice), "BUS7");
    EXPECT_EQ(HeaderText(hdr.szChan), "ch02_20231114221320_0");
    EXPECT_EQ(hdr.tStart, 0x6553F100u);
    EXPECT_EQ(hdr.tEnd, 0x6553F22Cu);
    EXPECT_EQ(hdr.nFileSize, 300000u);
    EXPECT_EQ(hdr.nChan, 2);

    unsigned char back[80];
    EncodeTransferHeader(hdr, back);
    EXPECT_EQ(std::memcmp(back, wire, sizeof(wire)), 0);
    EXPECT_FALSE(DecodeTransferHeader(wire, 79, hdr));

    // A name that fills its field has no NUL and is read whole.
    unsigned char full[80];
    std::memcpy(full, wire, sizeof(full));
    std::memset(full, 'N', 32);
    ASSERT_TRUE(DecodeTransferHeader(full, sizeof(full), hdr));
    EXPECT_EQ(HeaderText(hdr.szDevice), std::string(32, 'N'));
}
