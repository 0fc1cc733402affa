#include "settings/WallClock.h"

#include <cstdio>

std::uint32_t WallClockNow()
{
    std::time_t tNow = std::time(nullptr);
    std::tm tmLocal {};
    localtime_r(&tNow, &tmLocal);
    return static_cast<std::uint32_t>(tNow + tmLocal.tm_gmtoff);
}

std::uint32_t WallClockFromFields(int nYear, int nMonth, int nDay, int nHour, int nMinute, int nSecond)
{
    std::tm tmFields {};
    tmFields.tm_year = nYear - 1900;
    tmFields.tm_mon = nMonth - 1;
    tmFields.tm_mday = nDay;
    tmFields.tm_hour = nHour;
    tmFields.tm_min = nMinute;
    tmFields.tm_sec = nSecond;
    tmFields.tm_isdst = 0;
    return static_cast<std::uint32_t>(timegm(&tmFields));
}

std::tm SplitWallClock(std::uint32_t tValue)
{
    std::time_t t = static_cast<std::time_t>(tValue);
    std::tm tmFields {};
    gmtime_r(&t, &tmFields);
    return tmFields;
}

std::string WallClockText(std::uint32_t tValue)
{
    std::tm tmFields = SplitWallClock(tValue);
    char szText[32];
    std::snprintf(szText, sizeof(szText), "%04d%02d%02d%02d%02d%02d", tmFields.tm_year + 1900,
                  tmFields.tm_mon + 1, tmFields.tm_mday, tmFields.tm_hour, tmFields.tm_min, tmFields.tm_sec);
    return szText;
}
