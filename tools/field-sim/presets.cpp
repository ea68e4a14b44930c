#include "presets.h"

#include <algorithm>

namespace fieldsim {

namespace {

constexpr int64_t T0 = 1767225600 + 40 * DAY;

World base(const char* name, uint64_t seed, int64_t poll, int64_t span)
{
    World w;
    w.seed = seed;
    w.preset = name;
    w.begin = T0;
    w.end = T0 + span;
    w.tail = std::clamp<int64_t>(span / 4, 2 * HOUR, DAY);
    w.pollInterval = poll;
    w.start = T0 - poll;
    w.tagsInState = true;
    return w;
}

// Regular tags; with a spread, tag i samples every interval + i % (spread + 1).
void regular(World& w, int count, int64_t interval, std::size_t nameLength = 16, int spread = 0)
{
    Rng rng(w.seed);
    for (int i = 0; i < count; ++i) {
        TagSeries tag;
        tag.name = tagName(rng, static_cast<int>(w.tags.size()), nameLength);
        addRegular(tag, w.start, w.end + w.tail, interval + i % (spread + 1), w.skew);
        w.tags.push_back(std::move(tag));
    }
}

void sortAll(World& w)
{
    for (TagSeries& tag : w.tags) {
        sortSeries(tag);
    }
}

World serviceClockAheadOneSecond()
{
    World w = base("ServiceClockAheadOneSecond", 101, 1, 20 * MINUTE);
    w.tail = 20 * MINUTE;
    w.skew = 5;
    w.start = T0 - 20;
    regular(w, 5, 1);
    return w;
}

World serviceClockAheadOneMinuteCapped()
{
    World w = base("ServiceClockAheadOneMinuteCapped", 102, 60, 2 * DAY);
    w.skew = 30;
    w.cap = 288;
    w.start = T0 - 20;
    regular(w, 20, 60);
    return w;
}

World serviceClockAheadDriftingPolls()
{
    World w = base("ServiceClockAheadDriftingPolls", 103, 60, 2 * DAY);
    w.skew = 30;
    w.pollDrift = 15;  // 45 to 75 s apart
    regular(w, 20, 60);
    return w;
}

World deadSensorAmongQuietTags()
{
    World w = base("DeadSensorAmongQuietTags", 104, 60, 2 * DAY);
    regular(w, 200, 15 * MINUTE);
    w.tags[17].samples.clear();
    w.tags[17].regular = false;
    return w;
}

World clockJumpsAheadMoreThanAWeek()
{
    World w = base("ClockJumpsAheadMoreThanAWeek", 105, 60, 3 * DAY);
    regular(w, 20, 5 * MINUTE);
    w.jumpAt = T0 + DAY;
    w.jumpBy = 8 * DAY;
    w.disturbed.push_back(Window{w.jumpAt, w.jumpAt + HOUR});
    return w;
}

World slowTagsAfterAClockJump()
{
    // Slow tags drifting apart, more start groups than a poll takes: they
    // share starts as far as what each is due to bring allows, by the
    // service's clock, not the local one gone 8 days ahead.
    World w = base("SlowTagsAfterAClockJump", 131, 10 * MINUTE, 3 * DAY);
    regular(w, 400, 20 * MINUTE, 16, 60);
    w.jumpAt = T0 + DAY;
    w.jumpBy = 8 * DAY;
    w.disturbed.push_back(Window{w.jumpAt, w.jumpAt + HOUR});
    return w;
}

World clockJumpsPastTheRangeLimit()
{
    // The local clock jumps four months ahead; the service refuses ranges
    // over 7 days, so the tags are read in windows: a window past the
    // service's newest answer is not read yet, its samples are to come.
    // Tags at distinct phases keep the budget busy; some leave the service
    // two hours after the jump.
    World w = base("ClockJumpsPastTheRangeLimit", 132, 80, 18 * HOUR);
    w.maxRange = 7 * DAY;
    regular(w, 400, 45 * MINUTE, 16, 60);
    w.jumpAt = T0 + 12 * HOUR;
    w.jumpBy = 126 * DAY;
    for (std::size_t i = 0; i < w.tags.size(); i += 10) {
        remove(w.tags[i], Window{T0 + 14 * HOUR, w.end + w.tail + 1});
    }
    w.disturbed.push_back(Window{w.jumpAt, w.jumpAt + DAY});
    return w;
}

World clockJumpsPastTheRangeLimitInsideASecond()
{
    // Read in windows as long as the service answers after the local clock
    // jumped; the newest second of a tag written with fractions gets its
    // second sample a second later, after a window reaching past the
    // service's clock has read the first.
    World w = base("ClockJumpsPastTheRangeLimitInsideASecond", 134, 5, 2 * HOUR);
    w.maxRange = 7 * DAY;
    regular(w, 10, MINUTE, 16, 10);
    Rng rng(w.seed + 1);
    for (TagSeries& tag : w.tags) {
        fractions(tag, rng, 0.5);
    }
    w.jumpAt = T0 + HOUR;
    w.jumpBy = 60 * DAY;
    return w;
}

World catchUpPastTheRangeLimit()
{
    // A month behind a service that refuses ranges over 7 days: windows
    // grow again past the longest span it answered, or the catch-up reads a
    // day a turn of the index and tags that leave meanwhile lose their part.
    World w = base("CatchUpPastTheRangeLimit", 140, 20 * MINUTE, DAY);
    w.start = T0 - 30 * DAY;
    w.tagsInState = false;  // the first request asks all twelve days
    w.maxRange = 7 * DAY;
    regular(w, 4000, 6 * HOUR, 45);
    for (std::size_t i = 0; i < w.tags.size(); i += 10) {
        remove(w.tags[i], Window{T0 + 6 * HOUR, w.end + w.tail + 1});
    }
    return w;
}

World largeSiteOf5000LongTags()
{
    World w = base("LargeSiteOf5000LongTags", 106, 5 * MINUTE, 4 * HOUR);
    w.tail = HOUR;
    regular(w, 5000, 5 * MINUTE, 45);
    const Window out{T0 + HOUR, T0 + 2 * HOUR};
    for (TagSeries& tag : w.tags) {
        offline(tag, out, true, 20 * MINUTE);
    }
    w.disturbed.push_back(Window{out.from, out.to + 2 * HOUR});
    return w;
}

World largeSiteOf5000LongTagsOneMinute()
{
    World w = base("LargeSiteOf5000LongTagsOneMinute", 107, 60, 40 * MINUTE);
    w.tail = 20 * MINUTE;
    regular(w, 5000, 60, 45);
    return w;
}

World gapLongerThanTheRangeLimit()
{
    World w = base("GapLongerThanTheRangeLimit", 108, 5 * MINUTE, 14 * DAY);
    w.maxRange = 7 * DAY;
    regular(w, 10, 5 * MINUTE);
    const Window out{T0 + DAY, T0 + 11 * DAY};
    offline(w.tags[3], out, true, HOUR);
    w.disturbed.push_back(Window{out.from, out.to + 2 * HOUR});
    return w;
}

World gapAnswersCappedPerTag()
{
    World w = base("GapAnswersCappedPerTag", 109, 5 * MINUTE, 8 * DAY);
    w.cap = 288;
    regular(w, 10, 60);
    const Window out{T0 + DAY, T0 + 6 * DAY};
    offline(w.tags[4], out, true, HOUR);
    w.disturbed.push_back(Window{out.from, out.to + 2 * HOUR});
    return w;
}

World gapAnswerCappedInsideASecond()
{
    // Half the seconds hold two samples (fractions); a day's outage
    // uploaded newest first is read through its gap in capped answers,
    // some of which end between the two samples of a second.
    World w = base("GapAnswerCappedInsideASecond", 128, 5 * MINUTE, 3 * DAY);
    w.cap = 288;
    regular(w, 5, 60);
    Rng rng(w.seed + 1);
    const Window out{T0 + 6 * HOUR, T0 + 30 * HOUR};
    for (TagSeries& tag : w.tags) {
        fractions(tag, rng, 0.5);
        offline(tag, out, true, HOUR);
    }
    w.disturbed.push_back(Window{out.from, out.to + 3 * HOUR});
    return w;
}

World tagsAtDistinctPhases(const char* name, uint64_t seed, int64_t interval)
{
    World w = base(name, seed, 84, 6 * HOUR);
    regular(w, 1500, interval, 24, 60);
    Rng rng(w.seed + 1);
    for (TagSeries& tag : w.tags) {
        const int64_t phase = rng.range(0, interval - 1);
        for (Sample& s : tag.samples) {
            s.time += phase;
            s.published += phase;
        }
    }
    return w;
}

World manyTagsAtDistinctPhases()
{
    // 1,500 tags sampled every 1 to 2 minutes, each at its own phase,
    // polled every 84 s: far more starts than requests, so groups take
    // turns or share a start.
    return tagsAtDistinctPhases("ManyTagsAtDistinctPhases", 129, 60);
}

World slowTagsAtDistinctPhases()
{
    // Samples come every few polls: sharing a start re-reads a tag's newest
    // sample for each one or two it brings, unless the start may pass it.
    return tagsAtDistinctPhases("SlowTagsAtDistinctPhases", 133, 300);
}

World slowTagsPutOffTogether()
{
    // 1,000 tags sampled every 20 to 25 minutes at their own phases and 50
    // by exception, polled every 164 s: more starts than the turns of
    // eight polls hold. Sharing one start among all of them, or among all
    // tags put off to their ninth poll, re-reads a sample for each one new.
    World w = base("SlowTagsPutOffTogether", 139, 164, 8 * HOUR);
    w.start = T0 - 6 * HOUR - 25 * MINUTE;
    regular(w, 1000, 20 * MINUTE, 24, 300);
    Rng rng(w.seed + 1);
    for (TagSeries& tag : w.tags) {
        const int64_t phase = rng.range(0, 20 * MINUTE - 1);
        for (Sample& s : tag.samples) {
            s.time += phase;
            s.published += phase;
        }
    }
    for (int i = 0; i < 50; ++i) {
        TagSeries tag;
        tag.name = tagName(rng, static_cast<int>(w.tags.size()), 24);
        addIrregular(tag, rng, w.start, w.end + w.tail, 30 * MINUTE, 0);
        w.tags.push_back(std::move(tag));
    }
    return w;
}

World slowTagsSpeedingUp()
{
    // Tags asked past their next pull on the strength of their rhythm, which
    // then turns three times faster: the samples passed over are asked again.
    World w = tagsAtDistinctPhases("SlowTagsSpeedingUp", 137, 300);
    constexpr int64_t at = T0 + 3 * HOUR;
    for (std::size_t i = 0; i < w.tags.size(); i += 3) {
        TagSeries& tag = w.tags[i];
        const int64_t phase = tag.samples.front().time % 300;
        tag.samples.erase(
            std::remove_if(tag.samples.begin(), tag.samples.end(), [](const Sample& s) { return s.time >= at; }),
            tag.samples.end());
        TagSeries faster;
        addRegular(faster, at, w.end + w.tail, 100, w.skew);
        for (Sample s : faster.samples) {
            s.time += phase;
            s.published += phase;
            tag.samples.push_back(s);
        }
    }
    w.disturbed.push_back(Window{at, at + HOUR});
    return w;
}

World oneTagRefused(const char* name, int status)
{
    World w = base(name, 110, 60, 2 * DAY);
    regular(w, 100, 5 * MINUTE);
    w.failures.push_back(Failure{w.tags[42].name, status, 1.0, Window{T0 + 6 * HOUR, T0 + 30 * HOUR}});
    w.disturbed.push_back(Window{T0 + 6 * HOUR, T0 + 31 * HOUR});
    return w;
}

World oneTagRefusedWith403()
{
    return oneTagRefused("OneTagRefusedWith403", 403);
}

World oneTagRefusedWith503()
{
    return oneTagRefused("OneTagRefusedWith503", 503);
}

World clockSetBackTenHours()
{
    World w = base("ClockSetBackTenHours", 120, 60, 2 * DAY);
    regular(w, 20, 5 * MINUTE);
    w.jumpAt = T0 + DAY;
    w.jumpBy = -10 * HOUR;
    // Removed while the clock is behind: what they had must be read by then.
    for (std::size_t i = 0; i < 5; ++i) {
        remove(w.tags[i], Window{T0 + DAY + 4 * HOUR, w.end + w.tail + DAY});
    }
    w.disturbed.push_back(Window{w.jumpAt, w.jumpAt + HOUR});
    return w;
}

World intervalChangesOneToFiveMinutes()
{
    World w = base("IntervalChangesOneToFiveMinutes", 111, 60, 4 * DAY);
    regular(w, 20, 60);
    constexpr int64_t change = T0 + DAY;
    const Window out{T0 + 2 * DAY + 7 * HOUR, T0 + 2 * DAY + 9 * HOUR};
    for (TagSeries& tag : w.tags) {
        tag.samples.erase(
            std::remove_if(tag.samples.begin(), tag.samples.end(), [](const Sample& s) { return s.time >= change; }),
            tag.samples.end());
        addRegular(tag, change - 1, w.end + w.tail, 5 * MINUTE, w.skew);
        offline(tag, out, false, 0);
    }
    w.disturbed.push_back(Window{out.from, out.to + 2 * HOUR});
    return w;
}

World jitteredLogger()
{
    World w = base("JitteredLogger", 112, 60, 2 * DAY);
    regular(w, 10, 5 * MINUTE);
    Rng rng(w.seed + 1);
    const Window out{T0 + DAY, T0 + DAY + 2 * HOUR};
    for (TagSeries& tag : w.tags) {
        jitter(tag, rng, 1.0 / 3);
        offline(tag, out, true, 30 * MINUTE);
    }
    // 27-second loggers, whose rhythm keeps a first step that may itself
    // be two seconds off, with a few minutes backfilled two hours late.
    regular(w, 10, 27);
    for (std::size_t i = 10; i < w.tags.size(); ++i) {
        jitter(w.tags[i], rng, 1.0 / 3);
        backfill(w.tags[i], Window{T0 + 30 * HOUR, T0 + 30 * HOUR + 5 * MINUTE}, T0 + 32 * HOUR);
    }
    // 10-second loggers offline 20 minutes, newest first: jitter breaking
    // the rhythm as it resumes must not forget the outage before it.
    regular(w, 10, 10);
    const Window down{T0 + 40 * HOUR, T0 + 40 * HOUR + 20 * MINUTE};
    for (std::size_t i = 20; i < w.tags.size(); ++i) {
        offline(w.tags[i], down, true, 30 * MINUTE);
        // A step of 7 s just before the outage, and of 11, 8 and 12 s as
        // the rhythm resumes.
        for (Sample& x : w.tags[i].samples) {
            const int64_t k = (x.time - down.to) / 10;
            if (x.time == down.from - 10) {
                x.time -= 3;
                x.published = x.time;
            } else if (x.time > down.to && k <= 3 && (x.time - down.to) % 10 == 0) {
                x.time += k == 2 ? -1 : 1;
                x.published = x.time;
            }
        }
    }
    sortAll(w);
    w.disturbed.push_back(Window{out.from, out.to + 2 * HOUR});
    w.disturbed.push_back(Window{T0 + 30 * HOUR, T0 + 33 * HOUR});
    w.disturbed.push_back(Window{T0 + 40 * HOUR, T0 + 42 * HOUR});
    return w;
}

World fastJitteredLoggerBackfilled()
{
    // Steps of 4 to 8 s: a tenth of the interval is less than the jitter.
    // Five more at 5 s go offline for 50 minutes, their backlog uploaded
    // two hours later; the second and third samples after it are a second
    // late and early: a step of 3 s right after the outage breaks the mean
    // they learnt, not the rhythm.
    World w = base("FastJitteredLoggerBackfilled", 121, 30, 12 * HOUR);
    regular(w, 5, 6);
    regular(w, 5, 5);
    Rng rng(w.seed + 1);
    const Window hole{T0 + HOUR, T0 + HOUR + 40 * MINUTE};
    const Window out{T0 + 3 * HOUR, T0 + 3 * HOUR + 50 * MINUTE};
    for (std::size_t i = 0; i < w.tags.size(); ++i) {
        if (i < 5) {
            jitter(w.tags[i], rng, 1.0 / 3);
            backfill(w.tags[i], hole, T0 + 6 * HOUR);
        } else {
            auto& samples = w.tags[i].samples;
            offline(w.tags[i], out, false, 2 * HOUR);
            auto back =
                std::find_if(samples.begin(), samples.end(), [&out](const Sample& x) { return x.time >= out.to; });
            for (const int64_t by : {0, 1, -1}) {
                back->time += by;
                back->published += by;
                ++back;
            }
        }
    }
    w.disturbed.push_back(Window{hole.from, T0 + 7 * HOUR});
    return w;
}

World extraSampleInARhythmNewestFirst()
{
    // Back from an outage, one sample has a second one a second after it:
    // a step far shorter than the rhythm, before the rhythm went on past
    // the gap. Two more tags have one sample two hours late, and the one
    // after it such a second one.
    World w = base("ExtraSampleInARhythmNewestFirst", 122, 15, 12 * HOUR);
    regular(w, 7, 15);
    const Window out{T0 + HOUR, T0 + 4 * HOUR};
    for (std::size_t i = 0; i < w.tags.size(); ++i) {
        auto& samples = w.tags[i].samples;
        if (i < 5) {
            offline(w.tags[i], out, true, 2 * HOUR);
        } else {
            auto late =
                std::find_if(samples.begin(), samples.end(), [](const Sample& s) { return s.time >= T0 + 6 * HOUR; });
            late->published += 2 * HOUR;
        }
        const int64_t after = i < 5 ? out.to : T0 + 6 * HOUR;
        const auto back =
            std::find_if(samples.begin(), samples.end(), [after](const Sample& s) { return s.time > after; });
        samples.push_back(Sample{back->time + 1, back->published + 1});
    }
    w.disturbed.push_back(Window{out.from, T0 + 8 * HOUR});
    return w;
}

World newSeriesFirstSampleLate()
{
    // Series that begin two intervals after the plugin's start,
    // their first sample uploaded hours after the rest; some go dead
    // three samples later, before a third alike step.
    World w = base("NewSeriesFirstSampleLate", 123, 60, 12 * HOUR);
    regular(w, 5, 10 * MINUTE);
    const int64_t begins = w.start + 20 * MINUTE;
    for (std::size_t i = 0; i < w.tags.size(); ++i) {
        auto& s = w.tags[i].samples;
        s.erase(s.begin(), std::find_if(s.begin(), s.end(), [begins](const Sample& x) { return x.time > begins; }));
        s.front().published = T0 + 3 * HOUR;
        s.resize(i % 2 == 1 ? 4 : s.size());
    }
    w.disturbed.push_back(Window{w.start, T0 + 4 * HOUR});
    return w;
}

World lateReportByException()
{
    World w = base("LateReportByException", 113, 60, 2 * DAY);
    Rng rng(w.seed);
    for (int i = 0; i < 20; ++i) {
        TagSeries tag;
        tag.name = tagName(rng, i, 16);
        addIrregular(tag, rng, w.start, w.end + w.tail, 5 * MINUTE, 0);
        late(tag, rng, 0.1, 10 * MINUTE);
        w.tags.push_back(std::move(tag));
    }
    return w;
}

World fastTagOverTheReadingBound()
{
    World w = base("FastTagOverTheReadingBound", 114, 60, 40 * HOUR);
    w.tail = 4 * HOUR;
    regular(w, 1, 1);
    regular(w, 4, 5 * MINUTE);
    // Held back 30 hours, then uploaded at once.
    const Window held{T0 + 2 * HOUR, T0 + 32 * HOUR};
    backfill(w.tags[0], held, held.to);
    w.disturbed.push_back(Window{held.from, held.to + 6 * HOUR});
    return w;
}

World upgradeFromLastPullWithAListMissing()
{
    World w = base("UpgradeFromLastPullWithAListMissing", 115, 60, DAY);
    w.start = T0 - 6 * HOUR;
    w.tagsInState = false;  // an older version's state: lastPull alone
    regular(w, 20, 5 * MINUTE);
    for (std::size_t i = 0; i < 5; ++i) {
        w.tags[i].unlisted.push_back(Window{T0, T0 + 2 * HOUR});
    }
    w.restarts.push_back(Restart{T0 + HOUR, false});
    w.disturbed.push_back(Window{T0, T0 + 3 * HOUR});
    return w;
}

World tagBackAfterMoreThan30Days()
{
    World w = base("TagBackAfterMoreThan30Days", 116, 10 * MINUTE, 40 * DAY);
    regular(w, 5, HOUR);
    remove(w.tags[2], Window{T0 + 2 * DAY, T0 + 37 * DAY});
    w.disturbed.push_back(Window{T0 + 37 * DAY, T0 + 38 * DAY});
    return w;
}

World stateCutShort()
{
    World w = base("StateCutShort", 117, 60, 2 * DAY);
    regular(w, 20, 5 * MINUTE);
    w.restarts.push_back(Restart{T0 + DAY, true});
    w.disturbed.push_back(Window{T0 + DAY, T0 + DAY + HOUR});
    return w;
}

World twoSamplesInOneSecond()
{
    World w = base("TwoSamplesInOneSecond", 118, 1, 30 * MINUTE);
    w.tail = 10 * MINUTE;
    regular(w, 10, 10);
    Rng rng(w.seed + 1);
    for (TagSeries& tag : w.tags) {
        fractions(tag, rng, 0.5);
    }
    return w;
}

World earlierSampleOfASecondLate()
{
    // The newest second of an outage holds two samples: the later one is
    // uploaded first, the earlier with the backlog, across a restart.
    World w = base("EarlierSampleOfASecondLate", 124, 60, 12 * HOUR);
    regular(w, 5, 5 * MINUTE);
    Rng rng(w.seed + 1);
    const Window out{T0 + HOUR, T0 + 3 * HOUR};
    for (TagSeries& tag : w.tags) {
        fractions(tag, rng, 0);
        offline(tag, out, true, 2 * HOUR);
        // The newest of the outage, uploaded first.
        const auto back =
            std::find_if(tag.samples.rbegin(), tag.samples.rend(), [&out](const Sample& s) { return s.time < out.to; });
        back->fraction = 900;
        tag.samples.push_back(Sample{back->time, out.to + 2 * HOUR, 100});
    }
    w.restarts.push_back(Restart{T0 + 4 * HOUR, false});
    w.disturbed.push_back(Window{out.from, out.to + 3 * HOUR});
    return w;
}

World loggerOfflineInsideACatchUp()
{
    // Read two days behind in windows as long as the service answers; one
    // logger, written with fractions, went offline for longer than that and
    // uploads after the run: the window past its last sample holds only it.
    World w = base("LoggerOfflineInsideACatchUp", 125, 60, DAY);
    w.start = T0 - 2 * DAY;
    w.maxRange = 6 * HOUR;
    regular(w, 10, MINUTE);
    Rng rng(w.seed + 1);
    fractions(w.tags[0], rng, 0);
    backfill(w.tags[0], Window{T0 - 30 * HOUR, T0 - 20 * HOUR}, w.end + w.tail + DAY);
    return w;
}

World rhythmFormingAcrossARestart()
{
    // The third and fourth samples are uploaded hours late; the plugin
    // restarts after the first step of the rhythm that follows them, before
    // that rhythm shows (20-minute samples from T0).
    World w = base("RhythmFormingAcrossARestart", 126, 60, 12 * HOUR);
    regular(w, 5, 20 * MINUTE);
    for (TagSeries& tag : w.tags) {
        tag.samples[2].published = T0 + 4 * HOUR;
        tag.samples[3].published = T0 + 4 * HOUR;
    }
    w.restarts.push_back(Restart{T0 + 110 * MINUTE, false});
    w.disturbed.push_back(Window{T0, T0 + 5 * HOUR});
    return w;
}

World outageBeforeATwoStepRhythm()
{
    // 20-minute samples from T0, uploaded at T0 + 3 h from the second to
    // the one before T0 + 160 min. Even tags: three on time before the
    // outage, then one every four hours; the plugin restarts before the
    // first after it. Odd tags: two before the outage, three after it, then
    // none: two alike steps to the second show the rhythm. Two more upload
    // at T0 + 3 h their samples from T0 (or T0 + 20 min) to T0 + 60 min,
    // after a restart that came when the first had only its first sample
    // delivered and the second one step of four intervals.
    World w = base("OutageBeforeATwoStepRhythm", 127, 60, 12 * HOUR);
    regular(w, 8, 20 * MINUTE);
    for (std::size_t i = 6; i < w.tags.size(); ++i) {
        for (Sample& x : w.tags[i].samples) {
            const bool late = x.time >= T0 + (i == 6 ? 0 : 20) * MINUTE && x.time <= T0 + 60 * MINUTE;
            x.published = late ? T0 + 3 * HOUR : x.published;
        }
    }
    const int64_t back = T0 + 160 * MINUTE;
    for (std::size_t i = 0; i < 6; ++i) {
        const bool even = i % 2 == 0;
        auto& s = w.tags[i].samples;
        s.erase(std::remove_if(s.begin(), s.end(),
                               [&](const Sample& x) {
                                   return even ? x.time > back && (x.time - back) % (4 * HOUR) != 0
                                               : x.time > back + 40 * MINUTE;
                               }),
                s.end());
        for (Sample& x : s) {
            x.published = x.time > T0 + (even ? 40 : 20) * MINUTE && x.time < back ? T0 + 3 * HOUR : x.published;
        }
    }
    w.restarts.push_back(Restart{T0 + 90 * MINUTE, false});
    w.disturbed.push_back(Window{T0, T0 + 5 * HOUR});
    return w;
}

World backlogAfterOneStep()
{
    // 20-minute samples from T0: the first two on time, the next two
    // uploaded three hours late, then one at T0 + 80 min and one every 40
    // minutes after it. The only rhythm seen before the hole is one step.
    World w = base("BacklogAfterOneStep", 128, 60, 12 * HOUR);
    regular(w, 4, 20 * MINUTE);
    const int64_t change = T0 + 80 * MINUTE;
    for (TagSeries& tag : w.tags) {
        auto& s = tag.samples;
        s.erase(std::remove_if(s.begin(), s.end(), [&](const Sample& x) { return x.time > change; }), s.end());
        addRegular(tag, change, w.end + w.tail, 40 * MINUTE, w.skew);
        for (Sample& x : s) {
            x.published = x.time > T0 + 20 * MINUTE && x.time < T0 + 80 * MINUTE ? T0 + 3 * HOUR : x.published;
        }
    }
    w.disturbed.push_back(Window{T0, T0 + 5 * HOUR});
    return w;
}

World randomFailuresForHours()
{
    // Two hours in which the service fails 45% of all requests at random,
    // over 3,000 tags of 45 characters, some of them loggers back from an
    // outage: random failures say nothing of the tags, so narrowing their
    // requests would only starve the index once they stop.
    World w = base("RandomFailuresForHours", 130, 20, 90 * MINUTE);
    w.tail = 30 * MINUTE;
    regular(w, 6000, MINUTE, 64);
    for (std::size_t i = 0; i < w.tags.size(); i += 50) {
        offline(w.tags[i], Window{T0 + 10 * MINUTE, T0 + 40 * MINUTE}, true, 30 * MINUTE);
    }
    sortAll(w);
    w.failures.push_back(Failure{"", 503, 0.45, Window{T0 + 30 * MINUTE, T0 + 75 * MINUTE}});
    w.disturbed.push_back(Window{T0 + 10 * MINUTE, T0 + 90 * MINUTE});
    return w;
}

World tagsRemovedWhileFailingAtRandom()
{
    // For four hours the service fails 45% of all requests at random, and a
    // tag in eight leaves the lists for good meanwhile. With polls cut
    // short, 3,000 tags by exception take turns: a tag whose request failed
    // must not wait a whole turn again for its retry.
    World w = base("TagsRemovedWhileFailingAtRandom", 131, 3 * MINUTE, 6 * HOUR);
    w.tail = HOUR;
    Rng rng(w.seed);
    for (int i = 0; i < 3000; ++i) {
        TagSeries tag;
        tag.name = tagName(rng, i, 45);
        addIrregular(tag, rng, w.start, w.end + w.tail, 30 * MINUTE, 0);
        if (i % 8 == 0) {
            remove(tag, Window{T0 + 2 * HOUR + rng.range(0, 3 * HOUR), w.end + w.tail + DAY});
        }
        w.tags.push_back(std::move(tag));
    }
    w.failures.push_back(Failure{"", 0, 0.45, Window{T0 + HOUR, T0 + 5 * HOUR}});
    w.disturbed.push_back(Window{T0, w.end + w.tail + 1});
    return w;
}

World gapRetriesMeetTwoShortOutages()
{
    // A backlog uploaded four hours after the outage; the service is out
    // for two minutes at each of the gap's next two retries (6 h 15 and
    // 10 h 31): a failed request is no reason to wait longer for the gap.
    World w = base("GapRetriesMeetTwoShortOutages", 125, 60, 12 * HOUR);
    regular(w, 5, 5 * MINUTE);
    const Window out{T0 + HOUR, T0 + 2 * HOUR};
    for (TagSeries& tag : w.tags) {
        offline(tag, out, true, 4 * HOUR);
    }
    for (const int64_t at : {6 * HOUR + 15 * MINUTE, 10 * HOUR + 31 * MINUTE}) {
        w.failures.push_back(Failure{"", 0, 1.0, Window{T0 + at, T0 + at + 2 * MINUTE}});
    }
    w.disturbed.push_back(Window{out.from, w.end + w.tail});
    return w;
}

const std::vector<Preset> PRESETS = {
    {"ServiceClockAheadOneSecond", serviceClockAheadOneSecond},
    {"ServiceClockAheadOneMinuteCapped", serviceClockAheadOneMinuteCapped},
    {"ServiceClockAheadDriftingPolls", serviceClockAheadDriftingPolls},
    {"DeadSensorAmongQuietTags", deadSensorAmongQuietTags},
    {"ClockJumpsAheadMoreThanAWeek", clockJumpsAheadMoreThanAWeek},
    {"SlowTagsAfterAClockJump", slowTagsAfterAClockJump},
    {"ClockJumpsPastTheRangeLimit", clockJumpsPastTheRangeLimit},
    {"ClockJumpsPastTheRangeLimitInsideASecond", clockJumpsPastTheRangeLimitInsideASecond},
    {"CatchUpPastTheRangeLimit", catchUpPastTheRangeLimit},
    {"LargeSiteOf5000LongTags", largeSiteOf5000LongTags},
    {"LargeSiteOf5000LongTagsOneMinute", largeSiteOf5000LongTagsOneMinute},
    {"GapLongerThanTheRangeLimit", gapLongerThanTheRangeLimit},
    {"GapAnswersCappedPerTag", gapAnswersCappedPerTag},
    {"OneTagRefusedWith403", oneTagRefusedWith403},
    {"OneTagRefusedWith503", oneTagRefusedWith503},
    {"ClockSetBackTenHours", clockSetBackTenHours},
    {"IntervalChangesOneToFiveMinutes", intervalChangesOneToFiveMinutes},
    {"JitteredLogger", jitteredLogger},
    {"FastJitteredLoggerBackfilled", fastJitteredLoggerBackfilled},
    {"ExtraSampleInARhythmNewestFirst", extraSampleInARhythmNewestFirst},
    {"NewSeriesFirstSampleLate", newSeriesFirstSampleLate},
    {"LateReportByException", lateReportByException},
    {"FastTagOverTheReadingBound", fastTagOverTheReadingBound},
    {"UpgradeFromLastPullWithAListMissing", upgradeFromLastPullWithAListMissing},
    {"TagBackAfterMoreThan30Days", tagBackAfterMoreThan30Days},
    {"StateCutShort", stateCutShort},
    {"TwoSamplesInOneSecond", twoSamplesInOneSecond},
    {"EarlierSampleOfASecondLate", earlierSampleOfASecondLate},
    {"GapRetriesMeetTwoShortOutages", gapRetriesMeetTwoShortOutages},
    {"RhythmFormingAcrossARestart", rhythmFormingAcrossARestart},
    {"GapAnswerCappedInsideASecond", gapAnswerCappedInsideASecond},
    {"ManyTagsAtDistinctPhases", manyTagsAtDistinctPhases},
    {"SlowTagsAtDistinctPhases", slowTagsAtDistinctPhases},
    {"SlowTagsSpeedingUp", slowTagsSpeedingUp},
    {"SlowTagsPutOffTogether", slowTagsPutOffTogether},
    {"OutageBeforeATwoStepRhythm", outageBeforeATwoStepRhythm},
    {"RandomFailuresForHours", randomFailuresForHours},
    {"LoggerOfflineInsideACatchUp", loggerOfflineInsideACatchUp},
    {"BacklogAfterOneStep", backlogAfterOneStep},
    {"TagsRemovedWhileFailingAtRandom", tagsRemovedWhileFailingAtRandom},
};

}  // namespace

const std::vector<Preset>& presets()
{
    return PRESETS;
}

bool presetWorld(const std::string& name, World& world)
{
    for (const Preset& preset : PRESETS) {
        if (name == preset.name) {
            world = preset.build();
            sortAll(world);
            return true;
        }
    }
    return false;
}

}  // namespace fieldsim
