// Connection reuse: keep-alive, reopening a connection the server dropped
// while idle (once), proxy changes, and clients on separate threads.
#include "https_test_support.hpp"

#include <boost/system/system_error.hpp>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace https_test {
namespace {

using fakeservice::Answer;

std::size_t requestsFor(const fakeservice::FakeService& service, const std::string& target)
{
    std::size_t n = 0;
    for (const auto& r : service.requests())
        n += r.target == target ? 1 : 0;
    return n;
}

TEST_F(HttpsTest, ManyRequestsShareOneConnection)
{
    auto client = proxied();
    for (int i = 0; i < 8; ++i) {
        const std::string target = "/api/item/" + std::to_string(i);
        service->script(target, Answer::json("{\"i\":" + std::to_string(i) + "}"));
        EXPECT_EQ(client->request("GET", target)->content.string(), "{\"i\":" + std::to_string(i) + "}");
    }
    const auto connections = service->connections();
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].requestsServed, 8u);
    for (const auto& r : service->requests())
        EXPECT_EQ(r.connectionId, connections[0].id);
}

TEST_F(HttpsTest, ConnectionCloseAnswerEndsTheConnection)
{
    Answer closing = Answer::json("{}");
    closing.close = true;
    service->script("/closing", closing);
    auto client = direct();
    EXPECT_EQ(client->request("GET", "/closing")->status_code, "200 OK");
    EXPECT_EQ(client->request("GET", "/closing")->status_code, "200 OK");
    const auto requests = service->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].connectionId, requests[1].connectionId);
    EXPECT_EQ(service->connections().size(), 2u);
}

TEST_F(HttpsTest, IdleConnectionClosedByServerIsReplaced)
{
    for (bool via_proxy : {false, true}) {
        SCOPED_TRACE(via_proxy ? "proxied" : "direct");
        service->clearRecords();
        auto client = via_proxy ? proxied() : direct();
        client->request("GET", "/first");
        ASSERT_EQ(service->closeIdleConnections(), 1u);

        auto response = client->request("GET", "/second");
        EXPECT_EQ(response->status_code, "404 Not Found");
        const auto requests = service->requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[1].target, "/second");
        EXPECT_NE(requests[0].connectionId, requests[1].connectionId);
        EXPECT_EQ(service->connections().size(), 2u);
    }
}

TEST_F(HttpsTest, DropBeforeAnswerOnFreshConnectionIsNotRetried)
{
    Answer drop;
    drop.closeBeforeAnswer = true;
    service->script("/drop", std::vector<Answer>{drop, Answer::json("{}")});
    auto client = proxied();
    EXPECT_THROW(client->request("POST", "/drop", "{\"x\":1}"), boost::system::system_error);
    EXPECT_EQ(requestsFor(*service, "/drop"), 1u);
    EXPECT_EQ(service->connections().size(), 1u);
}

TEST_F(HttpsTest, DropBeforeAnswerOnReusedConnectionIsRetriedOnce)
{
    Answer drop;
    drop.closeBeforeAnswer = true;
    service->script("/flaky", std::vector<Answer>{drop, Answer::json("{\"ok\":true}")});
    auto client = proxied();
    client->request("GET", "/warm-up");
    auto response = client->request("GET", "/flaky");
    EXPECT_EQ(response->content.string(), "{\"ok\":true}");
    EXPECT_EQ(requestsFor(*service, "/flaky"), 2u);
    EXPECT_EQ(service->connections().size(), 2u);
}

TEST_F(HttpsTest, RetryOnReusedConnectionHappensOnlyOnce)
{
    Answer drop;
    drop.closeBeforeAnswer = true;
    service->script("/always-drops", drop);
    auto client = direct();
    client->request("GET", "/warm-up");
    EXPECT_THROW(client->request("GET", "/always-drops"), boost::system::system_error);
    EXPECT_EQ(requestsFor(*service, "/always-drops"), 2u);
    EXPECT_EQ(service->connections().size(), 2u);
}

TEST_F(HttpsTest, DropAfterPartOfTheAnswerIsNotRetried)
{
    Answer half = Answer::json(std::string(4096, 'x'));
    half.closeMidBody = true;
    service->script("/half", std::vector<Answer>{half, Answer::json("{}")});
    auto client = direct();
    client->request("GET", "/warm-up");
    EXPECT_THROW(client->request("GET", "/half"), boost::system::system_error);
    EXPECT_EQ(requestsFor(*service, "/half"), 1u);
}

TEST_F(HttpsTest, ProxyChangeTakesEffectOnNextRequest)
{
    // The client names localhost so the fake is reachable both directly and
    // through its own proxy side.
    const std::string address = "localhost:" + std::to_string(service->port());
    HttpsClient client(address);
    limit(client);
    client.config.proxy_server = service->hostPort();
    client.request("GET", "/a");
    client.config.proxy_server.clear();
    client.request("GET", "/b");
    client.config.proxy_server = service->hostPort();
    client.request("GET", "/c");

    const auto connections = service->connections();
    ASSERT_EQ(connections.size(), 3u);
    EXPECT_TRUE(connections[0].viaTunnel);
    EXPECT_EQ(connections[0].proxyRequestLine, "CONNECT " + address + " HTTP/1.1");
    EXPECT_FALSE(connections[1].viaTunnel);
    EXPECT_TRUE(connections[1].proxyRequestLine.empty());
    EXPECT_TRUE(connections[2].viaTunnel);

    const auto requests = service->requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].connectionId, connections[0].id);
    EXPECT_EQ(requests[1].connectionId, connections[1].id);
    EXPECT_EQ(requests[2].connectionId, connections[2].id);
}

TEST_F(HttpsTest, FailedRequestLeavesClientUsable)
{
    Answer stall;
    stall.stall = true;
    service->script("/stall", stall);
    auto client = direct();
    client->config.timeout = 1;
    client->request("GET", "/before");
    EXPECT_THROW(client->request("GET", "/stall"), boost::system::system_error);
    EXPECT_EQ(client->request("GET", "/after")->status_code, "404 Not Found");
    const auto requests = service->requests();
    ASSERT_EQ(requests.size(), 3u);
    // The broken stream was not reused.
    EXPECT_NE(requests[2].connectionId, requests[1].connectionId);
}

TEST_F(HttpsTest, ClientsOnSeparateThreads)
{
    service->setHandler([](const fakeservice::Request& r) { return Answer::json("{\"t\":\"" + r.target + "\"}"); });
    constexpr int kThreads = 3;
    constexpr int kRequests = 15;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            auto client = t % 2 ? proxied() : direct();
            for (int i = 0; i < kRequests; ++i) {
                const std::string target = "/t" + std::to_string(t) + "/" + std::to_string(i);
                try {
                    if (client->request("GET", target)->content.string() == "{\"t\":\"" + target + "\"}")
                        ++good;
                } catch (const std::exception&) {
                }
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(good.load(), kThreads * kRequests);
    EXPECT_EQ(service->connections().size(), static_cast<std::size_t>(kThreads));
}

}  // namespace
}  // namespace https_test
