// Connections answering from the handler set with setHandler().
#include "memory_client.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include <mutex>
#include <utility>

namespace nerivo_https_memory {
namespace {
Handler& handler()
{
    static Handler h;
    return h;
}
}  // namespace

void setHandler(Handler h)
{
    handler() = std::move(h);
}

namespace {

std::shared_ptr<Response> answer(const std::string& host, const std::string& target,
                                 const SimpleWeb::CaseInsensitiveMultimap& header, const std::string& proxy)
{
    Exchange exchange{host, proxy, "GET", target, Fields(header.begin(), header.end()), ""};
    Reply reply;
    {
        // Connections may run at once; handlers are written for one at a time.
        static std::mutex one;
        std::lock_guard<std::mutex> lock(one);
        const Handler& h = handler();
        if (h) {
            reply = h(exchange);
        } else {
            reply.status = "404 Not Found";
        }
    }
    if (reply.raise)
        throw boost::system::system_error(boost::asio::error::connection_refused, "connect");
    auto response = std::make_shared<Response>();
    response->http_version = "1.1";
    response->status_code = std::move(reply.status);
    for (auto& f : reply.fields)
        response->header.emplace(std::move(f.first), std::move(f.second));
    // Only the body is counted: there is no wire here.
    response->wire_bytes = reply.body.size();
    response->body_wire_bytes = reply.body.size();
    response->body_bytes = reply.body.size();
    response->content.assign(std::move(reply.body));
    return response;
}

}  // namespace

std::function<Transport(std::chrono::milliseconds)> connector(const std::string& host)
{
    return [host](std::chrono::milliseconds) -> Transport {
        return [host](const std::string& target, const SimpleWeb::CaseInsensitiveMultimap& header,
                      const std::string& proxy) { return answer(host, target, header, proxy); };
    };
}

}  // namespace nerivo_https_memory
