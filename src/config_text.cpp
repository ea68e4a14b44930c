#include "config_text.h"

#include <algorithm>

#include "config_items.h"

namespace nerivo {

bool hasControlCharacter(const std::string& text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

std::string loggedProxy(const std::string& proxy)
{
    // The last '@' ends the credentials, as the HTTPS client reads them, so a
    // password holding an '@' is hidden whole.
    const auto at = proxy.rfind('@');
    if (at == std::string::npos) {
        return proxy;
    }
    const auto colon = proxy.find(':');
    if (colon == std::string::npos || colon > at) {
        return proxy;
    }
    return proxy.substr(0, colon + 1) + "***" + proxy.substr(at);
}

bool proxyHasPort(const std::string& proxy)
{
    const auto at = proxy.rfind('@');
    const std::string hop = at == std::string::npos ? proxy : proxy.substr(at + 1);
    if (!hop.empty() && hop.front() == '[') {
        return hop.find("]:") != std::string::npos;
    }
    return hop.find(':') != std::string::npos;
}

bool isUnsetKey(const std::string& key)
{
    return key.empty() || key == itemDefault("key");
}

}  // namespace nerivo
