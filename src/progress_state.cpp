// The per-tag progress as state text: every tag's next-pull time under
// "tags" (what an older version reads), and under "progress" what a tag needs
// besides to deliver nothing twice and lose nothing across a restart.
#include <algorithm>

#include "progress.h"

namespace nerivo {

namespace {

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

}  // namespace

std::string Progress::stateMembers() const
{
    if (m_tags.empty()) {
        return std::string();
    }
    rapidjson::StringBuffer tags;
    rapidjson::StringBuffer details;
    Writer tagWriter(tags);
    Writer detailWriter(details);
    tagWriter.StartObject();
    detailWriter.StartObject();
    bool anyDetail = false;
    for (const auto& entry : m_tags) {
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

bool Progress::hasDetail(const Tag& t)
{
    const bool regular = t.run >= REGULAR_RUN && t.last.has_value();
    const bool asked = t.cursor && *t.cursor > t.next;
    return regular || asked || !t.gaps.empty() || !t.ahead.empty() || t.missingSince != 0;
}

void Progress::writeDetail(Writer& writer, const Tag& t)
{
    writer.StartObject();
    if (t.cursor && *t.cursor > t.next) {
        writer.Key("asked");
        writer.Int64(*t.cursor);
    }
    if (t.run >= REGULAR_RUN && t.last) {
        writer.Key("last");
        writer.Int64(*t.last);
        writer.Key("interval");
        writer.Int64(t.interval);
        writer.Key("run");
        writer.Int(t.run);
    }
    if (!t.gaps.empty()) {
        writer.Key("gaps");
        writer.StartArray();
        for (const Gap& gap : t.gaps) {
            writer.StartArray();
            for (const int64_t value : {gap.after, gap.before, gap.interval, gap.due, gap.retry}) {
                writer.Int64(value);
            }
            writer.EndArray();
        }
        writer.EndArray();
    }
    if (!t.ahead.empty()) {
        writer.Key("ahead");
        writer.StartArray();
        for (const int64_t time : t.ahead) {
            writer.Int64(time);
        }
        writer.EndArray();
    }
    if (t.missingSince != 0) {
        writer.Key("missing");
        writer.Int64(t.missingSince);
    }
    writer.EndObject();
}

bool Progress::restore(const rapidjson::Value& state, int64_t lastPull, int64_t now)
{
    m_start = lastPull;
    m_tags.clear();
    const rapidjson::Value* tags = member(state, "tags");
    if (tags != nullptr) {
        if (!tags->IsObject()) {
            return false;
        }
        for (const auto& entry : tags->GetObject()) {
            if (!entry.value.IsInt64()) {
                m_tags.clear();
                return false;
            }
            Tag& t = tag(std::string(entry.name.GetString(), entry.name.GetStringLength()));
            t.next = entry.value.GetInt64();
            t.cursor = t.next;
        }
    }
    const rapidjson::Value* details = member(state, "progress");
    if (details != nullptr && details->IsObject()) {
        for (const auto& entry : details->GetObject()) {
            if (entry.value.IsObject()) {
                readTag(std::string(entry.name.GetString(), entry.name.GetStringLength()), entry.value);
            }
        }
    }
    // A sample of this very second leaves its tag's next pull one ahead of
    // the clock; only more than that says the clock is behind.
    bool ahead = lastPull > now + 1;
    for (const auto& entry : m_tags) {
        ahead = ahead || entry.second.next > now + 1;
    }
    if (ahead) {
        note(Note::Level::WARN, "The clock is behind the stored progress: tags are asked once the clock passes "
                                "their next-pull times");
    }
    return true;
}

void Progress::readTag(const std::string& name, const rapidjson::Value& detail)
{
    Tag& t = tag(name);
    const rapidjson::Value* value = member(detail, "asked");
    if (value != nullptr && value->IsInt64() && value->GetInt64() > t.next) {
        t.cursor = value->GetInt64();
    }
    const rapidjson::Value* last = member(detail, "last");
    const rapidjson::Value* interval = member(detail, "interval");
    const rapidjson::Value* run = member(detail, "run");
    if (last && interval && run && isTime(*last) && isTime(*interval) && interval->GetInt64() > 0 && run->IsInt() &&
        run->GetInt() >= REGULAR_RUN) {
        t.last = last->GetInt64();
        t.interval = interval->GetInt64();
        t.run = run->GetInt();
    }
    readGaps(t, member(detail, "gaps"));
    value = member(detail, "ahead");
    for (std::size_t i = 0; value != nullptr && value->IsArray() && i < value->Size(); ++i) {
        const rapidjson::Value& time = (*value)[static_cast<rapidjson::SizeType>(i)];
        if (isTime(time) && time.GetInt64() >= t.next) {
            t.ahead.insert(time.GetInt64());
        }
    }
    value = member(detail, "missing");
    if (value != nullptr && value->IsInt64()) {
        t.missingSince = value->GetInt64();
    }
}

void Progress::readGaps(Tag& t, const rapidjson::Value* gaps)
{
    for (std::size_t i = 0; gaps != nullptr && gaps->IsArray() && i < gaps->Size() && t.gaps.size() < MAX_GAPS; ++i) {
        const rapidjson::Value& gap = (*gaps)[static_cast<rapidjson::SizeType>(i)];
        if (!gap.IsArray() || gap.Size() != 5 || !std::all_of(gap.Begin(), gap.End(), isTime)) {
            continue;
        }
        Gap read{gap[0].GetInt64(), gap[1].GetInt64(), gap[2].GetInt64(), gap[3].GetInt64(), gap[4].GetInt64()};
        const bool sound = read.interval > 0 && read.before - read.after >= 2 * read.interval &&
                           read.retry >= FIRST_GAP_RETRY && read.retry <= MAX_GAP_RETRY &&
                           (t.gaps.empty() || read.after >= t.gaps.back().before);
        if (sound) {
            t.gaps.push_back(read);
        }
    }
}

}  // namespace nerivo
