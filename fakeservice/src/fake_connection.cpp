#include "fake_service_impl.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>

#include <openssl/evp.h>

// One connection: the plain-HTTP proxy request it may start with, the TLS
// handshake, and its requests read one after the other.
namespace fakeservice {

namespace {

std::string versionText(unsigned v)
{
    return std::to_string(v / 10) + "." + std::to_string(v % 10);
}

template <class Fields>
std::vector<Header> copyHeaders(const Fields& fields)
{
    std::vector<Header> out;
    for (const auto& f : fields)
        out.push_back(Header{std::string(f.name_string()), std::string(f.value())});
    return out;
}

}  // namespace

void FakeService::Impl::updateConnection(std::uint64_t id, const std::function<void(Connection&)>& f)
{
    std::lock_guard<std::mutex> lk(m_mutex);
    auto it = m_connections.find(id);
    if (it != m_connections.end())
        f(it->second);
    m_cv.notify_all();
}

bool FakeService::Impl::authorised(beast::string_view proxyAuthorization) const
{
    const std::string& plain = m_options.proxyCredentials;
    std::string encoded(4 * ((plain.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&encoded[0]),
                                  reinterpret_cast<const unsigned char*>(plain.data()), static_cast<int>(plain.size()));
    encoded.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return proxyAuthorization == "Basic " + encoded;
}

void FakeService::Impl::serve(const std::shared_ptr<ConnState>& conn)
{
    try {
        unsigned char first = 0;
        error_code ec;
        const std::size_t n = conn->socket.receive(net::buffer(&first, 1), tcp::socket::message_peek, ec);
        if (!ec && n == 1) {
            beast::flat_buffer buf;
            bool tunnel = false;
            // 0x16 starts a TLS handshake record; anything else is plain HTTP
            // to the proxy.
            const bool tls = first == 0x16 || servePlain(*conn, buf, tunnel);
            if (tls) {
                ssl::stream<tcp::socket&> stream(conn->socket, m_sslCtx);
                if (buf.size() > 0)
                    stream.handshake(ssl::stream_base::server, buf.data(), ec);
                else
                    stream.handshake(ssl::stream_base::server, ec);
                if (!ec) {
                    updateConnection(conn->id, [](Connection& c) { c.tlsEstablished = true; });
                    serveTls(*conn, stream, tunnel);
                }
            }
        }
    } catch (const std::exception&) {
        // A broken connection ends here; the client sees it closed.
    }
    {
        std::lock_guard<std::mutex> lk(conn->m);
        error_code ignored;
        conn->socket.close(ignored);
        conn->closed = true;
        conn->idle = false;
    }
    std::lock_guard<std::mutex> lk(m_mutex);
    auto it = m_connections.find(conn->id);
    if (it != m_connections.end())
        it->second.open = false;
    conn->finished = true;
    m_cv.notify_all();
}

bool FakeService::Impl::servePlain(ConnState& conn, beast::flat_buffer& buf, bool& tunnel)
{
    http::request_parser<http::string_body> parser;
    parser.header_limit(HEADER_LIMIT);
    parser.body_limit(BODY_LIMIT);
    error_code ec;
    http::read(conn.socket, buf, parser, ec);
    if (ec) {
        if (ec != http::error::end_of_stream) {
            static const std::string bad = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            net::write(conn.socket, net::buffer(bad), ec);
        }
        return false;
    }
    const auto& req = parser.get();
    const std::string line =
        std::string(req.method_string()) + " " + std::string(req.target()) + " HTTP/" + versionText(req.version());
    bool refuse = false;
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        refuse = m_refuseTunnels;
        auto it = m_connections.find(conn.id);
        if (it != m_connections.end()) {
            it->second.proxyRequestLine = line;
            it->second.proxyHeaders = copyHeaders(req);
        }
        m_cv.notify_all();
    }
    if (req.method() != http::verb::connect) {
        static const std::string bad = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        net::write(conn.socket, net::buffer(bad), ec);
        return false;
    }
    if (!m_options.proxyCredentials.empty() && !authorised(req[http::field::proxy_authorization])) {
        static const std::string ask =
            "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"fake\"\r\n"
            "Content-Length: 0\r\nConnection: close\r\n\r\n";
        net::write(conn.socket, net::buffer(ask), ec);
        return false;
    }
    if (refuse) {
        static const std::string forbidden = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        updateConnection(conn.id, [](Connection& c) { c.tunnelRefused = true; });
        net::write(conn.socket, net::buffer(forbidden), ec);
        return false;
    }
    static const std::string established = "HTTP/1.1 200 Connection established\r\n\r\n";
    net::write(conn.socket, net::buffer(established), ec);
    if (ec)
        return false;
    tunnel = true;
    updateConnection(conn.id, [](Connection& c) { c.viaTunnel = true; });
    return true;
}

NextRequest FakeService::Impl::awaitRequest(ConnState& conn, ssl::stream<tcp::socket&>& stream, beast::flat_buffer& buf)
{
    if (buf.size() != 0) {
        // A request already buffered: not waiting, so not idle.
        std::lock_guard<std::mutex> lk(conn.m);
        conn.idle = false;
        return NextRequest::READY;
    }
    // Wait for the next request asynchronously, so that
    // closeIdleConnections() can cancel the wait and close the
    // connection cleanly from this thread.
    {
        std::lock_guard<std::mutex> lk(conn.m);
        if (conn.closeRequested)
            return NextRequest::CLOSE_REQUESTED;
        conn.idle = true;
    }
    error_code rec;
    std::size_t got = 0;
    conn.ioc.restart();
    stream.async_read_some(buf.prepare(4096), [&rec, &got](const error_code& e, std::size_t n) {
        rec = e;
        got = n;
    });
    conn.ioc.run();
    buf.commit(got);
    bool closeRequested = false;
    {
        std::lock_guard<std::mutex> lk(conn.m);
        conn.idle = false;
        closeRequested = conn.closeRequested;
    }
    if (closeRequested)
        return NextRequest::CLOSE_REQUESTED;
    if (rec && got == 0)
        return NextRequest::GONE;  // the client closed, or stop()
    return NextRequest::READY;
}

bool FakeService::Impl::readRequest(ConnState& conn, ssl::stream<tcp::socket&>& stream, beast::flat_buffer& buf,
                                    bool tunnel, Request& req, bool& keepAlive)
{
    http::request_parser<http::string_body> parser;
    parser.header_limit(HEADER_LIMIT);
    parser.body_limit(BODY_LIMIT);
    error_code ec;
    http::read(stream, buf, parser, ec);
    if (ec)
        return false;
    const auto& msg = parser.get();
    req.connectionId = conn.id;
    req.viaTunnel = tunnel;
    req.method = std::string(msg.method_string());
    req.target = std::string(msg.target());
    req.version = versionText(msg.version());
    req.headers = copyHeaders(msg);
    req.body = msg.body();
    keepAlive = msg.keep_alive();
    std::lock_guard<std::mutex> lk(m_mutex);
    conn.recordIndex = m_requests.size();
    conn.recordGeneration = m_recordGeneration;
    m_requests.push_back(req);
    auto it = m_connections.find(conn.id);
    if (it != m_connections.end())
        ++it->second.requestsServed;
    m_cv.notify_all();
    return true;
}

void FakeService::Impl::serveTls(ConnState& conn, ssl::stream<tcp::socket&>& stream, bool tunnel)
{
    beast::flat_buffer buf;
    for (;;) {
        const NextRequest next = awaitRequest(conn, stream, buf);
        if (next == NextRequest::CLOSE_REQUESTED)
            break;
        if (next == NextRequest::GONE)
            return;
        Request req;
        bool keepAlive = false;
        if (!readRequest(conn, stream, buf, tunnel, req, keepAlive))
            return;
        bool abrupt = false;
        if (!answer(conn, stream, req, keepAlive, abrupt)) {
            if (!abrupt)
                gracefulClose(stream);
            return;
        }
    }
    gracefulClose(stream);
}

void FakeService::Impl::gracefulClose(ssl::stream<tcp::socket&>& stream)
{
    // Sends close_notify without waiting for the client's: a pooled client
    // connection that nobody reads would never answer. Marking the client's
    // close_notify as received makes SSL_shutdown complete after sending ours.
    ::SSL_set_shutdown(stream.native_handle(), SSL_RECEIVED_SHUTDOWN);
    error_code ignored;
    stream.shutdown(ignored);
}

}  // namespace fakeservice
