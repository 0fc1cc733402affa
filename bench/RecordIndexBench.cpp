// Times one append to a record index that already holds 100,000 records: read,
// parse, splice, write to a temporary file, flush and rename.

#include "platform/System.h"
#include "settings/RecordIndex.h"
#include "settings/WallClock.h"
#include "transfer/TransferHeader.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    int nRecords = argc > 1 ? std::atoi(argv[1]) : 100000;
    constexpr int kAppends = 7;

    std::string strTemplate = (std::filesystem::temp_directory_path() / "zelbench-XXXXXX").string();
    if (mkdtemp(strTemplate.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    std::filesystem::path dir = strTemplate;

    // The index as a long run of appends would have left it.
    std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<Data>\r\n";
    text.reserve(static_cast<std::size_t>(nRecords) * 170 + 64);
    std::uint32_t tStart = WallClockFromFields(2013, 3, 5, 0, 0, 0);
    for (int i = 0; i < nRecords; ++i) {
        std::uint32_t t = tStart + static_cast<std::uint32_t>(i) * 900;
        text += "<record>\r\n<puid>V" + std::to_string(i % 500) + "</puid>\r\n<username>Admin</username>\r\n<chan>" +
                std::to_string(i % 8 + 1) + "</chan>\r\n<starttime>" + WallClockText(t) +
                "</starttime>\r\n<endtime>" + WallClockText(t + 900) + "</endtime>\r\n</record>\r\n";
    }
    text += "</Data>";
    std::ofstream(dir / CRecordIndex::kFileName, std::ios::binary) << text;

    CRecordIndex index(dir.string());
    TransferHeader hdr {};
    std::snprintf(hdr.szDevice, sizeof(hdr.szDevice), "BENCH01");
    std::snprintf(hdr.szChan, sizeof(hdr.szChan), "ch01_bench");
    hdr.nChan = 1;
    hdr.tStart = tStart;
    hdr.tEnd = tStart + 900;

    std::vector<double> times;
    for (int i = 0; i < kAppends; ++i) {
        std::int64_t t0 = MonotonicMs();
        bool bOk = index.AddRecord(hdr);
        std::int64_t t1 = MonotonicMs();
        if (!bOk) {
            std::fprintf(stderr, "append failed\n");
            break;
        }
        times.push_back(static_cast<double>(t1 - t0));
    }

    std::printf("record index: %d records, %.1f MB\n", nRecords, static_cast<double>(text.size()) / 1e6);
    for (std::size_t i = 0; i < times.size(); ++i)
        std::printf("  append %zu: %.0f ms\n", i + 1, times[i]);
    if (!times.empty()) {
        std::sort(times.begin(), times.end());
        std::printf("one AddRecord (read, parse, splice, write, fsync, rename): median %.0f ms, best %.0f ms "
                    "(aim: under 250 ms)\n",
                    times[times.size() / 2], times.front());
    }

    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
