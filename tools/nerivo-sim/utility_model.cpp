#include "utility_model.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include <date/tz.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace nerivosim {

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr int64_t DAY = 86400;

struct Place {
    const char* name;
    const char* code;
    int offsetMinutes;
    const char* timezone;
    const char* zoneName;
};

// Zones on both sides of UTC, one with a half hour, so offsets of either sign
// and non-whole hours get exercised.
const Place PLACES[] = {
    {"Amsterdam", "AMS", 60, "(GMT+01:00) Amsterdam, Berlin, Bern, Rome, Stockholm, Vienna", "Europe/Amsterdam"},
    {"Hartford", "HFD", -300, "(GMT-05:00) Eastern Time (US & Canada)", "America/New_York"},
    {"Lisbon", "LIS", 0, "(GMT+00:00) Dublin, Edinburgh, Lisbon, London", "Europe/Lisbon"},
    {"Pune", "PNQ", 330, "(GMT+05:30) Chennai, Kolkata, Mumbai, New Delhi", "Asia/Kolkata"},
    {"Denver", "DEN", -420, "(GMT-07:00) Mountain Time (US & Canada)", "America/Denver"},
    {"Adelaide", "ADL", 570, "(GMT+09:30) Adelaide", "Australia/Adelaide"},
};
constexpr int PLACE_COUNT = sizeof PLACES / sizeof PLACES[0];

const char* const ASSET_KINDS[] = {"Pump Station", "Reservoir", "Treatment Plant"};
constexpr int KIND_COUNT = sizeof ASSET_KINDS / sizeof ASSET_KINDS[0];

// What each kind of asset measures, most telling first.
const Quantity KIND_QUANTITIES[KIND_COUNT][5] = {
    {Quantity::Flow, Quantity::Pressure, Quantity::Level, Quantity::Chlorine, Quantity::Turbidity},
    {Quantity::Level, Quantity::Chlorine, Quantity::Flow, Quantity::Turbidity, Quantity::Pressure},
    {Quantity::Turbidity, Quantity::Chlorine, Quantity::Flow, Quantity::Pressure, Quantity::Level},
};

uint64_t fnv1a(const std::string& text)
{
    uint64_t hash = 1469598103934665603ULL;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    return hash;
}

uint64_t mix(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Uniform in [-1, 1], fixed for a tag and a time.
double noise(uint64_t seed, int64_t time, uint64_t stream)
{
    const uint64_t h = mix(seed ^ mix(static_cast<uint64_t>(time) + stream * 0x632be59bd9b4e019ULL));
    return static_cast<double>(h >> 11) / static_cast<double>(1ULL << 53) * 2.0 - 1.0;
}

double roundTo(double value, double step)
{
    return std::round(value / step) * step;
}

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

int64_t floorDiv(int64_t a, int64_t b)
{
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

// Water demand over the local day: low at night, peaks in the morning and
// the evening. 1.0 is the daily mean, roughly.
double demand(double hour)
{
    auto bump = [hour](double centre, double width) {
        double d = std::fabs(hour - centre);
        d = std::min(d, 24.0 - d);
        return std::exp(-(d * d) / (2.0 * width * width));
    };
    return 0.8 + 0.45 * bump(7.5, 1.5) + 0.3 * bump(19.0, 2.0) - 0.25 * bump(3.5, 2.0);
}

// What the service lists for each kind of parameter; a null threshold is
// one the utility has not set.
struct QuantityRow {
    Quantity quantity;
    const char* name;
    const char* storageUnit;
    const char* displayUnit;  // empty: the storage unit is what users see
    const char* kpi;
    const char* alarmHi;
    const char* alarmHiHi;
    const char* alarmLo;
    const char* alarmLoLo;
};

const QuantityRow QUANTITIES[] = {
    {Quantity::Flow, "Flow", "m3/s", "m3/h", "FLOW", "450", "520", "40", nullptr},
    {Quantity::Pressure, "Pressure", "kPa", "bar", "PRESSURE", "6.5", "7.5", "2.0", "1.5"},
    {Quantity::Level, "Level", "m", "", "LEVEL", "4.8", nullptr, "1.0", "0.5"},
    {Quantity::Chlorine, "Chlorine", "mg/L", "mg/L", "FREE_CHLORINE", "1.5", "2.0", "0.2", "0.1"},
    {Quantity::Turbidity, "Turbidity", "NTU", "NTU", "TURBIDITY", "1.0", "4.0", nullptr, nullptr},
};

std::optional<std::string> threshold(const char* text)
{
    return text ? std::optional<std::string>(text) : std::nullopt;
}

void fillParameter(Parameter& p, Quantity quantity)
{
    p.quantity = quantity;
    for (const QuantityRow& row : QUANTITIES) {
        if (row.quantity != quantity)
            continue;
        p.name = row.name;
        p.storageUnit = row.storageUnit;
        p.displayUnit = row.displayUnit;
        p.kpi = row.kpi;
        p.alarmHi = threshold(row.alarmHi);
        p.alarmHiHi = threshold(row.alarmHiHi);
        p.alarmLo = threshold(row.alarmLo);
        p.alarmLoLo = threshold(row.alarmLoLo);
        return;
    }
}

const char* quantityCode(Quantity quantity)
{
    switch (quantity) {
    case Quantity::Flow: return "FT";
    case Quantity::Pressure: return "PT";
    case Quantity::Level: return "LT";
    case Quantity::Chlorine: return "CL";
    case Quantity::Turbidity: return "TU";
    }
    return "XX";
}

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void writeOptional(Writer& w, const char* name, const std::optional<std::string>& text)
{
    w.Key(name);
    if (text)
        w.String(*text);
    else
        w.Null();
}

void writeSample(Writer& w, const Sample& s, int offsetMinutes)
{
    // Values are rounded to at most three decimals; keep binary noise such
    // as 0.7000000000000001 off the wire.
    w.SetMaxDecimalPlaces(3);
    w.StartObject();
    w.Key("timestamp");
    w.String(formatWallTime(s.time, offsetMinutes));
    w.Key("value");
    w.Double(s.value);
    w.Key("quality");
    w.Int(s.quality);
    w.EndObject();
}

}  // namespace

int64_t daysFromCivil(int year, unsigned month, unsigned day)
{
    // glibc's timegm does the calendar; it normalises out-of-range fields,
    // which callers have already rejected.
    struct tm parts {};
    parts.tm_year = year - 1900;
    parts.tm_mon = static_cast<int>(month) - 1;
    parts.tm_mday = static_cast<int>(day);
    return floorDiv(static_cast<int64_t>(timegm(&parts)), DAY);
}

std::string formatWallTime(int64_t epoch, int offsetMinutes)
{
    const time_t local = static_cast<time_t>(epoch + static_cast<int64_t>(offsetMinutes) * 60);
    struct tm parts {};
    char buffer[48] = "";
    if (gmtime_r(&local, &parts) != nullptr) {
        std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &parts);
    }
    return buffer;
}

UtilityModel::UtilityModel(ModelOptions options) : m_options(options)
{
    if (options.sites < 1 || options.sites > 99)
        throw std::invalid_argument("sites must be between 1 and 99");
    if (options.assetsPerSite < 1 || options.assetsPerSite > 99)
        throw std::invalid_argument("assets per site must be between 1 and 99");
    if (options.parametersPerAsset < 3 || options.parametersPerAsset > 5)
        throw std::invalid_argument("parameters per asset must be between 3 and 5");
    if (options.sampleInterval < 1 || options.sampleInterval > DAY)
        throw std::invalid_argument("sample interval must be between 1 and 86400 seconds");
    if (options.maxSamplesPerTag < 1)
        throw std::invalid_argument("at least one sample per tag and answer");

    for (int s = 0; s < options.sites; ++s) {
        const Place& place = PLACES[s % PLACE_COUNT];
        Site site;
        site.id = 101 + s;
        site.name = place.name;
        std::string code = place.code;
        if (s >= PLACE_COUNT) {
            site.name += " " + std::to_string(s / PLACE_COUNT + 1);
            code += std::to_string(s / PLACE_COUNT + 1);
        }
        site.timezone = place.timezone;
        site.offsetMinutes = place.offsetMinutes;
        site.zoneName = place.zoneName;
        for (int a = 0; a < options.assetsPerSite; ++a) {
            Asset asset;
            asset.siteId = site.id;
            asset.id = site.id * 100 + a + 1;
            asset.name = std::string(ASSET_KINDS[a % KIND_COUNT]) + " " + code + "-" + std::to_string(a + 1);
            for (int p = 0; p < options.parametersPerAsset; ++p) {
                Parameter parameter;
                fillParameter(parameter, KIND_QUANTITIES[a % KIND_COUNT][p]);
                parameter.id = asset.id * 10 + p + 1;
                parameter.tag = "NW." + code + "." + std::to_string(asset.id) + "." + quantityCode(parameter.quantity);
                parameter.seed = mix(fnv1a(parameter.tag));
                parameter.scale = 0.6 + 0.8 * static_cast<double>(parameter.seed % 1000) / 1000.0;
                asset.parameters.push_back(std::move(parameter));
            }
            site.assets.push_back(std::move(asset));
        }
        m_sites.push_back(std::move(site));
    }
}

const Site* UtilityModel::findSite(int64_t siteId) const
{
    for (const auto& site : m_sites)
        if (site.id == siteId)
            return &site;
    return nullptr;
}

const Asset* UtilityModel::findAsset(int64_t siteId, int64_t assetId) const
{
    const Site* site = findSite(siteId);
    if (site == nullptr)
        return nullptr;
    for (const auto& asset : site->assets)
        if (asset.id == assetId)
            return &asset;
    return nullptr;
}

const Parameter* UtilityModel::findParameter(const std::string& tag) const
{
    for (const auto& site : m_sites)
        for (const auto& asset : site.assets)
            for (const auto& parameter : asset.parameters)
                if (parameter.tag == tag)
                    return &parameter;
    return nullptr;
}

const Site& UtilityModel::siteOf(const Parameter& parameter) const
{
    const int64_t siteId = parameter.id / 1000;
    const Site* site = findSite(siteId);
    return site != nullptr ? *site : m_sites.front();
}

std::size_t UtilityModel::tagCount() const
{
    return static_cast<std::size_t>(m_options.sites) * static_cast<std::size_t>(m_options.assetsPerSite) *
           static_cast<std::size_t>(m_options.parametersPerAsset);
}

int UtilityModel::serviceOffsetMinutes() const
{
    return m_sites.back().offsetMinutes;
}

std::string UtilityModel::formatServiceTime(int64_t epoch) const
{
    return formatWallTime(epoch, serviceOffsetMinutes());
}

std::optional<int64_t> UtilityModel::parseServiceTime(const std::string& text) const
{
    const std::optional<int64_t> wall = parseWallTime(text);
    if (!wall)
        return std::nullopt;
    return *wall - static_cast<int64_t>(serviceOffsetMinutes()) * 60;
}

std::optional<int64_t> parseWallTime(const std::string& text)
{
    int year, month, day, hour, minute, second;
    char tail;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &year, &month, &day, &hour, &minute, &second, &tail) !=
        6)
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 60)
        return std::nullopt;
    return daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * DAY + int64_t{hour} * 3600 +
           int64_t{minute} * 60 + second;
}

Sample UtilityModel::sampleAt(const Parameter& p, int64_t time) const
{
    const Site& site = siteOf(p);
    const int64_t local = time + static_cast<int64_t>(site.offsetMinutes) * 60;
    const double hour = static_cast<double>(local - floorDiv(local, DAY) * DAY) / 3600.0;
    const double phase = static_cast<double>(p.seed % 6283) / 1000.0;
    const double days = static_cast<double>(time) / DAY;
    const double slow = std::sin(2.0 * PI * days / 7.0 + phase);  // a weekly swell
    const double n = noise(p.seed, time, 1);
    const double d = demand(hour);

    Sample s;
    s.time = time;
    switch (p.quantity) {
    case Quantity::Flow:
        s.value = roundTo(std::max(0.0, 260.0 * p.scale * d * (1.0 + 0.05 * slow) + 8.0 * n), 0.1);
        break;
    case Quantity::Pressure: s.value = roundTo(4.6 - 1.1 * (d - 1.0) + 0.1 * slow + 0.04 * n, 0.01); break;
    case Quantity::Level:
        // Reservoirs fill at night and draw down over the day.
        s.value = roundTo(3.2 - 1.4 * (d - 0.9) + 0.3 * std::sin(2.0 * PI * days + phase) + 0.01 * n, 0.001);
        break;
    case Quantity::Chlorine:
        s.value = roundTo(0.75 + 0.08 * std::sin(2.0 * PI * days + phase) + 0.05 * slow + 0.02 * n, 0.01);
        break;
    case Quantity::Turbidity: {
        double v = 0.22 + 0.04 * std::sin(2.0 * PI * days + phase) + 0.02 * n;
        if (mix(p.seed ^ static_cast<uint64_t>(time / 3600)) % 97 == 0)
            v += 1.8;  // an hour of a rare spike after a main flush
        s.value = roundTo(std::max(0.01, v), 0.001);
        break;
    }
    }
    const uint64_t q = mix(p.seed ^ mix(static_cast<uint64_t>(time) * 31 + 7)) % 100;
    s.quality = q < 92 ? 3 : (q < 98 ? 2 : 0);
    return s;
}

int64_t UtilityModel::publishedAt(const std::string& tag, int64_t time, const Publication& publication) const
{
    int64_t at = time;
    for (const auto& late : publication.lag) {
        if (startsWith(tag, late.first)) {
            at = time + late.second;
            break;
        }
    }
    for (const Outage& outage : publication.outages) {
        if (!startsWith(tag, outage.prefix) || time < outage.start || time >= outage.end)
            continue;
        // Newest first: only the last sample before the return comes with it.
        const bool backlog = publication.newestFirst > 0 && time + m_options.sampleInterval <= outage.end;
        at = std::max(at, outage.end + (backlog ? publication.newestFirst : 0));
    }
    for (const Backfill& gap : publication.backfills)
        if (startsWith(tag, gap.prefix) && time >= gap.from && time < gap.to)
            at = std::max(at, gap.publishedAt);
    return at;
}

std::vector<Sample> UtilityModel::samples(const Parameter& parameter, int64_t from, int64_t to, int64_t now,
                                          const Publication& publication) const
{
    std::vector<Sample> out;
    const int64_t step = m_options.sampleInterval;
    // A service whose clock runs ahead has samples dated past the present.
    const int64_t clock = now + publication.overshoot;
    const int64_t end = std::min(to, now) + publication.overshoot;
    from = std::max(from, m_options.seriesStart);
    const int64_t last = std::min(end, m_options.seriesEnd);
    int64_t t = floorDiv(from, step) * step;
    if (t < from)
        t += step;
    for (; t <= last && out.size() < m_options.maxSamplesPerTag; t += step)
        if (publishedAt(parameter.tag, t, publication) <= clock)
            out.push_back(sampleAt(parameter, t));
    return out;
}

std::vector<Sample> UtilityModel::wallSamples(const Parameter& parameter, int64_t fromWall, int64_t toWall, int64_t now,
                                              const Publication& publication) const
{
    // The instants of a wall time lie within a day of it read as UTC.
    std::vector<Sample> out;
    const Site& site = siteOf(parameter);
    const int64_t step = m_options.sampleInterval;
    const int64_t clock = now + publication.overshoot;
    const int64_t first = std::max(fromWall - DAY, m_options.seriesStart);
    const int64_t last = std::min({toWall + DAY, clock, m_options.seriesEnd});
    int64_t t = floorDiv(first, step) * step;
    if (t < first)
        t += step;
    for (; t <= last && out.size() < m_options.maxSamplesPerTag; t += step) {
        const int64_t wall = t + int64_t{wallOffsetMinutes(site, t)} * 60;
        if (wall >= fromWall && wall <= toWall + publication.overshoot &&
            publishedAt(parameter.tag, t, publication) <= clock)
            out.push_back(sampleAt(parameter, t));
    }
    return out;
}

std::string UtilityModel::zoneOf(const Site& site) const
{
    switch (m_options.zones) {
    case Zones::Fixed: return std::string();
    case Zones::Rules: return m_sites.back().zoneName;
    case Zones::Sites: return site.zoneName;
    }
    return std::string();
}

int UtilityModel::wallOffsetMinutes(const Site& site, int64_t time) const
{
    const std::string zone = zoneOf(site);
    if (zone.empty())
        return serviceOffsetMinutes();
    const auto info = date::locate_zone(zone)->get_info(date::sys_seconds{std::chrono::seconds{time}});
    return static_cast<int>(info.offset.count() / 60);
}

Sample UtilityModel::latest(const Parameter& parameter, int64_t now) const
{
    return sampleAt(parameter, floorDiv(now, m_options.sampleInterval) * m_options.sampleInterval);
}

std::string UtilityModel::sitesBody() const
{
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    w.StartObject();
    w.Key("result");
    w.StartArray();
    for (const auto& site : m_sites) {
        w.StartObject();
        w.Key("SITE_ID");
        w.Int64(site.id);
        w.Key("SITE_NAME");
        w.String(site.name);
        w.Key("TIMEZONE");
        w.String(site.timezone);
        w.Key("ASSET_COUNT");
        w.Uint(static_cast<unsigned>(site.assets.size()));
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    return buffer.GetString();
}

std::optional<std::string> UtilityModel::assetsBody(int64_t siteId) const
{
    const Site* site = findSite(siteId);
    if (site == nullptr)
        return std::nullopt;
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    w.StartObject();
    w.Key("result");
    w.StartArray();
    for (const auto& asset : site->assets) {
        w.StartObject();
        w.Key("SITE_ID");
        w.Int64(asset.siteId);
        w.Key("ASSET_ID");
        w.Int64(asset.id);
        w.Key("ASSET_NAME");
        w.String(asset.name);
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    return std::string(buffer.GetString());
}

std::optional<std::string> UtilityModel::parametersBody(int64_t siteId, int64_t assetId) const
{
    const Asset* asset = findAsset(siteId, assetId);
    if (asset == nullptr)
        return std::nullopt;
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    w.StartObject();
    w.Key("result");
    w.StartArray();
    for (const auto& p : asset->parameters) {
        w.StartObject();
        w.Key("ASSET_ID");
        w.Int64(asset->id);
        w.Key("ASSET_NAME");
        w.String(asset->name);
        w.Key("HISTORIAN_TAG");
        w.String(p.tag);
        w.Key("STORAGE_UNIT");
        w.String(p.storageUnit);
        w.Key("KPI");
        w.String(p.kpi);
        w.Key("PARAMETER_NAME");
        w.String(p.name);
        w.Key("PARAMETER_ID");
        w.Int64(p.id);
        w.Key("DISPLAY_UNIT");
        w.String(p.displayUnit);
        writeOptional(w, "ALARM_HI", p.alarmHi);
        writeOptional(w, "ALARM_HIHI", p.alarmHiHi);
        writeOptional(w, "ALARM_LO", p.alarmLo);
        writeOptional(w, "ALARM_LOLO", p.alarmLoLo);
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    return std::string(buffer.GetString());
}

std::string UtilityModel::seriesBody(const std::vector<std::string>& tags,
                                     const std::function<std::vector<Sample>(const Parameter&)>& samplesOf) const
{
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    w.StartObject();
    w.Key("result");
    w.StartObject();
    for (const auto& tag : tags) {
        const Parameter* p = findParameter(tag);
        if (p == nullptr)
            continue;
        w.Key(p->tag.c_str(), static_cast<rapidjson::SizeType>(p->tag.size()));
        w.StartArray();
        for (const Sample& s : samplesOf(*p))
            writeSample(w, s, wallOffsetMinutes(siteOf(*p), s.time));
        w.EndArray();
    }
    w.EndObject();
    w.EndObject();
    return buffer.GetString();
}

std::string UtilityModel::rangeBody(int64_t from, int64_t to, const std::vector<std::string>& tags, int64_t now,
                                    const Publication& publication) const
{
    return seriesBody(tags, [&](const Parameter& p) { return samples(p, from, to, now, publication); });
}

std::string UtilityModel::wallRangeBody(int64_t fromWall, int64_t toWall, const std::vector<std::string>& tags,
                                        int64_t now, const Publication& publication) const
{
    return seriesBody(tags, [&](const Parameter& p) { return wallSamples(p, fromWall, toWall, now, publication); });
}

std::optional<std::string> UtilityModel::latestBody(const std::string& tag, int64_t now) const
{
    const Parameter* p = findParameter(tag);
    if (p == nullptr)
        return std::nullopt;
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    w.StartObject();
    w.Key("result");
    w.StartObject();
    w.Key(p->tag.c_str(), static_cast<rapidjson::SizeType>(p->tag.size()));
    const Sample newest = latest(*p, now);
    writeSample(w, newest, wallOffsetMinutes(siteOf(*p), newest.time));
    w.EndObject();
    w.EndObject();
    return std::string(buffer.GetString());
}

std::vector<std::string> UtilityModel::readingAssetNames(const std::string& separator, bool includeSite) const
{
    std::vector<std::string> names;
    for (const auto& site : m_sites)
        for (const auto& asset : site.assets)
            for (const auto& p : asset.parameters)
                names.push_back((includeSite ? site.name + separator : std::string()) + asset.name + separator +
                                p.name);
    return names;
}

}  // namespace nerivosim
