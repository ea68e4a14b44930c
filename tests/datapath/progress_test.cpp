// The progress rules without any network: a small model of a service that
// publishes samples late, in backfill, past the range, or fails, polled
// through the progress type with restarts in between. Every row must end with
// each published sample delivered exactly once.
#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "progress.h"
#include "progress_codec.h"

namespace {

using nerivo::Ask;
using nerivo::Progress;

constexpr int64_t T0 = 1719842700;  // a multiple of 300
constexpr int64_t STEP = 300;

struct Sample {
    int64_t time;
    int64_t published;
};

// What the service holds, and how it answers.
struct Service {
    std::map<std::string, std::vector<Sample>> series;
    std::size_t cap = 288;     // samples per tag in one answer, oldest first
    int64_t overshoot = 0;     // answers reach this far past the range end
    int64_t maxRange = 0;      // longer ranges are refused with a 400
    std::string failingTag;    // requests naming it raise
    int64_t failingUntil = 0;  // ... until this time

    // Samples of tag every interval in [from, to); late by lag, or by a
    // function of the time.
    void add(const std::string& tag, int64_t from, int64_t to, int64_t interval,
             const std::function<int64_t(int64_t)>& published = nullptr)
    {
        for (int64_t t = from; t < to; t += interval) {
            series[tag].push_back(Sample{t, published ? published(t) : t});
        }
    }
};

struct Tally {
    std::multiset<std::pair<std::string, int64_t>> delivered;
    int maxRequests = 0;                        // in one poll
    int maxGapRequests = 0;                     // in one poll
    std::map<std::string, int> longestUnasked;  // polls in a row without a request naming the tag
    std::vector<nerivo::Note> notes;
};

struct Driver {
    Service& service;
    Tally& run;
    std::vector<std::string> tags;
    std::map<std::string, int> unasked;
    int requests = 0;  // in the poll under way

    // One request: the model's answer, through the progress type.
    void request(Progress& progress, const Ask& ask, int64_t now)
    {
        ++requests;
        const bool fails = std::any_of(ask.tags.begin(), ask.tags.end(), [&](const std::string& t) {
            return t == service.failingTag && now < service.failingUntil;
        });
        if (fails) {
            progress.failed(ask, nerivo::FailedRequest{nerivo::Refusal::RAISED, ""});
            return;
        }
        if (service.maxRange != 0 && ask.to - ask.from > service.maxRange) {
            progress.failed(ask, nerivo::FailedRequest{nerivo::Refusal::RANGE, "400 Bad Request"});
            return;
        }
        std::set<std::string> heard;
        std::size_t samples = 0;
        for (const auto& tag : ask.tags) {
            std::vector<int64_t> times;
            for (const Sample& s : service.series[tag]) {
                const bool inRange = s.time >= ask.from && s.time <= ask.to + service.overshoot;
                if (inRange && s.published <= now + service.overshoot && times.size() < service.cap) {
                    times.push_back(s.time);
                }
            }
            if (times.empty()) {
                continue;
            }
            heard.insert(tag);
            samples += times.size();
            const auto chosen = progress.select(tag, times);
            for (const std::size_t i : chosen) {
                run.delivered.emplace(tag, times[i]);
            }
            progress.delivered(ask, tag, times, chosen.size());
        }
        progress.answered(ask, heard, samples);
    }

    // Sends one ask as the plugin does, at most maxTags tags a request,
    // until the budget for such requests is spent.
    void send(Progress& progress, const Ask& ask, int64_t now, std::set<std::string>& asked, int& gaps)
    {
        const std::size_t step = ask.maxTags == 0 ? ask.tags.size() : ask.maxTags;
        for (std::size_t i = 0; i < ask.tags.size(); i += step) {
            Ask one = ask;
            one.tags.assign(ask.tags.begin() + i, ask.tags.begin() + std::min(ask.tags.size(), i + step));
            one.from = progress.requestStart(one);
            if (!progress.mayAsk(one)) {
                return;
            }
            gaps += one.gap ? 1 : 0;
            asked.insert(one.tags.begin(), one.tags.end());
            request(progress, one, now);
        }
    }

    void poll(Progress& progress, int64_t now)
    {
        progress.beginPoll(now, tags);
        requests = 0;
        int gaps = 0;
        std::set<std::string> asked;
        for (int sent = -1; sent != requests;) {
            sent = requests;
            for (const Ask& ask : progress.plan()) {
                send(progress, ask, now, asked, gaps);
            }
        }
        run.maxRequests = std::max(run.maxRequests, requests);
        run.maxGapRequests = std::max(run.maxGapRequests, gaps);
        for (const auto& tag : tags) {
            unasked[tag] = asked.count(tag) != 0 ? 0 : unasked[tag] + 1;
            run.longestUnasked[tag] = std::max(run.longestUnasked[tag], unasked[tag]);
        }
        for (auto& note : progress.takeNotes()) {
            run.notes.push_back(note);
        }
    }
};

// Progress as the plugin stores it and a new one reads it back.
Progress restart(const Progress& old, int64_t now, std::vector<nerivo::Note>& notes)
{
    const int64_t lastPull = old.earliest({}).value_or(old.start());
    const std::string text = "{ \"lastPull\" : " + std::to_string(lastPull) + nerivo::progressMembers(old) + " }";
    rapidjson::Document doc;
    doc.Parse(text.c_str());
    EXPECT_FALSE(doc.HasParseError()) << text;
    Progress fresh(lastPull);
    EXPECT_TRUE(nerivo::restoreProgress(fresh, doc, lastPull, now)) << text;
    for (auto& note : fresh.takeNotes()) {
        notes.push_back(note);
    }
    return fresh;
}

struct Scenario {
    const char* name;
    int tags;
    std::function<void(Service&, const std::vector<std::string>&)> publish;
    int64_t start;  // where the tags start
    int polls;
    int64_t step;           // clock advance per poll
    int restartEvery;       // 0: never
    int64_t clockJump = 0;  // the clock's jump at the first restart
    int maxRequests = nerivo::MAX_POLL_REQUESTS;
    int maxGapRequests = nerivo::MAX_GAP_REQUESTS;
};

std::string tagName(int i)
{
    return "T" + std::to_string(1000 + i);
}

// Samples the service has published by the end that must have been delivered.
std::multiset<std::pair<std::string, int64_t>> expected(Service& service, const std::vector<std::string>& tags,
                                                        int64_t from, int64_t end)
{
    std::multiset<std::pair<std::string, int64_t>> all;
    for (const auto& tag : tags) {
        for (const Sample& s : service.series[tag]) {
            if (s.time >= from && s.published <= end) {
                all.emplace(tag, s.time);
            }
        }
    }
    return all;
}

const int64_t DAY = 86400;

const Scenario kScenarios[] = {
    {"OfflineGatewayUploadsItsBacklog", 20,
     [](Service& s, const std::vector<std::string>& tags) {
         for (std::size_t i = 0; i < tags.size(); ++i) {
             const bool offline = i < 4;  // 30 hours from T0 + 2 h
             s.add(tags[i], T0 - DAY, T0 + 3 * DAY, STEP, [offline](int64_t t) {
                 const int64_t back = T0 + 32 * 3600;
                 return offline && t >= T0 + 7200 && t < back ? back : t;
             });
         }
     },
     T0 - DAY, 40 * 12, STEP, 0},
    {"NewestFirstThenTheBacklog", 3,
     [](Service& s, const std::vector<std::string>& tags) {
         const int64_t back = T0 + 5 * 3600;  // the newest sample comes at once, the rest 20 minutes later
         for (const auto& tag : tags) {
             s.add(tag, T0 - DAY, T0 + DAY, STEP,
                   [back](int64_t t) { return t >= T0 + 3600 && t < back - STEP ? back + 1200 : t; });
         }
     },
     T0 - DAY, 12 * 12, STEP, 25},
    {"BackfillAfterNewerSamples", 5,
     [](Service& s, const std::vector<std::string>& tags) {
         for (const auto& tag : tags) {
             s.add(tag, T0 - DAY, T0 + DAY, STEP, [](int64_t t) {
                 return t >= T0 + 3600 && t < T0 + 5400 ? T0 + 2 * DAY : t;  // published two days late
             });
         }
     },
     T0 - DAY, 3 * 24 * 12, STEP, 100},
    {"OneFailingTagHoldsBackNoOther", 30,
     [](Service& s, const std::vector<std::string>& tags) {
         for (const auto& tag : tags) {
             s.add(tag, T0 - DAY, T0 + DAY, STEP);
         }
         s.failingTag = tags[7];
         s.failingUntil = T0 + 6 * 3600;
     },
     T0 - DAY, 12 * 12, STEP, 0},
    {"RangeCapOfSevenDaysWithASixtyDayBacklog", 10,
     [](Service& s, const std::vector<std::string>& tags) {
         for (const auto& tag : tags) {
             s.add(tag, T0 - 60 * DAY, T0 + DAY, 3600);
         }
         s.maxRange = 7 * DAY;
     },
     T0 - 60 * DAY, 60, STEP, 20},
    {"AnswersPastTheRangeEndAcrossRestarts", 4,
     [](Service& s, const std::vector<std::string>& tags) {
         for (const auto& tag : tags) {
             s.add(tag, T0 - 3600, T0 + DAY, 10);
         }
         s.overshoot = 30;
     },
     T0 - 3600, 12 * 6, 10, 5},
    {"ClockTwoDaysBehindTheStoredProgressAtARestart", 5,
     [](Service& s, const std::vector<std::string>& tags) {
         for (const auto& tag : tags) {
             s.add(tag, T0 - DAY, T0 + 5 * DAY, STEP);
         }
     },
     T0 - DAY, 4 * 24 * 12, STEP, 24 * 12, -2 * DAY},
    {"RarelyReportingTagsWithScatteredProgress", 300,
     [](Service& s, const std::vector<std::string>& tags) {
         for (std::size_t i = 0; i < tags.size(); ++i) {
             s.add(tags[i], T0 - 20 * DAY + static_cast<int64_t>(i) * 4000, T0 + DAY, 3 * DAY + 7 * i);
         }
     },
     T0 - 30 * DAY, 40, STEP, 0},
    {"ServiceClockAFewSecondsAheadAtOneSecondSamples", 3,
     [](Service& s, const std::vector<std::string>& tags) {
         for (const auto& tag : tags) {
             s.add(tag, T0 - 20, T0 + DAY, 1);
         }
         s.overshoot = 5;
     },
     T0 - 20, 420, 1, 0},
    {"LoggerTenDaysOfflineBehindASevenDayRangeLimit", 2,
     [](Service& s, const std::vector<std::string>& tags) {
         const int64_t back = T0 + 10 * DAY;  // newest sample at once, the backlog an hour later
         for (const auto& tag : tags) {
             s.add(tag, T0 - DAY, T0 + 12 * DAY, STEP,
                   [back](int64_t t) { return t >= T0 && t < back - STEP ? back + 3600 : t; });
         }
         s.maxRange = 7 * DAY;
     },
     T0 - DAY, 12 * 24 * 12, STEP, 0},
};

class ProgressTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(ProgressTest, EveryPublishedSampleIsDeliveredExactlyOnce)
{
    const Scenario& c = GetParam();
    Service service;
    Tally run;
    Driver driver{service, run, {}, {}};
    for (int i = 0; i < c.tags; ++i) {
        driver.tags.push_back(tagName(i));
    }
    c.publish(service, driver.tags);
    Progress progress(c.start);
    int64_t now = T0;
    for (int poll = 0; poll < c.polls; ++poll, now += c.step) {
        if (c.restartEvery != 0 && poll != 0 && poll % c.restartEvery == 0) {
            now += poll == c.restartEvery ? c.clockJump : 0;
            progress = restart(progress, now, run.notes);
        }
        driver.poll(progress, now);
    }
    // A regular tag whose samples came ahead of the clock waits for the clock
    // to pass them: what the local clock has passed must all be there.
    const auto want = expected(service, driver.tags, c.start, now - c.step);
    std::size_t twice = 0;
    for (auto it = run.delivered.begin(); it != run.delivered.end(); it = run.delivered.upper_bound(*it)) {
        twice += run.delivered.count(*it) - 1;
    }
    EXPECT_EQ(twice, 0u) << "samples delivered more than once";
    std::vector<std::pair<std::string, int64_t>> missing;
    std::set_difference(want.begin(), want.end(), run.delivered.begin(), run.delivered.end(),
                        std::back_inserter(missing));
    EXPECT_TRUE(missing.empty()) << missing.size() << " of " << want.size() << " never delivered, first "
                                 << missing.front().first << " at " << missing.front().second - T0;
    EXPECT_LE(run.maxRequests, c.maxRequests);
    EXPECT_LE(run.maxGapRequests, c.maxGapRequests);
    // A tag waits only for a clock that is behind its progress.
    const bool clockBehind = std::any_of(run.notes.begin(), run.notes.end(), [](const nerivo::Note& n) {
        return n.text.find("The clock is behind the stored progress") != std::string::npos;
    });
    EXPECT_EQ(clockBehind, c.clockJump < 0);
    for (const auto& tag : run.longestUnasked) {
        EXPECT_TRUE(tag.second < 10 || c.clockJump < 0) << tag.first << " went unasked for " << tag.second << " polls";
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ProgressTest, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& param) { return std::string(param.param.name); });

// Tags put off to the last poll of their promise share requests: one that
// never had a sample, a day back, must not make the others re-read the day.
TEST(ProgressOverdue, ATagWithoutSamplesDoesNotDragTheOthersBack)
{
    Service service;
    Tally run;
    Driver driver{service, run, {}, {}};
    for (int i = 0; i < 20; ++i) {
        driver.tags.push_back(tagName(i));
        if (i != 0) {
            service.add(driver.tags.back(), T0 - DAY, T0 + DAY, STEP);
        }
    }
    Progress progress(T0 - DAY);
    int64_t now = T0;
    driver.poll(progress, now);
    for (int cut = 0; cut < 10; ++cut) {
        now += 60;
        progress.beginPoll(now, driver.tags);  // polls cut short before any request
    }
    int asked = 0;
    for (const Ask& ask : progress.plan()) {
        const bool sampled = std::any_of(ask.tags.begin(), ask.tags.end(),
                                         [&](const std::string& tag) { return tag != driver.tags[0]; });
        EXPECT_TRUE(!sampled || ask.from > T0 - STEP) << ask.tags.size() << " tags asked from " << ask.from - T0;
        asked += static_cast<int>(ask.tags.size());
    }
    EXPECT_EQ(asked, 20);
}

// Samples written with fractions: the newest of an outage comes first, the
// earlier sample of its second while that second is still the newest. A
// later ask of the outage's gap must not deliver that sample again.
TEST(ProgressFractions, EarlierSampleOfTheNewestSecondFillsItsGap)
{
    const std::string tag = "T1";
    Progress progress(T0);
    int64_t now = T0;
    auto answer = [&](int64_t from, bool gap, const std::vector<int64_t>& times, const std::vector<int32_t>& millis) {
        progress.beginPoll(now, {tag});
        const Ask ask{from, now, {tag}, gap, 0};
        const std::size_t chosen = progress.select(tag, times, millis).size();
        progress.delivered(ask, tag, times, chosen, millis);
        progress.answered(ask, {tag}, times.size());
        return chosen;
    };
    for (int64_t t = T0; t <= T0 + 3 * STEP; t += STEP, now += STEP) {
        answer(t, false, {t}, {1});  // a rhythm of four samples, each .000
    }
    now = T0 + 7 * STEP + 5;
    EXPECT_EQ(answer(T0 + 3 * STEP, false, {T0 + 7 * STEP}, {901}), 1u);  // after an outage: a gap
    EXPECT_EQ(answer(T0 + 7 * STEP, false, {T0 + 7 * STEP, T0 + 7 * STEP}, {101, 901}), 1u);
    now = T0 + 8 * STEP + 5;
    EXPECT_EQ(answer(T0 + 7 * STEP, false, {T0 + 8 * STEP}, {1}), 1u);
    EXPECT_EQ(answer(T0 + 3 * STEP + 1, true, {T0 + 7 * STEP, T0 + 7 * STEP}, {101, 901}), 0u);
}

}  // namespace
