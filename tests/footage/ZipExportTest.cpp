#include "footage/ZipExport.h"

#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace {

// Unpacks every entry with Python's zipfile, checks its CRC (testzip), and compares
// each named entry's bytes with a file on disk: argv zip, then name=path pairs.
constexpr const char* kCheckScript = R"(import sys, zipfile
some = sys.argv[2] == "--some"  # only the entries given are read; others may be there
with zipfile.ZipFile(sys.argv[1]) as z:
    bad = None if some else z.testzip()
    if bad is not None:
        sys.exit("bad CRC: " + bad)
    pairs = [a.split("=", 1) for a in sys.argv[3 if some else 2:]]
    names = sorted(n for n, _ in pairs)
    if (not some and sorted(z.namelist()) != names) or not set(names) <= set(z.namelist()):
        sys.exit("names: %r" % z.namelist())
    for name, path in pairs:
        with z.open(name) as a, open(path, "rb") as b:
            while True:
                x = a.read(1 << 20)
                y = b.read(1 << 20)
                if x != y:
                    sys.exit("differs: " + name)
                if not x:
                    break
)";

class ZipExportTest : public Sandbox {
protected:
    // Writes the plan's bytes to path; zero runs of the files become holes, so a sparse
    // source gives a sparse zip.
    static void Materialize(const ZipPlan& plan, const fs::path& path)
    {
        std::fstream out(path, std::ios::binary | std::ios::out | std::ios::trunc);
        ASSERT_TRUE(out.good());
        std::uint64_t nAt = 0;
        std::vector<char> chunk(1 << 20);
        for (const ZipPiece& piece : plan.pieces) {
            if (piece.eKind == ZipPiece::Kind::Bytes) {
                ASSERT_EQ(piece.bytes.size(), piece.nLength);
                out.seekp(static_cast<std::streamoff>(nAt));
                out.write(piece.bytes.data(), static_cast<std::streamsize>(piece.bytes.size()));
                nAt += piece.nLength;
                continue;
            }
            std::ifstream in(piece.strPath, std::ios::binary);
            in.seekg(static_cast<std::streamoff>(piece.nOffset));
            for (std::uint64_t nLeft = piece.nLength; nLeft > 0;) {
                auto nTake = static_cast<std::size_t>(std::min<std::uint64_t>(nLeft, chunk.size()));
                in.read(chunk.data(), static_cast<std::streamsize>(nTake));
                ASSERT_EQ(static_cast<std::size_t>(in.gcount()), nTake) << piece.strPath;
                if (std::any_of(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(nTake),
                                [](char c) { return c != 0; })) {
                    out.seekp(static_cast<std::streamoff>(nAt));
                    out.write(chunk.data(), static_cast<std::streamsize>(nTake));
                }
                nAt += nTake;
                nLeft -= nTake;
            }
        }
        out.close();
        fs::resize_file(path, nAt);
        ASSERT_EQ(nAt, plan.nTotal);
    }

    static std::uint32_t Crc(const std::string& data)
    {
        return static_cast<std::uint32_t>(
            crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    }

    // CRC-32 of nLength zero bytes, by doubling: no need to read a huge file.
    static std::uint32_t ZeroCrc(std::uint64_t nLength)
    {
        const std::string block(1 << 20, '\0');
        std::uint64_t nBlock = block.size();
        uLong nBlockCrc = crc32(0L, reinterpret_cast<const Bytef*>(block.data()), static_cast<uInt>(nBlock));
        uLong nCrc = crc32(0L, Z_NULL, 0);
        std::uint64_t nDone = 0;
        for (; nLength - nDone >= nBlock;) {
            // The largest power-of-two run of blocks that still fits.
            uLong nRunCrc = nBlockCrc;
            std::uint64_t nRun = nBlock;
            while (nRun * 2 <= nLength - nDone) {
                nRunCrc = crc32_combine(nRunCrc, nRunCrc, static_cast<z_off_t>(nRun));
                nRun *= 2;
            }
            nCrc = crc32_combine(nCrc, nRunCrc, static_cast<z_off_t>(nRun));
            nDone += nRun;
        }
        uLong nTail = crc32(0L, reinterpret_cast<const Bytef*>(block.data()), static_cast<uInt>(nLength - nDone));
        return static_cast<std::uint32_t>(crc32_combine(nCrc, nTail, static_cast<z_off_t>(nLength - nDone)));
    }

    int Run(const std::string& command) const { return std::system(command.c_str()); }

    // unzip -t and the Python check on the zip at path; entries are (name, file) pairs.
    // bSome: only those entries are compared (and the CRCs left to unzip -t).
    void ExpectUnzipsTo(const fs::path& zip, const std::vector<std::pair<std::string, fs::path>>& entries,
                        bool bSome = false)
    {
        EXPECT_EQ(Run("unzip -tq '" + zip.string() + "' > '" + At("unzip.out") + "' 2>&1"), 0)
            << ReadFile(At("unzip.out"));
        WriteFile(At("check.py"), kCheckScript);
        std::string command = "python3 '" + At("check.py") + "' '" + zip.string() + "'" + (bSome ? " --some" : "");
        for (const auto& [name, path] : entries)
            command += " '" + name + "=" + path.string() + "'";
        EXPECT_EQ(Run(command + " > '" + At("check.out") + "' 2>&1"), 0) << ReadFile(At("check.out"));
    }
};

} // namespace

TEST_F(ZipExportTest, APlanUnzipsToTheSameBytesWithTheManifestFirst)
{
    std::mt19937 random(7);
    std::string first(300000, '\0'), second(12345, '\0');
    for (char& c : first)
        c = static_cast<char>(random());
    for (char& c : second)
        c = static_cast<char>(random());
    WriteFile(At("a.mp4"), first);
    WriteFile(At("b.mp4"), second);
    WriteFile(At("empty.mp4"), "");
    const std::string manifest = "{\"files\": 3}\n";
    WriteFile(At("manifest.json"), manifest);

    std::vector<ZipFileEntry> files = {
        {"ch01/ch01_20261206140000_20261206140500.mp4", At("a.mp4"), first.size(), Crc(first), 1796565600},
        {"ch02/ch02_20261206140000_20261206140500.mp4", At("b.mp4"), second.size(), Crc(second), 1796565600},
        {"ch02/empty.mp4", At("empty.mp4"), 0, Crc(""), 1796565600},
    };
    ZipPlan plan;
    std::string error;
    ASSERT_TRUE(CZipExport::Plan(files, "manifest.json", manifest, 1796566000, plan, error)) << error;
    EXPECT_FALSE(plan.bZip64);
    // The file bytes are ranges of the files, sent as they are.
    std::size_t nFileRanges = 0;
    for (const ZipPiece& piece : plan.pieces)
        if (piece.eKind == ZipPiece::Kind::File) {
            ++nFileRanges;
            EXPECT_EQ(piece.nOffset, 0u);
        }
    EXPECT_EQ(nFileRanges, 2u);  // the empty file has none
    ASSERT_NO_FATAL_FAILURE(Materialize(plan, At("export.zip")));
    EXPECT_EQ(fs::file_size(At("export.zip")), plan.nTotal);
    ExpectUnzipsTo(At("export.zip"), {{"manifest.json", At("manifest.json")},
                                      {files[0].strName, At("a.mp4")},
                                      {files[1].strName, At("b.mp4")},
                                      {files[2].strName, At("empty.mp4")}});
    // The manifest is the first entry.
    std::string zip = ReadFile(At("export.zip"));
    EXPECT_EQ(zip.substr(30, 13), "manifest.json");
}

TEST_F(ZipExportTest, UnsafeOrRepeatedNamesAreRefused)
{
    const std::vector<std::string> names = {"../x.mp4", "/etc/x.mp4", "a//b.mp4", "a\\b.mp4", "./a.mp4", "a/", "",
                                            "c:x", "a\nb", std::string(1025, 'a')};
    for (const std::string& name : names) {
        ZipPlan plan;
        std::string error;
        EXPECT_FALSE(CZipExport::Plan({{name, At("x"), 1, 0, 0}}, "manifest.json", "{}", 0, plan, error)) << name;
        EXPECT_FALSE(error.empty());
    }
    ZipPlan plan;
    std::string error;
    EXPECT_FALSE(CZipExport::Plan({{"a.mp4", At("x"), 1, 0, 0}, {"a.mp4", At("y"), 1, 0, 0}}, "manifest.json", "{}", 0,
                                  plan, error));
    EXPECT_FALSE(CZipExport::Plan({{"manifest.json", At("x"), 1, 0, 0}}, "manifest.json", "{}", 0, plan, error));
}

TEST_F(ZipExportTest, TheExportNameHoldsVehicleChannelsAndWindowInSafeCharacters)
{
    const std::uint32_t tFrom = 1796565600;  // 2026-12-06 14:00:00 on the wall clock
    EXPECT_EQ(CZipExport::ExportName("BUS-0412", {1, 2}, tFrom, tFrom + 600),
              "BUS-0412_ch01-ch02_20261206T140000Z-20261206T141000Z.zip");
    EXPECT_EQ(CZipExport::ExportName("BUS 7/\"x\"", {}, tFrom, tFrom + 1),
              "BUS_7__x__all_20261206T140000Z-20261206T140001Z.zip");
    EXPECT_EQ(CZipExport::ExportName("..", {12}, tFrom, tFrom + 1), "_.._ch12_20261206T140000Z-20261206T140001Z.zip");
}

TEST_F(ZipExportTest, ARecordingOverFourGibibytesAndAnEntryBeyondThemUseZip64)
{
    const std::uint64_t nBig = 4402341478ull;  // 4.1 GiB, all zeros, sparse
    {
        std::ofstream create(At("big.mp4"), std::ios::binary);
    }
    fs::resize_file(At("big.mp4"), nBig);
    const std::string small = "the recording after the big one";
    WriteFile(At("small.mp4"), small);
    const std::string manifest = "{}\n";
    WriteFile(At("manifest.json"), manifest);

    std::vector<ZipFileEntry> files = {
        {"ch01/big.mp4", At("big.mp4"), nBig, ZeroCrc(nBig), 1796565600},
        {"ch01/small.mp4", At("small.mp4"), small.size(), Crc(small), 1796565600},
    };
    ZipPlan plan;
    std::string error;
    ASSERT_TRUE(CZipExport::Plan(files, "manifest.json", manifest, 1796566000, plan, error)) << error;
    EXPECT_TRUE(plan.bZip64);
    EXPECT_GT(plan.nTotal, nBig);
    ASSERT_NO_FATAL_FAILURE(Materialize(plan, At("big.zip")));
    // unzip -t checks every entry's CRC over its bytes; the byte comparison reads the
    // entries around the big one, which it must seek past through the 64-bit records.
    ExpectUnzipsTo(At("big.zip"), {{"manifest.json", At("manifest.json")}, {"ch01/small.mp4", At("small.mp4")}},
                   true);
}
