// Client<HTTPS> answering from the handler set with setHandler().
#include "memory_client.hpp"

#include "client_https.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

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

}  // namespace nerivo_https_memory

namespace SimpleWeb {

struct Client<HTTPS>::Impl {
    std::string host;
};

Client<HTTPS>::Client(const std::string& server_port_path, bool, const std::string&, const std::string&,
                      const std::string&)
    : m_impl(std::make_unique<Impl>())
{
    m_impl->host = server_port_path;
}

Client<HTTPS>::~Client() = default;

std::shared_ptr<Client<HTTPS>::Response> Client<HTTPS>::request(const std::string& method, const std::string& path,
                                                                const std::string& content,
                                                                const CaseInsensitiveMultimap& header)
{
    nerivo_https_memory::Exchange exchange{
        m_impl->host, config.proxy_server, method, path, nerivo_https_memory::Fields(header.begin(), header.end()),
        content};
    const nerivo_https_memory::Handler& h = nerivo_https_memory::handler();
    nerivo_https_memory::Reply reply;
    if (h) {
        reply = h(exchange);
    } else {
        reply.status = "404 Not Found";
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
    response->content.m_body = std::move(reply.body);
    return response;
}

}  // namespace SimpleWeb
