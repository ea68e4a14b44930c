// Header names compare and hash without regard to case, in both clients.
#include "client_https.hpp"

#include <cctype>

namespace SimpleWeb {

bool CaseInsensitiveEqual::operator()(const std::string& a, const std::string& b) const noexcept
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::size_t CaseInsensitiveHash::operator()(const std::string& s) const noexcept
{
    // FNV-1a over the lower-cased bytes: equal under CaseInsensitiveEqual => equal hash.
    std::size_t h = static_cast<std::size_t>(14695981039346656037ULL);
    for (unsigned char c : s) {
        h ^= static_cast<std::size_t>(std::tolower(c));
        h *= static_cast<std::size_t>(1099511628211ULL);
    }
    return h;
}

}  // namespace SimpleWeb
