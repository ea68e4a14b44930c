// The back-off rules as one table: each row a sequence of request outcomes,
// each with the hold and the line it must give.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backoff.h"

namespace {

using nerivo::Backoff;
using O = Backoff::Outcome;

constexpr int64_t WALL0 = 784111777 - 60;  // a minute before Sun, 06 Nov 1994 08:49:37 GMT
const std::string R429 = "429 Too Many Requests", R503 = "503 Service Unavailable", R500 = "500 Internal Server Error";
const std::string HELD = "The service answered 429 Too Many Requests; requests to it are held for ";
const std::string AGAIN = "I The service answers again after a back-off of ";

// At ms on the monotonic clock (WALL0 + at / 1000 on the wall clock), an outcome; then held for
// [minHold, maxHold] ms (0, 0: not held) and one line starting "W " or "I " and its text, or none.
struct Step {
    int64_t at;
    O outcome;
    std::string status, retryAfter;
    int64_t minHold, maxHold;
    std::string note;
};
struct Row {
    std::string name;
    std::vector<Step> steps;
};

Row throttled(const std::string& name, const std::string& status, const std::string& retryAfter, int64_t hold)
{
    const std::string held = hold > 0 ? std::to_string(hold / 1000) + " s" : "1 s";
    return {name,
            {{0, O::STATUS, status, retryAfter, hold > 0 ? hold : 500, hold > 0 ? hold : 1000,
              "W The service answered " + status + "; requests to it are held for " + held}}};
}

// 429s without Retry-After, each long after the last hold: 1 s doubling to 5 min, with jitter.
Row doubling()
{
    Row row{"doubling up to the cap", {}};
    for (int64_t k = 0; k <= 10; ++k) {
        const int64_t d = std::min(Backoff::FIRST_BACKOFF_MS << k, Backoff::MAX_BACKOFF_MS);
        row.steps.push_back({k * 400000, O::STATUS, R429, "", d / 2, d, k == 0 ? "W " + HELD + "1 s" : ""});
    }
    return row;
}

std::vector<Row> rows()
{
    return {
        {"Retry-After seconds, then success",
         {{0, O::STATUS, R429, "120", 120000, 120000, "W " + HELD + "120 s"},
          {120000, O::OK, "", "", 0, 0, AGAIN + "120 s"}}},
        throttled("IMF-fixdate", R503, "Sun, 06 Nov 1994 08:49:37 GMT", 60000),
        throttled("RFC 850 date", R503, "Sunday, 06-Nov-94 08:49:37 GMT", 60000),
        throttled("asctime date", R503, "Sun Nov  6 08:49:37 1994", 60000),
        throttled("date in the past", R503, "Sun, 06 Nov 1994 08:47:37 GMT", 0),
        throttled("unreadable", R429, "soon", 0),
        throttled("day past the month's end", R429, "Thu, 31 Feb 1994 08:49:37 GMT", 0),
        throttled("truncated date", R429, "Sun, 06 Nov 1994 08:49", 0),
        {"over an hour is capped, and extended without a second warning",
         {{0, O::STATUS, R429, "7200", 3600000, 3600000, "W " + HELD + "3600 s (Retry-After capped at one hour)"},
          {1000, O::STATUS, R503, "Sun, 06 Nov 1994 10:49:37 GMT", 3600000, 3600000, ""}}},
        {"connection refused, ended by another answer",
         {{0, O::CONNECT_FAILED, "connection refused", "", 500, 1000,
           "W Connections to the service cannot be opened (connection refused); requests are held for 1 s"},
          {1000, O::STATUS, "404 Not Found", "", 0, 0, AGAIN + "1 s"}}},
        doubling(),
        {"success ends it with one line and resets the delay",
         {{0, O::STATUS, R429, "", 500, 1000, "W " + HELD},
          {1000, O::OK, "", "", 0, 0, AGAIN + "1 s"},
          {2000, O::STATUS, R429, "", 500, 1000, "W " + HELD}}},
        {"one 5xx alone holds nothing, two in a row do; one warning per trouble, not per failure",
         {{0, O::STATUS, R500, "", 0, 0, ""},
          {10, O::OK, "", "", 0, 0, ""},
          {20, O::STATUS, R500, "", 0, 0, ""},
          {30, O::RAISED, "timed out", "", 500, 1000,
           "W Two requests in a row failed (timed out); requests are held for 1 s"},
          {100, O::STATUS, "502 Bad Gateway", "", 430, 930, ""},  // sent before the hold began: changes nothing
          {5000, O::STATUS, R500, "", 1000, 2000, ""},
          {10000, O::RAISED, "", "", 2000, 4000, ""},
          {20000, O::CONNECT_FAILED, "TLS handshake failed", "", 4000, 8000, "W Connections to the service"}}},
    };
}

TEST(Backoff, HoldsAndNotesFollowTheOutcomes)
{
    int jittered = 0;  // exponential holds shorter than their delay
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.name);
        Backoff backoff(42);
        for (const Step& step : row.steps) {
            SCOPED_TRACE(step.at);
            backoff.record(step.outcome, step.status, step.retryAfter, step.at, WALL0 + step.at / 1000);
            const int64_t until = backoff.heldUntil();
            EXPECT_EQ(backoff.mayRequest(step.at), step.maxHold == 0);
            if (step.maxHold > 0) {
                EXPECT_GE(until - step.at, step.minHold);
                EXPECT_LE(until - step.at, step.maxHold);
                EXPECT_TRUE(!backoff.mayRequest(until - 1) && backoff.mayRequest(until));
                jittered += until - step.at < step.maxHold ? 1 : 0;
            }
            const std::vector<nerivo::Note> notes = backoff.takeNotes();
            ASSERT_EQ(notes.size(), step.note.empty() ? 0U : 1U);
            if (!notes.empty()) {
                EXPECT_EQ(notes[0].level, step.note[0] == 'W' ? nerivo::Note::Level::WARN : nerivo::Note::Level::INFO);
                EXPECT_EQ(notes[0].text.substr(0, step.note.size() - 2), step.note.substr(2));
            }
        }
    }
    EXPECT_GT(jittered, 10);
}

}  // namespace
