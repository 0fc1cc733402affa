#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// Wall-clock seconds: the local date and time counted from 1970-01-01 00:00:00 as if
// they were UTC. Recorders, settings, file names and the record index all use this
// scale, so no time zone is applied anywhere after the current time is read.
// Every function here is thread-safe.

// The current local time in wall-clock seconds.
std::uint32_t WallClockNow();

// Calendar fields (month 1-12) as wall-clock seconds; out-of-range fields are
// normalised (month 13 is January of the next year).
std::uint32_t WallClockFromFields(int nYear, int nMonth, int nDay, int nHour, int nMinute, int nSecond);

// The calendar fields of a wall-clock value (tm_year from 1900, tm_mon 0-11).
std::tm SplitWallClock(std::uint32_t tValue);

// "%04d%02d%02d%02d%02d%02d": year, month, day, hour, minute, second.
std::string WallClockText(std::uint32_t tValue);
