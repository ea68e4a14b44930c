// Every way a request can fail surfaces as boost::system::system_error whose
// message names the step, the host and the cause.
#include "https_test_support.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include <openssl/x509_vfy.h>

#include <chrono>
#include <functional>
#include <vector>

namespace https_test {
namespace {

using fakeservice::Answer;

// Runs the request and returns the exception it must throw.
boost::system::system_error failureOf(const std::function<void()>& request)
{
    try {
        request();
    } catch (const boost::system::system_error& e) {
        return e;
    } catch (const std::exception& e) {
        ADD_FAILURE() << "wrong exception type: " << e.what();
        return boost::system::system_error(boost::system::error_code());
    }
    ADD_FAILURE() << "the request did not fail";
    return boost::system::system_error(boost::system::error_code());
}

TEST_F(HttpsTest, RefusedConnection)
{
    const unsigned short port = unusedPort();
    for (bool via_proxy : {false, true}) {
        SCOPED_TRACE(via_proxy ? "proxy port closed" : "server port closed");
        const std::string closed = "127.0.0.1:" + std::to_string(port);
        HttpsClient client(via_proxy ? kApiHost : closed);
        limit(client);
        if (via_proxy)
            client.config.proxy_server = closed;
        const auto e = failureOf([&] { client.request("GET", kSitesUrl); });
        EXPECT_EQ(e.code(), boost::asio::error::connection_refused);
        EXPECT_TRUE(contains(e.what(), "connecting to " + closed)) << e.what();
    }
}

TEST_F(HttpsTest, RefusedTunnel)
{
    service->setRefuseTunnels(true);
    auto client = proxied();
    const auto e = failureOf([&] { client->request("GET", kSitesUrl); });
    EXPECT_TRUE(contains(e.what(), "refused the tunnel to api.nerivowater.com:443")) << e.what();
    EXPECT_TRUE(contains(e.what(), "403 Forbidden")) << e.what();
    EXPECT_TRUE(service->requests().empty());
    ASSERT_EQ(service->connections().size(), 1u);
    EXPECT_TRUE(service->connections()[0].tunnelRefused);
}

TEST_F(HttpsTest, StalledAnswerTimesOut)
{
    Answer stall;
    stall.stall = true;
    service->script(kSitesUrl, stall);
    auto client = proxied();
    client->config.timeout = 1;
    const auto start = std::chrono::steady_clock::now();
    const auto e = failureOf([&] { client->request("GET", kSitesUrl); });
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(contains(e.what(), "request to api.nerivowater.com timed out after 1 s")) << e.what();
    EXPECT_TRUE(contains(e.what(), "reading the answer")) << e.what();
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::seconds(8));
}

TEST_F(HttpsTest, TrickleCannotStretchTheDeadline)
{
    // A 4 KiB body: at 8 bytes per 10 ms it fails on the low-speed rule long
    // before the stall limit could act; 1 KiB per 10 ms outlasts the window
    // in all and still arrives whole.
    struct Case {
        std::size_t bytes;
        bool fails;
    };
    for (const Case& c : {Case{8, true}, Case{1024, false}}) {
        SCOPED_TRACE(c.bytes);
        Answer trickle = Answer::json(std::string(c.fails ? 4096 : 64 * 1024, 'x'));
        trickle.trickleBytes = c.bytes;
        trickle.tricklePause = std::chrono::milliseconds(10);
        service->script("/trickle", trickle);
        auto client = proxied();
        client->config.timeout = 30;
        client->config.low_speed_window = std::chrono::milliseconds(300);
        const auto start = std::chrono::steady_clock::now();
        if (!c.fails) {
            EXPECT_EQ(client->request("GET", "/trickle")->content.size(), 64u * 1024);
            continue;
        }
        const auto e = failureOf([&] { client->request("GET", "/trickle"); });
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(contains(e.what(), "fewer than 1024 bytes arrived in 300 ms while reading the answer")) << e.what();
        EXPECT_GE(elapsed, std::chrono::milliseconds(250));
        EXPECT_LT(elapsed, std::chrono::seconds(3));
        EXPECT_EQ(service->requests().size(), 1u);  // no retry after part of an answer
    }
}

TEST_F(HttpsTest, SilentPeerTimesOutWhileConnecting)
{
    // The TCP connect succeeds (backlog) but nothing answers: the handshake, or
    // the CONNECT exchange, must give up after timeout_connect.
    SilentListener silent;
    const std::string silent_address = "127.0.0.1:" + std::to_string(silent.port());
    struct Case {
        bool via_proxy;
        std::string step;
    };
    for (const Case& c : {Case{false, "performing the TLS handshake"}, Case{true, "opening a tunnel"}}) {
        HttpsClient client(c.via_proxy ? kApiHost : silent_address);
        client.config.timeout_connect = 1;
        client.config.timeout = 30;  // must not be the one that applies
        if (c.via_proxy)
            client.config.proxy_server = silent_address;
        const auto start = std::chrono::steady_clock::now();
        const auto e = failureOf([&] { client.request("GET", kSitesUrl); });
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(contains(e.what(), "timed out after 1 s while " + c.step)) << e.what();
        EXPECT_LT(elapsed, std::chrono::seconds(8));
    }
}

TEST_F(HttpsTest, TruncatedBodyFails)
{
    for (auto framing : {fakeservice::Framing::CONTENT_LENGTH, fakeservice::Framing::CHUNKED}) {
        Answer half = plain(std::string(100000, 'y'), framing);
        half.closeMidBody = true;
        service->script("/half", half);
        auto client = proxied();
        const auto e = failureOf([&] { client->request("GET", "/half"); });
        EXPECT_TRUE(contains(e.what(), "reading the answer from api.nerivowater.com:443 failed")) << e.what();
    }
}

// A body under a Content-Encoding of the test's choosing, sent as given.
Answer coded(std::string wire, const std::string& encoding)
{
    Answer answer = plain(std::move(wire), fakeservice::Framing::CONTENT_LENGTH);
    answer.headers = {{"Content-Encoding", encoding}};
    return answer;
}

Answer endless(std::string body, fakeservice::Framing framing, bool compress)
{
    Answer answer = plain(std::move(body), framing);
    answer.neverEnd = true;
    answer.compress = compress;
    return answer;
}

// Bodies that cannot be stored fail the request, each as soon as it is
// known: an announced length over the limit before the body comes (the whole
// body would take seconds to trickle in), an endless or inflating one once it
// passes the limit.
TEST_F(HttpsTest, UnreadableBodiesFail)
{
    using fakeservice::Coding;
    using fakeservice::compressed;
    constexpr std::size_t kLimit = 1024 * 1024;
    const std::string gzip = compressed(numbers(300000), Coding::GZIP);
    std::string flipped = gzip;
    flipped[flipped.size() / 2] = static_cast<char>(flipped[flipped.size() / 2] ^ 0x55);
    Answer announced = endless(std::string(kLimit + 1, 'x'), fakeservice::Framing::CONTENT_LENGTH, false);
    announced.trickleBytes = 4096;
    announced.tricklePause = std::chrono::milliseconds(20);
    struct Case {
        Answer answer;
        std::string message;
    };
    const std::vector<Case> cases = {
        {coded(compressed(std::string(8 * kLimit, '0'), Coding::GZIP), "gzip"),
         "the body exceeds the limit of 1048576 bytes once inflated"},
        {coded("xyz", "br"), "Content-Encoding \"br\" is not supported"},
        {coded(gzip, "gzip, compress"), "Content-Encoding \"gzip, compress\" is not supported"},
        {coded("this is no gzip", "gzip"), "the gzip body is corrupt: "},
        {coded(flipped, "gzip"), "the gzip body is corrupt: "},
        {coded(gzip.substr(0, gzip.size() / 2), "gzip"), "the gzip body ends before its compressed stream does"},
        {announced, "the body exceeds the limit of 1048576 bytes"},
        {endless(numbers(2 * kLimit), fakeservice::Framing::CHUNKED, false),
         "the body exceeds the limit of 1048576 bytes"},
        {endless(std::string(8 * kLimit, ' '), fakeservice::Framing::CLOSE_DELIMITED, true),
         "the body exceeds the limit of 1048576 bytes once inflated"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        service->script("/bad", c.answer);
        auto client = direct();
        client->config.max_response_size = kLimit;
        const auto start = std::chrono::steady_clock::now();
        const auto e = failureOf([&] { client->request("GET", "/bad", "", {{"Accept-Encoding", "gzip"}}); });
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_TRUE(contains(e.what(), "reading the answer from 127.0.0.1:")) << e.what();
        EXPECT_TRUE(contains(e.what(), c.message)) << e.what();
    }
}

TEST_F(HttpsTest, NameNotInCertificateIsRejected)
{
    // The fake's proxy tunnels any name to its own certificate, which does not
    // list this one.
    auto client = proxied("other.nerivowater.com");
    const auto e = failureOf([&] { client->request("GET", "/api/sites"); });
    EXPECT_TRUE(contains(e.what(), "TLS handshake with other.nerivowater.com:443 failed")) << e.what();
    EXPECT_TRUE(contains(e.what(), "does not name other.nerivowater.com")) << e.what();
    EXPECT_TRUE(service->requests().empty());
}

TEST_F(HttpsTest, VerifyFileAddsTrust)
{
    ASSERT_EQ(::setenv("SSL_CERT_FILE", "/nonexistent/ca.pem", 1), 0);
    const std::string address = "127.0.0.1:" + std::to_string(service->port());
    {
        HttpsClient client(address);
        limit(client);
        const auto e = failureOf([&] { client.request("GET", "/"); });
        EXPECT_TRUE(contains(e.what(), "certificate verification")) << e.what();
    }
    HttpsClient client(address, true, "", "", service->caFile());
    limit(client);
    EXPECT_EQ(client.request("GET", "/")->status_code, "404 Not Found");
}

class ProxyCredentialsTest : public HttpsTest {
protected:
    fakeservice::Options options() const override
    {
        fakeservice::Options o;
        o.proxyCredentials = "user:s3cr@t";
        return o;
    }
};

TEST_F(ProxyCredentialsTest, CredentialsGoAsBasicAndAreNeverInAMessage)
{
    struct Case {
        std::string credentials;
        const char* failure;  // nullptr: the tunnel opens
    };
    for (const Case& c : {Case{"user:s3cr@t@", nullptr}, Case{"", "the proxy asks for credentials"},
                          Case{"user:wrong@", "did not accept the credentials"}}) {
        SCOPED_TRACE(c.credentials);
        service->clearRecords();
        auto client = proxied();
        client->config.proxy_server = c.credentials + service->hostPort();
        if (!c.failure) {
            EXPECT_EQ(client->request("GET", kSitesUrl)->status_code, "404 Not Found");
            const auto connections = service->connections();
            ASSERT_EQ(connections.size(), 1u);
            fakeservice::Request line;
            line.headers = connections[0].proxyHeaders;
            EXPECT_EQ(line.header("Proxy-Authorization").value_or(""), "Basic dXNlcjpzM2NyQHQ=");
            continue;
        }
        const auto e = failureOf([&] { client->request("GET", kSitesUrl); });
        EXPECT_TRUE(contains(e.what(), "407")) << e.what();
        EXPECT_TRUE(contains(e.what(), c.failure)) << e.what();
        EXPECT_TRUE(contains(e.what(), "proxy " + service->hostPort() + " refused")) << e.what();
        EXPECT_FALSE(contains(e.what(), "wrong") || contains(e.what(), "s3cr")) << e.what();
        EXPECT_TRUE(service->requests().empty());
    }
}

class UntrustedServiceTest : public HttpsTest {
protected:
    fakeservice::Options options() const override
    {
        fakeservice::Options o;
        o.untrustedCertificate = true;
        return o;
    }
};

TEST_F(UntrustedServiceTest, UntrustedCertificateIsRejectedWithReason)
{
    for (bool via_proxy : {false, true}) {
        SCOPED_TRACE(via_proxy ? "proxied" : "direct");
        auto client = via_proxy ? proxied() : direct();
        const auto e = failureOf([&] { client->request("GET", kSitesUrl); });
        const std::string what = e.what();
        EXPECT_TRUE(contains(what, "TLS handshake with")) << what;
        // Whichever way the foreign chain is presented, OpenSSL's reason is given.
        const bool has_reason =
            contains(what, X509_verify_cert_error_string(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY)) ||
            contains(what, X509_verify_cert_error_string(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT)) ||
            contains(what, X509_verify_cert_error_string(X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN));
        EXPECT_TRUE(has_reason) << what;
        EXPECT_TRUE(contains(what, "api.nerivowater.com") || contains(what, "127.0.0.1")) << what;
        EXPECT_TRUE(contains(what, "SSL_CERT_FILE")) << what;
    }
    EXPECT_TRUE(service->requests().empty());
}

TEST_F(UntrustedServiceTest, VerificationCanBeTurnedOff)
{
    HttpsClient client(kApiHost, false);
    limit(client);
    client.config.proxy_server = service->hostPort();
    EXPECT_EQ(client.request("GET", kSitesUrl)->status_code, "404 Not Found");
    EXPECT_EQ(service->requests().size(), 1u);
}

}  // namespace
}  // namespace https_test
