#include "footage/Sha256File.h"

#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace {

class Sha256FileTest : public Sandbox {};

TEST_F(Sha256FileTest, KnownValuesAndOneReadOverChunkBoundaries)
{
    // FIPS 180-2's "abc" and the CRC-32 check value of "123456789".
    EXPECT_EQ(DigestBytes("abc").strSha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(DigestBytes("123456789").nCrc32, 0xCBF43926u);
    FileDigest empty;
    WriteFile(At("empty"), "");
    ASSERT_EQ(DigestFile(At("empty"), empty), 0);
    EXPECT_EQ(empty.strSha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(empty.nCrc32, 0u);
    EXPECT_EQ(empty.nBytes, 0u);

    // Past the 1 MiB read: each part counts once, in order.
    std::string bytes;
    for (std::size_t i = 0; i < (3u << 20) + 17; ++i)
        bytes += static_cast<char>((i * 131 + i / 4099) & 0xFF);
    WriteFile(At("big"), bytes);
    FileDigest digest;
    ASSERT_EQ(DigestFile(At("big"), digest), 0);
    const FileDigest expected = DigestBytes(bytes);
    EXPECT_EQ(digest.strSha256, expected.strSha256);
    EXPECT_EQ(digest.nCrc32, expected.nCrc32);
    EXPECT_EQ(digest.nBytes, bytes.size());
    EXPECT_EQ(digest.strSha256.size(), 64u);
    EXPECT_EQ(digest.strSha256.find_first_not_of("0123456789abcdef"), std::string::npos);

    FileDigest missing;
    EXPECT_EQ(DigestFile(At("nothing"), missing), ENOENT);
    std::atomic<bool> bCancel {true};
    EXPECT_EQ(DigestFile(At("big"), missing, &bCancel), ECANCELED);
}

} // namespace
