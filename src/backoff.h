#pragma once
// When requests to the service are held back, without any I/O and without a
// clock of its own. The API key is shared by every gateway of a utility and
// throttled, so the plugin honours the service's Retry-After and backs off
// exponentially, with jitter, while the service cannot be reached or keeps
// failing, instead of adding to its load.
//
// Not thread-safe: the caller holds its own lock around every call.
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "note.h"

namespace nerivo {

class Backoff {
public:
    enum class Outcome {
        OK,              // the request was answered 200
        RAISED,          // no answer: status says what went wrong
        CONNECT_FAILED,  // no connection (refused, DNS, TLS, proxy tunnel): status says why
        STATUS,          // answered with another status, e.g. "429 Too Many Requests"
    };

    // The exponential back-off starts here and doubles up to the most; a
    // Retry-After holds at most for its own most.
    static constexpr int64_t FIRST_BACKOFF_MS = 1000;
    static constexpr int64_t MAX_BACKOFF_MS = 300000;
    static constexpr int64_t MAX_RETRY_AFTER_MS = 3600000;

    // seed draws the jitter; tests pass a fixed one.
    explicit Backoff(uint32_t seed);

    // The outcome of one request. status is the status line's text for
    // STATUS ("503 Service Unavailable") or what went wrong for RAISED and
    // CONNECT_FAILED; retryAfter the Retry-After header, empty when absent.
    // nowMs is a monotonic clock in milliseconds; wallSeconds the wall
    // clock in epoch seconds, used only to read a date in Retry-After.
    // An answer with any status but 429 and 5xx shows the service reachable
    // and unthrottled: like OK, it ends a back-off.
    void record(Outcome outcome, const std::string& status, const std::string& retryAfter, int64_t nowMs,
                int64_t wallSeconds);
    // A poll starts: failures in a row are counted within one poll, so that
    // one request that fails at every poll stays that request's trouble.
    void newPoll() { m_failures = 0; }
    // Whether a request may be sent at nowMs; a poll sends nothing otherwise.
    bool mayRequest(int64_t nowMs) const { return nowMs >= m_heldUntil; }
    // Until when (monotonic milliseconds) requests are held; a time not
    // after now means they are not.
    int64_t heldUntil() const { return m_heldUntil; }
    // Lines to log since the last call: a warning when a back-off starts or
    // its cause changes, an info line when it ends.
    std::vector<Note> takeNotes();

private:
    enum class Cause { NONE, THROTTLED, UNREACHABLE, FAILING };

    void answered(int64_t nowMs);
    void backOff(Cause cause, const std::string& reason, int64_t nowMs);
    void hold(int64_t untilMs, Cause cause, const std::string& reason, bool capped, int64_t nowMs);

    std::mt19937 m_random;
    int64_t m_heldUntil = std::numeric_limits<int64_t>::min();
    // The next exponential delay, before jitter.
    int64_t m_delay = FIRST_BACKOFF_MS;
    // Requests in a row that failed (no answer, 429 or 5xx).
    int m_failures = 0;
    // A back-off lasts from its first hold to the next answer; its cause is
    // that of the last warning.
    bool m_backingOff = false;
    int64_t m_since = 0;
    Cause m_cause = Cause::NONE;
    std::vector<Note> m_notes;
};

// The status code in front of a status text ("503 Service Unavailable");
// 0 without one.
int statusCode(const std::string& status);

}  // namespace nerivo
