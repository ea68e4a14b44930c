#pragma once
// Access to the service: the connection, the URLs, the conventions of every
// request, and one reader of every answer, which gives the result or one
// failure kind. Each operation keeps only its own log lines, as a table.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "backoff.h"
#include "client_https.hpp"
#include "logger.h"
#include "progress.h"

namespace nerivo {

using Response = SimpleWeb::Client<SimpleWeb::HTTPS>::Response;
// One connection: sends a GET for target with the header, through the proxy
// (empty: direct). Throws boost::system::system_error when it fails.
using Transport = std::function<std::shared_ptr<Response>(
    const std::string& target, const SimpleWeb::CaseInsensitiveMultimap& header, const std::string& proxy)>;
// Opens a connection whose answers may stall no longer than the window.
// Throws boost::system::system_error when the client cannot be created.
using Connector = std::function<Transport(std::chrono::milliseconds lowSpeedWindow)>;

// The HTTPS client to the host (port 443), certificates verified.
Connector httpsConnector(const std::string& host);

enum class Failure {
    NONE,
    HELD,        // not sent: the service is backing off
    RAISED,      // no answer at all
    STATUS,      // a status other than 200 where one is needed
    EMPTY,       // the body is empty
    UNPARSABLE,  // the body is not JSON
    NOT_OBJECT,  // the top level is not an object
    NO_RESULT,   // no "result" member
    WRONG_TYPE,  // "result" is not of the expected type
};

// One answer and what was read from it.
struct Reply {
    Failure failure = Failure::NONE;
    std::string error;   // what went wrong when it raised
    std::string status;  // e.g. "200 OK"
    int code = 0;        // its number, read once, e.g. 200; 0 without one
    std::string body;    // moved out of the response, not copied
    std::unique_ptr<rapidjson::MemoryPoolAllocator<>> pool;
    std::unique_ptr<rapidjson::Document> doc;
    const rapidjson::Value* result = nullptr;  // into doc, when read
};

// How an operation reads its answer.
struct Expect {
    rapidjson::Type result = rapidjson::kArrayType;
    bool okOnly = true;    // a status other than 200 fails the request
    bool inPlace = false;  // a large answer: parsed in place when that is safe
};

// An operation's line for one failure kind: its text, then a detail.
struct Line {
    enum class Detail { NONE, STATUS, BODY, URL, STATUS_URL };
    Logger::Level level;
    std::string text;
    Detail detail = Detail::NONE;
};
using Lines = std::map<Failure, Line>;

// Bytes of answers: as they came over the wire (status line, fields and
// body, compressed or not) and the bodies once inflated.
struct Traffic {
    uint64_t wire = 0;
    uint64_t inflated = 0;
};

class Service {
public:
    // Connections discovery may use at once.
    static constexpr std::size_t MAX_CONNECTIONS = 4;
    // Seconds the HTTPS client may spend connecting, and waiting on a
    // request that makes no progress, before the request fails.
    static constexpr long REQUEST_TIMEOUT = 60;
    // Once an answer has started, fewer than this many bytes within the
    // low-speed window fail the request, so that no trickle can hold a poll.
    static constexpr std::size_t LOW_SPEED_BYTES = 1024;
    static constexpr std::chrono::milliseconds LOW_SPEED_WINDOW{60000};

    Service(Connector connector, std::string host, Logger* logger);

    // Opens the first connection; false, logged, when the client cannot be
    // created.
    bool connect();
    void setLowSpeedWindow(std::chrono::milliseconds window) { m_lowSpeedWindow = window; }
    // A new key or proxy may be what the service or the network refused:
    // a back-off they caused ends with them.
    void setKey(const std::string& key);
    const std::string& key() const { return m_key; }
    void setProxy(const std::string& proxy);
    const std::string& proxy() const { return m_proxy; }

    // "https://" + host + "/api/" + resource.
    std::string url(const std::string& resource) const;
    // A historian tag as it may stand in a URL: bytes other than letters,
    // digits and "-._~" percent-encoded, so that no tag can break the
    // request line or the tag list.
    static std::string urlTag(const std::string& tag);

    // Sends an authenticated GET over the first connection; false when it
    // raised or was held back.
    bool send(const std::string& url, Reply& reply);
    // Sends the GETs over up to MAX_CONNECTIONS connections at once; the
    // replies in the order of the urls.
    std::vector<Reply> sendAll(const std::vector<std::string>& urls);
    // Closes the connections but the first: they serve one discovery, and
    // would sit idle on the service until the next.
    void releaseExtra();
    // Whether requests are held back: the service asked for a pause, or it
    // cannot be reached and is given time.
    bool holding() const;
    // Whole seconds left of a back-off, rounded up; 0 when none holds.
    int64_t heldSeconds() const;
    // A poll starts: failures in a row are counted within it.
    void newPoll();
    // The traffic since the last call.
    Traffic takeTraffic();
    // Reads the reply's result as expected: NONE, or why it has none.
    Failure read(Reply& reply, const Expect& expect) const;
    // Logs the operation's line for the reply's failure, if it has one (a
    // request that raised has one line for all); a refused key at error
    // level says where to look.
    void report(const Reply& reply, const std::string& url, const Lines& lines) const;
    // Why a range request failed, for the progress: raised is true when it
    // had no answer, status its status line otherwise.
    Refusal refusal(bool raised, const std::string& status) const;

private:
    bool sendOn(std::size_t connection, const std::string& url, Reply& reply);
    // The key or the proxy: a new one starts without a back-off, and not yet
    // known to be answered.
    void replaceCredential(std::string& current, const std::string& value);
    void record(Backoff::Outcome outcome, const std::string& status, const std::string& retryAfter);

    Connector m_connector;
    std::string m_host;
    Logger* m_logger;
    std::vector<Transport> m_clients;  // kept alive; the first serves the polls
    std::string m_key;
    std::string m_proxy;
    std::chrono::milliseconds m_lowSpeedWindow = LOW_SPEED_WINDOW;
    // Shared by the connections of a discovery.
    mutable std::mutex m_mutex;
    Backoff m_backoff;
    Traffic m_traffic;
    // Whether the service has answered the key and proxy in force.
    bool m_keyWorks = false;
};

// Writes the text at the level; a note at its own.
void logAt(Logger* logger, Logger::Level level, const std::string& text);
void logNote(Logger* logger, const Note& note);

}  // namespace nerivo
