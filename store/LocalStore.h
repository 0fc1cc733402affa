#pragma once

// The local recording store: the directory tree under the download root that is the
// download engine's only record of what has arrived.
//
//   <root>/<vehicle>/<DD-MM-YYYY>/chNN/chNN_<start>_<end>.mp4                 finished
//   <root>/<vehicle>/<DD-MM-YYYY>/chNN/chNN_<start>_<end>.<name>.<size>.td    partial
//
// Times are wall-clock seconds (see settings/WallClock.h): texts are made with a UTC
// breakdown and parsed back as UTC, so no time zone is ever applied.
// Every function here is thread-safe.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct CalendarTime {
    int nYear = 0;
    int nMonth = 0;     // 1-12
    int nDay = 0;
    int nHour = 0;
    int nMinute = 0;
    int nSecond = 0;
};

// Reads a 14-digit time text at fixed positions (YYYYMMDDhhmmss); a position that
// holds no digits, or lies past the end of the text, reads as 0. Out-of-range fields
// are normalised (month 13 is January of the next year).
[[nodiscard]] std::uint32_t ParseTimeString(std::string_view text);

// "%04d%02d%02d%02d%02d%02d" of the UTC breakdown.
[[nodiscard]] std::string FormatTimeString(std::uint32_t tValue);

// The UTC breakdown of a time value.
[[nodiscard]] CalendarTime SplitTime(std::uint32_t tValue);

// Names of the layout.
[[nodiscard]] std::string DateDirName(std::uint32_t tStart);          // "%02d-%02d-%04d": day, month, year
[[nodiscard]] std::string ChannelDirName(int nChan);                  // "ch%02d"
[[nodiscard]] std::string FinalFileName(int nChan, std::uint32_t tStart, std::uint32_t tEnd);
[[nodiscard]] std::string PartialFileName(int nChan, std::uint32_t tStart, std::uint32_t tEnd,
                            const std::string& recorderName, std::uint32_t nFileSize);
// root/vehicle/date/chNN of a recording.
[[nodiscard]] std::string ChannelDirPath(const std::string& downRoot, const std::string& vehicle,
                           std::uint32_t tStart, int nChan);

// Creates path with every missing parent; true when it exists as a directory after,
// else false with errno set (ENOTDIR when a component is no directory).
[[nodiscard]] bool MakeDirectories(const std::string& path);

// The bare names in the pattern's directory that match its last component ("*"
// matches any run of characters, case-sensitive), in directory order, without "."
// and "..". Empty when nothing matches or the directory cannot be read.
[[nodiscard]] std::vector<std::string> FindFiles(const std::string& pattern);

// Orders date directory names (DD-MM-YYYY) newest first: true when a's date is
// later than b's. Names of another form get a key from whatever digits stand at
// the date positions.
[[nodiscard]] bool DateDirLater(const std::string& a, const std::string& b);

// The newest finished (FindLastMp4) or partial (FindLastTd) recording of a channel
// of a vehicle under downRoot: 1 with its start, end and full path, or 0 (the
// outputs are then left as they are). A vehicle name that is no safe path
// component (platform/PathName.h) finds nothing.
[[nodiscard]] int FindLastMp4(const std::string& downRoot, const std::string& vehicle, int nChan,
                std::uint32_t& tStart, std::uint32_t& tEnd, std::string& path);
[[nodiscard]] int FindLastTd(const std::string& downRoot, const std::string& vehicle, int nChan,
               std::uint32_t& tStart, std::uint32_t& tEnd, std::string& path);

// One recording in the store, with the times its name gives.
struct StoredRecording {
    std::uint32_t tStart = 0;
    std::uint32_t tEnd = 0;
    std::string path;
};

// Every partial recording of a channel, over all its date directories, oldest start
// first. Any thread.
std::vector<StoredRecording> FindPartials(const std::string& downRoot, const std::string& vehicle, int nChan);

// Whether the finished recording of the channel with these times is stored. Any thread.
bool HasFinished(const std::string& downRoot, const std::string& vehicle, int nChan, std::uint32_t tStart,
                 std::uint32_t tEnd);

// The parts of a partial name: channel ("chNN"), start text, end text, recorder's
// file name, size text, "td". No field is longer than kTdFieldMax.
constexpr std::size_t kTdFieldMax = 31;
using TdNameFields = std::array<std::string, 6>;

// Splits a partial file name into its six fields. 0 when the name is well formed,
// -1 when it is not: fewer than six parts, a recorder's file name part missing, or a
// part longer than kTdFieldMax (its field then holds the part cut to that length).
[[nodiscard]] int ParseTdName(std::string_view name, TdNameFields& fields);
