#include "sim_service.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace nerivosim {

namespace {

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (true) {
        const auto end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return parts;
}

bool parseId(const std::string& text, int64_t& id)
{
    if (text.empty() || text.size() > 18)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    id = std::strtoll(text.c_str(), nullptr, 10);
    return true;
}

fakeservice::Answer error(int status, const std::string& message)
{
    fakeservice::Answer answer = fakeservice::Answer::json("{\"error\":\"" + message + "\"}", status);
    return answer;
}

// An epoch second, or with a sign seconds from start.
bool parseMoment(const std::string& text, int64_t start, int64_t& out)
{
    const bool relative = !text.empty() && (text[0] == '+' || text[0] == '-');
    int64_t value = 0;
    if (!parseId(relative ? text.substr(1) : text, value) || value > 4102444800)  // 2100
        return false;
    out = relative ? start + (text[0] == '-' ? -value : value) : value;
    return true;
}

// "PREFIX=REST" with a prefix and a rest; false otherwise.
bool splitPrefix(const std::string& text, std::string& prefix, std::string& rest)
{
    const auto equals = text.rfind('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 >= text.size())
        return false;
    prefix = text.substr(0, equals);
    rest = text.substr(equals + 1);
    return true;
}

// The value of one query parameter, empty when absent.
std::string queryValue(const std::string& query, const std::string& name)
{
    for (const auto& pair : split(query, '&')) {
        if (pair.compare(0, name.size() + 1, name + "=") == 0)
            return pair.substr(name.size() + 1);
    }
    return std::string();
}

}  // namespace

SimService::SimService(const UtilityModel& model, std::string key, Faults faults, Clock clock)
    : m_model(model),
      m_key(std::move(key)),
      m_faults(std::move(faults)),
      m_clock(std::move(clock))
{
    if (!m_clock)
        m_clock = [] { return static_cast<int64_t>(std::time(nullptr)); };
    m_publication = publicationOf(m_faults);
}

Publication SimService::publicationOf(const Faults& faults)
{
    Publication publication;
    publication.lag = faults.lateTags;
    publication.outages = faults.offline;
    publication.newestFirst = faults.newestFirst;
    publication.backfills = faults.backfills;
    publication.overshoot = faults.overshoot;
    return publication;
}

bool SimService::parseFailPath(const std::string& text, std::pair<std::string, int>& out)
{
    const auto eq = text.rfind('=');
    if (eq == std::string::npos || eq + 1 >= text.size())
        return false;
    const std::string status = text.substr(eq + 1);
    char* end = nullptr;
    errno = 0;
    const long code = std::strtol(status.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || code < 100 || code > 599)
        return false;
    out = {text.substr(0, eq), static_cast<int>(code)};
    return true;
}

bool SimService::matches(const std::vector<std::string>& prefixes, const std::string& resource)
{
    for (const auto& prefix : prefixes)
        if (resource.compare(0, prefix.size(), prefix) == 0)
            return true;
    return false;
}

const Outage* SimService::throttled(const std::string& resource) const
{
    const int64_t now = m_clock();
    for (const auto& window : m_faults.throttles)
        if (resource.compare(0, window.prefix.size(), window.prefix) == 0 && now >= window.start && now < window.end)
            return &window;
    return nullptr;
}

fakeservice::Answer SimService::rangeAnswer(const RangeRequest& range)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ranges.push_back(range);
    }
    fakeservice::Answer reset;
    reset.closeBeforeAnswer = true;
    for (const auto& tag : range.tags)
        if (matches(m_faults.resetTags, tag))
            return reset;
    if (m_faults.maxRange > 0 && range.toEpoch - range.fromEpoch > m_faults.maxRange)
        return error(400, "range exceeds " + std::to_string(m_faults.maxRange) + " seconds");
    for (const auto& tag : range.tags)
        if (matches(m_faults.rejectTags, tag))
            return error(400, "unknown tag");
    if (m_model.options().zones == Zones::Fixed)
        return fakeservice::Answer::json(
            m_model.rangeBody(range.fromEpoch, range.toEpoch, range.tags, m_clock(), m_publication));
    // Zones with rules compare the request's wall times with the samples'.
    return fakeservice::Answer::json(m_model.wallRangeBody(*parseWallTime(range.from), *parseWallTime(range.to),
                                                           range.tags, m_clock(), m_publication));
}

bool SimService::parseOffline(const std::string& text, int64_t start, Outage& out)
{
    std::string prefix, rest;
    if (!splitPrefix(text, prefix, rest))
        return false;
    const auto plus = rest.find('+', 1);  // past a sign of the start
    int64_t from = 0, seconds = 0;
    if (plus == std::string::npos || !parseMoment(rest.substr(0, plus), start, from) ||
        !parseId(rest.substr(plus + 1), seconds) || seconds < 1 || seconds > 366LL * 86400)
        return false;
    out = {prefix, from, from + seconds};
    return true;
}

bool SimService::parseBackfill(const std::string& text, int64_t start, Backfill& out)
{
    std::string prefix, rest;
    if (!splitPrefix(text, prefix, rest))
        return false;
    const auto at = rest.find('@');
    const auto colon = rest.find(':');
    if (at == std::string::npos || colon == std::string::npos || colon > at)
        return false;
    Backfill gap{prefix, 0, 0, 0};
    if (!parseMoment(rest.substr(0, colon), start, gap.from) ||
        !parseMoment(rest.substr(colon + 1, at - colon - 1), start, gap.to) ||
        !parseMoment(rest.substr(at + 1), start, gap.publishedAt) || gap.from >= gap.to)
        return false;
    out = gap;
    return true;
}

bool SimService::parseLateTag(const std::string& text, std::pair<std::string, int64_t>& out)
{
    std::string prefix, rest;
    int64_t seconds = 0;
    if (!splitPrefix(text, prefix, rest) || !parseId(rest, seconds) || seconds > 366LL * 86400)
        return false;
    out = {prefix, seconds};
    return true;
}

std::vector<RangeRequest> SimService::rangeRequests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ranges;
}

fakeservice::Answer SimService::handle(const fakeservice::Request& request)
{
    fakeservice::Answer answer;
    const std::string path = request.path();
    const std::string base = "/api/";
    if (request.method != "GET") {
        answer = error(405, "method not allowed");
    } else if (path.compare(0, base.size(), base) != 0) {
        answer = error(404, "not found");
    } else {
        const std::string resource = path.substr(base.size());
        const auto key = request.header("X-Api-Key");
        if (!key || *key != m_key) {
            answer = error(401, "Unauthorized");
        } else if (matches(m_faults.drop, resource)) {
            answer.closeBeforeAnswer = true;
        } else if (const Outage* window = throttled(resource)) {
            answer = error(429, "too many requests");
            answer.headers.push_back({"Retry-After", std::to_string(std::max<int64_t>(1, window->end - m_clock()))});
        } else {
            bool failed = false;
            for (const auto& fail : m_faults.failPaths) {
                if (resource.compare(0, fail.first.size(), fail.first) == 0) {
                    answer = error(fail.second, "injected failure");
                    failed = true;
                    break;
                }
            }
            if (!failed) {
                answer = route(resource, request.query());
                if (answer.status == 200 && matches(m_faults.malformed, resource))
                    answer.body = answer.body.substr(0, answer.body.size() / 2);
            }
        }
    }
    answer.delay = m_faults.delay;
    answer.compress = !m_faults.plain;
    return answer;
}

fakeservice::Answer SimService::route(const std::string& resource, const std::string& query)
{
    const std::vector<std::string> parts = split(resource, '/');
    int64_t siteId = 0;
    int64_t assetId = 0;

    if (parts.size() == 1 && parts[0] == "sites")
        return fakeservice::Answer::json(m_model.sitesBody());

    if (parts.size() == 3 && parts[0] == "sites" && parts[2] == "assets" && parseId(parts[1], siteId)) {
        if (auto body = m_model.assetsBody(siteId))
            return fakeservice::Answer::json(*body);
        return error(404, "no such site");
    }

    if (parts.size() == 5 && parts[0] == "sites" && parts[2] == "assets" && parts[4] == "parameters" &&
        parseId(parts[1], siteId) && parseId(parts[3], assetId)) {
        if (auto body = m_model.parametersBody(siteId, assetId))
            return fakeservice::Answer::json(*body);
        return error(404, "no such asset");
    }

    if (parts.size() == 3 && parts[0] == "timeseriesdata" && parts[2] == "latest") {
        if (auto body = m_model.latestBody(parts[1], m_clock()))
            return fakeservice::Answer::json(*body);
        return error(404, "no such tag");
    }

    if (parts.size() == 3 && parts[0] == "timeseriesdata") {
        RangeRequest range;
        range.from = parts[1];
        range.to = parts[2];
        const auto from = m_model.parseServiceTime(range.from);
        const auto to = m_model.parseServiceTime(range.to);
        if (!from || !to)
            return error(400, "dates must read YYYY-MM-DDTHH:MM:SS");
        range.fromEpoch = *from;
        range.toEpoch = *to;
        const std::string tags = queryValue(query, "tags");
        if (!tags.empty())
            range.tags = split(tags, ',');
        return rangeAnswer(range);
    }

    return error(404, "not found");
}

}  // namespace nerivosim
