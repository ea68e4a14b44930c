#include "backoff.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <iomanip>
#include <locale>
#include <sstream>
#include <utility>

namespace nerivo {

namespace {

// Longer delta-seconds are cut here, far past the cap, so that the
// milliseconds cannot overflow.
constexpr int64_t MAX_DELTA_SECONDS = int64_t{1} << 32;

std::string trimmed(const std::string& text)
{
    const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    const auto first = std::find_if_not(text.begin(), text.end(), blank);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
    return first < last ? std::string(first, last) : std::string();
}

// An HTTP date in any of its three forms, to epoch seconds.
bool parseHttpDate(const std::string& text, int64_t& seconds)
{
    // get_time reports success when the text ends before the format does, so
    // both end in a sentinel that a truncated date cannot reach.
    static const char* const formats[] = {
        "%a, %d %b %Y %H:%M:%S GMT|",  // IMF-fixdate
        "%A, %d-%b-%y %H:%M:%S GMT|",  // obsolete RFC 850
        "%a %b %e %H:%M:%S %Y|",       // asctime
    };
    for (const char* format : formats) {
        std::istringstream in(text + "|");
        in.imbue(std::locale::classic());
        std::tm fields{};
        in >> std::get_time(&fields, format);
        if (in.fail() || in.peek() != std::char_traits<char>::eof()) {
            continue;
        }
        std::tm copy = fields;
        const time_t time = timegm(&copy);
        std::tm back{};
        // timegm carries a day past the month's end over; such a date is wrong.
        if (gmtime_r(&time, &back) == nullptr || back.tm_mday != fields.tm_mday || back.tm_mon != fields.tm_mon ||
            back.tm_year != fields.tm_year || back.tm_sec != fields.tm_sec) {
            continue;
        }
        seconds = time;
        return true;
    }
    return false;
}

// Seconds to wait from wallSeconds; false when the value is unreadable or
// not in the future, which counts as no Retry-After.
bool retryAfterSeconds(const std::string& value, int64_t wallSeconds, int64_t& seconds)
{
    const std::string text = trimmed(value);
    if (text.empty()) {
        return false;
    }
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        seconds = 0;
        for (const char c : text) {
            seconds = std::min(seconds * 10 + (c - '0'), MAX_DELTA_SECONDS);
        }
        return seconds > 0;
    }
    int64_t date = 0;
    if (!parseHttpDate(text, date) || date <= wallSeconds) {
        return false;
    }
    seconds = std::min(date - wallSeconds, MAX_DELTA_SECONDS);
    return true;
}

std::string secondsText(int64_t ms)
{
    return std::to_string(std::max<int64_t>(1, (ms + 500) / 1000)) + " s";
}

}  // namespace

Backoff::Backoff(uint32_t seed) : m_random(seed) {}

void Backoff::record(Outcome outcome, const std::string& status, const std::string& retryAfter, int64_t nowMs,
                     int64_t wallSeconds)
{
    const int code = outcome == Outcome::STATUS ? statusCode(status) : 0;
    const bool throttled = code == 429 || code == 503;
    if (outcome == Outcome::OK || (outcome == Outcome::STATUS && !throttled && code < 500)) {
        answered(nowMs);
        return;
    }
    ++m_failures;
    int64_t seconds = 0;
    if (throttled && retryAfterSeconds(retryAfter, wallSeconds, seconds)) {
        const bool capped = seconds * 1000 > MAX_RETRY_AFTER_MS;
        hold(nowMs + std::min(seconds * 1000, MAX_RETRY_AFTER_MS), Cause::THROTTLED, status, capped, nowMs);
    } else if (throttled) {
        backOff(Cause::THROTTLED, status, nowMs);
    } else if (outcome == Outcome::CONNECT_FAILED) {
        backOff(Cause::UNREACHABLE, status, nowMs);
    } else if (m_failures >= 2 || m_backingOff) {
        // A single failure is the request's own; from the second in a row,
        // or any during a back-off, the service itself is in trouble.
        backOff(Cause::FAILING, status, nowMs);
    }
}

std::vector<Note> Backoff::takeNotes()
{
    return std::exchange(m_notes, {});
}

void Backoff::answered(int64_t nowMs)
{
    m_failures = 0;
    m_delay = FIRST_BACKOFF_MS;
    m_heldUntil = std::numeric_limits<int64_t>::min();
    if (m_backingOff) {
        m_notes.push_back(
            Note{Note::Level::INFO, "The service answers again after a back-off of " + secondsText(nowMs - m_since)});
    }
    m_backingOff = false;
    m_cause = Cause::NONE;
}

void Backoff::backOff(Cause cause, const std::string& reason, int64_t nowMs)
{
    if (nowMs < m_heldUntil) {
        // Sent before the hold began: the hold already answers it.
        return;
    }
    const int64_t delay = std::uniform_int_distribution<int64_t>(m_delay / 2, m_delay)(m_random);
    m_delay = std::min(m_delay * 2, MAX_BACKOFF_MS);
    hold(nowMs + delay, cause, reason, false, nowMs);
}

void Backoff::hold(int64_t untilMs, Cause cause, const std::string& reason, bool capped, int64_t nowMs)
{
    m_heldUntil = std::max(m_heldUntil, untilMs);
    if (!m_backingOff) {
        m_backingOff = true;
        m_since = nowMs;
    } else if (cause == m_cause) {
        // The same trouble goes on: its warning was given.
        return;
    }
    m_cause = cause;
    const std::string length = secondsText(m_heldUntil - nowMs);
    const std::string why = reason.empty() ? std::string("no answer") : reason;
    std::string text;
    switch (cause) {
    case Cause::THROTTLED:
        text = "The service answered " + why + "; requests to it are held for " + length +
               (capped ? " (Retry-After capped at one hour)" : "");
        break;
    case Cause::UNREACHABLE:
        text = "Connections to the service cannot be opened (" + why + "); requests are held for " + length;
        break;
    default: text = "Two requests in a row failed (" + why + "); requests are held for " + length; break;
    }
    m_notes.push_back(Note{Note::Level::WARN, text});
}

int statusCode(const std::string& status)
{
    if (status.size() < 3 ||
        !std::all_of(status.begin(), status.begin() + 3, [](char c) { return c >= '0' && c <= '9'; })) {
        return 0;
    }
    return std::stoi(status.substr(0, 3));
}

}  // namespace nerivo
