// Times appends to a record index that already holds many records (100,000 unless
// given: RecordIndexBench 1000000 [directory]). The index is written directly, as a
// long run of appends would have left it; then the start-up check and 200 appends
// after a first one are timed: AddRecord alone (it only queues) and AddRecord with
// the Flush that waits until the writer has the record on disk. Then 200 records
// queued at once and flushed together. Bytes written come from /proc/self/io:
// "wchar" counts what was handed to write calls, "write_bytes" what reached the
// storage (whole pages).

#include "control/TransferHeader.h"
#include "settings/RecordIndex.h"
#include "settings/WallClock.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

std::map<std::string, long long> ProcessIo()
{
    std::map<std::string, long long> values;
    std::ifstream in("/proc/self/io");
    std::string key;
    long long nValue = 0;
    while (in >> key >> nValue)
        values[key.substr(0, key.size() - 1)] = nValue;
    return values;
}

}  // namespace

int main(int argc, char** argv)
{
    int nRecords = argc > 1 ? std::atoi(argv[1]) : 100000;
    constexpr int kAppends = 200;
    constexpr int kFlushMs = 60000;

    std::filesystem::path base = argc > 2 ? std::filesystem::path(argv[2]) : std::filesystem::temp_directory_path();
    std::string strTemplate = (base / "zelbench-XXXXXX").string();
    if (mkdtemp(strTemplate.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    std::filesystem::path dir = strTemplate;

    // Realistic records: a few hundred vehicles, eight channels, quarter-hour files.
    std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<Data>\r\n";
    text.reserve(static_cast<std::size_t>(nRecords) * 170 + 64);
    std::uint32_t tStart = WallClockFromFields(2013, 3, 5, 0, 0, 0);
    for (int i = 0; i < nRecords; ++i) {
        std::uint32_t t = tStart + static_cast<std::uint32_t>(i) * 900;
        text += "<record>\r\n<puid>BUS" + std::to_string(10000 + i % 500) +
                "</puid>\r\n<username>Admin</username>\r\n<chan>" + std::to_string(i % 8 + 1) +
                "</chan>\r\n<starttime>" + WallClockText(t) + "</starttime>\r\n<endtime>" + WallClockText(t + 900) +
                "</endtime>\r\n</record>\r\n";
    }
    if (nRecords == 0)
        text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<Data>";
    text += "</Data>";
    std::ofstream(dir / CRecordIndex::kFileName, std::ios::binary) << text;
    std::printf("record index: %d records, %.1f MB, in %s\n", nRecords, static_cast<double>(text.size()) / 1e6,
                dir.c_str());
    text = std::string();

    Clock::time_point t0 = Clock::now();
    CRecordIndex index(dir.string());
    std::printf("start-up check (whole index read and parsed once): %.0f ms\n", MsSince(t0));
    // Not timed: its flush also writes out the freshly written index.
    TransferHeader warmUp {};
    std::snprintf(warmUp.szDevice, sizeof(warmUp.szDevice), "BUS00000");
    if (!index.AddRecord(warmUp) || !index.Flush(kFlushMs)) {
        std::fprintf(stderr, "append failed\n");
        return 1;
    }

    auto header = [&](int i) {
        TransferHeader hdr {};
        std::snprintf(hdr.szDevice, sizeof(hdr.szDevice), "BUS%05d", 20000 + i);
        hdr.nChan = static_cast<std::uint8_t>(i % 8 + 1);
        hdr.tStart = tStart + static_cast<std::uint32_t>(nRecords + i) * 900;
        hdr.tEnd = hdr.tStart + 900;
        return hdr;
    };
    std::vector<double> queued;
    std::vector<double> written;
    std::map<std::string, long long> ioBefore = ProcessIo();
    auto nSizeBefore = std::filesystem::file_size(index.Path());
    for (int i = 0; i < kAppends; ++i) {
        TransferHeader hdr = header(i);
        Clock::time_point tAppend = Clock::now();
        bool bOk = index.AddRecord(hdr);
        queued.push_back(MsSince(tAppend));
        bOk = index.Flush(kFlushMs) && bOk;
        written.push_back(MsSince(tAppend));
        if (!bOk) {
            std::fprintf(stderr, "append %d failed\n", i + 1);
            return 1;
        }
    }
    std::map<std::string, long long> ioAfter = ProcessIo();
    auto nGrowth = std::filesystem::file_size(index.Path()) - nSizeBefore;

    std::sort(queued.begin(), queued.end());
    std::sort(written.begin(), written.end());
    std::printf("%d appends, AddRecord alone (queued): median %.3f ms, p99 %.3f ms, max %.3f ms\n", kAppends,
                queued[queued.size() / 2], queued[queued.size() * 99 / 100], queued.back());
    std::printf("%d appends, AddRecord and Flush (lock, tail read, write, fdatasync): median %.3f ms, p99 %.3f ms, "
                "max %.3f ms\n",
                kAppends, written[written.size() / 2], written[written.size() * 99 / 100], written.back());
    std::printf("per append: index grew %.0f bytes; %.0f bytes handed to write calls; %.0f bytes to storage\n",
                static_cast<double>(nGrowth) / kAppends,
                static_cast<double>(ioAfter["wchar"] - ioBefore["wchar"]) / kAppends,
                static_cast<double>(ioAfter["write_bytes"] - ioBefore["write_bytes"]) / kAppends);

    // A burst, as after a long outside lock: queued at once, written by one flush.
    Clock::time_point tBurst = Clock::now();
    for (int i = 0; i < kAppends; ++i)
        index.AddRecord(header(kAppends + i));
    double fQueuedMs = MsSince(tBurst);
    if (!index.Flush(kFlushMs)) {
        std::fprintf(stderr, "burst not written\n");
        return 1;
    }
    double fWrittenMs = MsSince(tBurst);
    std::printf("%d records queued at once: queued in %.3f ms, all written after %.0f ms (%.3f ms a record)\n",
                kAppends, fQueuedMs, fWrittenMs, fWrittenMs / kAppends);

    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
