// Parse throughput of CXmlDoc on a record index of about 20 MB, and the cost of one
// record append into an index of 100,000 records held in memory.
#include "settings/XmlDoc.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point tStart, Clock::time_point tEnd)
{
    return std::chrono::duration<double, std::milli>(tEnd - tStart).count();
}

std::string RecordMarkup(int nIndex)
{
    char szRecord[256];
    std::snprintf(szRecord, sizeof szRecord,
                  "<record>\r\n<puid>bus%05d</puid>\r\n<username>Admin</username>\r\n<chan>%d</chan>\r\n"
                  "<starttime>20100101%02d0000</starttime>\r\n<endtime>20100101%02d1500</endtime>\r\n"
                  "</record>\r\n",
                  nIndex % 100000, nIndex % 12 + 1, nIndex % 24, nIndex % 24);
    return szRecord;
}

std::string Index(size_t nMinBytes, int nMinRecords)
{
    std::string strText = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<Data>\r\n";
    for (int i = 0; strText.size() < nMinBytes || i < nMinRecords; ++i)
        strText += RecordMarkup(i);
    strText += "</Data>";
    return strText;
}

} // namespace

int main()
{
    const std::string strBig = Index(20u << 20, 0);
    const double dMB = static_cast<double>(strBig.size()) / (1 << 20);
    CXmlDoc doc;
    double dBest = 1e9, dTotal = 0;
    const int nRuns = 5;
    for (int i = 0; i < nRuns; ++i) {
        auto t0 = Clock::now();
        bool bOk = doc.SetText(strBig);
        auto t1 = Clock::now();
        if (!bOk)
            std::printf("parse failed: %s\n", doc.GetResult().c_str());
        dBest = std::min(dBest, Ms(t0, t1));
        dTotal += Ms(t0, t1);
    }
    std::printf("parse %.1f MB: best %.1f ms (%.0f MB/s), mean %.1f ms (%.0f MB/s)\n", dMB, dBest,
                dMB / dBest * 1000, dTotal / nRuns, dMB / (dTotal / nRuns) * 1000);

    // One append the way the record index does it, into 100,000 records.
    const std::string strIndex = Index(0, 100000);
    doc.SetText(strIndex);
    auto t0 = Clock::now();
    CXmlDoc scratch;
    scratch.AddSibling("record");
    scratch.AddChild("puid", "bus00001");
    scratch.AddChild("username", "Admin");
    scratch.AddChild("chan", 3);
    scratch.AddChild("starttime", "20100101080000");
    scratch.AddChild("endtime", "20100101081500");
    const std::string strRecord = scratch.GetRawContent();
    doc.ResetPos();
    doc.FindSibling("Data");
    doc.AddChild("record");
    doc.EnterElement();
    doc.InsertChildMarkup(strRecord);
    doc.LeaveElement();
    auto t1 = Clock::now();
    std::printf("append into 100000 records (%.1f MB) in memory: %.3f ms\n",
                static_cast<double>(strIndex.size()) / (1 << 20), Ms(t0, t1));

    // The same append with the document parsed first, as every append rereads the file.
    t0 = Clock::now();
    doc.SetText(strIndex);
    doc.FindSibling("Data");
    doc.AddChild("record");
    doc.EnterElement();
    doc.InsertChildMarkup(strRecord);
    doc.LeaveElement();
    t1 = Clock::now();
    std::printf("parse + append into 100000 records in memory: %.1f ms\n", Ms(t0, t1));
    return 0;
}
