#pragma once
// Process-wide logger of the platform's common library.
#include <atomic>
#include <cstdarg>
#include <functional>
#include <mutex>
#include <string>

#if defined(__GNUC__)
#define LORVANE_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
#else
#define LORVANE_PRINTF(fmtIndex, firstArg)
#endif

class Logger {
public:
    enum class Level { Debug = 0, Info = 1, Warning = 2, Error = 3 };
    // Receives every message that passes the minimum level, already formatted.
    using Sink = std::function<void(Level, const std::string&)>;

    static Logger* getLogger();

    // Arguments are checked against the format at compile time (the implicit
    // `this` is argument 1).
    void debug(const char* fmt, ...) LORVANE_PRINTF(2, 3);
    void info(const char* fmt, ...) LORVANE_PRINTF(2, 3);
    void warn(const char* fmt, ...) LORVANE_PRINTF(2, 3);
    void error(const char* fmt, ...) LORVANE_PRINTF(2, 3);

    // Messages below the minimum level are dropped before formatting.
    void setMinLevel(Level level);
    Level getMinLevel() const;
    // Accepts "debug", "info", "warning" (or "warn"), "error"; false otherwise.
    bool setMinLevel(const std::string& name);

    // Replaces the default sink (one line on stderr); an empty sink restores it.
    void setSink(Sink sink);

    static const char* levelName(Level level);

private:
    Logger();
    void log(Level level, const char* fmt, va_list args);

    // The level is read without the lock, so that a dropped message costs
    // one load; the mutex guards the sink.
    std::atomic<Level> m_minLevel;
    mutable std::mutex m_mutex;
    Sink m_sink;
};
