#pragma once
// Inside the fake service: its state, shared by the acceptor
// (fake_service.cpp), the connections (fake_connection.cpp) and the answer
// writer (fake_answers.cpp).
#include "fakeservice/fake_service.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <thread>

namespace fakeservice {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;
using boost::system::error_code;

constexpr std::size_t HEADER_LIMIT = std::size_t{64} * 1024;
constexpr std::size_t BODY_LIMIT = std::size_t{16} * 1024 * 1024;

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
    bool finished = false;        // the thread is about to end; guarded by Impl::m_mutex
    // Where the request being answered was recorded, so its answer can be
    // noted there; guarded by Impl::m_mutex.
    std::size_t recordIndex = 0;
    std::uint64_t recordGeneration = 0;
};

// How the wait for a kept-alive connection's next request ended.
enum class NextRequest { READY, CLOSE_REQUESTED, GONE };

// How an answer goes on the wire, worked out from the script and the request.
struct AnswerPlan {
    int status = 200;
    bool bodyForbidden = false;
    bool headRequest = false;
    bool chunked = false;
    bool closeDelimited = false;
    bool close = false;
    std::string body;
    std::string encoding;  // the coding body was compressed with here; empty: as scripted
    std::size_t sendBytes = 0;
};

struct FakeService::Impl {
    Options m_options;
    std::string m_caPem;
    std::string m_caFile;
    ssl::context m_sslCtx{ssl::context::tls_server};

    net::io_context m_acceptIoc;
    tcp::acceptor m_acceptor{m_acceptIoc};
    std::uint16_t m_port = 0;
    std::thread m_acceptThread;

    std::mutex m_stopMutex;  // serialises stop() calls
    bool m_stopped = false;  // guarded by m_stopMutex

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;  // records changed, connection closed, or stopping
    bool m_stopping = false;
    bool m_refuseTunnels = false;
    struct Script {
        std::vector<Answer> answers;
        std::size_t next = 0;
    };
    std::map<std::string, Script> m_scripts;
    std::shared_ptr<const Handler> m_handler;
    std::vector<Request> m_requests;
    std::uint64_t m_recordGeneration = 0;               // counts clearRecords() calls
    std::map<std::uint64_t, Connection> m_connections;  // ordered by id, i.e. by arrival
    std::list<std::shared_ptr<ConnState>> m_live;
    std::uint64_t m_nextId = 0;

    // fake_service.cpp: accepting connections and ending them.
    void acceptLoop();
    void joinFinished(std::unique_lock<std::mutex>& lk);

    // fake_connection.cpp: one connection, plain proxy request then TLS.
    bool authorised(beast::string_view proxyAuthorization) const;
    void serve(const std::shared_ptr<ConnState>& conn);
    bool servePlain(ConnState& conn, beast::flat_buffer& buf, bool& tunnel);
    void serveTls(ConnState& conn, ssl::stream<tcp::socket&>& stream, bool tunnel);
    NextRequest awaitRequest(ConnState& conn, ssl::stream<tcp::socket&>& stream, beast::flat_buffer& buf);
    // Reads one request and records it; false when none could be read.
    bool readRequest(ConnState& conn, ssl::stream<tcp::socket&>& stream, beast::flat_buffer& buf, bool tunnel,
                     Request& req, bool& keepAlive);
    static void gracefulClose(ssl::stream<tcp::socket&>& stream);
    void updateConnection(std::uint64_t id, const std::function<void(Connection&)>& f);

    // fake_answers.cpp: choosing an answer and writing it.
    // false: the connection must end; abrupt: without close_notify.
    bool answer(ConnState& conn, ssl::stream<tcp::socket&>& stream, const Request& req, bool clientKeepsAlive,
                bool& abrupt);
    // Stall, delay and close before answering; false when the connection
    // must end without an answer.
    bool holdAnswer(const Answer& a);
    bool send(ssl::stream<tcp::socket&>& stream, const std::vector<std::string>& writes, const Answer& a);
    void noteAnswer(const ConnState& conn, const AnswerPlan& plan);
    Answer choose(const Request& req);
    bool waitUnlessStopping(std::chrono::milliseconds delay);  // false when stopping
};

}  // namespace fakeservice
