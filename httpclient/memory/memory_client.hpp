#pragma once
// Connections that answer from memory, no network: handed to the plugin by
// the benchmarks and fuzz targets, so they drive its real request and answer
// code.
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "client_https.hpp"

namespace nerivo_https_memory {

using Fields = std::vector<std::pair<std::string, std::string>>;

// One request as the plugin sent it.
struct Exchange {
    std::string host;   // as given to the client's constructor
    std::string proxy;  // config.proxy_server at the time of the request
    std::string method;
    std::string target;
    Fields fields;
    std::string body;
};

// What the request gets back. raise: the request throws the system_error a
// refused connection would, and the other members are ignored.
struct Reply {
    std::string status = "200 OK";
    Fields fields;
    std::string body;
    bool raise = false;
};

using Handler = std::function<Reply(const Exchange&)>;

// Process-wide, and called for one request at a time, whatever the
// connections; an empty handler answers "404 Not Found". Not to be changed
// while a request is running.
void setHandler(Handler handler);

using Response = SimpleWeb::Client<SimpleWeb::HTTPS>::Response;
// One connection: a GET for target with the header, through the proxy.
using Transport = std::function<std::shared_ptr<Response>(
    const std::string& target, const SimpleWeb::CaseInsensitiveMultimap& header, const std::string& proxy)>;
// Opens connections to host whose requests the handler answers; raise in a
// reply throws the system_error a refused connection would.
std::function<Transport(std::chrono::milliseconds)> connector(const std::string& host = "api.nerivowater.com");

}  // namespace nerivo_https_memory
