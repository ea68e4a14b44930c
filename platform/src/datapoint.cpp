#include "datapoint.h"

#include <charconv>
#include <cmath>

#include "json_text.h"

DatapointValue::DatapointValue(const std::string& value) : m_type(T_STRING)
{
    m_value.str = new std::string(value);
}

DatapointValue::DatapointValue(const int64_t value) : m_type(T_INTEGER)
{
    m_value.i = value;
}

DatapointValue::DatapointValue(const double value) : m_type(T_FLOAT)
{
    m_value.f = value;
}

DatapointValue::DatapointValue(const DatapointValue& other) : m_type(other.m_type)
{
    if (other.m_type == T_STRING)
        m_value.str = new std::string(*other.m_value.str);
    else
        m_value = other.m_value;
}

DatapointValue& DatapointValue::operator=(const DatapointValue& other)
{
    if (this == &other)
        return *this;
    // Copy first so that a failed allocation leaves this value untouched.
    std::string* copy = other.m_type == T_STRING ? new std::string(*other.m_value.str) : nullptr;
    if (m_type == T_STRING)
        delete m_value.str;
    m_type = other.m_type;
    if (copy != nullptr)
        m_value.str = copy;
    else
        m_value = other.m_value;
    return *this;
}

DatapointValue::~DatapointValue()
{
    if (m_type == T_STRING)
        delete m_value.str;
}

int64_t DatapointValue::toInt() const
{
    return m_type == T_INTEGER ? m_value.i : 0;
}

double DatapointValue::toDouble() const
{
    return m_type == T_FLOAT ? m_value.f : 0.0;
}

std::string DatapointValue::toStringValue() const
{
    return m_type == T_STRING ? *m_value.str : std::string();
}

std::string DatapointValue::toString() const
{
    switch (m_type) {
    case T_STRING: return lorvane_detail::jsonString(*m_value.str);
    case T_INTEGER: return std::to_string(m_value.i);
    case T_FLOAT: {
        const double f = m_value.f;
        if (!std::isfinite(f))
            return "null";  // JSON has no NaN or infinity
        // Shortest text that reads back as the same double.
        char buf[64];
        const auto result = std::to_chars(buf, buf + sizeof buf, f);
        std::string text(buf, result.ptr);
        // Keep the value recognisably floating point for JSON consumers.
        if (text.find_first_of(".e") == std::string::npos)
            text += ".0";
        return text;
    }
    }
    return "null";
}

std::string Datapoint::toJSONProperty() const
{
    std::string out = lorvane_detail::jsonString(m_name);
    out += ": ";
    out += m_value.toString();
    return out;
}
