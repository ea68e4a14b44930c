#include "logger.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <strings.h>
#include <vector>

namespace {

// Stand-in for a configured service name: the executable's short name.
const char* processName()
{
#if defined(__GLIBC__)
    return program_invocation_short_name;
#else
    return "lorvane";
#endif
}

void writeToStderr(Logger::Level level, const std::string& message)
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto sinceEpoch = now.time_since_epoch();
    const time_t secs = static_cast<time_t>(duration_cast<seconds>(sinceEpoch).count());
    const long millis = static_cast<long>(duration_cast<milliseconds>(sinceEpoch).count() % 1000);
    struct tm tmUtc {};
    gmtime_r(&secs, &tmUtc);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", tmUtc.tm_year + 1900,
                  tmUtc.tm_mon + 1, tmUtc.tm_mday, tmUtc.tm_hour, tmUtc.tm_min, tmUtc.tm_sec, millis);

    // Build the whole line first so that concurrent writers never interleave
    // within a line (stdio locks the stream per call).
    std::string line;
    line.reserve(message.size() + 80);
    line += stamp;
    line += ' ';
    line += processName();
    line += '[';
    line += std::to_string(static_cast<long>(getpid()));
    line += "] ";
    line += Logger::levelName(level);
    line += ": ";
    line += message;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

// vsnprintf into a stack buffer first; only long messages pay for a second
// pass into a heap buffer of the exact size.
std::string format(const char* fmt, va_list args)
{
    if (fmt == nullptr)
        return std::string();
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (needed < 0)
        return std::string("(invalid log format)");
    if (static_cast<size_t>(needed) < sizeof small)
        return std::string(small, static_cast<size_t>(needed));
    std::vector<char> big(static_cast<size_t>(needed) + 1);
    std::vsnprintf(big.data(), big.size(), fmt, args);
    return std::string(big.data(), static_cast<size_t>(needed));
}

// One message, one line: line breaks inside a message become spaces.
void flattenLines(std::string& message)
{
    for (char& c : message) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
}

}  // namespace

Logger::Logger() : m_minLevel(Level::Warning) {}

Logger* Logger::getLogger()
{
    // Deliberately never freed: plugins may log from static destructors and
    // from threads still running while the process exits.
    static Logger* const instance = new Logger();
    return instance;
}

const char* Logger::levelName(Level level)
{
    switch (level) {
    case Level::Debug: return "DEBUG";
    case Level::Info: return "INFO";
    case Level::Warning: return "WARNING";
    case Level::Error: return "ERROR";
    }
    return "UNKNOWN";
}

void Logger::setMinLevel(Level level)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_minLevel = level;
}

Logger::Level Logger::getMinLevel() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_minLevel;
}

bool Logger::setMinLevel(const std::string& name)
{
    Level level;
    const char* n = name.c_str();
    if (strcasecmp(n, "debug") == 0)
        level = Level::Debug;
    else if (strcasecmp(n, "info") == 0)
        level = Level::Info;
    else if (strcasecmp(n, "warning") == 0 || strcasecmp(n, "warn") == 0)
        level = Level::Warning;
    else if (strcasecmp(n, "error") == 0)
        level = Level::Error;
    else
        return false;
    setMinLevel(level);
    return true;
}

void Logger::setSink(Sink sink)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sink = std::move(sink);
}

void Logger::log(Level level, const char* fmt, va_list args)
{
    Sink sink;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (static_cast<int>(level) < static_cast<int>(m_minLevel))
            return;  // before any formatting: disabled levels stay cheap
        sink = m_sink;
    }
    // Formatting and the sink run unlocked, so a sink may itself log or
    // change the logger without deadlocking.
    const int savedErrno = errno;  // keep "%m" and callers' errno intact
    std::string message = format(fmt, args);
    flattenLines(message);
    if (sink)
        sink(level, message);
    else
        writeToStderr(level, message);
    errno = savedErrno;
}

void Logger::debug(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    log(Level::Debug, fmt, args);
    va_end(args);
}

void Logger::info(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    log(Level::Info, fmt, args);
    va_end(args);
}

void Logger::warn(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    log(Level::Warning, fmt, args);
    va_end(args);
}

void Logger::error(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    log(Level::Error, fmt, args);
    va_end(args);
}
