#include "service.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <random>
#include <thread>
#include <utility>

#include <boost/system/system_error.hpp>

namespace nerivo {

namespace {

Failure findResult(rapidjson::Type expected, const rapidjson::Document& doc, const rapidjson::Value*& result)
{
    if (!doc.IsObject()) {
        return Failure::NOT_OBJECT;
    }
    auto member = doc.FindMember("result");
    if (member == doc.MemberEnd()) {
        return Failure::NO_RESULT;
    }
    if (member->value.GetType() != expected) {
        return Failure::WRONG_TYPE;
    }
    result = &member->value;
    return Failure::NONE;
}

// A chunk size for the memory pool of the document of body, so that its
// memory comes in one piece rather than in many small chunks: measured on
// range answers parsed in place, the document takes about 1.8 times the body.
std::size_t documentChunk(const std::string& body)
{
    constexpr std::size_t MIN_CHUNK = std::size_t{64} * 1024;
    return std::max(MIN_CHUNK, body.size() / 5 * 10);
}

int64_t monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Connector httpsConnector(const std::string& host)
{
    return [host](std::chrono::milliseconds lowSpeedWindow) -> Transport {
        // Verification stays on: the API key travels with every request.
        auto client = std::make_shared<SimpleWeb::Client<SimpleWeb::HTTPS>>(host, true, "", "", "");
        client->config.timeout_connect = Service::REQUEST_TIMEOUT;
        client->config.timeout = Service::REQUEST_TIMEOUT;
        client->config.low_speed_bytes = Service::LOW_SPEED_BYTES;
        client->config.low_speed_window = lowSpeedWindow;
        return [client](const std::string& target, const SimpleWeb::CaseInsensitiveMultimap& header,
                        const std::string& proxy) {
            // Always handed over, an empty proxy included: a proxy removed by
            // reconfiguration must stop being used at once.
            client->config.proxy_server = proxy;
            return client->request("GET", target, "", header);
        };
    };
}

Service::Service(Connector connector, std::string host, Logger* logger)
    : m_connector(std::move(connector)),
      m_host(std::move(host)),
      m_logger(logger),
      m_backoff(std::random_device()())
{
}

bool Service::connect()
{
    try {
        m_clients.push_back(m_connector(m_lowSpeedWindow));
    } catch (const boost::system::system_error& e) {
        m_logger->error("Failed to create the HTTPS client for %s: %s", m_host.c_str(), e.what());
        return false;
    }
    return true;
}

std::string Service::url(const std::string& resource) const
{
    return "https://" + m_host + "/api/" + resource;
}

std::string Service::urlTag(const std::string& tag)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(tag.size());
    for (const unsigned char c : tag) {
        // ASCII ranges, not isalnum: the host's locale must not change URLs.
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 0x0F];
        }
    }
    return encoded;
}

bool Service::send(const std::string& url, Reply& reply)
{
    return sendOn(0, url, reply);
}

std::vector<Reply> Service::sendAll(const std::vector<std::string>& urls)
{
    std::vector<Reply> replies(urls.size());
    // More connections, each kept alive for the next discovery; one that
    // cannot be created leaves the work to the others.
    while (m_clients.size() < std::min(MAX_CONNECTIONS, urls.size()) && connect()) {
    }
    std::atomic<std::size_t> next{0};
    auto work = [&](std::size_t connection) {
        for (std::size_t i = next++; i < urls.size(); i = next++) {
            sendOn(connection, urls[i], replies[i]);
        }
    };
    std::vector<std::thread> workers;
    for (std::size_t c = 1; c < std::min(m_clients.size(), urls.size()); ++c) {
        workers.emplace_back(work, c);
    }
    work(0);
    for (std::thread& worker : workers) {
        worker.join();
    }
    return replies;
}

void Service::releaseExtra()
{
    if (m_clients.size() > 1) {
        m_clients.resize(1);
    }
}

bool Service::sendOn(std::size_t connection, const std::string& url, Reply& reply)
{
    if (holding()) {
        reply.failure = Failure::HELD;
        return false;
    }
    SimpleWeb::CaseInsensitiveMultimap header;
    header.emplace("Content-Type", "application/json");
    header.emplace("X-Api-Key", m_key);
    // Answers are JSON, which compresses several times over a metered link.
    header.emplace("Accept-Encoding", "gzip, deflate");
    try {
        auto response = m_clients.at(connection)(url, header, m_proxy);
        reply.status = response->status_code;
        reply.code = statusCode(reply.status);
        reply.body = response->content.take();
        auto retryAfter = response->header.find("Retry-After");
        record(reply.code == 200 ? Backoff::Outcome::OK : Backoff::Outcome::STATUS, reply.status,
               retryAfter == response->header.end() ? std::string() : retryAfter->second);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_traffic.wire += response->wire_bytes;
        m_traffic.inflated += response->body_bytes;
    } catch (const SimpleWeb::connect_error& e) {
        reply.failure = Failure::RAISED;
        reply.error = e.what();
        record(Backoff::Outcome::CONNECT_FAILED, reply.error, std::string());
        return false;
    } catch (const boost::system::system_error& e) {
        reply.failure = Failure::RAISED;
        reply.error = e.what();
        record(Backoff::Outcome::RAISED, reply.error, std::string());
        return false;
    }
    return true;
}

void Service::record(Backoff::Outcome outcome, const std::string& status, const std::string& retryAfter)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_keyWorks = m_keyWorks || outcome == Backoff::Outcome::OK;
    // The clock rounded up, so that a hold is never shorter than asked.
    m_backoff.record(outcome, status, retryAfter, monotonicMs() + 1, static_cast<int64_t>(std::time(nullptr)));
    for (const Note& note : m_backoff.takeNotes()) {
        logNote(m_logger, note);
    }
}

void Service::setKey(const std::string& key)
{
    replaceCredential(m_key, key);
}

void Service::setProxy(const std::string& proxy)
{
    replaceCredential(m_proxy, proxy);
}

void Service::replaceCredential(std::string& current, const std::string& value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (value != current) {
        // What the service or the network refused may have been the old one.
        m_backoff = Backoff(std::random_device()());
        m_keyWorks = false;
    }
    current = value;
}

void Service::newPoll()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_backoff.newPoll();
}

bool Service::holding() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_backoff.mayRequest(monotonicMs());
}

int64_t Service::heldSeconds() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const int64_t now = monotonicMs();
    // Checked first: with no hold ever set, heldUntil is the most negative time.
    if (m_backoff.mayRequest(now)) {
        return 0;
    }
    return (m_backoff.heldUntil() - now + 999) / 1000;
}

Traffic Service::takeTraffic()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Traffic traffic = m_traffic;
    m_traffic = Traffic();
    return traffic;
}

Failure Service::read(Reply& reply, const Expect& expect) const
{
    reply.result = nullptr;
    reply.failure = Failure::NONE;
    if (expect.okOnly && reply.code != 200) {
        return reply.failure = Failure::STATUS;
    }
    // RapidJSON must never be handed an empty text.
    if (reply.body.empty()) {
        return reply.failure = Failure::EMPTY;
    }
    reply.pool = std::make_unique<rapidjson::MemoryPoolAllocator<>>(documentChunk(reply.body));
    reply.doc = std::make_unique<rapidjson::Document>(reply.pool.get());
    std::string& body = reply.body;
    // Without escapes and NULs, parsing in place changes only the closing
    // quote of each string it has read into a NUL, which a failure can undo
    // exactly (the log shows the body as received); any other body is parsed
    // from a copy of its strings.
    if (expect.inPlace && body.find('\\') == std::string::npos && body.find('\0') == std::string::npos) {
        reply.doc->ParseInsitu(&body[0]);
        if (reply.doc->HasParseError()) {
            std::replace(body.begin(), body.end(), '\0', '"');
        }
    } else {
        reply.doc->Parse(body.c_str(), body.size());
    }
    if (reply.doc->HasParseError()) {
        return reply.failure = Failure::UNPARSABLE;
    }
    return reply.failure = findResult(expect.result, *reply.doc, reply.result);
}

void Service::report(const Reply& reply, const std::string& url, const Lines& lines) const
{
    if (reply.failure == Failure::RAISED) {
        m_logger->error("API request failed %s.", reply.error.c_str());
        return;
    }
    auto found = lines.find(reply.failure);
    if (found == lines.end()) {
        return;
    }
    const Line& line = found->second;
    std::string text = line.text;
    switch (line.detail) {
    case Line::Detail::NONE: break;
    case Line::Detail::STATUS: text += reply.status; break;
    case Line::Detail::BODY: text += reply.body; break;
    case Line::Detail::URL: text += url; break;
    case Line::Detail::STATUS_URL: text += reply.status + ": " + url; break;
    }
    logAt(m_logger, line.level, text);
    // A refused key is the usual cause of a 401 or 403.
    const bool refused = reply.code == 401 || reply.code == 403;
    if (reply.failure == Failure::STATUS && line.level == Logger::Level::Error && refused) {
        m_logger->error("The service refused the request (%s): check the configuration item \"key\"",
                        reply.status.c_str());
    }
}

void logNote(Logger* logger, const Note& note)
{
    logAt(logger,
          note.level == Note::Level::INFO   ? Logger::Level::Info
          : note.level == Note::Level::WARN ? Logger::Level::Warning
                                            : Logger::Level::Error,
          note.text);
}

void logAt(Logger* logger, Logger::Level level, const std::string& text)
{
    switch (level) {
    case Logger::Level::Debug: logger->debug("%s", text.c_str()); break;
    case Logger::Level::Info: logger->info("%s", text.c_str()); break;
    case Logger::Level::Warning: logger->warn("%s", text.c_str()); break;
    case Logger::Level::Error: logger->error("%s", text.c_str()); break;
    }
}

Refusal Service::refusal(bool raised, const std::string& status) const
{
    const int code = raised ? 0 : statusCode(status);
    switch (code) {
    case 400:
    case 413:
    case 414:
    case 416:
    case 422: return Refusal::RANGE;
    case 429: return Refusal::THROTTLED;
    case 503: return Refusal::SERVER;
    default: break;
    }
    if (code == 401 || code == 403 || code == 407) {
        // A key and proxy the service has answered refuse what was asked,
        // not themselves.
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_keyWorks ? Refusal::TAGS : Refusal::KEY;
    }
    // A time-out, another server error or an answer that cannot be read may
    // be chance, like a request that raised.
    return code >= 400 && code < 500 && code != 408 ? Refusal::TAGS : Refusal::RAISED;
}

}  // namespace nerivo
