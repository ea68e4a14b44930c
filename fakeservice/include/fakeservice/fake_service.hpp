#pragma once
// An in-process stand-in for the Nerivo Water cloud service, for tests and
// for the simulator. It listens on 127.0.0.1 only, speaks HTTPS with a
// certificate from a test CA generated at start-up, and also acts as an HTTP
// CONNECT proxy whose tunnels end at the same HTTPS server, so one instance
// covers direct and proxied clients.
//
// Every member function is thread-safe.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fakeservice {

struct Header {
    std::string name;
    std::string value;
};

// How the body of an answer is delimited on the wire.
enum class Framing {
    CONTENT_LENGTH,   // Content-Length header (the default)
    CHUNKED,          // Transfer-Encoding: chunked, body split into a few chunks
    CLOSE_DELIMITED,  // no length at all; the connection is closed after the body
};

// A scripted answer. Content-Type: application/json is added unless headers
// name a Content-Type; the framing headers (Content-Length,
// Transfer-Encoding) are added unless headers already name them, so a test
// may send inconsistent ones on purpose. A request offering gzip or deflate
// in Accept-Encoding gets a non-empty body compressed, with its
// Content-Encoding, unless compress is false or headers name a
// Content-Encoding: then body goes as given, so a test can send any bytes
// under any coding.
struct Answer {
    int status = 200;
    std::string reason;  // empty: the standard reason phrase for status
    std::vector<Header> headers;
    std::string body;
    Framing framing = Framing::CONTENT_LENGTH;
    std::chrono::milliseconds delay{0};  // wait before answering (cut short by stop())
    bool close = false;                  // send "Connection: close" and close after the answer
    // Faults. At most one should be set.
    bool closeMidBody = false;       // announce the full length, send half the body, drop the connection
    bool stall = false;              // never answer; the connection is held until stop()
    bool closeBeforeAnswer = false;  // drop the connection without a byte of answer
    // Send the whole answer, status line included, trickleBytes at a time
    // with tricklePause before each piece (cut short by stop()); 0: at once.
    std::size_t trickleBytes = 0;
    std::chrono::milliseconds tricklePause{0};
    // Send the body, then hold the connection until stop() without ending
    // the answer: with CHUNKED or CLOSE_DELIMITED framing it never ends.
    bool neverEnd = false;
    bool compress = true;

    static Answer json(std::string body, int status = 200);
};

// One request as received.
struct Request {
    std::uint64_t connectionId = 0;
    bool viaTunnel = false;  // arrived through a CONNECT tunnel
    std::string method;
    std::string target;           // exactly as sent, e.g. "https://api.nerivowater.com/api/sites?x=1"
    std::string version;          // "1.1" or "1.0"
    std::vector<Header> headers;  // in order received
    std::string body;
    // How it was answered, set before the answer goes out: the coding the
    // fake compressed the body with (empty: none of its own), and the bytes
    // of body sent, compressed and without chunk framing.
    std::string answerEncoding;
    std::size_t answerBodyBytes = 0;

    // The target without "scheme://authority" and without the query, e.g. "/api/sites".
    std::string path() const;
    // The text after '?' (up to any '#'), empty when there is none.
    std::string query() const;
    // The value of the first header of that name (case-insensitive).
    std::optional<std::string> header(const std::string& name) const;
};

// One accepted TCP connection.
struct Connection {
    std::uint64_t id = 0;
    bool viaTunnel = false;       // a CONNECT was accepted and TLS was served in the tunnel
    bool tunnelRefused = false;   // a CONNECT was refused (403)
    bool tlsEstablished = false;  // the TLS handshake completed
    bool open = true;             // the server has not closed it yet
    // The plain-HTTP request line the connection started with (for a proxy
    // client "CONNECT api.nerivowater.com:443 HTTP/1.1"), and its headers;
    // empty when the client started with TLS.
    std::string proxyRequestLine;
    std::vector<Header> proxyHeaders;
    std::size_t requestsServed = 0;  // HTTP requests read over TLS
};

struct Options {
    // Serve a self-signed certificate from another, unrelated CA, so that a
    // client trusting caFile() must reject it.
    bool untrustedCertificate = false;
    // Answer CONNECT with 403 Forbidden and close.
    bool refuseTunnels = false;
    // When not empty, a CONNECT without "Proxy-Authorization: Basic" of
    // exactly these "user:password" is answered 407 and closed.
    std::string proxyCredentials;
    // Added to the server certificate's subjectAltName besides
    // api.nerivowater.com, localhost and 127.0.0.1; IP literals become IP entries.
    std::vector<std::string> extraNames;
    // Port on 127.0.0.1; 0 lets the system pick one (tests must keep 0).
    std::uint16_t port = 0;
};

// The three forms a compressed body may take on the wire.
enum class Coding {
    GZIP,         // Content-Encoding: gzip
    ZLIB,         // Content-Encoding: deflate, as the standard has it
    RAW_DEFLATE,  // Content-Encoding: deflate, as some servers send it
};
// body compressed by zlib in that form.
std::string compressed(const std::string& body, Coding coding);
// The coding an Accept-Encoding value asks for: "gzip", "deflate" or empty,
// by q-value (gzip on a tie), q=0 refusing and "*" standing for the unnamed.
std::string preferredCoding(const std::string& acceptEncoding);

class FakeService {
public:
    // Called for requests without a scripted answer, possibly from several
    // connection threads at once: it must be thread-safe, and must not call
    // stop(). An exception it throws becomes a 500 answer.
    using Handler = std::function<Answer(const Request&)>;

    // Generates the certificates, writes the CA file and starts listening;
    // connections are accepted once it returns. Throws std::runtime_error
    // (or boost::system::system_error) when any of that fails.
    explicit FakeService(Options options = Options());
    ~FakeService();  // stop(), then removes the CA file
    FakeService(const FakeService&) = delete;
    FakeService& operator=(const FakeService&) = delete;

    std::uint16_t port() const;
    std::string hostPort() const;  // "127.0.0.1:<port>"
    // PEM file holding the trusted test CA: point SSL_CERT_FILE (or a
    // client's verify file) at it.
    const std::string& caFile() const;
    std::string caPem() const;

    // Closes the listener and every connection, wakes stalled and delayed
    // answers, and joins all threads. Idempotent.
    void stop();

    // Answer for requests whose target equals target exactly (replaces any
    // earlier script for it). With several answers they are used in turn and
    // the last one repeats. Scripts take precedence over the handler; without
    // either the answer is 404 {"error":"not found"}.
    void script(const std::string& target, Answer answer);
    void script(const std::string& target, std::vector<Answer> answers);
    void clearScripts();
    void setHandler(Handler handler);  // an empty handler removes it
    void setRefuseTunnels(bool refuse);

    // Copies of what has been received so far, in arrival order.
    std::vector<Request> requests() const;
    std::vector<Connection> connections() const;
    void clearRecords();
    // Waits until at least n requests have been recorded (since the last
    // clearRecords()); false on time-out.
    bool waitForRequests(std::size_t n, std::chrono::milliseconds timeout) const;

    // Closes, from the server side, every kept-alive connection currently
    // waiting for its next request (TLS close_notify, then TCP close), and
    // returns once they are closed and the threads of every ended connection
    // joined, so their descriptors are gone. Returns how many were closed.
    std::size_t closeIdleConnections();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace fakeservice
