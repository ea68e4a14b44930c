#include "fakeservice/fake_service.hpp"

#include <strings.h>

#include <utility>

namespace fakeservice {

Answer Answer::json(std::string body, int status)
{
    Answer a;
    a.status = status;
    a.body = std::move(body);
    return a;
}

std::string Request::path() const
{
    std::string rest = target;
    // Absolute form ("https://host/path?q"): drop scheme and authority.
    const auto scheme = rest.find("://");
    if (scheme != std::string::npos && rest.find_first_of("/?#") > scheme) {
        const auto pathStart = rest.find_first_of("/?#", scheme + 3);
        rest = pathStart == std::string::npos ? std::string() : rest.substr(pathStart);
    }
    rest = rest.substr(0, rest.find_first_of("?#"));
    return rest.empty() ? std::string("/") : rest;
}

std::string Request::query() const
{
    const auto q = target.find('?');
    if (q == std::string::npos)
        return std::string();
    const auto hash = target.find('#', q);
    return target.substr(q + 1, hash == std::string::npos ? std::string::npos : hash - q - 1);
}

std::optional<std::string> Request::header(const std::string& name) const
{
    for (const auto& h : headers)
        if (h.name.size() == name.size() && ::strncasecmp(h.name.c_str(), name.c_str(), name.size()) == 0)
            return h.value;
    return std::nullopt;
}

}  // namespace fakeservice
