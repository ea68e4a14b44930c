// What goes on the wire (request line, headers, CONNECT) and what comes back
// (status, version, headers, bodies in every framing).
#include "https_test_support.hpp"
#include "raw_tls_server.hpp"

#include <boost/system/system_error.hpp>

#include <cctype>
#include <tuple>
#include <vector>

namespace https_test {
namespace {

using fakeservice::Answer;
using fakeservice::Framing;
using SimpleWeb::CaseInsensitiveMultimap;

// ---- the request as the server receives it --------------------------------

TEST_F(HttpsTest, ProxiedGetSendsAbsoluteUrlAndCallerHeaders)
{
    service->script(kSitesUrl, Answer::json(R"({"sites":[]})"));
    auto client = proxied();
    auto response =
        client->request("GET", kSitesUrl, "", {{"X-Api-Key", "key-123"}, {"Content-Type", "application/json"}});
    EXPECT_EQ(response->status_code, "200 OK");

    const auto requests = service->requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_TRUE(r.viaTunnel);
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.target, kSitesUrl);
    EXPECT_EQ(r.version, "1.1");
    EXPECT_EQ(r.header("X-Api-Key").value_or("<none>"), "key-123");
    EXPECT_EQ(r.header("Content-Type").value_or("<none>"), "application/json");
    // Port 443 is implied, so Host carries the bare name.
    EXPECT_EQ(r.header("Host").value_or("<none>"), kApiHost);
    EXPECT_FALSE(r.header("Content-Length").has_value());
}

TEST_F(HttpsTest, TargetIsSentExactlyAsGiven)
{
    const std::vector<std::string> targets = {
        "https://api.nerivowater.com/api/sites/42/series?from=2024-01-01T00:00:00Z&to=2024-01-02T00:00:00Z",
        "/api/sites",
        "/api/sites?x=%2F%20y",
    };
    auto client = proxied();
    for (const auto& target : targets) {
        service->script(target, Answer::json("{}"));
        EXPECT_EQ(client->request("GET", target)->status_code, "200 OK") << target;
    }
    const auto requests = service->requests();
    ASSERT_EQ(requests.size(), targets.size());
    for (std::size_t i = 0; i < targets.size(); ++i)
        EXPECT_EQ(requests[i].target, targets[i]);
}

TEST_F(HttpsTest, HostHeaderCarriesNonDefaultPort)
{
    const std::string port = std::to_string(service->port());
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        service->clearRecords();
        auto client = direct(host);
        client->request("GET", "/api/sites");
        const auto requests = service->requests();
        ASSERT_EQ(requests.size(), 1u) << host;
        EXPECT_FALSE(requests[0].viaTunnel) << host;
        EXPECT_EQ(requests[0].header("Host").value_or("<none>"), host + ":" + port);
    }
}

TEST_F(HttpsTest, PostSendsBodyWithContentLength)
{
    const std::string body = R"({"from":"2024-01-01","assets":["a","b"]})";
    service->script("/api/query", Answer::json("{}", 201));
    auto client = direct();
    auto response = client->request("POST", "/api/query", body, {{"Content-Type", "application/json"}});
    EXPECT_EQ(response->status_code, "201 Created");

    const auto requests = service->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].body, body);
    EXPECT_EQ(requests[0].header("Content-Length").value_or("<none>"), std::to_string(body.size()));
}

TEST_F(HttpsTest, ConnectLineNamesTheApiHost)
{
    auto client = proxied();
    client->request("GET", kSitesUrl);
    const auto connections = service->connections();
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_TRUE(connections[0].viaTunnel);
    EXPECT_TRUE(connections[0].tlsEstablished);
    EXPECT_EQ(connections[0].proxyRequestLine, "CONNECT api.nerivowater.com:443 HTTP/1.1");
    std::string host = "<none>";
    for (const auto& h : connections[0].proxyHeaders)
        if (h.name == "Host" || h.name == "host")
            host = h.value;
    EXPECT_EQ(host, "api.nerivowater.com:443");
}

// ---- the answer as the caller sees it -------------------------------------

TEST_F(HttpsTest, StatusLineVersionAndHeaders)
{
    struct Case {
        int status;
        std::string reason;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {200, "", "200 OK"},
        {404, "", "404 Not Found"},
        {429, "Slow Down Please", "429 Slow Down Please"},  // the server's own phrase is kept
        {503, "", "503 Service Unavailable"},
    };
    auto client = proxied();
    for (const auto& c : cases) {
        Answer answer = Answer::json("{}", c.status);
        answer.reason = c.reason;
        answer.headers = {{"X-Request-Id", "r-" + std::to_string(c.status)}};
        service->script("/status", answer);
        auto response = client->request("GET", "/status");
        EXPECT_EQ(response->status_code, c.expected);
        EXPECT_EQ(response->http_version, "1.1");
        auto it = response->header.find("x-request-id");
        ASSERT_NE(it, response->header.end()) << c.expected;
        EXPECT_EQ(it->second, "r-" + std::to_string(c.status));
        EXPECT_EQ(response->header.count("CONTENT-TYPE"), 1u);
    }
}

TEST_F(HttpsTest, RepeatedResponseHeadersAreAllKept)
{
    Answer answer = Answer::json("{}");
    answer.headers = {{"Link", "<a>"}, {"link", "<b>"}};
    service->script("/links", answer);
    auto response = direct()->request("GET", "/links");
    auto range = response->header.equal_range("LINK");
    std::vector<std::string> values;
    for (auto it = range.first; it != range.second; ++it)
        values.push_back(it->second);
    std::sort(values.begin(), values.end());
    EXPECT_EQ(values, (std::vector<std::string>{"<a>", "<b>"}));
}

// Bodies arrive whole whatever the framing, size and coding; the client
// counts the body's bytes as the fake sent them.
class BodyTest : public HttpsTest,
                 public ::testing::WithParamInterface<std::tuple<Framing, std::size_t, std::string>> {};

TEST_P(BodyTest, WholeBodyInEveryFraming)
{
    const auto [framing, size, accepted] = GetParam();
    const std::string body = numbers(size);
    service->script("/data", plain(body, framing));

    auto client = proxied();
    CaseInsensitiveMultimap fields;
    if (!accepted.empty())
        fields.emplace("Accept-Encoding", accepted);
    auto response = client->request("GET", "/data", "", fields);
    EXPECT_EQ(response->status_code, "200 OK");
    EXPECT_EQ(response->content.size(), body.size());
    EXPECT_TRUE(response->content.string() == body) << "body differs";

    const fakeservice::Request sent = service->requests().at(0);
    EXPECT_EQ(sent.answerEncoding.empty(), accepted.empty() || size == 0);
    EXPECT_EQ(response->content_encoding, sent.answerEncoding);
    EXPECT_EQ(response->header.count("Content-Encoding"), 0u);
    EXPECT_EQ(response->body_wire_bytes, sent.answerBodyBytes);
    EXPECT_EQ(response->body_bytes, body.size());
    EXPECT_GT(response->wire_bytes, response->body_wire_bytes + 40);  // status line and fields
    if (!sent.answerEncoding.empty() && size > 1000) {
        EXPECT_LT(response->body_wire_bytes * 2, body.size());
    }

    // The connection stays usable (or is replaced after a close-delimited body).
    service->script("/next", Answer::json("{\"n\":1}"));
    EXPECT_EQ(client->request("GET", "/next")->content.string(), "{\"n\":1}");
    const std::size_t expected_connections = framing == Framing::CLOSE_DELIMITED ? 2u : 1u;
    EXPECT_EQ(service->connections().size(), expected_connections);
}

std::string bodyCaseName(const ::testing::TestParamInfo<BodyTest::ParamType>& info)
{
    static const char* const kFramingNames[] = {"ContentLength", "Chunked", "CloseDelimited"};
    std::string name = std::string(kFramingNames[static_cast<int>(std::get<0>(info.param))]) + "_" +
                       std::to_string(std::get<1>(info.param));
    if (!std::get<2>(info.param).empty())
        name += "_";
    for (const char c : std::get<2>(info.param))
        if (std::isalnum(static_cast<unsigned char>(c)))
            name += c;
    return name;
}

INSTANTIATE_TEST_SUITE_P(
    Framings, BodyTest,
    ::testing::Combine(::testing::Values(Framing::CONTENT_LENGTH, Framing::CHUNKED, Framing::CLOSE_DELIMITED),
                       ::testing::Values(std::size_t{0}, std::size_t{37}, std::size_t{9} * 1024 * 1024 + 7),
                       ::testing::Values(std::string())),
    bodyCaseName);

// The fake compresses when the request offers it; the client inflates as it reads.
INSTANTIATE_TEST_SUITE_P(
    Compressed, BodyTest,
    ::testing::Values(std::make_tuple(Framing::CONTENT_LENGTH, std::size_t{9} * 1024 * 1024 + 7, std::string("gzip")),
                      std::make_tuple(Framing::CHUNKED, std::size_t{9} * 1024 * 1024 + 7, std::string("gzip, deflate")),
                      std::make_tuple(Framing::CLOSE_DELIMITED, std::size_t{300000}, std::string("deflate")),
                      std::make_tuple(Framing::CHUNKED, std::size_t{37}, std::string("gzip;q=0, deflate"))),
    bodyCaseName);

// Codings as other servers send them, each under the same small limit: the
// body is inflated whole, the wire size is that of the bytes sent, and the
// buffer never grew past the limit.
TEST_F(HttpsTest, ScriptedCodingsAreInflatedWithinTheLimit)
{
    using fakeservice::Coding;
    using fakeservice::compressed;
    const std::string body = numbers(900000);
    struct Case {
        std::string encoding;
        std::string wire;
        Framing framing;
        std::string inflated_from;  // empty: stored as is
    };
    const std::vector<Case> cases = {
        {"x-gzip", compressed(body, Coding::GZIP), Framing::CONTENT_LENGTH, "x-gzip"},
        {"Deflate", compressed(body, Coding::ZLIB), Framing::CHUNKED, "deflate"},
        {"deflate", compressed(body, Coding::RAW_DEFLATE), Framing::CLOSE_DELIMITED, "deflate"},
        {"GZIP", compressed(body.substr(0, 1000), Coding::GZIP) + compressed(body.substr(1000), Coding::GZIP),
         Framing::CHUNKED, "gzip"},  // two gzip members
        {"identity", body, Framing::CHUNKED, ""},
    };
    auto client = direct();
    client->config.max_response_size = 1000000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.encoding);
        Answer answer = plain(c.wire, c.framing);
        answer.headers = {{"Content-Encoding", c.encoding}};
        service->script("/coded", answer);
        // The scripted coding stands: the fake must not compress it again.
        auto response = client->request("GET", "/coded", "", {{"Accept-Encoding", "gzip"}});
        EXPECT_TRUE(response->content.string() == body) << "body differs";
        EXPECT_EQ(response->content_encoding, c.inflated_from);
        EXPECT_EQ(response->header.count("content-encoding"), c.inflated_from.empty() ? 1u : 0u);
        EXPECT_EQ(response->body_wire_bytes, c.wire.size());
        EXPECT_EQ(response->body_bytes, body.size());
        EXPECT_LE(response->content.string().capacity(), client->config.max_response_size);
    }
}

// Close-delimited bodies from a server that drops TCP without close_notify:
// the end of the connection is the end of the body, not an error.
TEST(HttpsCloseDelimited, TruncatedTlsEndsBodyCleanly)
{
    struct Case {
        std::string status_line;
        std::string version;
    };
    for (const Case& c : {Case{"HTTP/1.1 200 OK", "1.1"}, Case{"HTTP/1.0 200 OK", "1.0"}}) {
        SCOPED_TRACE(c.status_line);
        const std::string body(300000, 'z');
        RawTlsServer server(c.status_line + "\r\nContent-Type: text/plain\r\n\r\n" + body, 2);
        HttpsClient client("127.0.0.1:" + std::to_string(server.port()), false);
        client.config.timeout_connect = 10;
        client.config.timeout = 10;
        for (int i = 0; i < 2; ++i) {
            auto response = client.request("GET", "/export");
            EXPECT_EQ(response->http_version, c.version);
            EXPECT_EQ(response->content.size(), body.size());
            EXPECT_TRUE(response->content.string() == body);
        }
        EXPECT_EQ(server.served(), 2);
    }
}

TEST(HttpsCloseDelimited, TruncatedTlsInsideLengthIsAnError)
{
    RawTlsServer server("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nonly a little", 1);
    HttpsClient client("127.0.0.1:" + std::to_string(server.port()), false);
    client.config.timeout = 10;
    try {
        client.request("GET", "/export");
        ADD_FAILURE() << "a short body was accepted";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::asio::ssl::error::stream_truncated) << e.what();
        EXPECT_TRUE(contains(e.what(), "reading the answer from 127.0.0.1:")) << e.what();
    }
}

// ---- the header map and the constructor ------------------------------------

TEST(CaseInsensitiveMultimapTest, EqualityAndHashIgnoreCaseOnly)
{
    const SimpleWeb::CaseInsensitiveEqual equal;
    const SimpleWeb::CaseInsensitiveHash hash;
    const std::vector<std::tuple<std::string, std::string, bool>> cases = {
        {"Content-Type", "content-type", true}, {"X-API-KEY", "x-api-key", true}, {"", "", true},
        {"Content-Type", "Content-Typ", false}, {"Etag", "ETag ", false},         {"a", "b", false},
    };
    for (const auto& [a, b, same] : cases) {
        EXPECT_EQ(equal(a, b), same) << a << " / " << b;
        if (same) {
            EXPECT_EQ(hash(a), hash(b)) << a;
        }
    }
    CaseInsensitiveMultimap map{{"Retry-After", "5"}};
    EXPECT_EQ(map.count("retry-after"), 1u);
    EXPECT_EQ(map.find("RETRY-AFTER")->second, "5");
    EXPECT_EQ(map.count("Retry-Afte"), 0u);
}

TEST(HttpsClientConstruction, RejectsMalformedAddresses)
{
    for (const std::string bad : {"", ":443", "host:", "host:0", "host:65536", "host:12ab", "[::1", "[::1]x"}) {
        EXPECT_THROW(HttpsClient client(bad, false), boost::system::system_error) << '"' << bad << '"';
    }
    for (const std::string good : {"api.nerivowater.com", "api.nerivowater.com:8443", "127.0.0.1:1", "[::1]:443"}) {
        EXPECT_NO_THROW(HttpsClient client(good, false)) << good;
    }
}

}  // namespace
}  // namespace https_test
