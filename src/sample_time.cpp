// Reading the local time of a sample as the service writes it.
#include "progress.h"

#include <algorithm>
#include <cstdint>

namespace nerivo {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t daysFromCivil(int64_t year, int64_t month, int64_t day)
{
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yoe = year - era * 400;
    const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool isLeap(int64_t year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Reads exactly count digits at text[pos].
bool digits(const char* text, std::size_t length, std::size_t pos, std::size_t count, int64_t& value)
{
    if (pos + count > length) {
        return false;
    }
    value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

bool parseSampleTime(const char* text, std::size_t length, int32_t offsetMinutes, int64_t& seconds)
{
    int64_t year, month, day, hour, minute, second;
    if (length < 19 || !digits(text, length, 0, 4, year) || text[4] != '-' || !digits(text, length, 5, 2, month) ||
        text[7] != '-' || !digits(text, length, 8, 2, day) || text[10] != 'T' || !digits(text, length, 11, 2, hour) ||
        text[13] != ':' || !digits(text, length, 14, 2, minute) || text[16] != ':' ||
        !digits(text, length, 17, 2, second)) {
        return false;
    }
    if (length > 19) {
        // Only a fraction may follow, and it needs at least one digit.
        if (text[19] != '.' || length == 20) {
            return false;
        }
        for (std::size_t i = 20; i < length; ++i) {
            if (text[i] < '0' || text[i] > '9') {
                return false;
            }
        }
    }
    static const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59 || day < 1) {
        return false;
    }
    const int64_t lastDay = monthDays[month - 1] + (month == 2 && isLeap(year) ? 1 : 0);
    if (day > lastDay) {
        return false;
    }
    seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second -
              static_cast<int64_t>(offsetMinutes) * 60;
    return true;
}

}  // namespace nerivo
