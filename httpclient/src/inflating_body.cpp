#define ZLIB_CONST
#include "inflating_body.hpp"

#include <boost/beast/http/error.hpp>

#include <zlib.h>

#include <algorithm>
#include <new>

namespace nerivo_https {

namespace http = boost::beast::http;
using boost::system::error_code;

namespace {

// Nothing smaller is worth an allocation; a body grows from here by doubling.
constexpr std::size_t FIRST_RESERVE = std::size_t{16} * 1024;
// zlib counts in 32-bit units; pieces are cut to this size.
constexpr std::size_t SLICE = std::size_t{1024} * 1024;

// Gives text room for needed bytes: twice its room, but never past the limit,
// so a body close to the limit never holds a buffer twice its size.
// libstdc++ would round a reserve up to twice the old capacity, so the new
// buffer is reserved in a fresh string, which gets exactly what it asks for.
void makeRoom(std::string& text, std::size_t needed, std::size_t limit)
{
    if (needed <= text.capacity())
        return;
    const std::size_t doubled = text.capacity() > limit / 2 ? limit : text.capacity() * 2;
    std::string bigger;
    bigger.reserve(std::min(limit, std::max({needed, doubled, FIRST_RESERVE})));
    bigger.append(text);
    text.swap(bigger);
}

}  // namespace

Inflater::Inflater(Format format) : m_format(format), m_stream(std::make_unique<z_stream>()) {}

Inflater::~Inflater()
{
    if (m_started)
        inflateEnd(m_stream.get());
}

std::string Inflater::error() const
{
    if (!m_error.empty())
        return m_error;
    return m_stream->msg ? m_stream->msg : "invalid data";
}

// Sets zlib up once the format is known: for deflate that takes two bytes,
// a zlib header being a compression method of 8 and a multiple of 31.
bool Inflater::start(const char* data, std::size_t size)
{
    int windowBits = 15 + 16;  // gzip only
    if (m_format == Format::DEFLATE) {
        m_lead.append(data, std::min<std::size_t>(size, 2 - std::min<std::size_t>(m_lead.size(), 2)));
        if (m_lead.size() < 2)
            return false;
        const auto b0 = static_cast<unsigned char>(m_lead[0]);
        const auto b1 = static_cast<unsigned char>(m_lead[1]);
        windowBits = (b0 & 0x0f) == 8 && ((b0 << 8) | b1) % 31 == 0 ? 15 : -15;
    }
    if (inflateInit2(m_stream.get(), windowBits) != Z_OK)
        throw std::bad_alloc();
    m_started = true;
    return true;
}

Inflater::Result Inflater::feed(const char* data, std::size_t size, Sink sink, void* context)
{
    if (!m_started) {
        const std::size_t leadBefore = m_lead.size();
        if (!start(data, size))
            return Result::OK;
        if (leadBefore > 0) {
            // The byte held back goes in first, then all that arrived now.
            const std::string lead = m_lead.substr(0, leadBefore);
            const Result r = run(lead.data(), lead.size(), sink, context);
            if (r != Result::OK)
                return r;
        }
    }
    for (std::size_t done = 0; done < size; done += SLICE) {
        const Result r = run(data + done, std::min(SLICE, size - done), sink, context);
        if (r != Result::OK)
            return r;
    }
    return Result::OK;
}

Inflater::Result Inflater::run(const char* data, std::size_t size, Sink sink, void* context)
{
    z_stream& z = *m_stream;
    z.next_in = reinterpret_cast<const Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    char out[16 * 1024];
    do {
        if (m_ended && z.avail_in > 0) {
            // Gzip allows several members one after the other; nothing may
            // follow a deflate stream.
            if (m_format != Format::GZIP || inflateReset(&z) != Z_OK) {
                m_error = "data after the end of the compressed stream";
                return Result::CORRUPT;
            }
            m_ended = false;
        }
        if (m_ended)
            break;
        z.next_out = reinterpret_cast<Bytef*>(out);
        z.avail_out = sizeof out;
        const int rc = inflate(&z, Z_NO_FLUSH);
        if (rc == Z_BUF_ERROR)
            break;  // no progress possible without more input
        if (rc != Z_OK && rc != Z_STREAM_END)
            return Result::CORRUPT;
        m_ended = rc == Z_STREAM_END;
        const std::size_t produced = sizeof out - z.avail_out;
        if (produced > 0 && !sink(context, out, produced))
            return Result::STOPPED;
    } while (z.avail_in > 0 || z.avail_out == 0);
    return Result::OK;
}

void InflatingBody::reader::init(const boost::optional<std::uint64_t>& length, error_code& ec)
{
    ec = {};
    // An announced length is the size stored when the body comes as is, and
    // a fair first guess when it comes compressed.
    if (length)
        makeRoom(m_body.text, static_cast<std::size_t>(std::min<std::uint64_t>(*length, m_body.limit)), m_body.limit);
    const std::string codings = m_codingsOf(m_fields);
    if (codings.empty())
        return;
    if (codings != "gzip" && codings != "x-gzip" && codings != "deflate") {
        m_body.problem = "Content-Encoding \"" + codings + "\" is not supported";
        ec = make_error_code(boost::system::errc::not_supported);
        return;
    }
    m_body.encoding = codings;
    m_inflater = std::make_unique<Inflater>(codings == "deflate" ? Inflater::Format::DEFLATE : Inflater::Format::GZIP);
}

bool InflatingBody::reader::store(void* self, const char* data, std::size_t size)
{
    auto& r = *static_cast<reader*>(self);
    std::string& text = r.m_body.text;
    if (size > r.m_body.limit - text.size()) {
        r.m_body.problem = "the body exceeds the limit of " + std::to_string(r.m_body.limit) + " bytes" +
                           (r.m_inflater ? " once inflated" : "");
        return false;
    }
    makeRoom(text, text.size() + size, r.m_body.limit);
    text.append(data, size);
    return true;
}

void InflatingBody::reader::take(const char* data, std::size_t size, error_code& ec)
{
    m_body.wireBytes += size;
    if (!m_inflater) {
        if (!store(this, data, size))
            ec = http::error::body_limit;
        return;
    }
    switch (m_inflater->feed(data, size, &reader::store, this)) {
    case Inflater::Result::OK: return;
    case Inflater::Result::STOPPED: ec = http::error::body_limit; return;
    case Inflater::Result::CORRUPT:
        m_body.problem = "the " + m_body.encoding + " body is corrupt: " + m_inflater->error();
        ec = make_error_code(boost::system::errc::bad_message);
        return;
    }
}

void InflatingBody::reader::finish(error_code& ec)
{
    ec = {};
    // An empty body is empty in any coding; a cut-off stream is not.
    if (m_inflater && !m_inflater->ended() && m_body.wireBytes > 0) {
        m_body.problem = "the " + m_body.encoding + " body ends before its compressed stream does";
        ec = make_error_code(boost::system::errc::bad_message);
    }
}

}  // namespace nerivo_https
