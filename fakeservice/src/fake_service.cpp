#include "fake_service_impl.hpp"

#include "test_ca.hpp"

#include <boost/asio/post.hpp>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <utility>

// The acceptor and the service's public face: start-up, records, scripts,
// closing idle connections and stop().
namespace fakeservice {

namespace {

// Upper bound for closeIdleConnections(); closing takes a few milliseconds.
constexpr std::chrono::seconds CLOSE_WAIT{5};

std::string writeTempFile(const std::string& content)
{
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/fakeservice-ca-XXXXXX";
    int fd = ::mkstemp(path.data());
    if (fd < 0) {
        path = "/tmp/fakeservice-ca-XXXXXX";
        fd = ::mkstemp(path.data());
    }
    if (fd < 0)
        throw std::runtime_error("fake service: cannot create the CA file");
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n <= 0) {
            ::close(fd);
            ::unlink(path.c_str());
            throw std::runtime_error("fake service: cannot write the CA file");
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return path;
}

}  // namespace

void FakeService::Impl::acceptLoop()
{
    for (;;) {
        auto conn = std::make_shared<ConnState>();
        error_code ec;
        m_acceptor.accept(conn->socket, ec);
        std::unique_lock<std::mutex> lk(m_mutex);
        if (m_stopping)
            return;
        if (ec) {
            // Out of descriptors or similar: back off instead of spinning.
            m_cv.wait_for(lk, std::chrono::milliseconds(20), [this] { return m_stopping; });
            continue;
        }
        // A long-running simulator must not accumulate ended connections.
        joinFinished(lk);
        if (m_stopping)
            return;
        // Headers and body go out in separate writes; without this Nagle's
        // algorithm holds the body back for the client's delayed ACK.
        conn->socket.set_option(tcp::no_delay(true), ec);
        conn->id = ++m_nextId;
        conn->fd = conn->socket.native_handle();
        Connection record;
        record.id = conn->id;
        m_connections.emplace(conn->id, record);
        try {
            conn->thread = std::thread([this, conn] { serve(conn); });
        } catch (const std::system_error&) {
            // No thread to serve it: the client sees the connection closed.
            m_connections[conn->id].open = false;
            continue;
        }
        m_live.push_back(conn);
    }
}

// Joins the threads of ended connections and frees their io_contexts, so their
// descriptors are gone when this returns. Called with m_mutex held; releases it
// while joining.
void FakeService::Impl::joinFinished(std::unique_lock<std::mutex>& lk)
{
    std::list<std::shared_ptr<ConnState>> ended;
    for (auto it = m_live.begin(); it != m_live.end();) {
        auto next = std::next(it);
        if ((*it)->finished)
            ended.splice(ended.end(), m_live, it);
        it = next;
    }
    lk.unlock();
    for (const auto& c : ended)
        c->thread.join();
    ended.clear();
    lk.lock();
}

// ---------------------------------------------------------------------------

FakeService::FakeService(Options options) : m_impl(std::make_unique<Impl>())
{
    Impl& d = *m_impl;
    d.m_options = std::move(options);
    d.m_refuseTunnels = d.m_options.refuseTunnels;

    std::vector<std::string> names = {"api.nerivowater.com", "localhost", "127.0.0.1"};
    for (const auto& n : d.m_options.extraNames)
        if (std::find(names.begin(), names.end(), n) == names.end())
            names.push_back(n);
    const detail::Credentials trusted = detail::makeCredentials("Nerivo Test CA", names);
    d.m_caPem = trusted.caCertPem;
    const detail::Credentials served =
        d.m_options.untrustedCertificate ? detail::makeCredentials("Unrelated Test CA", names) : trusted;

    d.m_sslCtx.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                           ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
    d.m_sslCtx.use_certificate(net::buffer(served.serverCertPem), ssl::context::pem);
    d.m_sslCtx.use_private_key(net::buffer(served.serverKeyPem), ssl::context::pem);

    d.m_caFile = writeTempFile(d.m_caPem);
    try {
        const tcp::endpoint ep(net::ip::make_address_v4("127.0.0.1"), d.m_options.port);
        d.m_acceptor.open(ep.protocol());
        d.m_acceptor.set_option(tcp::acceptor::reuse_address(true));
        d.m_acceptor.bind(ep);
        d.m_acceptor.listen(net::socket_base::max_listen_connections);
        d.m_port = d.m_acceptor.local_endpoint().port();
        // Listening already: connections made from here on wait in the
        // backlog until the thread accepts them.
        d.m_acceptThread = std::thread([&d] { d.acceptLoop(); });
    } catch (...) {
        ::unlink(d.m_caFile.c_str());
        throw;
    }
}

FakeService::~FakeService()
{
    stop();
    ::unlink(m_impl->m_caFile.c_str());
}

void FakeService::stop()
{
    Impl& d = *m_impl;
    std::lock_guard<std::mutex> stopLock(d.m_stopMutex);
    if (d.m_stopped)
        return;
    d.m_stopped = true;
    {
        std::lock_guard<std::mutex> lk(d.m_mutex);
        d.m_stopping = true;
        d.m_cv.notify_all();
    }
    // shutdown() on a listening socket makes a blocked accept() fail on Linux.
    ::shutdown(d.m_acceptor.native_handle(), SHUT_RDWR);
    if (d.m_acceptThread.joinable())
        d.m_acceptThread.join();
    error_code ignored;
    d.m_acceptor.close(ignored);

    std::list<std::shared_ptr<ConnState>> conns;
    {
        std::lock_guard<std::mutex> lk(d.m_mutex);
        conns.swap(d.m_live);
    }
    for (const auto& c : conns) {
        std::lock_guard<std::mutex> lk(c->m);
        if (!c->closed)
            ::shutdown(c->fd, SHUT_RDWR);
    }
    for (const auto& c : conns)
        if (c->thread.joinable())
            c->thread.join();
}

std::uint16_t FakeService::port() const
{
    return m_impl->m_port;
}

std::string FakeService::hostPort() const
{
    return "127.0.0.1:" + std::to_string(m_impl->m_port);
}

const std::string& FakeService::caFile() const
{
    return m_impl->m_caFile;
}

std::string FakeService::caPem() const
{
    return m_impl->m_caPem;
}

void FakeService::script(const std::string& target, Answer answer)
{
    script(target, std::vector<Answer>{std::move(answer)});
}

void FakeService::script(const std::string& target, std::vector<Answer> answers)
{
    std::lock_guard<std::mutex> lk(m_impl->m_mutex);
    if (answers.empty()) {
        m_impl->m_scripts.erase(target);
        return;
    }
    m_impl->m_scripts[target] = Impl::Script{std::move(answers), 0};
}

void FakeService::clearScripts()
{
    std::lock_guard<std::mutex> lk(m_impl->m_mutex);
    m_impl->m_scripts.clear();
}

void FakeService::setHandler(Handler handler)
{
    auto h = handler ? std::make_shared<const Handler>(std::move(handler)) : nullptr;
    std::lock_guard<std::mutex> lk(m_impl->m_mutex);
    m_impl->m_handler = std::move(h);
}

void FakeService::setRefuseTunnels(bool refuse)
{
    std::lock_guard<std::mutex> lk(m_impl->m_mutex);
    m_impl->m_refuseTunnels = refuse;
}

std::vector<Request> FakeService::requests() const
{
    std::lock_guard<std::mutex> lk(m_impl->m_mutex);
    return m_impl->m_requests;
}

std::vector<Connection> FakeService::connections() const
{
    std::lock_guard<std::mutex> lk(m_impl->m_mutex);
    std::vector<Connection> out;
    out.reserve(m_impl->m_connections.size());
    for (const auto& kv : m_impl->m_connections)
        out.push_back(kv.second);
    return out;
}

void FakeService::clearRecords()
{
    std::lock_guard<std::mutex> lk(m_impl->m_mutex);
    m_impl->m_requests.clear();
    m_impl->m_connections.clear();
    ++m_impl->m_recordGeneration;
}

bool FakeService::waitForRequests(std::size_t n, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lk(m_impl->m_mutex);
    return m_impl->m_cv.wait_for(lk, timeout, [&] { return m_impl->m_requests.size() >= n; });
}

std::size_t FakeService::closeIdleConnections()
{
    Impl& d = *m_impl;
    std::vector<std::shared_ptr<ConnState>> targets;
    std::unique_lock<std::mutex> lk(d.m_mutex);
    for (const auto& c : d.m_live) {
        std::lock_guard<std::mutex> clk(c->m);
        if (c->idle && !c->closed && !c->closeRequested) {
            c->closeRequested = true;
            ConnState* raw = c.get();  // the handler runs on that connection's thread, while it is alive
            net::post(c->ioc, [raw] {
                error_code ignored;
                raw->socket.cancel(ignored);
            });
            targets.push_back(c);
        }
    }
    d.m_cv.wait_for(lk, CLOSE_WAIT, [&] {
        // finished is set together with the record's open = false.
        return std::all_of(targets.begin(), targets.end(),
                           [](const std::shared_ptr<ConnState>& c) { return c->finished; });
    });
    const std::size_t closed = targets.size();
    targets.clear();
    d.joinFinished(lk);
    return closed;
}

}  // namespace fakeservice
