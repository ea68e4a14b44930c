#include "fakeservice/fake_service.hpp"

#include <boost/beast/core/string.hpp>

#include <zlib.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <utility>

// Compressed answers: what a request accepts, and the bytes zlib makes.
namespace fakeservice {

std::string compressed(const std::string& body, Coding coding)
{
    const int windowBits = coding == Coding::GZIP ? 15 + 16 : coding == Coding::ZLIB ? 15 : -15;
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("fake service: zlib would not start");
    std::string out(deflateBound(&z, static_cast<uLong>(body.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
    z.avail_in = static_cast<uInt>(body.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (rc != Z_STREAM_END)
        throw std::runtime_error("fake service: zlib could not compress the body");
    return out;
}

namespace {

std::string trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// "coding;q=0.5" as its coding and q (1 when not given). Beast's ext_list is
// not used: in Boost 1.74 it hands an item without parameters those of the
// item before it.
std::pair<std::string, double> codingAndQ(const std::string& item)
{
    std::istringstream parts(item);
    std::string part;
    std::getline(parts, part, ';');
    std::pair<std::string, double> result{trimmed(part), 1.0};
    while (std::getline(parts, part, ';')) {
        part = trimmed(part);
        if (part.size() > 2 && (part[0] == 'q' || part[0] == 'Q') && part[1] == '=')
            result.second = std::strtod(part.c_str() + 2, nullptr);
    }
    return result;
}

}  // namespace

std::string preferredCoding(const std::string& acceptEncoding)
{
    namespace beast = boost::beast;
    // The q of each coding; -1: not named.
    double gzip = -1;
    double deflate = -1;
    double any = -1;
    std::istringstream items(acceptEncoding);
    std::string item;
    while (std::getline(items, item, ',')) {
        const auto [coding, q] = codingAndQ(item);
        if (beast::iequals(coding, "gzip") || beast::iequals(coding, "x-gzip"))
            gzip = q;
        else if (beast::iequals(coding, "deflate"))
            deflate = q;
        else if (coding == "*")
            any = q;
    }
    gzip = gzip < 0 ? any : gzip;
    deflate = deflate < 0 ? any : deflate;
    if (gzip > 0 && gzip >= deflate)
        return "gzip";
    return deflate > 0 ? "deflate" : std::string();
}

}  // namespace fakeservice
