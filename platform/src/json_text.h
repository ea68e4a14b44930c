#pragma once
// Internal helper shared by the datapoint and reading renderers.
#include <string>

namespace lorvane_detail {

// Appends text as a quoted JSON string. Bytes >= 0x80 pass through untouched
// (the text is expected to be UTF-8 already); control characters are escaped
// so the result always stays on one line.
inline void appendJsonString(std::string& out, const std::string& text)
{
    static const char hex[] = "0123456789abcdef";
    out.reserve(out.size() + text.size() + 2);
    out += '"';
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (u < 0x20) {
                out += "\\u00";
                out += hex[u >> 4];
                out += hex[u & 0x0f];
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

inline std::string jsonString(const std::string& text)
{
    std::string out;
    appendJsonString(out, text);
    return out;
}

}  // namespace lorvane_detail
