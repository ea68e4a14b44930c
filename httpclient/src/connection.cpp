// Each I/O step is an asynchronous Beast/Asio operation run to completion on
// the connection's own io_context; tcp_stream's expiry gives the time-outs.
#include "connection.hpp"

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

// Answers can be whole exports; Beast's default 8 MiB would cut them off.
constexpr std::uint64_t kBodyLimit = 512ull * 1024 * 1024;
constexpr std::uint32_t kHeaderLimit = 64 * 1024;
// A peer that never answers close_notify must not hold up close() for long.
constexpr std::chrono::milliseconds kShutdownTimeout{1000};

bool is_timeout(const error_code& ec) {
    return ec == beast::error::timeout;
}

// Errors that mean the peer had already dropped a kept-alive connection.
bool is_stale_connection(const error_code& ec) {
    return ec == http::error::end_of_stream || ec == asio::error::eof || ec == asio::error::connection_reset ||
           ec == asio::error::connection_aborted || ec == asio::error::broken_pipe ||
           ec == ssl::error::stream_truncated;
}

}  // namespace

std::string Endpoint::authority() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string Endpoint::host_header() const {
    if (port == 443) {
        const bool v6 = host.find(':') != std::string::npos;
        return v6 ? "[" + host + "]" : host;
    }
    return authority();
}

Endpoint parse_endpoint(const std::string& text, unsigned short default_port) {
    auto invalid = [&text]() {
        return system_error(make_error_code(boost::system::errc::invalid_argument),
                            "invalid host[:port] \"" + text + "\"");
    };
    Endpoint ep;
    std::string port_text;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos) throw invalid();
        ep.host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') throw invalid();
            port_text = text.substr(close + 2);
            if (port_text.empty()) throw invalid();
        }
    } else {
        const auto colon = text.rfind(':');
        if (colon != std::string::npos && text.find(':') == colon) {
            ep.host = text.substr(0, colon);
            port_text = text.substr(colon + 1);
            if (port_text.empty()) throw invalid();
        } else {
            ep.host = text;  // a bare IPv6 literal has several colons and no port
        }
    }
    if (ep.host.empty()) throw invalid();
    ep.port = default_port;
    if (!port_text.empty()) {
        if (port_text.size() > 5 || port_text.find_first_not_of("0123456789") != std::string::npos) throw invalid();
        const unsigned long n = std::strtoul(port_text.c_str(), nullptr, 10);
        if (n == 0 || n > 65535) throw invalid();
        ep.port = static_cast<unsigned short>(n);
    }
    error_code ec;
    asio::ip::make_address(ep.host, ec);
    ep.ip_literal = !ec;
    return ep;
}

ProxyHop parse_proxy(const std::string& text) {
    // The last '@' ends the credentials, so a password may hold one.
    const auto at = text.rfind('@');
    ProxyHop proxy;
    if (at == std::string::npos) {
        proxy.hop = parse_endpoint(text, 80);
        return proxy;
    }
    proxy.credentials = text.substr(0, at);
    if (proxy.credentials.find(':') == std::string::npos)
        throw system_error(make_error_code(boost::system::errc::invalid_argument),
                           "the proxy credentials must be written user:password");
    proxy.hop = parse_endpoint(text.substr(at + 1), 80);
    return proxy;
}

namespace {

std::string basic_credentials(const std::string& user_password) {
    std::string out(4 * ((user_password.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(user_password.data()),
                                  static_cast<int>(user_password.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return "Basic " + out;
}

using clock = std::chrono::steady_clock;

// The low-speed rule over the answer: its window opens with the first byte
// and starts afresh each time it has seen low_speed_bytes, so the time
// between two such marks can never exceed the window.
class Pace {
public:
    explicit Pace(const Settings& s) : min_bytes_(s.low_speed_bytes), window_(s.low_speed_window) {}

    void received(std::size_t n, clock::time_point now) {
        if (n == 0 || window_.count() <= 0) return;
        if (!started_) start_ = now;
        started_ = true;
        got_ += n;
        if (got_ >= min_bytes_) {
            got_ = 0;
            start_ = now;
        }
    }
    bool active() const { return started_; }
    clock::time_point deadline() const { return start_ + window_; }

private:
    std::size_t min_bytes_;
    std::chrono::milliseconds window_;
    bool started_ = false;
    std::size_t got_ = 0;
    clock::time_point start_;
};

std::string duration_text(std::chrono::milliseconds d) {
    if (d.count() % 1000 == 0) return std::to_string(d.count() / 1000) + " s";
    return std::to_string(d.count()) + " ms";
}

}  // namespace

Connection::Connection(Endpoint endpoint, const TlsOptions& tls)
    : endpoint_(std::move(endpoint)), verify_(tls.verify), ctx_(ssl::context::tls_client) {
    SSL_CTX_set_min_proto_version(ctx_.native_handle(), TLS1_2_VERSION);
    auto check = [](const error_code& ec, const std::string& what) {
        if (ec) throw system_error(ec, what);
    };
    error_code ec;
    if (verify_) {
        // OpenSSL's default paths honour SSL_CERT_FILE / SSL_CERT_DIR.
        ctx_.set_default_verify_paths(ec);
        check(ec, "loading the default trust store");
        if (!tls.verify_file.empty()) {
            ctx_.load_verify_file(tls.verify_file, ec);
            check(ec, "loading trusted certificates from " + tls.verify_file);
        }
    }
    if (!tls.certificate_file.empty()) {
        ctx_.use_certificate_chain_file(tls.certificate_file, ec);
        check(ec, "loading the client certificate " + tls.certificate_file);
        // Without a separate key file the key is expected next to the certificate.
        const std::string& key = tls.private_key_file.empty() ? tls.certificate_file : tls.private_key_file;
        ctx_.use_private_key_file(key, ssl::context::pem, ec);
        check(ec, "loading the client private key " + key);
    }
}

Connection::~Connection() {
    close(true);
}

template <class Initiate>
error_code Connection::run(Initiate&& initiate) {
    error_code result;
    initiate([&result](error_code ec, auto&&...) { result = ec; });
    ioc_.restart();
    ioc_.run();
    return result;
}

void Connection::fail(Step step, const error_code& ec, const Settings& settings, const Endpoint& hop,
                      const std::string& detail, bool too_slow) const {
    std::string what;
    switch (step) {
    case Step::resolve: what = "resolving " + hop.host; break;
    case Step::connect: what = "connecting to " + hop.authority(); break;
    case Step::tunnel:
        what = "opening a tunnel to " + endpoint_.authority() + " through proxy " + hop.authority();
        break;
    case Step::handshake: what = "performing the TLS handshake with " + endpoint_.authority(); break;
    case Step::write: what = "sending the request to " + endpoint_.authority(); break;
    case Step::read: what = "reading the answer from " + endpoint_.authority(); break;
    }
    if (too_slow) {
        what = "request to " + endpoint_.host + " timed out: fewer than " + std::to_string(settings.low_speed_bytes) +
               " bytes arrived in " + duration_text(settings.low_speed_window) + " while " + what;
    } else if (is_timeout(ec)) {
        const bool connecting = step != Step::write && step != Step::read;
        const long seconds = connecting ? settings.timeout_connect : settings.timeout;
        what = "request to " + endpoint_.host + " timed out after " + std::to_string(seconds) + " s while " + what;
    } else {
        what += " failed";
    }
    if (!detail.empty()) what += " (" + detail + ")";
    throw system_error(ec, what);
}

void Connection::open(const Settings& settings) {
    const bool limited = settings.timeout_connect > 0;
    const clock::time_point deadline = clock::now() + std::chrono::seconds(limited ? settings.timeout_connect : 0);

    const bool via_proxy = !settings.proxy.empty();
    const ProxyHop proxy = via_proxy ? parse_proxy(settings.proxy) : ProxyHop{endpoint_, std::string()};
    const Endpoint& hop = proxy.hop;

    auto stream = std::make_unique<Stream>(ioc_, ctx_);
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
    if (via_proxy) tunnel(settings, proxy, transport, arm);
    prepare_verification(settings, hop, *stream);
    arm();
    handshake(settings, hop, *stream);

    transport.expires_never();
    stream_ = std::move(stream);
    buffer_.clear();
    open_proxy_ = settings.proxy;
}

// The first hop is the proxy when there is one, so the API host name never has
// to resolve locally. getaddrinfo cannot be interrupted, so the deadline is
// checked once it returns.
tcp::resolver::results_type Connection::resolve(const Settings& settings, const Endpoint& hop, bool limited,
                                                clock::time_point deadline) {
    tcp::resolver resolver(ioc_);
    tcp::resolver::results_type results;
    const error_code ec = run([&](auto handler) {
        resolver.async_resolve(hop.host, std::to_string(hop.port), tcp::resolver::numeric_service,
                               [&results, handler](error_code e, tcp::resolver::results_type r) mutable {
                                   results = std::move(r);
                                   handler(e);
                               });
    });
    if (ec) fail(Step::resolve, ec, settings, hop);
    if (limited && clock::now() >= deadline) fail(Step::resolve, beast::error::timeout, settings, hop);
    return results;
}

// To the first address that accepts.
void Connection::connect(const Settings& settings, const Endpoint& hop, beast::tcp_stream& transport,
                         const tcp::resolver::results_type& results) {
    error_code ec = run([&](auto handler) { transport.async_connect(results, std::move(handler)); });
    if (ec) fail(Step::connect, ec, settings, hop);
    // Requests are small writes answered at once; Nagle would hold them back.
    transport.socket().set_option(tcp::no_delay(true), ec);
}

// Certificate and name checks are against the API host, also through a proxy.
void Connection::prepare_verification(const Settings& settings, const Endpoint& hop, Stream& stream) {
    SSL* ssl_handle = stream.native_handle();
    if (verify_) {
        stream.set_verify_mode(ssl::verify_peer);
        if (endpoint_.ip_literal) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_handle), endpoint_.host.c_str());
        } else {
            stream.set_verify_callback(
                [this, check = ssl::host_name_verification(endpoint_.host)](bool preverified,
                                                                            ssl::verify_context& vc) {
                    const bool ok = check(preverified, vc);
                    if (preverified && !ok) name_mismatch_ = true;
                    return ok;
                });
        }
    } else {
        stream.set_verify_mode(ssl::verify_none);
    }
    // SNI carries host names only, never IP literals.
    if (!endpoint_.ip_literal && !SSL_set_tlsext_host_name(ssl_handle, endpoint_.host.c_str())) {
        fail(Step::handshake, error_code(static_cast<int>(::ERR_get_error()), asio::error::get_ssl_category()),
             settings, hop, "setting the server name");
    }
}

void Connection::handshake(const Settings& settings, const Endpoint& hop, Stream& stream) {
    name_mismatch_ = false;
    const error_code ec =
        run([&](auto handler) { stream.async_handshake(ssl::stream_base::client, std::move(handler)); });
    if (!ec) return;
    std::string detail;
    const long verify_result = SSL_get_verify_result(stream.native_handle());
    if (name_mismatch_)
        detail = "certificate verification: the certificate does not name " + endpoint_.host;
    else if (verify_ && verify_result != X509_V_OK)
        detail = std::string("certificate verification: ") + X509_verify_cert_error_string(verify_result) +
                 "; a private CA is trusted by naming its PEM file in SSL_CERT_FILE";
    fail(Step::handshake, ec, settings, hop, detail);
}

// Asks the proxy for a tunnel to the API host on the freshly connected
// socket; the caller's deadline stays armed throughout.
void Connection::tunnel(const Settings& settings, const ProxyHop& proxy, beast::tcp_stream& transport,
                        const std::function<void()>& arm) {
    http::request<http::empty_body> connect_req{http::verb::connect, endpoint_.authority(), 11};
    connect_req.set(http::field::host, endpoint_.authority());
    if (!proxy.credentials.empty()) connect_req.set(http::field::proxy_authorization, basic_credentials(proxy.credentials));
    arm();
    error_code ec = run([&](auto handler) { http::async_write(transport, connect_req, std::move(handler)); });
    if (ec) fail(Step::tunnel, ec, settings, proxy.hop);

    // Read the proxy's answer; a 2xx answer to CONNECT has no body.
    beast::flat_buffer tunnel_buffer;
    http::response_parser<http::empty_body> tunnel_parser;
    tunnel_parser.skip(true);
    ec = run([&](auto handler) { http::async_read(transport, tunnel_buffer, tunnel_parser, std::move(handler)); });
    if (ec) fail(Step::tunnel, ec, settings, proxy.hop);
    const auto& answer = tunnel_parser.get();
    if (answer.result_int() / 100 == 2) return;
    const std::string status_line = "HTTP/" + std::to_string(answer.version() / 10) + "." +
                                    std::to_string(answer.version() % 10) + " " +
                                    std::to_string(answer.result_int()) + " " + std::string(answer.reason());
    std::string why;
    if (answer.result_int() == 407)
        why = proxy.credentials.empty() ? "; the proxy asks for credentials: write them as user:password@host:port"
                                        : "; the proxy did not accept the credentials given";
    // The OS error nearest in meaning; the proxy's status line says the rest.
    throw system_error(make_error_code(boost::system::errc::connection_refused),
                       "proxy " + proxy.hop.authority() + " refused the tunnel to " + endpoint_.authority() +
                           " with \"" + status_line + "\"" + why);
}

namespace {

// Whichever comes first: the stall limit or the end of the low-speed window;
// too_slow tells which.
clock::time_point read_expiry(const Settings& settings, const Pace& pace, bool& too_slow) {
    clock::time_point expiry = settings.timeout > 0 ? clock::now() + std::chrono::seconds(settings.timeout)
                                                    : clock::time_point::max();
    too_slow = pace.active() && pace.deadline() <= expiry;
    if (too_slow) expiry = pace.deadline();
    return expiry;
}

// A peer that ends a close-delimited body by dropping TCP without
// close_notify leaves stream_truncated where the parser wants EOF.
bool truncation_ends_body(http::response_parser<http::string_body>& parser, const error_code& ec) {
    if (ec != ssl::error::stream_truncated || !parser.is_header_done()) return false;
    error_code eof_ec;
    parser.put_eof(eof_ec);
    return !eof_ec && parser.is_done();
}

}  // namespace

bool Connection::send_request(const Settings& settings, http::request<http::string_body>& req, Outcome& out) {
    beast::tcp_stream& transport = beast::get_lowest_layer(*stream_);
    http::request_serializer<http::string_body> serializer{req};
    while (!serializer.is_done()) {
        // The timer restarts before every write, so only a stall runs out the time.
        if (settings.timeout > 0)
            transport.expires_after(std::chrono::seconds(settings.timeout));
        else
            transport.expires_never();
        out.ec = run([&](auto handler) { http::async_write_some(*stream_, serializer, std::move(handler)); });
        if (out.ec) {
            out.step = Step::write;
            return false;
        }
    }
    return true;
}

error_code Connection::read_some(http::response_parser<http::string_body>& parser, std::size_t& received) {
    const std::size_t before = buffer_.size();
    std::size_t consumed = 0;
    const error_code ec = run([&](auto handler) {
        http::async_read_some(*stream_, buffer_, parser, [&consumed, handler](error_code e, std::size_t n) mutable {
            consumed = n;
            handler(e);
        });
    });
    // What the parser took plus what it left in the buffer.
    received = buffer_.size() + consumed - before;
    return ec;
}

bool Connection::read_answer(const Settings& settings, http::response_parser<http::string_body>& parser,
                             Outcome& out) {
    beast::tcp_stream& transport = beast::get_lowest_layer(*stream_);
    const std::size_t buffered_before = buffer_.size();
    Pace pace(settings);
    while (!parser.is_done()) {
        const clock::time_point expiry = read_expiry(settings, pace, out.too_slow);
        if (expiry == clock::time_point::max())
            transport.expires_never();
        else
            transport.expires_at(expiry);
        std::size_t received = 0;
        out.ec = read_some(parser, received);
        pace.received(received, clock::now());
        if (!out.ec) continue;
        if (truncation_ends_body(parser, out.ec)) {
            out.ec = {};
            return true;
        }
        out.step = Step::read;
        out.answer_started = parser.got_some() || buffer_.size() > buffered_before;
        out.too_slow = out.too_slow && is_timeout(out.ec);
        return false;
    }
    return true;
}

Connection::Outcome Connection::transact(const Settings& settings, http::request<http::string_body>& req, bool head,
                                         Answer& answer, bool& keep_alive) {
    Outcome out;
    if (!send_request(settings, req, out)) return out;

    http::response_parser<http::string_body> parser;
    parser.body_limit(kBodyLimit);
    parser.header_limit(kHeaderLimit);
    if (head) parser.skip(true);  // an answer to HEAD announces a body it does not carry
    if (!read_answer(settings, parser, out)) return out;

    auto& res = parser.get();
    answer.http_version = std::to_string(res.version() / 10) + "." + std::to_string(res.version() % 10);
    answer.status = std::to_string(res.result_int()) + " " + std::string(res.reason());
    for (const auto& field : res.base())
        answer.fields.emplace_back(std::string(field.name_string()), std::string(field.value()));
    answer.body = std::move(res.body());
    keep_alive = res.keep_alive() && !parser.need_eof();
    return out;
}

Answer Connection::exchange(const Settings& settings, const std::string& method, const std::string& target,
                            const std::string& body,
                            const std::vector<std::pair<std::string, std::string>>& fields) {
    // A connection opened another way than now configured is not the way to go.
    if (stream_ && settings.proxy != open_proxy_) close(true);

    http::request<http::string_body> req;
    req.method_string(method);
    req.target(target);
    req.version(11);
    bool caller_host = false;
    for (const auto& f : fields) caller_host = caller_host || beast::iequals(f.first, "Host");
    if (!caller_host) req.set(http::field::host, endpoint_.host_header());
    for (const auto& f : fields) {
        if (!body.empty() && beast::iequals(f.first, "Content-Length")) continue;  // ours is exact
        req.insert(f.first, f.second);
    }
    if (!body.empty()) {
        req.body() = body;
        req.content_length(body.size());
    }
    const bool head = req.method() == http::verb::head;

    for (int attempt = 0;; ++attempt) {
        const bool reused = static_cast<bool>(stream_);
        if (!reused) open(settings);

        Answer answer;
        bool keep_alive = false;
        const Outcome out = transact(settings, req, head, answer, keep_alive);
        if (!out.ec) {
            if (!keep_alive) close(true);
            return answer;
        }
        // Never reuse a stream that failed.
        close(false);
        // A kept-alive connection the peer dropped while idle fails before any
        // answer arrives: open a new one and send again, once.
        const bool stale = out.step == Step::write ? !is_timeout(out.ec)
                                                   : !out.answer_started && is_stale_connection(out.ec);
        if (reused && attempt == 0 && stale) continue;
        fail(out.step, out.ec, settings, endpoint_, std::string(), out.too_slow);
    }
}

void Connection::close(bool graceful) noexcept {
    if (!stream_) return;
    beast::tcp_stream& transport = beast::get_lowest_layer(*stream_);
    if (graceful) {
        try {
            // Send close_notify and wait briefly for the peer's. Any error is
            // moot (the socket closes next), stream_truncated being the usual
            // one when the peer just drops TCP.
            transport.expires_after(kShutdownTimeout);
            const error_code ec = run([&](auto handler) { stream_->async_shutdown(std::move(handler)); });
            (void)ec;
        } catch (...) {
            // close() must not throw; it runs from the destructor.
        }
    }
    error_code ignored;
    transport.socket().shutdown(tcp::socket::shutdown_both, ignored);
    transport.socket().close(ignored);
    stream_.reset();
    buffer_.clear();
    open_proxy_.clear();
}

}  // namespace nerivo_https
