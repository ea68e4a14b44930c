#pragma once
// Captures what the platform logger records while a test runs.
#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "logger.h"

class LogCapture {
public:
    using Entry = std::pair<Logger::Level, std::string>;

    explicit LogCapture(Logger::Level minLevel = Logger::Level::Debug)
        : m_previousLevel(Logger::getLogger()->getMinLevel())
    {
        Logger::getLogger()->setMinLevel(minLevel);
        Logger::getLogger()->setSink([this](Logger::Level level, const std::string& message) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_entries.emplace_back(level, message);
        });
    }
    ~LogCapture()
    {
        Logger::getLogger()->setSink(Logger::Sink());
        Logger::getLogger()->setMinLevel(m_previousLevel);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Entry> entries() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_entries;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.clear();
    }
    // Messages recorded at exactly that level, in order.
    std::vector<std::string> at(Logger::Level level) const
    {
        std::vector<std::string> out;
        for (const auto& e : entries()) {
            if (e.first == level)
                out.push_back(e.second);
        }
        return out;
    }
    bool has(Logger::Level level, const std::string& message) const
    {
        const auto found = at(level);
        return std::find(found.begin(), found.end(), message) != found.end();
    }
    // Number of messages at that level that contain the fragment.
    std::size_t count(Logger::Level level, const std::string& fragment) const
    {
        std::size_t n = 0;
        for (const auto& m : at(level)) {
            if (m.find(fragment) != std::string::npos)
                ++n;
        }
        return n;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries;
    Logger::Level m_previousLevel;
};
