#include "logger.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <strings.h>

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
    char prefix[160];
    const int length =
        std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ %s[%ld] %s: ", tmUtc.tm_year + 1900,
                      tmUtc.tm_mon + 1, tmUtc.tm_mday, tmUtc.tm_hour, tmUtc.tm_min, tmUtc.tm_sec, millis, processName(),
                      static_cast<long>(getpid()), Logger::levelName(level));
    // One writev of prefix, message and line end: the message is written
    // where it was formatted, and the line leaves in one call so that
    // concurrent writers do not interleave within it.
    char newline = '\n';
    struct iovec parts[3] = {{prefix, length > 0 ? std::min(static_cast<size_t>(length), sizeof prefix - 1) : 0},
                             {const_cast<char*>(message.data()), message.size()},
                             {&newline, 1}};
    std::fflush(stderr);
    struct iovec* part = parts;
    int left = 3;
    while (left > 0) {
        const ssize_t written = writev(STDERR_FILENO, part, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        size_t done = static_cast<size_t>(written);
        while (left > 0 && done >= part->iov_len) {
            done -= part->iov_len;
            ++part;
            --left;
        }
        if (left > 0) {
            part->iov_base = static_cast<char*>(part->iov_base) + done;
            part->iov_len -= done;
        }
    }
}

// Formats of plain text and "%s" only, the whole-body lines among them, are
// built directly: each text measured once and copied once into the message.
// Anything else returns false and is left to vsnprintf.
bool formatTexts(const char* fmt, va_list args, std::string& out)
{
    constexpr int MAX_TEXTS = 8;
    const char* texts[MAX_TEXTS];
    size_t lengths[MAX_TEXTS];
    int count = 0;
    size_t total = 0;
    va_list copy;
    va_copy(copy, args);
    bool plain = true;
    for (const char* p = fmt; *p != '\0' && plain; ++p) {
        if (*p != '%') {
            ++total;
        } else if (p[1] == '%') {
            ++total;
            ++p;
        } else if (p[1] == 's' && count < MAX_TEXTS) {
            texts[count] = va_arg(copy, const char*);
            plain = texts[count] != nullptr;  // vsnprintf's own text for a null
            lengths[count] = plain ? std::strlen(texts[count]) : 0;
            total += lengths[count++];
            ++p;
        } else {
            plain = false;
        }
    }
    va_end(copy);
    if (!plain)
        return false;
    out.reserve(total);
    int next = 0;
    const char* p = fmt;
    while (*p != '\0') {
        const size_t run = std::strcspn(p, "%");
        out.append(p, run);
        p += run;
        if (*p == '\0')
            break;
        if (p[1] == '%') {
            out += '%';
        } else {
            out.append(texts[next], lengths[next]);
            ++next;
        }
        p += 2;  // past "%%" or "%s"
    }
    return true;
}

// vsnprintf into a stack buffer first; only long messages pay for a second
// pass, straight into the message.
std::string format(const char* fmt, va_list args)
{
    std::string message;
    if (fmt == nullptr || formatTexts(fmt, args, message))
        return message;
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (needed < 0)
        return std::string("(invalid log format)");
    if (static_cast<size_t>(needed) < sizeof small)
        return std::string(small, static_cast<size_t>(needed));
    message.resize(static_cast<size_t>(needed));
    // The terminating NUL lands on the string's own terminator.
    std::vsnprintf(&message[0], message.size() + 1, fmt, args);
    return message;
}

// One message, one line: line breaks inside a message become spaces.
void flattenLines(std::string& message)
{
    char* const begin = &message[0];
    char* const end = begin + message.size();
    for (const char lineBreak : {'\n', '\r'}) {
        for (char* p = begin; (p = static_cast<char*>(std::memchr(p, lineBreak, end - p))) != nullptr; ++p)
            *p = ' ';
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
    m_minLevel.store(level, std::memory_order_relaxed);
}

Logger::Level Logger::getMinLevel() const
{
    return m_minLevel.load(std::memory_order_relaxed);
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
    // Before any lock or formatting: disabled levels stay cheap.
    if (static_cast<int>(level) < static_cast<int>(getMinLevel()))
        return;
    Sink sink;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
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
