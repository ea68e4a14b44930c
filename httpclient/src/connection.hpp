#pragma once
// One kept-alive TLS connection to the API host, directly or through an HTTP
// CONNECT proxy. Internal to nerivo_https: Client<HTTPS> only adapts its
// arguments and results.
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include "inflating_body.hpp"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace nerivo_https {

struct Endpoint {
    std::string host;  // as a name or IP literal, IPv6 without brackets
    unsigned short port = 0;
    bool ipLiteral = false;

    std::string authority() const;   // host:port, IPv6 in brackets
    std::string hostHeader() const;  // authority without the default :443
};

// "host", "host:port", "[v6]" or "[v6]:port"; throws system_error(invalid_argument).
Endpoint parseEndpoint(const std::string& text, unsigned short defaultPort);

struct TlsOptions {
    bool verify = true;
    std::string certificateFile;
    std::string privateKeyFile;
    std::string verifyFile;
};

// The caller's Config, read afresh for every request.
struct Settings {
    std::string proxy;  // [user:password@]host[:port]
    long timeoutConnect = 0;
    long timeout = 0;
    std::size_t lowSpeedBytes = 0;
    std::chrono::milliseconds lowSpeedWindow{0};
    std::size_t maxResponseSize = 0;  // of the body as stored, i.e. inflated
};

// A proxy setting split into its hop and its credentials ("user:password",
// empty when none were written).
struct ProxyHop {
    Endpoint hop;
    std::string credentials;
};
ProxyHop parseProxy(const std::string& text);

struct Answer {
    std::string httpVersion;
    std::string status;
    std::vector<std::pair<std::string, std::string>> fields;  // less the Content-Encoding inflated
    std::string body;                                         // inflated
    std::string encoding;                                     // the coding inflated; empty: none
    std::size_t wireBytes = 0;                                // status line, fields and framed body, as read from TLS
    std::size_t bodyWireBytes = 0;  // the body as it arrived, compressed, without chunk framing
};

class Connection {
public:
    Connection(Endpoint endpoint, const TlsOptions& tls);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Answer exchange(const Settings& settings, const std::string& method, const std::string& target,
                    const std::string& body, const std::vector<std::pair<std::string, std::string>>& fields);

private:
    using Stream = boost::beast::ssl_stream<boost::beast::tcp_stream>;
    using Parser = boost::beast::http::response_parser<InflatingBody>;
    enum class Step { RESOLVE, CONNECT, TUNNEL, HANDSHAKE, WRITE, READ };
    struct Outcome {
        boost::system::error_code ec;
        Step step = Step::WRITE;
        bool answerStarted = false;  // some byte of the answer arrived
        bool tooSlow = false;        // the low-speed rule, not a stall, ran out the time
        std::string detail;          // what was wrong with the body
    };

    template <class Initiate>
    boost::system::error_code run(Initiate&& initiate);

    // Resolve, connect, tunnel when through a proxy, then the TLS handshake,
    // all within one connect deadline.
    void open(const Settings& settings);
    boost::asio::ip::tcp::resolver::results_type resolve(const Settings& settings, const Endpoint& hop, bool limited,
                                                         std::chrono::steady_clock::time_point deadline);
    void connect(const Settings& settings, const Endpoint& hop, boost::beast::tcp_stream& transport,
                 const boost::asio::ip::tcp::resolver::results_type& results);
    void prepareVerification(const Settings& settings, const Endpoint& hop, Stream& stream);
    void handshake(const Settings& settings, const Endpoint& hop, Stream& stream);
    // One request and its answer, each I/O step its own function: the writes,
    // then the reads, each read under the stall limit or the low-speed rule.
    bool sendRequest(const Settings& settings, boost::beast::http::request<boost::beast::http::string_body>& req,
                     Outcome& out);
    // received: bytes read from TLS; consumed: those the parser took.
    boost::system::error_code readSome(Parser& parser, std::size_t& received, std::size_t& consumed);
    bool readAnswer(const Settings& settings, Parser& parser, Outcome& out, std::size_t& wireBytes);
    Outcome transact(const Settings& settings, boost::beast::http::request<boost::beast::http::string_body>& req,
                     bool head, Answer& answer, bool& keepAlive);
    void close(bool graceful) noexcept;
    [[noreturn]] void fail(Step step, const boost::system::error_code& ec, const Settings& settings,
                           const Endpoint& hop, const std::string& detail = std::string(), bool tooSlow = false) const;
    static void takeAnswer(Parser& parser, Answer& answer);
    void tunnel(const Settings& settings, const ProxyHop& proxy, boost::beast::tcp_stream& transport,
                const std::function<void()>& arm);

    Endpoint m_endpoint;
    bool m_verify;
    // Declared before the stream so it outlives it.
    boost::asio::io_context m_ioc{1};
    boost::asio::ssl::context m_ctx;
    std::unique_ptr<Stream> m_stream;
    boost::beast::flat_buffer m_buffer;
    std::string m_openProxy;      // proxy the open connection went through; empty: direct
    bool m_nameMismatch = false;  // set by the verify callback during a handshake
};

}  // namespace nerivo_https
