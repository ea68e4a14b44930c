// Each I/O step is an asynchronous Beast/Asio operation run to completion on
// the connection's own io_context; tcp_stream's expiry gives the time-outs.
#include "connection.hpp"

#include "client_https.hpp"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/system/system_error.hpp>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>

namespace nerivo_https {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using boost::system::system_error;

namespace {

constexpr std::uint32_t HEADER_LIMIT = 64 * 1024;
// A peer that never answers close_notify must not hold up close() for long.
constexpr std::chrono::milliseconds SHUTDOWN_TIMEOUT{1000};

bool isTimeout(const error_code& ec)
{
    return ec == beast::error::timeout;
}

// Errors that mean the peer had already dropped a kept-alive connection.
bool isStaleConnection(const error_code& ec)
{
    return ec == http::error::end_of_stream || ec == asio::error::eof || ec == asio::error::connection_reset ||
           ec == asio::error::connection_aborted || ec == asio::error::broken_pipe ||
           ec == ssl::error::stream_truncated;
}

}  // namespace

std::string Endpoint::authority() const
{
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string Endpoint::hostHeader() const
{
    if (port == 443) {
        const bool v6 = host.find(':') != std::string::npos;
        return v6 ? "[" + host + "]" : host;
    }
    return authority();
}

Endpoint parseEndpoint(const std::string& text, unsigned short defaultPort)
{
    auto invalid = [&text]() {
        return system_error(make_error_code(boost::system::errc::invalid_argument),
                            "invalid host[:port] \"" + text + "\"");
    };
    Endpoint ep;
    std::string portText;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos)
            throw invalid();
        ep.host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':')
                throw invalid();
            portText = text.substr(close + 2);
            if (portText.empty())
                throw invalid();
        }
    } else {
        const auto colon = text.rfind(':');
        if (colon != std::string::npos && text.find(':') == colon) {
            ep.host = text.substr(0, colon);
            portText = text.substr(colon + 1);
            if (portText.empty())
                throw invalid();
        } else {
            ep.host = text;  // a bare IPv6 literal has several colons and no port
        }
    }
    if (ep.host.empty())
        throw invalid();
    ep.port = defaultPort;
    if (!portText.empty()) {
        if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
            throw invalid();
        const unsigned long n = std::strtoul(portText.c_str(), nullptr, 10);
        if (n == 0 || n > 65535)
            throw invalid();
        ep.port = static_cast<unsigned short>(n);
    }
    error_code ec;
    asio::ip::make_address(ep.host, ec);
    ep.ipLiteral = !ec;
    return ep;
}

ProxyHop parseProxy(const std::string& text)
{
    // The last '@' ends the credentials, so a password may hold one.
    const auto at = text.rfind('@');
    ProxyHop proxy;
    if (at == std::string::npos) {
        proxy.hop = parseEndpoint(text, 80);
        return proxy;
    }
    proxy.credentials = text.substr(0, at);
    if (proxy.credentials.find(':') == std::string::npos)
        throw system_error(make_error_code(boost::system::errc::invalid_argument),
                           "the proxy credentials must be written user:password");
    proxy.hop = parseEndpoint(text.substr(at + 1), 80);
    return proxy;
}

namespace {

std::string basicCredentials(const std::string& userPassword)
{
    std::string out(4 * ((userPassword.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(userPassword.data()),
                                  static_cast<int>(userPassword.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return "Basic " + out;
}

using clock = std::chrono::steady_clock;

// The low-speed rule over the answer: its window opens with the first byte
// and starts afresh each time it has seen lowSpeedBytes, so the time
// between two such marks can never exceed the window.
class Pace {
public:
    explicit Pace(const Settings& s) : m_minBytes(s.lowSpeedBytes), m_window(s.lowSpeedWindow) {}

    void received(std::size_t n, clock::time_point now)
    {
        if (n == 0 || m_window.count() <= 0)
            return;
        if (!m_started)
            m_start = now;
        m_started = true;
        m_got += n;
        if (m_got >= m_minBytes) {
            m_got = 0;
            m_start = now;
        }
    }
    bool active() const { return m_started; }
    clock::time_point deadline() const { return m_start + m_window; }

private:
    std::size_t m_minBytes;
    std::chrono::milliseconds m_window;
    bool m_started = false;
    std::size_t m_got = 0;
    clock::time_point m_start;
};

std::string durationText(std::chrono::milliseconds d)
{
    if (d.count() % 1000 == 0)
        return std::to_string(d.count() / 1000) + " s";
    return std::to_string(d.count()) + " ms";
}

}  // namespace

Connection::Connection(Endpoint endpoint, const TlsOptions& tls)
    : m_endpoint(std::move(endpoint)),
      m_verify(tls.verify),
      m_ctx(ssl::context::tls_client)
{
    SSL_CTX_set_min_proto_version(m_ctx.native_handle(), TLS1_2_VERSION);
    auto check = [](const error_code& ec, const std::string& what) {
        if (ec)
            throw system_error(ec, what);
    };
    error_code ec;
    if (m_verify) {
        // OpenSSL's default paths honour SSL_CERT_FILE / SSL_CERT_DIR.
        m_ctx.set_default_verify_paths(ec);
        check(ec, "loading the default trust store");
        if (!tls.verifyFile.empty()) {
            m_ctx.load_verify_file(tls.verifyFile, ec);
            check(ec, "loading trusted certificates from " + tls.verifyFile);
        }
    }
    if (!tls.certificateFile.empty()) {
        m_ctx.use_certificate_chain_file(tls.certificateFile, ec);
        check(ec, "loading the client certificate " + tls.certificateFile);
        // Without a separate key file the key is expected next to the certificate.
        const std::string& key = tls.privateKeyFile.empty() ? tls.certificateFile : tls.privateKeyFile;
        m_ctx.use_private_key_file(key, ssl::context::pem, ec);
        check(ec, "loading the client private key " + key);
    }
}

Connection::~Connection()
{
    close(true);
}

template <class Initiate>
error_code Connection::run(Initiate&& initiate)
{
    error_code result;
    initiate([&result](error_code ec, auto&&...) { result = ec; });
    m_ioc.restart();
    m_ioc.run();
    return result;
}

void Connection::fail(Step step, const error_code& ec, const Settings& settings, const Endpoint& hop,
                      const std::string& detail, bool tooSlow) const
{
    std::string what;
    switch (step) {
    case Step::RESOLVE: what = "resolving " + hop.host; break;
    case Step::CONNECT: what = "connecting to " + hop.authority(); break;
    case Step::TUNNEL:
        what = "opening a tunnel to " + m_endpoint.authority() + " through proxy " + hop.authority();
        break;
    case Step::HANDSHAKE: what = "performing the TLS handshake with " + m_endpoint.authority(); break;
    case Step::WRITE: what = "sending the request to " + m_endpoint.authority(); break;
    case Step::READ: what = "reading the answer from " + m_endpoint.authority(); break;
    }
    if (tooSlow) {
        what = "request to " + m_endpoint.host + " timed out: fewer than " + std::to_string(settings.lowSpeedBytes) +
               " bytes arrived in " + durationText(settings.lowSpeedWindow) + " while " + what;
    } else if (isTimeout(ec)) {
        const bool connecting = step != Step::WRITE && step != Step::READ;
        const long seconds = connecting ? settings.timeoutConnect : settings.timeout;
        what = "request to " + m_endpoint.host + " timed out after " + std::to_string(seconds) + " s while " + what;
    } else {
        what += " failed";
    }
    if (!detail.empty())
        what += " (" + detail + ")";
    if (step != Step::WRITE && step != Step::READ)
        throw SimpleWeb::connect_error(ec, what);
    throw system_error(ec, what);
}

void Connection::open(const Settings& settings)
{
    const bool limited = settings.timeoutConnect > 0;
    const clock::time_point deadline = clock::now() + std::chrono::seconds(limited ? settings.timeoutConnect : 0);

    const bool viaProxy = !settings.proxy.empty();
    const ProxyHop proxy = viaProxy ? parseProxy(settings.proxy) : ProxyHop{m_endpoint, std::string()};
    const Endpoint& hop = proxy.hop;

    auto stream = std::make_unique<Stream>(m_ioc, m_ctx);
    beast::tcp_stream& transport = beast::get_lowest_layer(*stream);
    const std::function<void()> arm = [&]() {
        if (limited)
            transport.expires_at(deadline);
        else
            transport.expires_never();
    };

    const tcp::resolver::results_type results = resolve(settings, hop, limited, deadline);
    arm();
    connect(settings, hop, transport, results);
    if (viaProxy)
        tunnel(settings, proxy, transport, arm);
    prepareVerification(settings, hop, *stream);
    arm();
    handshake(settings, hop, *stream);

    transport.expires_never();
    m_stream = std::move(stream);
    m_buffer.clear();
    m_openProxy = settings.proxy;
}

// The first hop is the proxy when there is one, so the API host name never has
// to resolve locally. getaddrinfo cannot be interrupted, so the deadline is
// checked once it returns.
tcp::resolver::results_type Connection::resolve(const Settings& settings, const Endpoint& hop, bool limited,
                                                clock::time_point deadline)
{
    tcp::resolver resolver(m_ioc);
    tcp::resolver::results_type results;
    const error_code ec = run([&](auto handler) {
        resolver.async_resolve(hop.host, std::to_string(hop.port), tcp::resolver::numeric_service,
                               [&results, handler](error_code e, tcp::resolver::results_type r) mutable {
                                   results = std::move(r);
                                   handler(e);
                               });
    });
    if (ec)
        fail(Step::RESOLVE, ec, settings, hop);
    if (limited && clock::now() >= deadline)
        fail(Step::RESOLVE, beast::error::timeout, settings, hop);
    return results;
}

// To the first address that accepts.
void Connection::connect(const Settings& settings, const Endpoint& hop, beast::tcp_stream& transport,
                         const tcp::resolver::results_type& results)
{
    error_code ec = run([&](auto handler) { transport.async_connect(results, std::move(handler)); });
    if (ec)
        fail(Step::CONNECT, ec, settings, hop);
    // Requests are small writes answered at once; Nagle would hold them back.
    transport.socket().set_option(tcp::no_delay(true), ec);
}

// Certificate and name checks are against the API host, also through a proxy.
void Connection::prepareVerification(const Settings& settings, const Endpoint& hop, Stream& stream)
{
    SSL* sslHandle = stream.native_handle();
    if (m_verify) {
        stream.set_verify_mode(ssl::verify_peer);
        if (m_endpoint.ipLiteral) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(sslHandle), m_endpoint.host.c_str());
        } else {
            stream.set_verify_callback([this, check = ssl::host_name_verification(m_endpoint.host)](
                                           bool preverified, ssl::verify_context& vc) {
                const bool ok = check(preverified, vc);
                if (preverified && !ok)
                    m_nameMismatch = true;
                return ok;
            });
        }
    } else {
        stream.set_verify_mode(ssl::verify_none);
    }
    // SNI carries host names only, never IP literals.
    if (!m_endpoint.ipLiteral && !SSL_set_tlsext_host_name(sslHandle, m_endpoint.host.c_str())) {
        fail(Step::HANDSHAKE, error_code(static_cast<int>(::ERR_get_error()), asio::error::get_ssl_category()),
             settings, hop, "setting the server name");
    }
}

void Connection::handshake(const Settings& settings, const Endpoint& hop, Stream& stream)
{
    m_nameMismatch = false;
    const error_code ec =
        run([&](auto handler) { stream.async_handshake(ssl::stream_base::client, std::move(handler)); });
    if (!ec)
        return;
    std::string detail;
    const long verifyResult = SSL_get_verify_result(stream.native_handle());
    if (m_nameMismatch)
        detail = "certificate verification: the certificate does not name " + m_endpoint.host;
    else if (m_verify && verifyResult != X509_V_OK)
        detail = std::string("certificate verification: ") + X509_verify_cert_error_string(verifyResult) +
                 "; a private CA is trusted by naming its PEM file in SSL_CERT_FILE";
    fail(Step::HANDSHAKE, ec, settings, hop, detail);
}

// Asks the proxy for a tunnel to the API host on the freshly connected
// socket; the caller's deadline stays armed throughout.
void Connection::tunnel(const Settings& settings, const ProxyHop& proxy, beast::tcp_stream& transport,
                        const std::function<void()>& arm)
{
    http::request<http::empty_body> connectReq{http::verb::connect, m_endpoint.authority(), 11};
    connectReq.set(http::field::host, m_endpoint.authority());
    if (!proxy.credentials.empty())
        connectReq.set(http::field::proxy_authorization, basicCredentials(proxy.credentials));
    arm();
    error_code ec = run([&](auto handler) { http::async_write(transport, connectReq, std::move(handler)); });
    if (ec)
        fail(Step::TUNNEL, ec, settings, proxy.hop);

    // Read the proxy's answer; a 2xx answer to CONNECT has no body.
    beast::flat_buffer tunnelBuffer;
    http::response_parser<http::empty_body> tunnelParser;
    tunnelParser.skip(true);
    ec = run([&](auto handler) { http::async_read(transport, tunnelBuffer, tunnelParser, std::move(handler)); });
    if (ec)
        fail(Step::TUNNEL, ec, settings, proxy.hop);
    const auto& answer = tunnelParser.get();
    if (answer.result_int() / 100 == 2)
        return;
    const std::string statusLine = "HTTP/" + std::to_string(answer.version() / 10) + "." +
                                   std::to_string(answer.version() % 10) + " " + std::to_string(answer.result_int()) +
                                   " " + std::string(answer.reason());
    std::string why;
    if (answer.result_int() == 407)
        why = proxy.credentials.empty() ? "; the proxy asks for credentials: write them as user:password@host:port"
                                        : "; the proxy did not accept the credentials given";
    // The OS error nearest in meaning; the proxy's status line says the rest.
    throw SimpleWeb::connect_error(make_error_code(boost::system::errc::connection_refused),
                                   "proxy " + proxy.hop.authority() + " refused the tunnel to " +
                                       m_endpoint.authority() + " with \"" + statusLine + "\"" + why);
}

namespace {

// Whichever comes first: the stall limit or the end of the low-speed window;
// tooSlow tells which.
clock::time_point readExpiry(const Settings& settings, const Pace& pace, bool& tooSlow)
{
    clock::time_point expiry =
        settings.timeout > 0 ? clock::now() + std::chrono::seconds(settings.timeout) : clock::time_point::max();
    tooSlow = pace.active() && pace.deadline() <= expiry;
    if (tooSlow)
        expiry = pace.deadline();
    return expiry;
}

// A peer that ends a close-delimited body by dropping TCP without
// close_notify leaves stream_truncated where the parser wants EOF.
template <class Parser>
bool truncationEndsBody(Parser& parser, const error_code& ec)
{
    if (ec != ssl::error::stream_truncated || !parser.is_header_done())
        return false;
    error_code eofEc;
    parser.put_eof(eofEc);
    return !eofEc && parser.is_done();
}

}  // namespace

bool Connection::sendRequest(const Settings& settings, http::request<http::string_body>& req, Outcome& out)
{
    beast::tcp_stream& transport = beast::get_lowest_layer(*m_stream);
    http::request_serializer<http::string_body> serializer{req};
    while (!serializer.is_done()) {
        // The timer restarts before every write, so only a stall runs out the time.
        if (settings.timeout > 0)
            transport.expires_after(std::chrono::seconds(settings.timeout));
        else
            transport.expires_never();
        out.ec = run([&](auto handler) { http::async_write_some(*m_stream, serializer, std::move(handler)); });
        if (out.ec) {
            out.step = Step::WRITE;
            return false;
        }
    }
    return true;
}

error_code Connection::readSome(Parser& parser, std::size_t& received, std::size_t& consumed)
{
    const std::size_t before = m_buffer.size();
    consumed = 0;
    const error_code ec = run([&](auto handler) {
        http::async_read_some(*m_stream, m_buffer, parser, [&consumed, handler](error_code e, std::size_t n) mutable {
            consumed = n;
            handler(e);
        });
    });
    // What the parser took plus what it left in the buffer.
    received = m_buffer.size() + consumed - before;
    return ec;
}

bool Connection::readAnswer(const Settings& settings, Parser& parser, Outcome& out, std::size_t& wireBytes)
{
    beast::tcp_stream& transport = beast::get_lowest_layer(*m_stream);
    const std::size_t bufferedBefore = m_buffer.size();
    Pace pace(settings);
    while (!parser.is_done()) {
        const clock::time_point expiry = readExpiry(settings, pace, out.tooSlow);
        if (expiry == clock::time_point::max())
            transport.expires_never();
        else
            transport.expires_at(expiry);
        std::size_t received = 0;
        std::size_t consumed = 0;
        out.ec = readSome(parser, received, consumed);
        wireBytes += consumed;
        pace.received(received, clock::now());
        if (!out.ec)
            continue;
        if (truncationEndsBody(parser, out.ec)) {
            out.ec = {};
            return true;
        }
        out.step = Step::READ;
        out.answerStarted = parser.got_some() || m_buffer.size() > bufferedBefore;
        out.tooSlow = out.tooSlow && isTimeout(out.ec);
        out.detail = parser.get().body().problem;
        if (out.detail.empty() && out.ec == http::error::body_limit)
            out.detail = "the body exceeds the limit of " + std::to_string(settings.maxResponseSize) + " bytes";
        return false;
    }
    return true;
}

// The fields as received, less the Content-Encoding the body was inflated
// from: the content no longer is in it.
void Connection::takeAnswer(Parser& parser, Answer& answer)
{
    auto& res = parser.get();
    BodyValue& body = res.body();
    answer.httpVersion = std::to_string(res.version() / 10) + "." + std::to_string(res.version() % 10);
    answer.status = std::to_string(res.result_int()) + " " + std::string(res.reason());
    for (const auto& field : res.base()) {
        if (!body.encoding.empty() && field.name() == http::field::content_encoding)
            continue;
        answer.fields.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    answer.body = std::move(body.text);
    answer.encoding = std::move(body.encoding);
    answer.bodyWireBytes = static_cast<std::size_t>(body.wireBytes);
}

Connection::Outcome Connection::transact(const Settings& settings, http::request<http::string_body>& req, bool head,
                                         Answer& answer, bool& keepAlive)
{
    Outcome out;
    if (!sendRequest(settings, req, out))
        return out;

    Parser parser;
    // Neither the body as it arrives nor as it is stored may pass the limit;
    // a Content-Length over it fails before a byte of the body is read.
    parser.body_limit(settings.maxResponseSize);
    parser.get().body().limit = settings.maxResponseSize;
    parser.header_limit(HEADER_LIMIT);
    if (head)
        parser.skip(true);  // an answer to HEAD announces a body it does not carry
    std::size_t wireBytes = 0;
    if (!readAnswer(settings, parser, out, wireBytes))
        return out;
    takeAnswer(parser, answer);
    answer.wireBytes = wireBytes;
    keepAlive = parser.get().keep_alive() && !parser.need_eof();
    return out;
}

Answer Connection::exchange(const Settings& settings, const std::string& method, const std::string& target,
                            const std::string& body, const std::vector<std::pair<std::string, std::string>>& fields)
{
    // A connection opened another way than now configured is not the way to go.
    if (m_stream && settings.proxy != m_openProxy)
        close(true);

    http::request<http::string_body> req;
    req.method_string(method);
    req.target(target);
    req.version(11);
    bool callerHost = false;
    for (const auto& f : fields)
        callerHost = callerHost || beast::iequals(f.first, "Host");
    if (!callerHost)
        req.set(http::field::host, m_endpoint.hostHeader());
    for (const auto& f : fields) {
        if (!body.empty() && beast::iequals(f.first, "Content-Length"))
            continue;  // ours is exact
        req.insert(f.first, f.second);
    }
    if (!body.empty()) {
        req.body() = body;
        req.content_length(body.size());
    }
    const bool head = req.method() == http::verb::head;

    for (int attempt = 0;; ++attempt) {
        const bool reused = static_cast<bool>(m_stream);
        if (!reused)
            open(settings);

        Answer answer;
        bool keepAlive = false;
        const Outcome out = transact(settings, req, head, answer, keepAlive);
        if (!out.ec) {
            if (!keepAlive)
                close(true);
            return answer;
        }
        // Never reuse a stream that failed.
        close(false);
        // A kept-alive connection the peer dropped while idle fails before any
        // answer arrives: open a new one and send again, once.
        const bool stale =
            out.step == Step::WRITE ? !isTimeout(out.ec) : !out.answerStarted && isStaleConnection(out.ec);
        if (reused && attempt == 0 && stale)
            continue;
        fail(out.step, out.ec, settings, m_endpoint, out.detail, out.tooSlow);
    }
}

void Connection::close(bool graceful) noexcept
{
    if (!m_stream)
        return;
    beast::tcp_stream& transport = beast::get_lowest_layer(*m_stream);
    if (graceful) {
        try {
            // Send close_notify and wait briefly for the peer's. Any error is
            // moot (the socket closes next), stream_truncated being the usual
            // one when the peer just drops TCP.
            transport.expires_after(SHUTDOWN_TIMEOUT);
            const error_code ec = run([&](auto handler) { m_stream->async_shutdown(std::move(handler)); });
            (void)ec;
        } catch (...) {
            // close() must not throw; it runs from the destructor.
        }
    }
    error_code ignored;
    transport.socket().shutdown(tcp::socket::shutdown_both, ignored);
    transport.socket().close(ignored);
    m_stream.reset();
    m_buffer.clear();
    m_openProxy.clear();
}

}  // namespace nerivo_https
