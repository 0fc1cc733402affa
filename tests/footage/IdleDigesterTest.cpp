#include "footage/IdleDigester.h"

#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

class IdleDigesterTest : public Sandbox {};

TEST_F(IdleDigesterTest, DigestsOnItsThreadUntilStoppedAndAgainAfterARestart)
{
    WriteFile(At("a"), std::string(3 << 20, 'a'));
    WriteFile(At("b"), "b");
    CIdleDigester digester;
    FileDigest digest;
    EXPECT_EQ(digester.Digest(At("a"), digest), ECANCELED) << "not started";

    digester.Start();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(digester.Digest(At("a"), digest), 0);
        EXPECT_EQ(digest.strSha256, DigestBytes(std::string(3 << 20, 'a')).strSha256);
        EXPECT_EQ(digest.nBytes, 3u << 20);
        ASSERT_EQ(digester.Digest(At("b"), digest), 0);
        EXPECT_EQ(digest.nCrc32, DigestBytes("b").nCrc32);
    }
    EXPECT_EQ(digester.Digest(At("missing"), digest), ENOENT);

    digester.Stop();
    EXPECT_EQ(digester.Digest(At("b"), digest), ECANCELED);
    digester.Stop();
    digester.Start();
    ASSERT_EQ(digester.Digest(At("b"), digest), 0);
    EXPECT_EQ(digest.strSha256, DigestBytes("b").strSha256);
}

} // namespace
