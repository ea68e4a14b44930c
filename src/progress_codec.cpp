#include "progress_codec.h"

#include <algorithm>

#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace nerivo {

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

// Stored times are read back only within the calendar the service can
// write, so that no arithmetic on them can overflow.
constexpr int64_t TIME_BOUND = int64_t{1} << 40;

bool isTime(const rapidjson::Value& value)
{
    return value.IsInt64() && value.GetInt64() > -TIME_BOUND && value.GetInt64() < TIME_BOUND;
}

const rapidjson::Value* member(const rapidjson::Value& object, const char* name)
{
    auto found = object.FindMember(name);
    return found == object.MemberEnd() ? nullptr : &found->value;
}

// A rhythm is kept once it shows, while one forms after a step that may
// have left samples out, and once a slow one has two alike steps; so is a
// first sample and where the series was read from before it (a hole there
// may be an outage whose samples come later).
bool keepsRhythm(const StoredTag& t)
{
    const bool slow = t.run == REGULAR_RUN - 1 && t.interval >= SLOW_STEP;
    const bool first = t.interval == 0 && t.run == 0 && t.prior;
    return t.last && (first || (t.interval > 0 && t.run > 0 && (t.run >= REGULAR_RUN || t.lead || slow)));
}

bool hasDetail(const StoredTag& t)
{
    const bool asked = t.asked && *t.asked > t.next;
    return keepsRhythm(t) || asked || !t.gaps.empty() || !t.ahead.empty() || t.missingSince != 0 || !t.edge.empty();
}

void writeGaps(Writer& writer, const std::vector<Gap>& gaps)
{
    writer.Key("gaps");
    writer.StartArray();
    for (const Gap& gap : gaps) {
        writer.StartArray();
        for (const int64_t value : {gap.after, gap.before, gap.interval, gap.due, gap.retry}) {
            writer.Int64(value);
        }
        // Optional trailing elements: each written when it or a later one is set.
        if (gap.asked != 0 || gap.beforeMillis != 0 || gap.afterMillis != 0) {
            writer.Int64(gap.asked);
        }
        if (gap.beforeMillis != 0 || gap.afterMillis != 0) {
            writer.Int64(gap.beforeMillis);
        }
        if (gap.afterMillis != 0) {
            writer.Int64(gap.afterMillis);
        }
        writer.EndArray();
    }
    writer.EndArray();
}

// A member holding the numbers as an array; none when there are none.
template <typename Number>
void writeNumbers(Writer& writer, const char* name, const std::set<Number>& numbers)
{
    if (numbers.empty()) {
        return;
    }
    writer.Key(name);
    writer.StartArray();
    for (const Number number : numbers) {
        writer.Int64(number);
    }
    writer.EndArray();
}

void writeDetail(Writer& writer, const StoredTag& t)
{
    writer.StartObject();
    if (t.asked && *t.asked > t.next) {
        writer.Key("asked");
        writer.Int64(*t.asked);
    }
    if (keepsRhythm(t)) {
        writer.Key("last");
        writer.Int64(*t.last);
        writer.Key("interval");
        writer.Int64(t.interval);
        writer.Key("run");
        writer.Int(t.run);
        if (t.prior) {
            writer.Key("prior");
            writer.Int64(*t.prior);
        }
    }
    if (keepsRhythm(t) && t.lead) {
        writer.Key("lead");
        writer.StartArray();
        writer.Int64(t.lead->after);
        writer.Int64(t.lead->before);
        writer.Int(t.lead->sampled ? 1 : 0);
        writer.Int(t.lead->beforeMillis);
        writer.EndArray();
    }
    if (!t.gaps.empty()) {
        writeGaps(writer, t.gaps);
    }
    writeNumbers(writer, "ahead", t.ahead);
    if (t.missingSince != 0) {
        writer.Key("missing");
        writer.Int64(t.missingSince);
    }
    writeNumbers(writer, "edge", t.edge);
    writer.EndObject();
}

int32_t fraction(const rapidjson::Value& value)
{
    return static_cast<int32_t>(std::clamp<int64_t>(value.GetInt64(), 0, 1000));
}

void readGaps(StoredTag& t, const rapidjson::Value* gaps)
{
    for (std::size_t i = 0; gaps != nullptr && gaps->IsArray() && i < gaps->Size(); ++i) {
        const rapidjson::Value& gap = (*gaps)[static_cast<rapidjson::SizeType>(i)];
        if (!gap.IsArray() || gap.Size() < 5 || gap.Size() > 8 || !std::all_of(gap.Begin(), gap.End(), isTime)) {
            continue;
        }
        Gap read{gap[0].GetInt64(), gap[1].GetInt64(), gap[2].GetInt64(),
                 gap[3].GetInt64(), gap[4].GetInt64(), gap.Size() >= 6 ? gap[5].GetInt64() : 0};
        read.beforeMillis = gap.Size() >= 7 ? fraction(gap[6]) : 0;
        read.afterMillis = gap.Size() >= 8 ? fraction(gap[7]) : 0;
        const bool sound = read.interval > 0 && read.before - read.after > read.interval &&
                           read.retry >= GAPS.firstRetry && read.retry <= GAPS.maxRetry &&
                           (t.gaps.empty() || read.after >= t.gaps.back().before);
        if (sound) {
            t.gaps.push_back(read);
        }
    }
    // Beyond the count kept, the oldest go, as when a gap is added.
    if (t.gaps.size() > GAPS.count) {
        t.gaps.erase(t.gaps.begin(), t.gaps.end() - static_cast<std::ptrdiff_t>(GAPS.count));
    }
}

void readLead(StoredTag& t, const rapidjson::Value* lead)
{
    const bool sound = lead != nullptr && lead->IsArray() && lead->Size() == 4 &&
                       std::all_of(lead->Begin(), lead->End(), isTime) &&
                       (*lead)[0].GetInt64() < (*lead)[1].GetInt64() && (*lead)[1].GetInt64() <= *t.last;
    if (sound) {
        t.lead = Lead{(*lead)[0].GetInt64(), (*lead)[1].GetInt64(), (*lead)[2].GetInt64() != 0, fraction((*lead)[3])};
    }
}

void readDetail(StoredTag& t, const rapidjson::Value& detail)
{
    const rapidjson::Value* value = member(detail, "asked");
    if (value != nullptr && isTime(*value) && value->GetInt64() > t.next) {
        t.asked = value->GetInt64();
    }
    const rapidjson::Value* last = member(detail, "last");
    const rapidjson::Value* interval = member(detail, "interval");
    const rapidjson::Value* run = member(detail, "run");
    const rapidjson::Value* prior = member(detail, "prior");
    const bool sound = last && interval && run && isTime(*last) && isTime(*interval) && run->IsInt();
    const bool priorSound = sound && prior && isTime(*prior) && prior->GetInt64() < last->GetInt64();
    const bool rhythm = sound && interval->GetInt64() > 0 && run->GetInt() > 0;
    const bool first = sound && interval->GetInt64() == 0 && run->GetInt() == 0 && priorSound;
    if (rhythm || first) {
        t.last = last->GetInt64();
        t.interval = interval->GetInt64();
        t.run = run->GetInt();
        t.prior = priorSound ? std::optional<int64_t>(prior->GetInt64()) : std::nullopt;
        readLead(t, member(detail, "lead"));
    }
    readGaps(t, member(detail, "gaps"));
    value = member(detail, "ahead");
    for (std::size_t i = 0; value != nullptr && value->IsArray() && i < value->Size(); ++i) {
        const rapidjson::Value& time = (*value)[static_cast<rapidjson::SizeType>(i)];
        if (isTime(time) && time.GetInt64() >= t.next && t.ahead.size() < MAX_AHEAD) {
            t.ahead.insert(time.GetInt64());
        }
    }
    value = member(detail, "missing");
    if (value != nullptr && value->IsInt64()) {
        t.missingSince = value->GetInt64();
    }
    value = member(detail, "edge");
    for (std::size_t i = 0; value != nullptr && value->IsArray() && i < value->Size() && i < MAX_AHEAD; ++i) {
        const rapidjson::Value& fraction = (*value)[static_cast<rapidjson::SizeType>(i)];
        if (fraction.IsInt() && fraction.GetInt() > 0 && fraction.GetInt() <= 1000) {
            t.edge.insert(fraction.GetInt());
        }
    }
}

bool readTags(std::map<std::string, StoredTag>& tags, const rapidjson::Value& state)
{
    const rapidjson::Value* next = member(state, "tags");
    if (next == nullptr) {
        return true;
    }
    if (!next->IsObject()) {
        return false;
    }
    for (const auto& entry : next->GetObject()) {
        if (!entry.value.IsInt64()) {
            tags.clear();
            return false;
        }
        StoredTag& t = tags[std::string(entry.name.GetString(), entry.name.GetStringLength())];
        t.next = entry.value.GetInt64();
        t.asked = t.next;
    }
    return true;
}

// Reads the first top-level "lastPull" of a text, taken only once another
// member or the object's end follows it: a number cut short is no time.
struct LastPullReader : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, LastPullReader> {
    int depth = 0;
    bool inLastPull = false;
    std::optional<uint64_t> pending;
    std::optional<uint64_t> found;

    bool Default()
    {
        inLastPull = false;
        return true;
    }
    bool Uint(unsigned value) { return Uint64(value); }
    bool Uint64(uint64_t value)
    {
        if (inLastPull && depth == 1) {
            pending = value;
        }
        inLastPull = false;
        return true;
    }
    bool StartObject() { return ++depth, Default(); }
    bool StartArray() { return ++depth, Default(); }
    bool EndArray(rapidjson::SizeType) { return --depth, Default(); }
    bool EndObject(rapidjson::SizeType)
    {
        settle();
        return --depth, true;
    }
    bool Key(const char* name, rapidjson::SizeType length, bool)
    {
        settle();
        inLastPull = depth == 1 && std::string(name, length) == "lastPull";
        return true;
    }
    void settle()
    {
        if (pending && !found && depth == 1) {
            found = pending;
        }
        pending.reset();
    }
};

}  // namespace

std::string progressMembers(const Progress& progress)
{
    const std::map<std::string, StoredTag> stored = progress.stored();
    if (stored.empty()) {
        return std::string();
    }
    rapidjson::StringBuffer tags;
    rapidjson::StringBuffer details;
    Writer tagWriter(tags);
    Writer detailWriter(details);
    tagWriter.StartObject();
    detailWriter.StartObject();
    bool anyDetail = false;
    for (const auto& entry : stored) {
        const auto size = static_cast<rapidjson::SizeType>(entry.first.size());
        tagWriter.Key(entry.first.c_str(), size);
        tagWriter.Int64(entry.second.next);
        if (hasDetail(entry.second)) {
            detailWriter.Key(entry.first.c_str(), size);
            writeDetail(detailWriter, entry.second);
            anyDetail = true;
        }
    }
    tagWriter.EndObject();
    detailWriter.EndObject();
    std::string out = std::string(", \"tags\" : ") + tags.GetString();
    if (anyDetail) {
        out += std::string(", \"progress\" : ") + details.GetString();
    }
    return out;
}

bool restoreProgress(Progress& progress, const rapidjson::Value& state, int64_t lastPull, int64_t now)
{
    std::map<std::string, StoredTag> tags;
    const bool usable = readTags(tags, state);
    const rapidjson::Value* details = member(state, "progress");
    if (usable && details != nullptr && details->IsObject()) {
        for (const auto& entry : details->GetObject()) {
            auto found = tags.find(std::string(entry.name.GetString(), entry.name.GetStringLength()));
            if (entry.value.IsObject() && found != tags.end()) {
                readDetail(found->second, entry.value);
            }
        }
    }
    // The service's clock is learnt anew from its first answers: until then
    // no silent range is settled.
    progress.load(lastPull, std::move(tags), std::nullopt, now);
    return usable;
}

std::optional<int64_t> salvageLastPull(const std::string& text)
{
    LastPullReader handler;
    rapidjson::Reader reader;
    rapidjson::StringStream stream(text.c_str());
    reader.Parse(stream, handler);
    if (!handler.found) {
        return std::nullopt;
    }
    return static_cast<int64_t>(*handler.found);
}

}  // namespace nerivo
