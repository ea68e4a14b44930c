#pragma once
// A named value of a reading.
#include <cstdint>
#include <string>

class DatapointValue {
public:
    enum dataTagType : uint32_t { T_STRING = 0, T_INTEGER = 1, T_FLOAT = 2 };

    explicit DatapointValue(const std::string& value);
    explicit DatapointValue(const int64_t value);
    explicit DatapointValue(const double value);
    DatapointValue(const DatapointValue& other);  // deep copy of a text
    DatapointValue& operator=(const DatapointValue& other);
    ~DatapointValue();

    dataTagType getType() const { return m_type; }
    int64_t toInt() const;              // 0 unless an integer
    double toDouble() const;            // 0.0 unless a floating value
    std::string toStringValue() const;  // the text itself; empty unless a text
    // JSON rendering: a quoted, escaped text; an integer; a floating number
    // that always shows a fraction or an exponent (12.0, never 12).
    std::string toString() const;

private:
    union {
        std::string* str;
        int64_t i;
        double f;
    } m_value;
    dataTagType m_type;
};

class Datapoint {
public:
    Datapoint(const std::string& name, DatapointValue& value) : m_name(name), m_value(value) {}
    const std::string& getName() const { return m_name; }
    const DatapointValue& getData() const { return m_value; }
    // "name": value
    std::string toJSONProperty() const;

private:
    std::string m_name;
    DatapointValue m_value;
};
