#pragma once
// A stand-in for the HTTPS client that answers from memory: same header, same
// class, no network. Linked instead of the real client into the benchmarks and
// fuzz targets, so they drive the plugin's real request and answer code.
#include <functional>
#include <string>
#include <utility>
#include <vector>

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

// Process-wide; an empty handler answers "404 Not Found". Not to be changed
// while a request is running.
void setHandler(Handler handler);

}  // namespace nerivo_https_memory
