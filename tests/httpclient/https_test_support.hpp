#pragma once
// Shared set-up: one fake service per test, trusted through SSL_CERT_FILE,
// and helpers to make clients that reach it directly or through its proxy.
#include "client_https.hpp"

#include <fakeservice/fake_service.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

namespace https_test {

using HttpsClient = SimpleWeb::Client<SimpleWeb::HTTPS>;
inline const std::string kApiHost = "api.nerivowater.com";
inline const std::string kSitesUrl = "https://api.nerivowater.com/api/sites";

class HttpsTest : public ::testing::Test {
protected:
    virtual fakeservice::Options options() const { return fakeservice::Options(); }

    void SetUp() override
    {
        service = std::make_unique<fakeservice::FakeService>(options());
        // Read by OpenSSL when a client loads its default trust store.
        ASSERT_EQ(::setenv("SSL_CERT_FILE", service->caFile().c_str(), 1), 0);
    }
    void TearDown() override
    {
        if (service)
            service->stop();
    }

    // Generous limits so a fault in the client fails the test instead of hanging it.
    static void limit(HttpsClient& client, long timeout = 10)
    {
        client.config.timeout_connect = 10;
        client.config.timeout = timeout;
    }
    // Reaches the fake at 127.0.0.1:<port>, no proxy.
    std::unique_ptr<HttpsClient> direct(const std::string& host = "127.0.0.1") const
    {
        auto client = std::make_unique<HttpsClient>(host + ":" + std::to_string(service->port()));
        limit(*client);
        return client;
    }
    // Names the real API host and tunnels to the fake through its proxy side.
    std::unique_ptr<HttpsClient> proxied(const std::string& host = kApiHost) const
    {
        auto client = std::make_unique<HttpsClient>(host);
        client->config.proxy_server = service->hostPort();
        limit(*client);
        return client;
    }

    std::unique_ptr<fakeservice::FakeService> service;
};

// A loopback port nobody listens on: bound by the system, then released.
inline unsigned short unusedPort()
{
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor acceptor(ioc, {boost::asio::ip::make_address("127.0.0.1"), 0});
    const unsigned short port = acceptor.local_endpoint().port();
    acceptor.close();
    return port;
}

// Listens on loopback but never accepts: connects complete in the backlog and
// then nothing is ever said.
class SilentListener {
public:
    SilentListener() : m_acceptor(m_ioc, {boost::asio::ip::make_address("127.0.0.1"), 0}) { m_acceptor.listen(); }
    unsigned short port() const { return m_acceptor.local_endpoint().port(); }

private:
    boost::asio::io_context m_ioc;
    boost::asio::ip::tcp::acceptor m_acceptor;
};

inline bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// "0,1,2,..." cut to size: text that compresses about as well as the service's JSON.
inline std::string numbers(std::size_t size)
{
    std::string text;
    text.reserve(size + 16);
    for (std::size_t i = 0; text.size() < size; ++i)
        text += std::to_string(i) + ",";
    text.resize(size);
    return text;
}

inline fakeservice::Answer plain(std::string body, fakeservice::Framing framing)
{
    fakeservice::Answer answer = fakeservice::Answer::json(std::move(body));
    answer.framing = framing;
    return answer;
}

}  // namespace https_test
