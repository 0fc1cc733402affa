#include "tools/dvrsim/SimOptions.h"

#include "platform/Format.h"
#include "platform/Socket.h"
#include "settings/WallClock.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>

namespace {

// Whole-text decimal number within [nMin, nMax]; false on anything else.
bool ParseInt(const std::string& strText, long long nMin, long long nMax, long long* pValue)
{
    if (strText.empty())
        return false;
    const char* psz = strText.c_str();
    if (*psz != '-' && (*psz < '0' || *psz > '9'))
        return false;
    char* pEnd = nullptr;
    errno = 0;
    long long n = std::strtoll(psz, &pEnd, 10);
    if (errno != 0 || *pEnd != '\0' || n < nMin || n > nMax)
        return false;
    *pValue = n;
    return true;
}

// A byte count with an optional binary suffix: 512, 64K, 16M, 1G.
bool ParseSize(const std::string& strText, long long nMax, long long* pValue)
{
    if (strText.empty())
        return false;
    long long nUnit = 1;
    std::string strDigits = strText;
    switch (strText.back()) {
    case 'k': case 'K': nUnit = 1LL << 10; break;
    case 'm': case 'M': nUnit = 1LL << 20; break;
    case 'g': case 'G': nUnit = 1LL << 30; break;
    default: break;
    }
    if (nUnit != 1)
        strDigits.pop_back();
    long long n = 0;
    if (!ParseInt(strDigits, 0, nMax, &n) || n > nMax / nUnit)
        return false;
    *pValue = n * nUnit;
    return true;
}

std::vector<std::string> SplitList(const std::string& strText)
{
    std::vector<std::string> vec;
    std::size_t nPos = 0;
    while (true) {
        std::size_t nComma = strText.find(',', nPos);
        vec.push_back(strText.substr(nPos, nComma == std::string::npos ? std::string::npos : nComma - nPos));
        if (nComma == std::string::npos)
            return vec;
        nPos = nComma + 1;
    }
}

// "P[,SEED]": a percentage from 0 to 100, fraction allowed ("0.5"), and an optional
// unsigned 64-bit seed.
bool ParseLoss(const std::string& strText, double* pPercent, std::uint64_t* pSeed)
{
    std::size_t nComma = strText.find(',');
    std::string strPercent = strText.substr(0, nComma);
    // Digits with at most one point between them: no sign, exponent, "inf" or "nan".
    std::size_t nPoint = strPercent.find('.');
    if (strPercent.empty() || strPercent.find_first_not_of("0123456789.") != std::string::npos
        || strPercent.front() == '.' || strPercent.back() == '.'
        || (nPoint != std::string::npos && strPercent.find('.', nPoint + 1) != std::string::npos))
        return false;
    double dPercent = std::strtod(strPercent.c_str(), nullptr);
    if (dPercent > 100.0)
        return false;
    std::uint64_t nSeed = *pSeed;
    if (nComma != std::string::npos) {
        std::string strSeed = strText.substr(nComma + 1);
        if (strSeed.empty() || strSeed.find_first_not_of("0123456789") != std::string::npos)
            return false;
        errno = 0;
        unsigned long long n = std::strtoull(strSeed.c_str(), nullptr, 10);
        if (errno != 0)
            return false;
        nSeed = n;
    }
    *pPercent = dPercent;
    *pSeed = nSeed;
    return true;
}

// 14-digit wall-clock text "YYYYMMDDhhmmss", or "now-SECONDS" / "now".
bool ParseStart(const std::string& strText, std::uint32_t* pValue)
{
    if (strText == "now") {
        *pValue = WallClockNow();
        return true;
    }
    long long n = 0;
    if (strText.rfind("now-", 0) == 0) {
        if (!ParseInt(strText.substr(4), 0, WallClockNow() - 1, &n))
            return false;
        *pValue = WallClockNow() - static_cast<std::uint32_t>(n);
        return true;
    }
    if (strText.size() != 14 || strText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    auto field = [&](std::size_t nAt, std::size_t nLen) { return std::atoi(strText.substr(nAt, nLen).c_str()); };
    int nYear = field(0, 4), nMonth = field(4, 2), nDay = field(6, 2);
    int nHour = field(8, 2), nMinute = field(10, 2), nSecond = field(12, 2);
    if (nYear < 1971 || nYear > 2105 || nMonth < 1 || nMonth > 12 || nDay < 1 || nDay > 31 || nHour > 23
        || nMinute > 59 || nSecond > 59)
        return false;
    *pValue = WallClockFromFields(nYear, nMonth, nDay, nHour, nMinute, nSecond);
    return true;
}

struct OptionDef {
    bool bTakesValue;
    // Applies the value; "" on success, else what a good value looks like.
    std::function<std::string(const std::string&, SimOptions*)> apply;
    // Options whose value is optional take it only as "=VALUE"; given bare, they
    // apply this one. Null: the value is required or not taken at all.
    const char* szBare = nullptr;
};

// Builds a handler for an integer option stored in a member of any integer type.
template <typename T>
OptionDef IntOption(T SimOptions::*pMember, long long nMin, long long nMax)
{
    return {true, [=](const std::string& strValue, SimOptions* p) -> std::string {
                long long n = 0;
                if (!ParseInt(strValue, nMin, nMax, &n))
                    return Format("a number from %lld to %lld", nMin, nMax);
                p->*pMember = static_cast<T>(n);
                return "";
            }};
}

template <typename T>
OptionDef FaultInt(T SimFaults::*pMember, long long nMin, long long nMax)
{
    return {true, [=](const std::string& strValue, SimOptions* p) -> std::string {
                long long n = 0;
                if (!ParseInt(strValue, nMin, nMax, &n))
                    return Format("a number from %lld to %lld", nMin, nMax);
                p->faults.*pMember = static_cast<T>(n);
                return "";
            }};
}

// A fault switched on by the option, limited by its optional "=N" to the first N
// requests of each recording (none or 0: every one).
OptionDef FaultSwitch(bool SimFaults::*pSwitch, std::uint32_t SimFaults::*pCount)
{
    return {false,
            [=](const std::string& strValue, SimOptions* p) -> std::string {
                long long n = 0;
                if (!ParseInt(strValue, 0, 1000000, &n))
                    return "a count from 0 to 1000000";
                p->faults.*pSwitch = true;
                p->faults.*pCount = static_cast<std::uint32_t>(n);
                return "";
            },
            "0"};
}

// "device,file,channel[:N]": the header fields to falsify; N limits all of them to
// the first N requests of each recording and is kept when not given.
std::string ApplyForeignHeader(const std::string& strValue, SimOptions* p)
{
    const char* szExpected = "a comma-separated list of device, file and channel, optionally followed by :N";
    std::size_t nColon = strValue.find(':');
    long long nCount = 0;
    if (nColon != std::string::npos && !ParseInt(strValue.substr(nColon + 1), 0, 1000000, &nCount))
        return szExpected;
    bool bDevice = false, bFile = false, bChannel = false;
    for (const std::string& str : SplitList(strValue.substr(0, nColon))) {
        if (str == "device")
            bDevice = true;
        else if (str == "file")
            bFile = true;
        else if (str == "channel")
            bChannel = true;
        else
            return szExpected;
    }
    p->faults.bForeignDevice |= bDevice;
    p->faults.bForeignFile |= bFile;
    p->faults.bWrongChannel |= bChannel;
    if (nColon != std::string::npos)
        p->faults.nForeignHeaderCount = static_cast<std::uint32_t>(nCount);
    return "";
}

const std::map<std::string, OptionDef>& OptionTable()
{
    static const std::map<std::string, OptionDef> s_table = {
        {"--server", {true, [](const std::string& v, SimOptions* p) -> std::string {
             std::uint32_t nAddr = 0;
             if (!ParseIpv4(v.c_str(), &nAddr))
                 return "a dotted IPv4 address";
             p->strServerIp = v;
             return "";
         }}},
        {"--port", IntOption(&SimOptions::nServerPort, 1, 65535)},
        {"--local-ip", {true, [](const std::string& v, SimOptions* p) -> std::string {
             std::uint32_t nAddr = 0;
             if (!v.empty() && !ParseIpv4(v.c_str(), &nAddr))
                 return "a dotted IPv4 address";
             p->strLocalIp = v;
             return "";
         }}},
        {"--check-address", {false, [](const std::string&, SimOptions* p) -> std::string {
             p->bCheckAddress = true;
             return "";
         }}},
        {"--vehicles", IntOption(&SimOptions::nVehicles, 1, 1000)},
        {"--prefix", {true, [](const std::string& v, SimOptions* p) -> std::string {
             if (v.empty() || v.size() > 28)
                 return "1 to 28 characters";
             p->strNamePrefix = v;
             return "";
         }}},
        {"--names", {true, [](const std::string& v, SimOptions* p) -> std::string {
             std::vector<std::string> vec = SplitList(v);
             for (const std::string& str : vec)
                 if (str.empty() || str.size() > 32)
                     return "a comma-separated list of names of 1 to 32 characters";
             p->vecNames = vec;
             return "";
         }}},
        {"--channels", IntOption(&SimOptions::nChannels, 1, 64)},
        {"--recordings", IntOption(&SimOptions::nRecordings, 0, 100000)},
        {"--rec-seconds", IntOption(&SimOptions::nRecSeconds, 1, 86400)},
        {"--rec-gap", IntOption(&SimOptions::nRecGapSeconds, 0, 86400)},
        {"--rec-bytes", {true, [](const std::string& v, SimOptions* p) -> std::string {
             long long n = 0;
             if (!ParseSize(v, 0xFFFFFFFFLL, &n))
                 return "a byte count up to 4294967295 (suffix K, M or G allowed)";
             p->nRecBytes = static_cast<std::uint32_t>(n);
             return "";
         }}},
        {"--rec-file", {true, [](const std::string& v, SimOptions* p) -> std::string {
             std::error_code ec;
             std::uintmax_t nSize = std::filesystem::file_size(v, ec);
             if (ec || nSize == 0 || nSize > 0xFFFFFFFFu)
                 return "a readable file of 1 byte to 4 GiB";
             p->strRecFile = v;
             p->nRecBytes = static_cast<std::uint32_t>(nSize);
             return "";
         }}},
        {"--start", {true, [](const std::string& v, SimOptions* p) -> std::string {
             if (!ParseStart(v, &p->tStart))
                 return "YYYYMMDDhhmmss, now or now-SECONDS";
             return "";
         }}},
        {"--types", {true, [](const std::string& v, SimOptions* p) -> std::string {
             std::vector<std::uint8_t> vecTypes;
             for (const std::string& str : SplitList(v)) {
                 long long n = 0;
                 if (str == "timing")
                     vecTypes.push_back(0);
                 else if (str == "alarm")
                     vecTypes.push_back(2);
                 else if (ParseInt(str, 0, 254, &n))
                     vecTypes.push_back(static_cast<std::uint8_t>(n));
                 else
                     return "a comma-separated list of timing, alarm or numbers 0 to 254";
             }
             p->vecRecordTypes = vecTypes;
             return "";
         }}},
        {"--keepalive-ms", IntOption(&SimOptions::nKeepAliveMs, 10, 3600000)},
        {"--duration", IntOption(&SimOptions::nDurationS, 0, 31536000)},
        {"--verbosity", IntOption(&SimOptions::nVerbosity, 0, 2)},
        {"--loss", {true, [](const std::string& v, SimOptions* p) -> std::string {
             if (!ParseLoss(v, &p->dLossPercent, &p->nLossSeed))
                 return "a percentage from 0 to 100 (0.5 allowed), optionally followed by ,SEED";
             return "";
         }}},
        {"--quiet", {false, [](const std::string&, SimOptions* p) -> std::string {
             p->nVerbosity = 0;
             return "";
         }}},
        {"--cut-after", {true, [](const std::string& v, SimOptions* p) -> std::string {
             long long n = 0;
             if (!ParseSize(v, 0xFFFFFFFFLL, &n) || n == 0)
                 return "a byte count from 1 to 4294967295 (suffix K, M or G allowed)";
             p->faults.nCutAfterBytes = static_cast<std::uint64_t>(n);
             return "";
         }}},
        {"--cut-count", FaultInt(&SimFaults::nCutCount, 0, 1000000)},
        {"--header-only", {false, [](const std::string&, SimOptions* p) -> std::string {
             p->faults.bHeaderOnly = true;
             return "";
         }}},
        {"--no-count", {false, [](const std::string&, SimOptions* p) -> std::string {
             p->faults.bNoCount = true;
             return "";
         }}},
        {"--refuse", {true, [](const std::string& v, SimOptions* p) -> std::string {
             long long n = 0;
             if (!ParseInt(v, 1, 65535, &n) || n == 200)
                 return "a status from 1 to 65535 other than 200";
             p->faults.nRefuseStatus = static_cast<std::uint16_t>(n);
             return "";
         }}},
        {"--refuse-count", FaultInt(&SimFaults::nRefuseCount, 0, 1000000)},
        {"--silent", {false, [](const std::string&, SimOptions* p) -> std::string {
             p->faults.bSilent = true;
             return "";
         }}},
        {"--withhold-reply", FaultSwitch(&SimFaults::bWithholdReply, &SimFaults::nWithholdReplyCount)},
        {"--double-connect", FaultSwitch(&SimFaults::bDoubleConnect, &SimFaults::nDoubleConnectCount)},
        {"--connect-delay", FaultInt(&SimFaults::nConnectDelayMs, 0, 600000)},
        {"--connect-delay-count", FaultInt(&SimFaults::nConnectDelayCount, 0, 1000000)},
        {"--header-pieces", FaultInt(&SimFaults::nHeaderPieces, 1, 80)},
        {"--piece-pause", FaultInt(&SimFaults::nPiecePauseMs, 0, 10000)},
        {"--wrong-size", {true, [](const std::string& v, SimOptions* p) -> std::string {
             long long n = 0;
             if (!ParseInt(v, -0xFFFFFFFFLL, 0xFFFFFFFFLL, &n) || n == 0)
                 return "a nonzero number of bytes added to the announced size (may be negative)";
             p->faults.nSizeDelta = n;
             return "";
         }}},
        {"--extra-bytes", {true, [](const std::string& v, SimOptions* p) -> std::string {
             long long n = 0;
             if (!ParseSize(v, 0xFFFFFFFFLL, &n))
                 return "a byte count up to 4294967295 (suffix K, M or G allowed)";
             p->faults.nExtraBytes = static_cast<std::uint32_t>(n);
             return "";
         }}},
        {"--linger", FaultInt(&SimFaults::nLingerMs, 0, 600000)},
        {"--rate", FaultInt(&SimFaults::nRateKBps, 1, 10000000)},
        {"--foreign-header", {true, ApplyForeignHeader}},
        {"--wrong-channel", {false, [](const std::string&, SimOptions* p) -> std::string {
             return ApplyForeignHeader("channel", p);
         }}},
        {"--unsafe", {true, [](const std::string& v, SimOptions* p) -> std::string {
             for (const std::string& str : SplitList(v)) {
                 if (str == "vehicle")
                     p->faults.bUnsafeVehicle = true;
                 else if (str == "file")
                     p->faults.bUnsafeFile = true;
                 else if (str == "device")
                     p->faults.bUnsafeDevice = true;
                 else
                     return "a comma-separated list of vehicle, file and device";
             }
             return "";
         }}},
        {"--keepalive-stop", FaultInt(&SimFaults::nKeepAliveStopS, 0, 31536000)},
        {"--short-keepalive", {false, [](const std::string&, SimOptions* p) -> std::string {
             p->faults.bShortKeepAlive = true;
             return "";
         }}},
        {"--short-datagram", {false,
                              [](const std::string& v, SimOptions* p) -> std::string {
                                  long long n = 0;
                                  if (!ParseInt(v, 1, 1000000, &n))
                                      return "a number of keepalives from 1 to 1000000";
                                  p->faults.nShortDatagramEvery = static_cast<std::uint32_t>(n);
                                  return "";
                              },
                              "1"}},
    };
    return s_table;
}

} // namespace

int ParseSimOptions(const std::vector<std::string>& vecArgs, SimOptions* pOptions, std::string* pMessage)
{
    const auto& table = OptionTable();
    for (std::size_t i = 0; i < vecArgs.size(); ++i) {
        std::string strArg = vecArgs[i];
        if (strArg == "--help" || strArg == "-h") {
            *pMessage = SimUsage();
            return 1;
        }
        std::string strValue;
        bool bInlineValue = false;
        std::size_t nEq = strArg.find('=');
        if (strArg.rfind("--", 0) == 0 && nEq != std::string::npos) {
            strValue = strArg.substr(nEq + 1);
            strArg.resize(nEq);
            bInlineValue = true;
        }
        auto it = table.find(strArg);
        if (it == table.end()) {
            *pMessage = Format("unknown option '%s' (see --help)", vecArgs[i].c_str());
            return -1;
        }
        const OptionDef& def = it->second;
        if (def.bTakesValue && !bInlineValue) {
            if (i + 1 >= vecArgs.size()) {
                *pMessage = Format("%s needs a value", strArg.c_str());
                return -1;
            }
            strValue = vecArgs[++i];
        } else if (def.szBare != nullptr && !bInlineValue) {
            strValue = def.szBare;
        } else if (!def.bTakesValue && bInlineValue && def.szBare == nullptr) {
            *pMessage = Format("%s takes no value", strArg.c_str());
            return -1;
        }
        std::string strExpected = def.apply(strValue, pOptions);
        if (!strExpected.empty()) {
            *pMessage = Format("%s: '%s' is not %s", strArg.c_str(), strValue.c_str(), strExpected.c_str());
            return -1;
        }
    }
    std::string strProblem = CheckSimOptions(*pOptions);
    if (!strProblem.empty()) {
        *pMessage = strProblem;
        return -1;
    }
    return 0;
}

std::string CheckSimOptions(const SimOptions& options)
{
    if (options.vecRecordTypes.empty())
        return "--types: at least one record type is needed";
    if (options.nVehicles < 1 && options.vecNames.empty())
        return "--vehicles: at least one vehicle is needed";
    if (options.nChannels < 1 || options.nChannels > 64)
        return "--channels: a number from 1 to 64 is needed";
    if (options.nRecSeconds < 1)
        return "--rec-seconds: recordings must last at least one second";
    if (!options.strRecFile.empty()) {
        std::error_code ec;
        if (std::filesystem::file_size(options.strRecFile, ec) != options.nRecBytes || ec)
            return "--rec-file: the recordings' size is the file's; leave --rec-bytes out";
    }
    std::vector<std::string> vecNames = SimVehicleNames(options);
    for (std::size_t i = 0; i < vecNames.size(); ++i) {
        if (vecNames[i].empty() || vecNames[i].size() > 32)
            return Format("vehicle name '%s' does not fit 32 characters", vecNames[i].c_str());
        for (std::size_t j = 0; j < i; ++j)
            if (vecNames[i] == vecNames[j])
                return Format("vehicle name '%s' is given twice", vecNames[i].c_str());
    }
    if (!(options.dLossPercent >= 0.0 && options.dLossPercent <= 100.0))
        return "--loss: a percentage from 0 to 100 is needed";
    if (options.faults.bUnsafeVehicle && options.faults.bUnsafeDevice)
        return "--unsafe: vehicle and device exclude each other";
    if (options.faults.bUnsafeDevice && options.faults.bForeignDevice)
        return "--foreign-header device and --unsafe device exclude each other";
    return "";
}

std::vector<std::string> SimVehicleNames(const SimOptions& options)
{
    std::vector<std::string> vecNames = options.vecNames;
    if (vecNames.empty())
        for (int i = 0; i < options.nVehicles; ++i)
            vecNames.push_back(Format("%s%03d", options.strNamePrefix.c_str(), i + 1));
    if (options.faults.bUnsafeVehicle)
        for (std::string& str : vecNames)
            str = "../" + str;
    return vecNames;
}

std::string SimUsage()
{
    return
        "Usage: dvrsim [options]\n"
        "Simulates vehicle video recorders: each registers with the server over UDP, keeps\n"
        "the registration alive, answers recording queries and file requests, and streams\n"
        "its recordings to the server's TCP listeners. Recordings are deterministic: the\n"
        "byte at offset k of recording r of channel c of vehicle v depends only on v, c,\n"
        "r and k, so every stored byte can be checked. A request that the server sends\n"
        "again with the same transaction id is answered with the first reply again and\n"
        "not acted on twice (each recorder remembers its last 256 requests).\n"
        "\n"
        "Server and fleet:\n"
        "  --server IP          server address (default 127.0.0.1)\n"
        "  --port N             server's control port (default 5990)\n"
        "  --local-ip IP        address the recorders' UDP sockets bind to (default any)\n"
        "  --check-address      refuse with status 400 a file request whose listen address\n"
        "                       is not the --server address, as a recorder that cannot\n"
        "                       reach any other would fail\n"
        "  --vehicles N         number of recorders, 1-1000 (default 1)\n"
        "  --prefix TEXT        vehicle names are TEXT001, TEXT002, ... (default SIM)\n"
        "  --names A,B,...      explicit vehicle names of up to 32 characters each\n"
        "                       (override --prefix and --vehicles)\n"
        "  --channels N         video channels per recorder, 1-64 (default 4)\n"
        "\n"
        "Recordings (the same catalogue on every channel):\n"
        "  --recordings N       recordings per channel, 0-100000 (default 4)\n"
        "  --rec-seconds N      length of each recording in seconds (default 600)\n"
        "  --rec-gap N          seconds between two recordings of a channel (default 0)\n"
        "  --rec-bytes SIZE     size of each recording, suffix K/M/G allowed (default 1M)\n"
        "  --rec-file PATH      every recording holds the bytes of this file, a real clip\n"
        "                       for players (its size replaces --rec-bytes)\n"
        "  --start TIME         start of the first recording: YYYYMMDDhhmmss local time,\n"
        "                       now, or now-SECONDS (default six hours ago)\n"
        "  --types LIST         record types cycled over the recordings: timing, alarm or\n"
        "                       a wire value 0-254 (default timing)\n"
        "\n"
        "Run:\n"
        "  --keepalive-ms N     keepalive interval; also the registration retry (default 5000)\n"
        "  --duration N         seconds to run; 0 runs until SIGINT or SIGTERM (default 0)\n"
        "  --verbosity N        0 summary only, 1 events (default), 2 also every\n"
        "                       registration and keepalive sent\n"
        "  --quiet              same as --verbosity 0\n"
        "\n"
        "Network:\n"
        "  --loss P[,SEED]      lose datagrams each way with probability P percent (0-100,\n"
        "                       fractions allowed, e.g. 0.5): requests and registration\n"
        "                       replies before they are handled, registrations,\n"
        "                       keepalives and replies instead of being sent. Which of\n"
        "                       them are lost depends only on SEED (default 1) and the\n"
        "                       vehicle's name, so a run can be repeated drop for drop\n"
        "\n"
        "Faults (counts apply per recording; 0 means every time):\n"
        "  --cut-after SIZE     close each transfer after SIZE file bytes\n"
        "  --cut-count N        cut only the first N transfers of each recording\n"
        "  --header-only        cut transfers right after the header (with --cut-count)\n"
        "  --no-count           never answer file count queries (command 2)\n"
        "  --refuse STATUS      answer file requests with STATUS instead of 200\n"
        "  --refuse-count N     refuse only the first N requests of each recording\n"
        "  --silent             register and keep alive, but never answer a request\n"
        "  --withhold-reply[=N] serve accepted file requests but never send their reply,\n"
        "                       as if it were lost on the way; =N only the first N\n"
        "  --double-connect[=N] serve a file request over two connections in turn, as a\n"
        "                       recorder that gave up on the first and started over: the\n"
        "                       stray one sends the header and the first half of the\n"
        "                       requested bytes and closes, the second sends them all;\n"
        "                       =N only the first N requests\n"
        "  --connect-delay MS   wait MS before connecting back to the server; longer than\n"
        "                       the server's accept window, the connection comes too late\n"
        "  --connect-delay-count N\n"
        "                       wait only for the first N requests of each recording;\n"
        "                       later ones connect at once\n"
        "  --header-pieces N    send the 80-byte transfer header in N writes\n"
        "  --piece-pause MS     pause between those writes (default 20)\n"
        "  --wrong-size DELTA   announce the file size plus DELTA bytes (may be negative)\n"
        "  --extra-bytes SIZE   send SIZE bytes beyond the end of the file\n"
        "  --linger MS          keep the connection open MS after the last byte\n"
        "  --rate KBPS          send each transfer at most KBPS kB/s, as over a slow link\n"
        "  --foreign-header LIST[:N]\n"
        "                       the transfer header names what was not asked for while\n"
        "                       the content stays the requested file's; LIST holds device\n"
        "                       (a name that never registered), file (the channel's next\n"
        "                       recording) and channel (the next one up); :N only the\n"
        "                       first N requests\n"
        "  --wrong-channel      same as --foreign-header channel\n"
        "  --unsafe LIST        unsafe names: vehicle (registers as ../NAME), file (file\n"
        "                       names holding /), device (transfer header names ../NAME)\n"
        "  --keepalive-stop N   send no keepalive from N seconds after the start on\n"
        "                       (requests are still answered)\n"
        "  --short-keepalive    keepalives end right after the name's terminating NUL\n"
        "                       instead of filling the 60-byte record\n"
        "  --short-datagram[=N] every N-th keepalive (default every one) ends halfway\n"
        "                       through the name, too short to be read\n"
        "\n"
        "  -h, --help           this text\n";
}
