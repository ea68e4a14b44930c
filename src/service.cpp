#include "service.h"

#include <algorithm>
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
      m_logger(logger)
{
}

bool Service::connect()
{
    try {
        m_client = m_connector(m_lowSpeedWindow);
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
    SimpleWeb::CaseInsensitiveMultimap header;
    header.emplace("Content-Type", "application/json");
    header.emplace("X-Api-Key", m_key);
    try {
        auto response = m_client(url, header, m_proxy);
        reply.status = response->status_code;
        reply.body = response->content.take();
    } catch (const boost::system::system_error& e) {
        m_logger->error("API request failed %s.", e.what());
        reply.failure = Failure::RAISED;
        return false;
    }
    return true;
}

Failure Service::read(Reply& reply, const Expect& expect) const
{
    reply.result = nullptr;
    reply.failure = Failure::NONE;
    if (expect.okOnly && reply.status != "200 OK") {
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
    const bool refused = reply.status.compare(0, 3, "401") == 0 || reply.status.compare(0, 3, "403") == 0;
    if (reply.failure == Failure::STATUS && line.level == Logger::Level::Error && refused) {
        m_logger->error("The service refused the request (%s): check the configuration item \"key\"",
                        reply.status.c_str());
    }
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

}  // namespace nerivo
