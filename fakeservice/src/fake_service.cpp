#include "fakeservice/fake_service.hpp"

#include "test_ca.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <openssl/evp.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <map>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

namespace fakeservice {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;
using boost::system::error_code;

namespace {

constexpr std::size_t kHeaderLimit = 64 * 1024;
constexpr std::size_t kBodyLimit = 16 * 1024 * 1024;
// Upper bound for closeIdleConnections(); closing takes a few milliseconds.
constexpr std::chrono::seconds kCloseWait{5};

std::string writeTempFile(const std::string& content) {
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/fakeservice-ca-XXXXXX";
    int fd = ::mkstemp(path.data());
    if (fd < 0) {
        path = "/tmp/fakeservice-ca-XXXXXX";
        fd = ::mkstemp(path.data());
    }
    if (fd < 0) throw std::runtime_error("fake service: cannot create the CA file");
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

std::string reasonFor(int status) {
    const auto known = http::obsolete_reason(http::int_to_status(static_cast<unsigned>(status)));
    if (http::int_to_status(static_cast<unsigned>(status)) == http::status::unknown) return "Unknown";
    return std::string(known);
}

bool hasHeader(const std::vector<Header>& headers, const char* name) {
    Request probe;
    probe.headers = headers;
    return probe.header(name).has_value();
}

std::string versionText(unsigned v) {
    return std::to_string(v / 10) + "." + std::to_string(v % 10);
}

template <class Fields>
std::vector<Header> copyHeaders(const Fields& fields) {
    std::vector<Header> out;
    for (const auto& f : fields)
        out.push_back(Header{std::string(f.name_string()), std::string(f.value())});
    return out;
}

}  // namespace

// One accepted TCP connection. Its socket belongs to its own thread; other
// threads reach it only through the mutex-guarded flags, ::shutdown() on the
// descriptor (which unblocks any call the thread is in) and posts to its own
// io_context.
struct ConnState {
    std::uint64_t id = 0;
    net::io_context ioc;
    tcp::socket socket{ioc};
    std::thread thread;

    std::mutex m;
    int fd = -1;
    bool idle = false;            // waiting for the next request on a kept-alive connection
    bool closeRequested = false;  // closeIdleConnections() wants it closed
    bool closed = false;          // the socket has been closed (fd is no longer ours)
    bool finished = false;        // the thread is about to end; guarded by Impl::m
};

struct FakeService::Impl {
    Options options;
    std::string caPem;
    std::string caFile;
    ssl::context sslCtx{ssl::context::tls_server};

    net::io_context acceptIoc;
    tcp::acceptor acceptor{acceptIoc};
    std::uint16_t port = 0;
    std::thread acceptThread;

    std::mutex stopMutex;  // serialises stop() calls
    bool stopped = false;  // guarded by stopMutex

    mutable std::mutex m;
    mutable std::condition_variable cv;  // records changed, connection closed, or stopping
    bool stopping = false;
    bool refuseTunnels = false;
    struct Script {
        std::vector<Answer> answers;
        std::size_t next = 0;
    };
    std::map<std::string, Script> scripts;
    std::shared_ptr<const Handler> handler;
    std::vector<Request> requests;
    std::map<std::uint64_t, Connection> connections;  // ordered by id, i.e. by arrival
    std::list<std::shared_ptr<ConnState>> live;
    std::uint64_t nextId = 0;

    void acceptLoop();
    void joinFinished(std::unique_lock<std::mutex>& lk);
    bool authorised(beast::string_view proxyAuthorization) const;
    void serve(const std::shared_ptr<ConnState>& conn);
    bool servePlain(ConnState& conn, beast::flat_buffer& buf, bool& tunnel);
    void serveTls(ConnState& conn, ssl::stream<tcp::socket&>& stream, bool tunnel);
    // false: the connection must end; abrupt: without close_notify.
    bool answer(ConnState& conn, ssl::stream<tcp::socket&>& stream, const Request& req, bool clientKeepsAlive,
                bool& abrupt);
    bool send(ssl::stream<tcp::socket&>& stream, const std::vector<std::string>& writes, const Answer& a);
    Answer choose(const Request& req);
    bool waitUnlessStopping(std::chrono::milliseconds delay);  // false when stopping
    static void gracefulClose(ssl::stream<tcp::socket&>& stream);
    void updateConnection(std::uint64_t id, const std::function<void(Connection&)>& f);
};

void FakeService::Impl::updateConnection(std::uint64_t id, const std::function<void(Connection&)>& f) {
    std::lock_guard<std::mutex> lk(m);
    auto it = connections.find(id);
    if (it != connections.end()) f(it->second);
    cv.notify_all();
}

bool FakeService::Impl::authorised(beast::string_view proxyAuthorization) const {
    const std::string& plain = options.proxyCredentials;
    std::string encoded(4 * ((plain.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&encoded[0]),
                                  reinterpret_cast<const unsigned char*>(plain.data()), static_cast<int>(plain.size()));
    encoded.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return proxyAuthorization == "Basic " + encoded;
}

void FakeService::Impl::acceptLoop() {
    for (;;) {
        auto conn = std::make_shared<ConnState>();
        error_code ec;
        acceptor.accept(conn->socket, ec);
        std::unique_lock<std::mutex> lk(m);
        if (stopping) return;
        if (ec) {
            // Out of descriptors or similar: back off instead of spinning.
            cv.wait_for(lk, std::chrono::milliseconds(20), [this] { return stopping; });
            continue;
        }
        // A long-running simulator must not accumulate ended connections.
        joinFinished(lk);
        if (stopping) return;
        // Headers and body go out in separate writes; without this Nagle's
        // algorithm holds the body back for the client's delayed ACK.
        conn->socket.set_option(tcp::no_delay(true), ec);
        conn->id = ++nextId;
        conn->fd = conn->socket.native_handle();
        Connection record;
        record.id = conn->id;
        connections.emplace(conn->id, record);
        try {
            conn->thread = std::thread([this, conn] { serve(conn); });
        } catch (const std::system_error&) {
            // No thread to serve it: the client sees the connection closed.
            connections[conn->id].open = false;
            continue;
        }
        live.push_back(conn);
    }
}

// Joins the threads of ended connections and frees their io_contexts, so their
// descriptors are gone when this returns. Called with m held; releases it
// while joining.
void FakeService::Impl::joinFinished(std::unique_lock<std::mutex>& lk) {
    std::list<std::shared_ptr<ConnState>> ended;
    for (auto it = live.begin(); it != live.end();) {
        auto next = std::next(it);
        if ((*it)->finished) ended.splice(ended.end(), live, it);
        it = next;
    }
    lk.unlock();
    for (const auto& c : ended) c->thread.join();
    ended.clear();
    lk.lock();
}

void FakeService::Impl::serve(const std::shared_ptr<ConnState>& conn) {
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
                ssl::stream<tcp::socket&> stream(conn->socket, sslCtx);
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
    std::lock_guard<std::mutex> lk(m);
    auto it = connections.find(conn->id);
    if (it != connections.end()) it->second.open = false;
    conn->finished = true;
    cv.notify_all();
}

bool FakeService::Impl::servePlain(ConnState& conn, beast::flat_buffer& buf, bool& tunnel) {
    http::request_parser<http::string_body> parser;
    parser.header_limit(kHeaderLimit);
    parser.body_limit(kBodyLimit);
    error_code ec;
    http::read(conn.socket, buf, parser, ec);
    if (ec) {
        if (ec != http::error::end_of_stream) {
            static const std::string bad =
                "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            net::write(conn.socket, net::buffer(bad), ec);
        }
        return false;
    }
    const auto& req = parser.get();
    const std::string line = std::string(req.method_string()) + " " + std::string(req.target()) + " HTTP/" +
                             versionText(req.version());
    bool refuse = false;
    {
        std::lock_guard<std::mutex> lk(m);
        refuse = refuseTunnels;
        auto it = connections.find(conn.id);
        if (it != connections.end()) {
            it->second.proxyRequestLine = line;
            it->second.proxyHeaders = copyHeaders(req);
        }
        cv.notify_all();
    }
    if (req.method() != http::verb::connect) {
        static const std::string bad = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        net::write(conn.socket, net::buffer(bad), ec);
        return false;
    }
    if (!options.proxyCredentials.empty() && !authorised(req[http::field::proxy_authorization])) {
        static const std::string ask =
            "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"fake\"\r\n"
            "Content-Length: 0\r\nConnection: close\r\n\r\n";
        net::write(conn.socket, net::buffer(ask), ec);
        return false;
    }
    if (refuse) {
        static const std::string forbidden =
            "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        updateConnection(conn.id, [](Connection& c) { c.tunnelRefused = true; });
        net::write(conn.socket, net::buffer(forbidden), ec);
        return false;
    }
    static const std::string established = "HTTP/1.1 200 Connection established\r\n\r\n";
    net::write(conn.socket, net::buffer(established), ec);
    if (ec) return false;
    tunnel = true;
    updateConnection(conn.id, [](Connection& c) { c.viaTunnel = true; });
    return true;
}

void FakeService::Impl::serveTls(ConnState& conn, ssl::stream<tcp::socket&>& stream, bool tunnel) {
    beast::flat_buffer buf;
    for (;;) {
        if (buf.size() != 0) {
            // A request already buffered: not waiting, so not idle.
            std::lock_guard<std::mutex> lk(conn.m);
            conn.idle = false;
        } else {
            // Wait for the next request asynchronously, so that
            // closeIdleConnections() can cancel the wait and close the
            // connection cleanly from this thread.
            {
                std::lock_guard<std::mutex> lk(conn.m);
                if (conn.closeRequested) break;
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
            if (closeRequested) break;
            if (rec && got == 0) return;  // the client closed, or stop()
        }

        http::request_parser<http::string_body> parser;
        parser.header_limit(kHeaderLimit);
        parser.body_limit(kBodyLimit);
        error_code ec;
        http::read(stream, buf, parser, ec);
        if (ec) return;
        const auto& msg = parser.get();
        Request req;
        req.connectionId = conn.id;
        req.viaTunnel = tunnel;
        req.method = std::string(msg.method_string());
        req.target = std::string(msg.target());
        req.version = versionText(msg.version());
        req.headers = copyHeaders(msg);
        req.body = msg.body();
        {
            std::lock_guard<std::mutex> lk(m);
            requests.push_back(req);
            auto it = connections.find(conn.id);
            if (it != connections.end()) ++it->second.requestsServed;
            cv.notify_all();
        }
        bool abrupt = false;
        if (!answer(conn, stream, req, msg.keep_alive(), abrupt)) {
            if (!abrupt) gracefulClose(stream);
            return;
        }
    }
    gracefulClose(stream);
}

Answer FakeService::Impl::choose(const Request& req) {
    std::shared_ptr<const Handler> h;
    {
        std::lock_guard<std::mutex> lk(m);
        auto it = scripts.find(req.target);
        if (it != scripts.end() && !it->second.answers.empty()) {
            Script& s = it->second;
            const std::size_t i = std::min(s.next, s.answers.size() - 1);
            ++s.next;
            return s.answers[i];
        }
        h = handler;
    }
    if (h && *h) {
        try {
            return (*h)(req);
        } catch (...) {
            return Answer::json(std::string("{\"error\":\"handler failed\"}"), 500);
        }
    }
    return Answer::json(std::string("{\"error\":\"not found\"}"), 404);
}

bool FakeService::Impl::waitUnlessStopping(std::chrono::milliseconds delay) {
    std::unique_lock<std::mutex> lk(m);
    if (delay.count() <= 0) return !stopping;
    return !cv.wait_for(lk, delay, [this] { return stopping; });
}

bool FakeService::Impl::answer(ConnState& conn, ssl::stream<tcp::socket&>& stream, const Request& req,
                               bool clientKeepsAlive, bool& abrupt) {
    Answer a = choose(req);
    if (a.stall) {
        std::unique_lock<std::mutex> lk(m);
        cv.wait(lk, [this] { return stopping; });
        abrupt = true;
        return false;
    }
    if (!waitUnlessStopping(a.delay)) {
        abrupt = true;
        return false;
    }
    if (a.closeBeforeAnswer) {
        abrupt = true;
        return false;
    }

    const int status = a.status >= 100 && a.status <= 999 ? a.status : 500;
    const bool bodyForbidden = status < 200 || status == 204 || status == 304;
    const bool headRequest = req.method == "HEAD";
    const bool chunked = a.framing == Framing::Chunked && !bodyForbidden && !a.closeMidBody;
    const bool closeDelimited = a.framing == Framing::CloseDelimited && !bodyForbidden && !headRequest;
    bool close = a.close || !clientKeepsAlive || closeDelimited || a.closeMidBody;
    for (const auto& h : a.headers)
        if (beast::iequals(h.name, "Connection") && beast::iequals(h.value, "close")) close = true;

    std::string body = bodyForbidden ? std::string() : a.body;
    if (a.closeMidBody && body.empty()) body.assign(16, ' ');
    const std::size_t sendBytes = headRequest ? 0 : a.closeMidBody ? body.size() / 2 : body.size();

    std::string head = "HTTP/1.1 " + std::to_string(status) + " " +
                       (a.reason.empty() ? reasonFor(status) : a.reason) + "\r\n";
    for (const auto& h : a.headers) head += h.name + ": " + h.value + "\r\n";
    if (!hasHeader(a.headers, "Content-Type")) head += "Content-Type: application/json\r\n";
    if (chunked) {
        if (!hasHeader(a.headers, "Transfer-Encoding")) head += "Transfer-Encoding: chunked\r\n";
    } else if (!closeDelimited && !bodyForbidden && !hasHeader(a.headers, "Content-Length")) {
        head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    if (close && !hasHeader(a.headers, "Connection")) head += "Connection: close\r\n";
    head += "\r\n";

    std::vector<std::string> writes{head};
    if (chunked && !headRequest) {
        // A few chunks, each its own write, so the client really sees several.
        const std::size_t piece = std::max<std::size_t>(1, (body.size() + 2) / 3);
        for (std::size_t off = 0; off < body.size(); off += piece) {
            const std::string part = body.substr(off, piece);
            char size[32];
            std::snprintf(size, sizeof size, "%zx\r\n", part.size());
            writes.push_back(std::string(size) + part + "\r\n");
        }
        writes.push_back("0\r\n\r\n");
    } else if (sendBytes > 0) {
        writes.push_back(body.substr(0, sendBytes));
    }
    if (!close) {
        // Idle from before the last byte goes out: the client may be done,
        // and closeIdleConnections() called, before this thread loops back.
        std::lock_guard<std::mutex> lk(conn.m);
        conn.idle = true;
    }
    if (!send(stream, writes, a) || a.closeMidBody) {
        abrupt = true;
        return false;
    }
    return !close;
}

bool FakeService::Impl::send(ssl::stream<tcp::socket&>& stream, const std::vector<std::string>& writes,
                             const Answer& a) {
    error_code ec;
    if (a.trickleBytes == 0) {
        for (const auto& w : writes) {
            net::write(stream, net::buffer(w), ec);
            if (ec) return false;
        }
        return true;
    }
    std::string all;
    for (const auto& w : writes) all += w;
    for (std::size_t off = 0; off < all.size(); off += a.trickleBytes) {
        if (!waitUnlessStopping(a.tricklePause)) return false;
        net::write(stream, net::buffer(all.data() + off, std::min(a.trickleBytes, all.size() - off)), ec);
        if (ec) return false;
    }
    return true;
}

void FakeService::Impl::gracefulClose(ssl::stream<tcp::socket&>& stream) {
    // Sends close_notify without waiting for the client's: a pooled client
    // connection that nobody reads would never answer. Marking the client's
    // close_notify as received makes SSL_shutdown complete after sending ours.
    ::SSL_set_shutdown(stream.native_handle(), SSL_RECEIVED_SHUTDOWN);
    error_code ignored;
    stream.shutdown(ignored);
}

// ---------------------------------------------------------------------------

FakeService::FakeService(Options options) : m_impl(std::make_unique<Impl>()) {
    Impl& d = *m_impl;
    d.options = std::move(options);
    d.refuseTunnels = d.options.refuseTunnels;

    std::vector<std::string> names = {"api.nerivowater.com", "localhost", "127.0.0.1"};
    for (const auto& n : d.options.extraNames)
        if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
    const detail::Credentials trusted = detail::makeCredentials("Nerivo Test CA", names);
    d.caPem = trusted.caCertPem;
    const detail::Credentials served =
        d.options.untrustedCertificate ? detail::makeCredentials("Unrelated Test CA", names) : trusted;

    d.sslCtx.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                         ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
    d.sslCtx.use_certificate(net::buffer(served.serverCertPem), ssl::context::pem);
    d.sslCtx.use_private_key(net::buffer(served.serverKeyPem), ssl::context::pem);

    d.caFile = writeTempFile(d.caPem);
    try {
        const tcp::endpoint ep(net::ip::make_address_v4("127.0.0.1"), d.options.port);
        d.acceptor.open(ep.protocol());
        d.acceptor.set_option(tcp::acceptor::reuse_address(true));
        d.acceptor.bind(ep);
        d.acceptor.listen(net::socket_base::max_listen_connections);
        d.port = d.acceptor.local_endpoint().port();
        // Listening already: connections made from here on wait in the
        // backlog until the thread accepts them.
        d.acceptThread = std::thread([&d] { d.acceptLoop(); });
    } catch (...) {
        ::unlink(d.caFile.c_str());
        throw;
    }
}

FakeService::~FakeService() {
    stop();
    ::unlink(m_impl->caFile.c_str());
}

void FakeService::stop() {
    Impl& d = *m_impl;
    std::lock_guard<std::mutex> stopLock(d.stopMutex);
    if (d.stopped) return;
    d.stopped = true;
    {
        std::lock_guard<std::mutex> lk(d.m);
        d.stopping = true;
        d.cv.notify_all();
    }
    // shutdown() on a listening socket makes a blocked accept() fail on Linux.
    ::shutdown(d.acceptor.native_handle(), SHUT_RDWR);
    if (d.acceptThread.joinable()) d.acceptThread.join();
    error_code ignored;
    d.acceptor.close(ignored);

    std::list<std::shared_ptr<ConnState>> conns;
    {
        std::lock_guard<std::mutex> lk(d.m);
        conns.swap(d.live);
    }
    for (const auto& c : conns) {
        std::lock_guard<std::mutex> lk(c->m);
        if (!c->closed) ::shutdown(c->fd, SHUT_RDWR);
    }
    for (const auto& c : conns)
        if (c->thread.joinable()) c->thread.join();
}

std::uint16_t FakeService::port() const { return m_impl->port; }

std::string FakeService::hostPort() const { return "127.0.0.1:" + std::to_string(m_impl->port); }

const std::string& FakeService::caFile() const { return m_impl->caFile; }

std::string FakeService::caPem() const { return m_impl->caPem; }

void FakeService::script(const std::string& target, Answer answer) {
    script(target, std::vector<Answer>{std::move(answer)});
}

void FakeService::script(const std::string& target, std::vector<Answer> answers) {
    std::lock_guard<std::mutex> lk(m_impl->m);
    if (answers.empty()) {
        m_impl->scripts.erase(target);
        return;
    }
    m_impl->scripts[target] = Impl::Script{std::move(answers), 0};
}

void FakeService::clearScripts() {
    std::lock_guard<std::mutex> lk(m_impl->m);
    m_impl->scripts.clear();
}

void FakeService::setHandler(Handler handler) {
    auto h = handler ? std::make_shared<const Handler>(std::move(handler)) : nullptr;
    std::lock_guard<std::mutex> lk(m_impl->m);
    m_impl->handler = std::move(h);
}

void FakeService::setRefuseTunnels(bool refuse) {
    std::lock_guard<std::mutex> lk(m_impl->m);
    m_impl->refuseTunnels = refuse;
}

std::vector<Request> FakeService::requests() const {
    std::lock_guard<std::mutex> lk(m_impl->m);
    return m_impl->requests;
}

std::vector<Connection> FakeService::connections() const {
    std::lock_guard<std::mutex> lk(m_impl->m);
    std::vector<Connection> out;
    out.reserve(m_impl->connections.size());
    for (const auto& kv : m_impl->connections) out.push_back(kv.second);
    return out;
}

void FakeService::clearRecords() {
    std::lock_guard<std::mutex> lk(m_impl->m);
    m_impl->requests.clear();
    m_impl->connections.clear();
}

bool FakeService::waitForRequests(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lk(m_impl->m);
    return m_impl->cv.wait_for(lk, timeout, [&] { return m_impl->requests.size() >= n; });
}

std::size_t FakeService::closeIdleConnections() {
    Impl& d = *m_impl;
    std::vector<std::shared_ptr<ConnState>> targets;
    std::unique_lock<std::mutex> lk(d.m);
    for (const auto& c : d.live) {
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
    d.cv.wait_for(lk, kCloseWait, [&] {
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
