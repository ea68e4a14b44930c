#pragma once
// A small synchronous HTTPS client: keep-alive, HTTP CONNECT proxies,
// certificate verification and time-outs. Beast and OpenSSL stay behind the
// implementation so that users of this header need neither.
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include <boost/system/system_error.hpp>

namespace SimpleWeb {

// Raised when no connection to the server could be opened (resolving,
// connecting, the proxy's tunnel, the TLS handshake), as against a request
// that failed on an open connection: the first says the server cannot be
// reached at all.
class connect_error : public boost::system::system_error {
public:
    using boost::system::system_error::system_error;
};

struct HTTPS;  // transport tag: TLS over TCP

struct CaseInsensitiveEqual {
    bool operator()(const std::string& a, const std::string& b) const noexcept;
};
struct CaseInsensitiveHash {
    std::size_t operator()(const std::string& s) const noexcept;
};
using CaseInsensitiveMultimap =
    std::unordered_multimap<std::string, std::string, CaseInsensitiveHash, CaseInsensitiveEqual>;

template <class Transport>
class Client;

template <>
class Client<HTTPS> {
public:
    class Content {
    public:
        const std::string& string() const noexcept { return m_body; }
        std::size_t size() const noexcept { return m_body.size(); }
        // Moves the body out, leaving it empty: a reader that keeps the text
        // (or parses it in place) needs no copy of it.
        std::string take() noexcept { return std::move(m_body); }
        // Sets the body: for a stand-in that answers without a network.
        void assign(std::string body) noexcept { m_body = std::move(body); }

    private:
        friend class Client<HTTPS>;
        std::string m_body;
    };

    class Response {
    public:
        std::string http_version;  // e.g. "1.1"
        std::string status_code;   // code and reason phrase, e.g. "200 OK"
        // As received, except that a Content-Encoding the body was inflated
        // from is left out (Content-Length still gives the size on the wire).
        CaseInsensitiveMultimap header;
        Content content;  // the whole body, inflated when it came gzip or deflate
        // The coding the body was inflated from, lower case ("gzip", "x-gzip",
        // "deflate"); empty when it came as is.
        std::string content_encoding;
        // Traffic, as read from the TLS layer (record overhead not counted):
        // wire_bytes is the whole answer, status line, fields and the body as
        // framed (chunk sizes included); body_wire_bytes the body alone as it
        // arrived, still compressed; body_bytes the body stored, inflated
        // (content.size() until the body is taken).
        std::size_t wire_bytes = 0;
        std::size_t body_wire_bytes = 0;
        std::size_t body_bytes = 0;
    };

    class Config {
    public:
        // [user:password@]host:port of an HTTP proxy to tunnel through with
        // CONNECT (credentials go as Proxy-Authorization: Basic); empty: direct.
        std::string proxy_server;
        // Seconds allowed to resolve, connect, tunnel and handshake together; 0: no limit.
        long timeout_connect = 0;
        // Seconds a request may go without progress; 0: no limit.
        long timeout = 0;
        // Once the answer has started to arrive, fewer than low_speed_bytes in
        // any low_speed_window fails the request, so a trickle cannot hold it
        // for ever; a zero window: no such rule.
        std::size_t low_speed_bytes = 1024;
        std::chrono::milliseconds low_speed_window{0};
        // The most bytes a body may hold once inflated (and may arrive as): an
        // answer announcing more fails at once, and one of unknown length as
        // soon as it passes it, so one answer never takes much more memory.
        static constexpr std::size_t BODY_LIMIT = std::size_t{64} * 1024 * 1024;
        std::size_t max_response_size = BODY_LIMIT;
    };

    Config config;

    // server_port_path: "host" or "host:port" (port 443 when left out).
    // With verify_certificate the server's chain is checked against the system
    // trust store (and verify_file when given) and its name against host.
    // certification_file and private_key_file name a client certificate.
    explicit Client(const std::string& server_port_path, bool verify_certificate = true,
                    const std::string& certification_file = std::string(),
                    const std::string& private_key_file = std::string(),
                    const std::string& verify_file = std::string());
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Sends one request and reads the whole answer. path is the request target
    // exactly as given (an absolute URL included). No Accept-Encoding is added:
    // a caller that wants compressed answers names it in header. Throws
    // boost::system::system_error when the request cannot be completed, the
    // body is over the limit, in an unsupported Content-Encoding or corrupt.
    std::shared_ptr<Response> request(const std::string& method, const std::string& path = std::string("/"),
                                      const std::string& content = std::string(),
                                      const CaseInsensitiveMultimap& header = CaseInsensitiveMultimap());

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace SimpleWeb
