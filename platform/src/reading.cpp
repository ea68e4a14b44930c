#include "reading.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "json_text.h"

namespace {

struct Instant {
    int64_t seconds;
    int32_t micros;
};

Instant now()
{
    using namespace std::chrono;
    const int64_t us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    int64_t secs = us / 1000000;
    int64_t rem = us % 1000000;
    if (rem < 0) {
        rem += 1000000;
        --secs;
    }
    return {secs, static_cast<int32_t>(rem)};
}

// A small cursor over the time text; every reader fails rather than guess.
class Scanner {
public:
    explicit Scanner(const std::string& text) : m_text(text), m_pos(0), m_end(text.size())
    {
        while (m_pos < m_end && isSpace(m_text[m_pos]))
            ++m_pos;
        while (m_end > m_pos && isSpace(m_text[m_end - 1]))
            --m_end;
    }

    bool atEnd() const { return m_pos == m_end; }
    char peek() const { return atEnd() ? '\0' : m_text[m_pos]; }
    bool isDigitAhead() const { return !atEnd() && isDigit(m_text[m_pos]); }

    bool literal(char c)
    {
        if (peek() != c || atEnd())
            return false;
        ++m_pos;
        return true;
    }

    // Exactly `count` decimal digits.
    bool fixedNumber(int count, int& value)
    {
        value = 0;
        for (int n = 0; n < count; ++n) {
            if (!isDigitAhead())
                return false;
            value = value * 10 + (m_text[m_pos++] - '0');
        }
        return true;
    }

    void skipSpaces()
    {
        while (!atEnd() && isSpace(m_text[m_pos]))
            ++m_pos;
    }

    static bool isDigit(char c) { return c >= '0' && c <= '9'; }
    static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

private:
    const std::string& m_text;
    size_t m_pos;
    size_t m_end;
};

// Days since 1970-01-01 of a proleptic Gregorian date; worked out here
// rather than by timegm, which costs more than the rest of a reading.
int64_t daysFromCivil(int64_t year, int64_t month, int64_t day)
{
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yoe = year - era * 400;
    const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

// Whether the date exists (no Feb 30, no Feb 29 outside leap years).
bool isDate(int year, int month, int day)
{
    static const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1)
        return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= monthDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

// "YYYY-MM-DD HH:MM:SS" (or a 'T' between date and clock) into seconds
// since the epoch of that wall time.
bool readDateAndClock(Scanner& s, int64_t& seconds)
{
    int year, month, day, hour, minute, second;
    if (!s.fixedNumber(4, year) || !s.literal('-') || !s.fixedNumber(2, month) || !s.literal('-') ||
        !s.fixedNumber(2, day))
        return false;
    if (!s.literal(' ') && !s.literal('T'))
        return false;
    if (!s.fixedNumber(2, hour) || !s.literal(':') || !s.fixedNumber(2, minute) || !s.literal(':') ||
        !s.fixedNumber(2, second))
        return false;
    if (!isDate(year, month, day) || hour > 23 || minute > 59 || second > 59)
        return false;
    seconds = daysFromCivil(year, month, day) * 86400 + int64_t{hour} * 3600 + int64_t{minute} * 60 + second;
    return true;
}

// An optional ".f..." fraction, truncated to microseconds.
bool readFraction(Scanner& s, int32_t& micros)
{
    micros = 0;
    if (!s.literal('.'))
        return true;
    if (!s.isDigitAhead())
        return false;
    int digits = 0;
    int d;
    while (s.isDigitAhead()) {
        s.fixedNumber(1, d);
        if (digits < 6) {  // finer than a microsecond is truncated
            micros = micros * 10 + d;
            ++digits;
        }
    }
    for (; digits < 6; ++digits)
        micros *= 10;
    return true;
}

// An optional zone after optional spaces: Z, +HH:MM, -HH:MM, +HHMM or +HH.
bool readOffset(Scanner& s, int64_t& offsetSeconds)
{
    offsetSeconds = 0;
    s.skipSpaces();
    if (s.literal('Z') || (s.peek() != '+' && s.peek() != '-'))
        return true;
    const int sign = s.peek() == '-' ? -1 : 1;
    s.literal(s.peek());
    int offHours, offMinutes = 0;
    if (!s.fixedNumber(2, offHours))
        return false;
    if (s.literal(':')) {
        if (!s.fixedNumber(2, offMinutes))
            return false;
    } else if (s.isDigitAhead() && !s.fixedNumber(2, offMinutes)) {
        return false;
    }
    if (offHours > 23 || offMinutes > 59)
        return false;
    offsetSeconds = sign * (int64_t{offHours} * 3600 + int64_t{offMinutes} * 60);
    return true;
}

// "YYYY-MM-DD HH:MM:SS[.f...] [Z|+HH:MM|-HH:MM|+HHMM|+HH]"; false for
// anything else, including dates that do not exist.
bool parseTime(const std::string& text, Instant& out)
{
    Scanner s(text);
    int64_t local;
    int32_t micros;
    int64_t offsetSeconds;
    if (!readDateAndClock(s, local) || !readFraction(s, micros) || !readOffset(s, offsetSeconds) || !s.atEnd())
        return false;
    // The text shows local time at the given offset: UTC = local - offset.
    out.seconds = local - offsetSeconds;
    out.micros = micros;
    return true;
}

}  // namespace

Reading::Reading(const std::string& asset, std::vector<Datapoint*> values, const std::string& datetime)
    : m_asset(asset),
      m_values(std::move(values)),
      m_seconds(0),
      m_micros(0)
{
    Instant when{};
    if (!parseTime(datetime, when))
        when = now();
    m_seconds = when.seconds;
    m_micros = when.micros;
}

Reading::~Reading()
{
    for (Datapoint* dp : m_values)
        delete dp;
}

std::string Reading::getAssetDateUserTime() const
{
    const time_t secs = static_cast<time_t>(m_seconds);
    struct tm utc {};
    if (gmtime_r(&secs, &utc) == nullptr)
        return std::string();
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%06d+00:00", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(m_micros));
    return buf;
}

std::string Reading::toJSON() const
{
    std::string out = "{\"asset_code\": ";
    lorvane_detail::appendJsonString(out, m_asset);
    out += ", \"user_ts\": \"";
    out += getAssetDateUserTime();
    out += "\", \"readings\": {";
    bool first = true;
    for (const Datapoint* dp : m_values) {
        if (dp == nullptr)
            continue;
        if (!first)
            out += ", ";
        first = false;
        out += dp->toJSONProperty();
    }
    out += "}}";
    return out;
}
