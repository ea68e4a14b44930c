#include "fake_service_impl.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <cstdio>

// The answers: the script or handler that gives one, and its bytes on the
// wire, faults included.
namespace fakeservice {

namespace {

std::string reasonFor(int status)
{
    const auto known = http::obsolete_reason(http::int_to_status(static_cast<unsigned>(status)));
    if (http::int_to_status(static_cast<unsigned>(status)) == http::status::unknown)
        return "Unknown";
    return std::string(known);
}

bool hasHeader(const std::vector<Header>& headers, const char* name)
{
    Request probe;
    probe.headers = headers;
    return probe.header(name).has_value();
}

}  // namespace

Answer FakeService::Impl::choose(const Request& req)
{
    std::shared_ptr<const Handler> h;
    {
        std::lock_guard<std::mutex> lk(m_mutex);
        auto it = m_scripts.find(req.target);
        if (it != m_scripts.end() && !it->second.answers.empty()) {
            Script& s = it->second;
            const std::size_t i = std::min(s.next, s.answers.size() - 1);
            ++s.next;
            return s.answers[i];
        }
        h = m_handler;
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

bool FakeService::Impl::waitUnlessStopping(std::chrono::milliseconds delay)
{
    std::unique_lock<std::mutex> lk(m_mutex);
    if (delay.count() <= 0)
        return !m_stopping;
    return !m_cv.wait_for(lk, delay, [this] { return m_stopping; });
}

bool FakeService::Impl::holdAnswer(const Answer& a)
{
    if (a.stall) {
        std::unique_lock<std::mutex> lk(m_mutex);
        m_cv.wait(lk, [this] { return m_stopping; });
        return false;
    }
    if (!waitUnlessStopping(a.delay))
        return false;
    return !a.closeBeforeAnswer;
}

namespace {

AnswerPlan planAnswer(const Answer& a, const Request& req, bool clientKeepsAlive)
{
    AnswerPlan plan;
    plan.status = a.status >= 100 && a.status <= 999 ? a.status : 500;
    plan.bodyForbidden = plan.status < 200 || plan.status == 204 || plan.status == 304;
    plan.headRequest = req.method == "HEAD";
    plan.chunked = a.framing == Framing::CHUNKED && !plan.bodyForbidden && !a.closeMidBody;
    plan.closeDelimited = a.framing == Framing::CLOSE_DELIMITED && !plan.bodyForbidden && !plan.headRequest;
    plan.close = a.close || !clientKeepsAlive || plan.closeDelimited || a.closeMidBody;
    for (const auto& h : a.headers)
        if (beast::iequals(h.name, "Connection") && beast::iequals(h.value, "close"))
            plan.close = true;

    plan.body = plan.bodyForbidden ? std::string() : a.body;
    if (a.closeMidBody && plan.body.empty())
        plan.body.assign(16, ' ');
    if (a.compress && !plan.body.empty() && !hasHeader(a.headers, "Content-Encoding"))
        plan.encoding = preferredCoding(req.header("Accept-Encoding").value_or(""));
    if (!plan.encoding.empty())
        plan.body = compressed(plan.body, plan.encoding == "gzip" ? Coding::GZIP : Coding::ZLIB);
    plan.sendBytes = plan.headRequest ? 0 : a.closeMidBody ? plan.body.size() / 2 : plan.body.size();
    return plan;
}

std::string headText(const Answer& a, const AnswerPlan& plan)
{
    std::string head = "HTTP/1.1 " + std::to_string(plan.status) + " " +
                       (a.reason.empty() ? reasonFor(plan.status) : a.reason) + "\r\n";
    for (const auto& h : a.headers)
        head += h.name + ": " + h.value + "\r\n";
    if (!hasHeader(a.headers, "Content-Type"))
        head += "Content-Type: application/json\r\n";
    if (!plan.encoding.empty())
        head += "Content-Encoding: " + plan.encoding + "\r\n";
    if (plan.chunked) {
        if (!hasHeader(a.headers, "Transfer-Encoding"))
            head += "Transfer-Encoding: chunked\r\n";
    } else if (!plan.closeDelimited && !plan.bodyForbidden && !hasHeader(a.headers, "Content-Length")) {
        head += "Content-Length: " + std::to_string(plan.body.size()) + "\r\n";
    }
    if (plan.close && !hasHeader(a.headers, "Connection"))
        head += "Connection: close\r\n";
    return head + "\r\n";
}

// The head, then the body as one write or, chunked, as a few.
std::vector<std::string> answerWrites(const Answer& a, const AnswerPlan& plan)
{
    std::vector<std::string> writes{headText(a, plan)};
    if (plan.chunked && !plan.headRequest) {
        // A few chunks, each its own write, so the client really sees several.
        const std::string& body = plan.body;
        const std::size_t piece = std::max<std::size_t>(1, (body.size() + 2) / 3);
        for (std::size_t off = 0; off < body.size(); off += piece) {
            const std::string part = body.substr(off, piece);
            char size[32];
            std::snprintf(size, sizeof size, "%zx\r\n", part.size());
            writes.push_back(std::string(size) + part + "\r\n");
        }
        if (!a.neverEnd)
            writes.push_back("0\r\n\r\n");
    } else if (plan.sendBytes > 0) {
        writes.push_back(plan.body.substr(0, plan.sendBytes));
    }
    return writes;
}

}  // namespace

bool FakeService::Impl::answer(ConnState& conn, ssl::stream<tcp::socket&>& stream, const Request& req,
                               bool clientKeepsAlive, bool& abrupt)
{
    const Answer a = choose(req);
    if (!holdAnswer(a)) {
        abrupt = true;
        return false;
    }
    const AnswerPlan plan = planAnswer(a, req, clientKeepsAlive);
    const std::vector<std::string> writes = answerWrites(a, plan);
    if (!plan.close) {
        // Idle from before the last byte goes out: the client may be done,
        // and closeIdleConnections() called, before this thread loops back.
        std::lock_guard<std::mutex> lk(conn.m);
        conn.idle = true;
    }
    noteAnswer(conn, plan);
    if (!send(stream, writes, a) || a.closeMidBody) {
        abrupt = true;
        return false;
    }
    if (a.neverEnd) {
        // Held until the client gives up (or stop() shuts the socket).
        char byte = 0;
        error_code ec;
        stream.read_some(net::buffer(&byte, 1), ec);
        abrupt = true;
        return false;
    }
    return !plan.close;
}

void FakeService::Impl::noteAnswer(const ConnState& conn, const AnswerPlan& plan)
{
    std::lock_guard<std::mutex> lk(m_mutex);
    // Records cleared since the request arrived hold it no more.
    if (conn.recordGeneration != m_recordGeneration || conn.recordIndex >= m_requests.size())
        return;
    Request& r = m_requests[conn.recordIndex];
    r.answerEncoding = plan.encoding;
    r.answerBodyBytes = plan.sendBytes;
}

bool FakeService::Impl::send(ssl::stream<tcp::socket&>& stream, const std::vector<std::string>& writes, const Answer& a)
{
    error_code ec;
    if (a.trickleBytes == 0) {
        for (const auto& w : writes) {
            net::write(stream, net::buffer(w), ec);
            if (ec)
                return false;
        }
        return true;
    }
    std::string all;
    for (const auto& w : writes)
        all += w;
    for (std::size_t off = 0; off < all.size(); off += a.trickleBytes) {
        if (!waitUnlessStopping(a.tricklePause))
            return false;
        net::write(stream, net::buffer(all.data() + off, std::min(a.trickleBytes, all.size() - off)), ec);
        if (ec)
            return false;
    }
    return true;
}

}  // namespace fakeservice
