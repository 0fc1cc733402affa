#include "store/LocalStore.h"

#include "platform/Format.h"
#include "platform/PathName.h"
#include "settings/Settings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The leading digits of text[nPos, nPos + nLen) as a number; 0 when there are none.
int ReadField(std::string_view text, std::size_t nPos, std::size_t nLen)
{
    int nValue = 0;
    for (std::size_t i = nPos; i < nPos + nLen && i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (!std::isdigit(c))
            break;
        nValue = nValue * 10 + (c - '0');
    }
    return nValue;
}

// "*" matches any run of characters; everything else matches itself.
bool MatchWildcard(std::string_view mask, std::string_view name)
{
    std::size_t nMask = 0, nName = 0;
    std::size_t nStarMask = std::string_view::npos, nStarName = 0;
    while (nName < name.size()) {
        if (nMask < mask.size() && mask[nMask] == '*') {
            nStarMask = nMask++;
            nStarName = nName;
        } else if (nMask < mask.size() && mask[nMask] == name[nName]) {
            ++nMask;
            ++nName;
        } else if (nStarMask != std::string_view::npos) {
            nMask = nStarMask + 1;
            nName = ++nStarName;
        } else {
            return false;
        }
    }
    while (nMask < mask.size() && mask[nMask] == '*')
        ++nMask;
    return nMask == mask.size();
}

// A time text as seconds, before it is cut to 32 bits.
std::int64_t ParseTimeText(std::string_view text)
{
    std::tm tmFields {};
    tmFields.tm_year = ReadField(text, 0, 4) - 1900;
    tmFields.tm_mon = ReadField(text, 4, 2) - 1;
    tmFields.tm_mday = ReadField(text, 6, 2);
    tmFields.tm_hour = ReadField(text, 8, 2);
    tmFields.tm_min = ReadField(text, 10, 2);
    tmFields.tm_sec = ReadField(text, 12, 2);
    tmFields.tm_isdst = 0;
    return static_cast<std::int64_t>(timegm(&tmFields));
}

// The key DateDirLater compares: YYYYMMDD000000 taken from DD-MM-YYYY positions.
// Kept at full width, so that a malformed name (year 0 and the like) sorts after
// every real date instead of wrapping around.
std::int64_t DateDirKey(const std::string& name)
{
    // A position past the end of a short name reads as a non-digit, so that the
    // fields after it keep their fixed places.
    auto at = [&name](std::size_t i) { return i < name.size() ? name[i] : '_'; };
    std::string key;
    for (std::size_t i : {6u, 7u, 8u, 9u, 3u, 4u, 0u, 1u})
        key += at(i);
    key += "000000";
    return ParseTimeText(key);
}

enum class Kind { Finished, Partial };

void NameTimes(Kind kind, const std::string& name, std::uint32_t& tStart, std::uint32_t& tEnd);

int FindLast(Kind kind, const std::string& downRoot, const std::string& vehicle, int nChan,
             std::uint32_t& tStart, std::uint32_t& tEnd, std::string& path)
{
    if (!IsSafePathComponent(vehicle))
        return 0;
    std::string vehicleDir = downRoot + "/" + vehicle;
    std::vector<std::string> dates = FindFiles(vehicleDir + "/*-*-*");
    if (dates.empty())
        return 0;
    std::sort(dates.begin(), dates.end(), DateDirLater);

    std::string chanDir;
    std::vector<std::string> names;
    for (const std::string& date : dates) {
        CalendarTime cal = SplitTime(static_cast<std::uint32_t>(DateDirKey(date)));
        chanDir = Format("%s/%02d-%02d-%04d/ch%02d", vehicleDir.c_str(), cal.nDay, cal.nMonth, cal.nYear, nChan);
        if (kind == Kind::Finished)
            names = FindFiles(Format("%s/ch%02d_*_*.mp4", chanDir.c_str(), nChan));
        else
            names = FindFiles(Format("%s/ch%02d*.td", chanDir.c_str(), nChan));
        if (!names.empty())
            break;
    }
    if (names.empty())
        return 0;
    std::sort(names.begin(), names.end());
    const std::string& name = names.back();
    NameTimes(kind, name, tStart, tEnd);
    path = chanDir + "/" + name;
    return 1;
}

// Start text: after the first "_" up to the separator; end text: after the separator
// up to the first ".". A partial name's recorder part holds "_" of its own, so there
// the separator is the second "_", for a finished one the last.
void NameTimes(Kind kind, const std::string& name, std::uint32_t& tStart, std::uint32_t& tEnd)
{
    std::size_t nFirst = name.find('_');
    std::size_t nSep = std::string::npos;
    if (nFirst != std::string::npos)
        nSep = kind == Kind::Finished ? name.rfind('_') : name.find('_', nFirst + 1);
    std::size_t nDot = name.find('.');
    std::string_view view(name);
    std::string_view startText, endText;
    if (nFirst != std::string::npos && nSep != std::string::npos && nSep > nFirst) {
        startText = view.substr(nFirst + 1, nSep - nFirst - 1);
        if (nDot != std::string::npos && nDot > nSep)
            endText = view.substr(nSep + 1, nDot - nSep - 1);
    }
    tStart = ParseTimeString(startText);
    tEnd = ParseTimeString(endText);
}

// Splits at white space like scanf's "%s": up to nMax words.
std::vector<std::string_view> SplitWords(std::string_view text, std::size_t nMax)
{
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (words.size() < nMax) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
        if (i >= text.size())
            break;
        std::size_t nBegin = i;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
        words.push_back(text.substr(nBegin, i - nBegin));
    }
    return words;
}

} // namespace

std::uint32_t ParseTimeString(std::string_view text)
{
    return static_cast<std::uint32_t>(ParseTimeText(text));
}

CalendarTime SplitTime(std::uint32_t tValue)
{
    std::time_t t = static_cast<std::time_t>(tValue);
    std::tm tmFields {};
    gmtime_r(&t, &tmFields);
    CalendarTime cal;
    cal.nYear = tmFields.tm_year + 1900;
    cal.nMonth = tmFields.tm_mon + 1;
    cal.nDay = tmFields.tm_mday;
    cal.nHour = tmFields.tm_hour;
    cal.nMinute = tmFields.tm_min;
    cal.nSecond = tmFields.tm_sec;
    return cal;
}

std::string FormatTimeString(std::uint32_t tValue)
{
    CalendarTime cal = SplitTime(tValue);
    return Format("%04d%02d%02d%02d%02d%02d", cal.nYear, cal.nMonth, cal.nDay, cal.nHour, cal.nMinute,
                  cal.nSecond);
}

std::string DateDirName(std::uint32_t tStart)
{
    CalendarTime cal = SplitTime(tStart);
    return Format("%02d-%02d-%04d", cal.nDay, cal.nMonth, cal.nYear);
}

std::string ChannelDirName(int nChan)
{
    return Format("ch%02d", nChan);
}

std::string FinalFileName(int nChan, std::uint32_t tStart, std::uint32_t tEnd)
{
    return Format("ch%02d_%s_%s.mp4", nChan, FormatTimeString(tStart).c_str(), FormatTimeString(tEnd).c_str());
}

std::string PartialFileName(int nChan, std::uint32_t tStart, std::uint32_t tEnd, const std::string& recorderName,
                            std::uint32_t nFileSize)
{
    // The size text is a signed field: sizes of 2^31 and more print negative, and
    // names already on disk depend on that.
    return Format("ch%02d_%s_%s.%s.%010d.td", nChan, FormatTimeString(tStart).c_str(),
                  FormatTimeString(tEnd).c_str(), recorderName.c_str(), static_cast<std::int32_t>(nFileSize));
}

std::string ChannelDirPath(const std::string& downRoot, const std::string& vehicle, std::uint32_t tStart, int nChan)
{
    return downRoot + "/" + vehicle + "/" + DateDirName(tStart) + "/" + ChannelDirName(nChan);
}

bool MakeDirectories(const std::string& path)
{
    std::error_code ecCreate;
    fs::create_directories(path, ecCreate);
    std::error_code ecCheck;
    if (fs::is_directory(path, ecCheck))
        return true;
    // The creation's own error says why; a path that exists as something else
    // (possible in a race with another creator) is no directory.
    int nErr = ecCreate ? ecCreate.value() : ecCheck ? ecCheck.value() : ENOTDIR;
    errno = nErr;
    return false;
}

std::vector<std::string> FindFiles(const std::string& pattern)
{
    std::vector<std::string> names;
    std::size_t nSlash = pattern.rfind('/');
    std::string dir = nSlash == std::string::npos ? "." : pattern.substr(0, nSlash == 0 ? 1 : nSlash);
    std::string_view mask = std::string_view(pattern).substr(nSlash == std::string::npos ? 0 : nSlash + 1);

    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec)
        return names;
    // directory_iterator never yields "." and "..".
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (MatchWildcard(mask, name))
            names.push_back(std::move(name));
    }
    return names;
}

bool DateDirLater(const std::string& a, const std::string& b)
{
    return DateDirKey(a) > DateDirKey(b);
}

int FindLastMp4(const std::string& downRoot, const std::string& vehicle, int nChan, std::uint32_t& tStart,
                std::uint32_t& tEnd, std::string& path)
{
    return FindLast(Kind::Finished, downRoot, vehicle, nChan, tStart, tEnd, path);
}

int FindLastTd(const std::string& downRoot, const std::string& vehicle, int nChan, std::uint32_t& tStart,
               std::uint32_t& tEnd, std::string& path)
{
    return FindLast(Kind::Partial, downRoot, vehicle, nChan, tStart, tEnd, path);
}

std::vector<StoredRecording> FindPartials(const std::string& downRoot, const std::string& vehicle, int nChan)
{
    std::vector<StoredRecording> partials;
    if (!IsSafePathComponent(vehicle))
        return partials;
    std::string vehicleDir = downRoot + "/" + vehicle;
    for (const std::string& date : FindFiles(vehicleDir + "/*-*-*")) {
        std::string chanDir = vehicleDir + "/" + date + "/" + ChannelDirName(nChan);
        for (const std::string& name : FindFiles(Format("%s/ch%02d*.td", chanDir.c_str(), nChan))) {
            StoredRecording rec;
            NameTimes(Kind::Partial, name, rec.tStart, rec.tEnd);
            rec.path = chanDir + "/" + name;
            partials.push_back(std::move(rec));
        }
    }
    std::sort(partials.begin(), partials.end(), [](const StoredRecording& a, const StoredRecording& b) {
        auto nA = static_cast<std::int32_t>(a.tStart), nB = static_cast<std::int32_t>(b.tStart);
        return nA != nB ? nA < nB : a.path < b.path;
    });
    return partials;
}

bool HasFinished(const std::string& downRoot, const std::string& vehicle, int nChan, std::uint32_t tStart,
                 std::uint32_t tEnd)
{
    std::error_code ec;
    return fs::is_regular_file(ChannelDirPath(downRoot, vehicle, tStart, nChan) + "/" +
                                   FinalFileName(nChan, tStart, tEnd),
                               ec);
}

int ParseTdName(std::string_view name, TdNameFields& fields)
{
    for (std::string& field : fields)
        field.clear();
    bool bTooLong = false;
    auto store = [&](std::size_t nField, std::string_view word) {
        if (word.size() > kTdFieldMax) {
            bTooLong = true;
            word = word.substr(0, kTdFieldMax);
        }
        fields[nField].assign(word);
    };

    // Every part, split at "_" and ".".
    std::string copy(name);
    std::replace(copy.begin(), copy.end(), '_', ' ');
    std::replace(copy.begin(), copy.end(), '.', ' ');
    std::vector<std::string_view> words = SplitWords(copy, 6);
    for (std::size_t i = 0; i < words.size(); ++i)
        store(i, words[i]);

    // Again split only at ".", so the recorder's file name keeps its underscores.
    std::string dotted(name);
    std::replace(dotted.begin(), dotted.end(), '.', ' ');
    std::vector<std::string_view> parts = SplitWords(dotted, 4);
    for (std::size_t i = 1; i < parts.size(); ++i)
        store(i + 2, parts[i]);

    if (words.size() < 6 || parts.size() < 4 || bTooLong)
        return -1;
    return 0;
}
