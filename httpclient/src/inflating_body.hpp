#pragma once
// A Beast body that stores the answer inflated as it is read: the parser hands
// it the bytes of the body as they arrive, and a gzip or deflate body goes
// through zlib on the way in, so a compressed answer is never held whole in
// its compressed form. The size limit applies to what is stored, so a small
// compressed body that inflates without end fails like any body too large.
// Internal to nerivo_https.
#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/rfc7230.hpp>
#include <boost/optional/optional.hpp>
#include <boost/system/error_code.hpp>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

struct z_stream_s;

namespace nerivo_https {

// A body over the limit fails with Beast's body_limit, one in a coding not
// inflated here with errc::not_supported, a corrupt one with
// errc::bad_message; the value's problem says more.
// The body's value: the text as stored, the limit it must keep within, and
// what was seen on the way.
struct BodyValue {
    std::string text;  // inflated
    std::size_t limit = std::numeric_limits<std::size_t>::max();
    std::uint64_t wireBytes = 0;  // the body's bytes as they arrived, without chunk framing
    std::string encoding;         // the coding inflated, lower case ("gzip", "deflate"); empty: as is
    std::string problem;          // why the body failed, for the message
};

// One zlib stream. A deflate body comes zlib-wrapped as the standard says,
// or raw as some servers send it: its first two bytes tell which.
class Inflater {
public:
    enum class Format { GZIP, DEFLATE };
    enum class Result { OK, CORRUPT, STOPPED };
    // Receives each piece inflated; false stops the inflating.
    using Sink = bool (*)(void* context, const char* data, std::size_t size);

    explicit Inflater(Format format);
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    Result feed(const char* data, std::size_t size, Sink sink, void* context);
    bool ended() const { return m_ended; }
    std::string error() const;  // zlib's word for a CORRUPT result

private:
    bool start(const char* data, std::size_t size);
    Result run(const char* data, std::size_t size, Sink sink, void* context);

    Format m_format;
    std::unique_ptr<z_stream_s> m_stream;
    bool m_started = false;
    bool m_ended = false;
    std::string m_lead;   // the first two bytes of a deflate body, which tell its wrapping
    std::string m_error;  // a fault zlib does not name itself
};

struct InflatingBody {
    using value_type = BodyValue;

    class reader {
    public:
        // Beast builds the reader before the fields arrive; they are read at init().
        template <bool isRequest, class Fields>
        reader(boost::beast::http::header<isRequest, Fields>& header, value_type& body)
            : m_fields(&static_cast<const Fields&>(header)),
              m_codingsOf(&codingsOf<Fields>),
              m_body(body)
        {
        }

        void init(const boost::optional<std::uint64_t>& length, boost::system::error_code& ec);

        template <class ConstBufferSequence>
        std::size_t put(const ConstBufferSequence& buffers, boost::system::error_code& ec)
        {
            std::size_t taken = 0;
            for (const auto b : boost::beast::buffers_range_ref(buffers)) {
                take(static_cast<const char*>(b.data()), b.size(), ec);
                if (ec)
                    return taken;
                taken += b.size();
            }
            return taken;
        }

        void finish(boost::system::error_code& ec);

    private:
        void take(const char* data, std::size_t size, boost::system::error_code& ec);
        static bool store(void* self, const char* data, std::size_t size);

        // The codings of every Content-Encoding field in order, lower case,
        // identity left out, joined with ", ".
        template <class Fields>
        static std::string codingsOf(const void* fields)
        {
            namespace http = boost::beast::http;
            std::string out;
            const auto range = static_cast<const Fields*>(fields)->equal_range(http::field::content_encoding);
            for (auto it = range.first; it != range.second; ++it) {
                for (const auto& token : http::token_list(it->value())) {
                    std::string coding(token);
                    for (char& c : coding)
                        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                    if (coding != "identity")
                        out += (out.empty() ? "" : ", ") + coding;
                }
            }
            return out;
        }

        const void* m_fields;
        std::string (*m_codingsOf)(const void* fields);
        value_type& m_body;
        std::unique_ptr<Inflater> m_inflater;
    };
};

}  // namespace nerivo_https
