#include "footage/EvidenceManifest.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

FootageRequest Request()
{
    FootageRequest request;
    request.nId = 42;
    request.ask.strVehicle = "BUS-0412";
    request.ask.channels = {1, 2};
    request.ask.tFrom = 1796565600;  // 2026-12-06 14:00:00
    request.ask.tTo = 1796566200;
    request.ask.strReason = "passenger fall, \"rear door\"";
    request.ask.strRequestedBy = "investigator@192.0.2.7";
    request.tCreated = 1796570000;
    request.eState = FootageRequest::State::Done;
    return request;
}

EvidenceFile File(const std::string& path, std::uint32_t tStart)
{
    return EvidenceFile {path, 1048576, tStart, tStart + 300, std::string(64, 'A')};
}

} // namespace

TEST(EvidenceManifestTest, TheManifestNamesTheRequestAndEveryFileWithItsHash)
{
    std::string text, error;
    ASSERT_TRUE(CEvidenceManifest::Make(Request(),
                                        {File("BUS-0412/06-12-2026/ch01/ch01_20261206140000_20261206140500.mp4", 1796565600),
                                         File("BUS-0412/06-12-2026/ch02/ch02_20261206140000_20261206140500.mp4", 1796565600)},
                                        1796570100, text, error))
        << error;
    nlohmann::json manifest = nlohmann::json::parse(text);
    EXPECT_EQ(manifest["generated_at"], "2026-12-06T15:15:00Z");
    const nlohmann::json& request = manifest["request"];
    EXPECT_EQ(request["id"], 42);
    EXPECT_EQ(request["vehicle"], "BUS-0412");
    EXPECT_EQ(request["channels"], nlohmann::json::array({1, 2}));
    EXPECT_EQ(request["window"]["from"], "2026-12-06T14:00:00Z");
    EXPECT_EQ(request["window"]["to"], "2026-12-06T14:10:00Z");
    EXPECT_EQ(request["reason"], "passenger fall, \"rear door\"");
    EXPECT_EQ(request["requested_by"], "investigator@192.0.2.7");
    EXPECT_EQ(request["requested_at"], "2026-12-06T15:13:20Z");
    EXPECT_EQ(manifest["file_count"], 2);
    EXPECT_EQ(manifest["total_bytes"], 2 * 1048576);
    ASSERT_EQ(manifest["files"].size(), 2u);
    const nlohmann::json& file = manifest["files"][1];
    EXPECT_EQ(file["name"], "ch02_20261206140000_20261206140500.mp4");
    EXPECT_EQ(file["path"], "BUS-0412/06-12-2026/ch02/ch02_20261206140000_20261206140500.mp4");
    EXPECT_EQ(file["size"], 1048576);
    EXPECT_EQ(file["start"], "2026-12-06T14:00:00Z");
    EXPECT_EQ(file["end"], "2026-12-06T14:05:00Z");
    EXPECT_EQ(file["sha256"], std::string(64, 'a'));  // written in lower case

    // Every channel, and text that is not UTF-8, still give valid JSON.
    FootageRequest all = Request();
    all.ask.channels.clear();
    all.ask.strReason = "bad \xff byte";
    ASSERT_TRUE(CEvidenceManifest::Make(all, {}, 0, text, error));
    manifest = nlohmann::json::parse(text);
    EXPECT_EQ(manifest["request"]["channels"], "all");
    EXPECT_TRUE(manifest["files"].empty());
}

TEST(EvidenceManifestTest, BadHashesAndPathsOutsideTheRootAreRefused)
{
    std::string text, error;
    EvidenceFile shortHash = File("BUS/a.mp4", 1);
    shortHash.strSha256 = "abc";
    EvidenceFile notHex = File("BUS/a.mp4", 1);
    notHex.strSha256 = std::string(64, 'g');
    for (const EvidenceFile& file : {shortHash, notHex, File("../etc/passwd", 1), File("/abs/a.mp4", 1),
                                     File("BUS//a.mp4", 1), File("BUS/./a.mp4", 1)}) {
        EXPECT_FALSE(CEvidenceManifest::Make(Request(), {file}, 0, text, error)) << file.strPath;
        EXPECT_FALSE(error.empty());
    }
}
