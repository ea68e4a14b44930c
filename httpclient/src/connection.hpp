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
    bool ip_literal = false;

    std::string authority() const;    // host:port, IPv6 in brackets
    std::string host_header() const;  // authority without the default :443
};

// "host", "host:port", "[v6]" or "[v6]:port"; throws system_error(invalid_argument).
Endpoint parse_endpoint(const std::string& text, unsigned short default_port);

struct TlsOptions {
    bool verify = true;
    std::string certificate_file;
    std::string private_key_file;
    std::string verify_file;
};

// The caller's Config, read afresh for every request.
struct Settings {
    std::string proxy;  // [user:password@]host[:port]
    long timeout_connect = 0;
    long timeout = 0;
    std::size_t low_speed_bytes = 0;
    std::chrono::milliseconds low_speed_window{0};
};

// A proxy setting split into its hop and its credentials ("user:password",
// empty when none were written).
struct ProxyHop {
    Endpoint hop;
    std::string credentials;
};
ProxyHop parse_proxy(const std::string& text);

struct Answer {
    std::string http_version;
    std::string status;
    std::vector<std::pair<std::string, std::string>> fields;
    std::string body;
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
    enum class Step { resolve, connect, tunnel, handshake, write, read };
    struct Outcome {
        boost::system::error_code ec;
        Step step = Step::write;
        bool answer_started = false;  // some byte of the answer arrived
        bool too_slow = false;        // the low-speed rule, not a stall, ran out the time
    };

    template <class Initiate>
    boost::system::error_code run(Initiate&& initiate);

    // Resolve, connect, tunnel when through a proxy, then the TLS handshake,
    // all within one connect deadline.
    void open(const Settings& settings);
    boost::asio::ip::tcp::resolver::results_type resolve(const Settings& settings, const Endpoint& hop,
                                                         bool limited,
                                                         std::chrono::steady_clock::time_point deadline);
    void connect(const Settings& settings, const Endpoint& hop, boost::beast::tcp_stream& transport,
                 const boost::asio::ip::tcp::resolver::results_type& results);
    void prepare_verification(const Settings& settings, const Endpoint& hop, Stream& stream);
    void handshake(const Settings& settings, const Endpoint& hop, Stream& stream);
    // One request and its answer, each I/O step its own function: the writes,
    // then the reads, each read under the stall limit or the low-speed rule.
    bool send_request(const Settings& settings, boost::beast::http::request<boost::beast::http::string_body>& req,
                      Outcome& out);
    boost::system::error_code read_some(boost::beast::http::response_parser<boost::beast::http::string_body>& parser,
                                        std::size_t& received);
    bool read_answer(const Settings& settings,
                     boost::beast::http::response_parser<boost::beast::http::string_body>& parser, Outcome& out);
    Outcome transact(const Settings& settings, boost::beast::http::request<boost::beast::http::string_body>& req,
                     bool head, Answer& answer, bool& keep_alive);
    void close(bool graceful) noexcept;
    [[noreturn]] void fail(Step step, const boost::system::error_code& ec, const Settings& settings,
                           const Endpoint& hop, const std::string& detail = std::string(),
                           bool too_slow = false) const;
    void tunnel(const Settings& settings, const ProxyHop& proxy, boost::beast::tcp_stream& transport,
                const std::function<void()>& arm);

    Endpoint endpoint_;
    bool verify_;
    // Declared before the stream so it outlives it.
    boost::asio::io_context ioc_{1};
    boost::asio::ssl::context ctx_;
    std::unique_ptr<Stream> stream_;
    boost::beast::flat_buffer buffer_;
    std::string open_proxy_;      // proxy the open connection went through; empty: direct
    bool name_mismatch_ = false;  // set by the verify callback during a handshake
};

}  // namespace nerivo_https
