// Self-check of the fake service with a bare Beast client that trusts only
// the generated CA; the HTTPS client's own suites exercise it much further.
#include "fakeservice/fake_service.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <gtest/gtest.h>

#include <zlib.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;
using fakeservice::Answer;
using fakeservice::FakeService;
using fakeservice::Framing;

const std::string HOST = "api.nerivowater.com";
const std::string SITES = "https://api.nerivowater.com/api/sites";

// One TCP connection to the fake, optionally through a CONNECT tunnel, then
// TLS verified against the fake's CA for HOST.
class TestClient {
public:
    TestClient(const FakeService& service, bool viaProxy, const std::string& connectTarget = HOST + ":443")
        : m_ctx(ssl::context::tls_client),
          m_stream(m_ioc, m_ctx)
    {
        m_ctx.load_verify_file(service.caFile());
        m_stream.set_verify_mode(ssl::verify_peer);
        m_stream.set_verify_callback(ssl::host_name_verification(HOST));
        SSL_set_tlsext_host_name(m_stream.native_handle(), HOST.c_str());
        m_stream.next_layer().connect({net::ip::make_address("127.0.0.1"), service.port()});
        if (viaProxy) {
            const std::string connect = "CONNECT " + connectTarget + " HTTP/1.1\r\nHost: " + connectTarget + "\r\n\r\n";
            net::write(m_stream.next_layer(), net::buffer(connect));
            http::response_parser<http::empty_body> parser;
            parser.skip(true);  // a CONNECT answer has no body
            boost::beast::flat_buffer buf;
            http::read(m_stream.next_layer(), buf, parser);
            connectStatus = parser.get().result_int();
            if (connectStatus != 200)
                return;
        }
        m_stream.handshake(ssl::stream_base::client, handshakeError);
    }

    http::response<http::string_body> get(const std::string& target, const std::string& acceptEncoding = "")
    {
        http::request<http::empty_body> req(http::verb::get, target, 11);
        req.set(http::field::host, HOST);
        req.set(http::field::authorization, "Bearer token-1");
        if (!acceptEncoding.empty())
            req.set(http::field::accept_encoding, acceptEncoding);
        http::write(m_stream, req);
        http::response<http::string_body> res;
        http::read(m_stream, m_buffer, res);
        return res;
    }

    // Reads once more after the last answer: the error says how the server
    // ended the connection (eof for a clean TLS close).
    boost::system::error_code readAfterEnd()
    {
        char byte;
        boost::system::error_code ec;
        m_stream.read_some(net::buffer(&byte, 1), ec);
        return ec;
    }

    tcp::socket& socket() { return m_stream.next_layer(); }

    unsigned connectStatus = 0;
    boost::system::error_code handshakeError;

private:
    net::io_context m_ioc;
    ssl::context m_ctx;
    ssl::stream<tcp::socket> m_stream;
    boost::beast::flat_buffer m_buffer;
};

TEST(FakeService, DirectRequestsAreAnsweredAndRecorded)
{
    FakeService service;
    Answer sites = Answer::json(R"([{"id":"s1"}])");
    sites.headers.push_back({"X-Request-Id", "r-17"});
    service.script(SITES, sites);
    service.setHandler([](const fakeservice::Request& req) {
        return Answer::json("{\"path\":\"" + req.path() + "\",\"query\":\"" + req.query() + "\"}", 202);
    });

    TestClient client(service, false);
    ASSERT_FALSE(client.handshakeError) << client.handshakeError.message();
    auto res = client.get(SITES);
    EXPECT_EQ(res.result_int(), 200u);
    EXPECT_EQ(res.body(), R"([{"id":"s1"}])");
    EXPECT_EQ(res[http::field::content_type], "application/json");
    EXPECT_EQ(res["X-Request-Id"], "r-17");

    // Same connection, answered by the handler.
    res = client.get("https://api.nerivowater.com/api/data?from=1&to=2");
    EXPECT_EQ(res.result_int(), 202u);
    EXPECT_EQ(res.body(), R"({"path":"/api/data","query":"from=1&to=2"})");

    service.setHandler(nullptr);
    res = client.get("/nowhere");
    EXPECT_EQ(res.result_int(), 404u);
    EXPECT_EQ(res.body(), R"({"error":"not found"})");

    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, SITES);
    EXPECT_EQ(requests[0].version, "1.1");
    EXPECT_FALSE(requests[0].viaTunnel);
    EXPECT_EQ(requests[0].header("authorization").value_or(""), "Bearer token-1");
    EXPECT_EQ(requests[0].path(), "/api/sites");
    EXPECT_EQ(requests[2].path(), "/nowhere");
    EXPECT_EQ(requests[0].connectionId, requests[2].connectionId);

    const auto connections = service.connections();
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_TRUE(connections[0].tlsEstablished);
    EXPECT_FALSE(connections[0].viaTunnel);
    EXPECT_TRUE(connections[0].proxyRequestLine.empty());
    EXPECT_EQ(connections[0].requestsServed, 3u);
}

TEST(FakeService, ServesTlsInsideConnectTunnel)
{
    FakeService service;
    service.script(SITES, Answer::json("[]"));
    TestClient client(service, true);
    EXPECT_EQ(client.connectStatus, 200u);
    ASSERT_FALSE(client.handshakeError) << client.handshakeError.message();
    const auto res = client.get(SITES);
    EXPECT_EQ(res.result_int(), 200u);
    EXPECT_EQ(res.body(), "[]");

    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].viaTunnel);
    EXPECT_EQ(requests[0].target, SITES);
    const auto connections = service.connections();
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_TRUE(connections[0].viaTunnel);
    EXPECT_EQ(connections[0].proxyRequestLine, "CONNECT api.nerivowater.com:443 HTTP/1.1");
    ASSERT_EQ(connections[0].proxyHeaders.size(), 1u);
    EXPECT_EQ(connections[0].proxyHeaders[0].name, "Host");
    EXPECT_EQ(connections[0].proxyHeaders[0].value, "api.nerivowater.com:443");
}

TEST(FakeService, RefusedTunnelAnswers403AndCloses)
{
    FakeService service;
    service.setRefuseTunnels(true);
    TestClient client(service, true);
    EXPECT_EQ(client.connectStatus, 403u);
    char byte;
    boost::system::error_code ec;
    client.socket().read_some(net::buffer(&byte, 1), ec);
    EXPECT_EQ(ec, net::error::eof);
    const auto connections = service.connections();
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_TRUE(connections[0].tunnelRefused);
    EXPECT_FALSE(connections[0].viaTunnel);
    EXPECT_FALSE(connections[0].tlsEstablished);
    EXPECT_TRUE(service.requests().empty());
}

TEST(FakeService, ChunkedAndCloseDelimitedFramings)
{
    FakeService service;
    const std::string body = R"({"values":[1,2,3,4,5,6,7,8,9,10]})";
    Answer chunked = Answer::json(body);
    chunked.framing = Framing::CHUNKED;
    Answer untilClose = Answer::json(body);
    untilClose.framing = Framing::CLOSE_DELIMITED;
    service.script("/chunked", chunked);
    service.script("/close", untilClose);

    TestClient client(service, false);
    ASSERT_FALSE(client.handshakeError) << client.handshakeError.message();
    auto res = client.get("/chunked");
    EXPECT_TRUE(res.chunked());
    EXPECT_EQ(res.count(http::field::content_length), 0u);
    EXPECT_EQ(res.body(), body);
    res = client.get("/close");
    EXPECT_FALSE(res.chunked());
    EXPECT_EQ(res.count(http::field::content_length), 0u);
    EXPECT_FALSE(res.keep_alive());
    EXPECT_EQ(res.body(), body);
    // The body ended with a proper TLS close, not a cut connection.
    EXPECT_EQ(client.readAfterEnd(), net::error::eof);
}

TEST(FakeService, CloseIdleConnectionsEndsKeptAliveConnections)
{
    FakeService service;
    service.script(SITES, Answer::json("[]"));
    TestClient client(service, false);
    ASSERT_FALSE(client.handshakeError) << client.handshakeError.message();
    EXPECT_EQ(client.get(SITES).result_int(), 200u);
    EXPECT_EQ(service.closeIdleConnections(), 1u);
    EXPECT_FALSE(service.connections().at(0).open);
    EXPECT_EQ(client.readAfterEnd(), net::error::eof);
    EXPECT_EQ(service.closeIdleConnections(), 0u);
}

TEST(FakeService, StalledAnswerDoesNotBlockStop)
{
    FakeService service;
    Answer stall;
    stall.stall = true;
    service.script(SITES, stall);
    TestClient client(service, false);
    ASSERT_FALSE(client.handshakeError) << client.handshakeError.message();
    std::thread reader([&client] { EXPECT_ANY_THROW(client.get(SITES)); });
    ASSERT_TRUE(service.waitForRequests(1, std::chrono::seconds(10)));
    service.stop();
    reader.join();
}

TEST(FakeService, ScriptedSequencesDelaysAndFaults)
{
    FakeService service;
    service.script("/seq", std::vector<Answer>{Answer::json("{}", 503), Answer::json("[1]")});
    Answer slow = Answer::json("[2]");
    slow.delay = std::chrono::milliseconds(150);
    service.script("/slow", slow);
    Answer midBody = Answer::json(R"({"values":[1,2,3,4,5,6]})");
    midBody.closeMidBody = true;
    service.script("/mid-body", midBody);
    Answer silent;
    silent.closeBeforeAnswer = true;
    service.script("/silent", silent);

    TestClient client(service, false);
    ASSERT_FALSE(client.handshakeError) << client.handshakeError.message();
    auto res = client.get("/seq");
    EXPECT_EQ(res.result_int(), 503u);
    EXPECT_EQ(res.reason(), "Service Unavailable");
    EXPECT_EQ(client.get("/seq").body(), "[1]");
    EXPECT_EQ(client.get("/seq").body(), "[1]");  // the last answer repeats
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.get("/slow").body(), "[2]");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));

    EXPECT_ANY_THROW(client.get("/mid-body"));
    TestClient second(service, false);
    ASSERT_FALSE(second.handshakeError) << second.handshakeError.message();
    EXPECT_ANY_THROW(second.get("/silent"));
    EXPECT_EQ(service.requests().size(), 6u);
}

// A gzip or zlib-wrapped body inflated, expecting size bytes.
std::string inflated(const std::string& data, std::size_t size)
{
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, 15 + 32), Z_OK);  // + 32: either wrapping
    std::string out(size + 1, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    inflateEnd(&z);
    return out;
}

TEST(FakeService, CompressesAsTheRequestAccepts)
{
    struct Case {
        std::string accept;
        bool compress;
        std::string coding;  // expected Content-Encoding; empty: none
    };
    const std::vector<Case> cases = {
        {"gzip", true, "gzip"},
        {"deflate", true, "deflate"},
        {"gzip;q=0, deflate", true, "deflate"},
        {"DEFLATE;q=0.5, x-gzip;q=0.4", true, "deflate"},
        {"br, *", true, "gzip"},
        {"*;q=0.1, gzip;q=0", true, "deflate"},
        {"br, *;q=0", true, ""},
        {"identity", true, ""},
        {"", true, ""},
        {"gzip", false, ""},
    };
    FakeService service;
    const std::string body(5000, 'a');
    TestClient client(service, false);
    ASSERT_FALSE(client.handshakeError) << client.handshakeError.message();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.accept);
        Answer answer = Answer::json(body);
        answer.compress = c.compress;
        service.script("/data", answer);
        service.clearRecords();
        const auto res = client.get("/data", c.accept);
        EXPECT_EQ(std::string(res[http::field::content_encoding]), c.coding);
        EXPECT_EQ(c.coding.empty() ? res.body() : inflated(res.body(), body.size()), body);
        const auto requests = service.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].answerEncoding, c.coding);
        EXPECT_EQ(requests[0].answerBodyBytes, res.body().size());
    }
}

TEST(FakeService, UntrustedCertificateFailsVerification)
{
    fakeservice::Options options;
    options.untrustedCertificate = true;
    FakeService service(options);
    TestClient client(service, false);
    EXPECT_TRUE(client.handshakeError);
    EXPECT_TRUE(service.requests().empty());
}

}  // namespace
