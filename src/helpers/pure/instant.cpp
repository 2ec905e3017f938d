#include "helpers/pure/instant.hpp"

namespace tavik {

const char* message(RoundingError kind) noexcept {
    switch (kind) {
        case RoundingError::None: return "";
        case RoundingError::DurationExceedsTimestamp: return "duration in nanoseconds exceeds timestamp";
        case RoundingError::DurationExceedsLimit: return "duration exceeds num_nanoseconds limit";
        case RoundingError::TimestampExceedsLimit: return "timestamp exceeds num_nanoseconds limit";
    }
    return "";
}

TruncateResult truncate_to_day(const Instant& t) noexcept {
    // Every instant of the years 1678..2261, a leap second's too, has a
    // nanosecond count in range: only the two end years need the count.
    if (t.date.year > 1677 && t.date.year < 2262) [[likely]]
        return TruncateResult{Instant{t.date, 0, 0}, RoundingError::None};

    constexpr std::int64_t kNanos = kNanosPerSecond;
    const std::int64_t s = unix_seconds(t);
    const std::int64_t f = t.frac;

    // Before the epoch the second is borrowed into the fraction first, so the
    // very first nanosecond of the range, -2^63, is reached without the
    // product overflowing on the way.
    std::int64_t whole, count;
    const bool overflow = s < 0 ? __builtin_mul_overflow(s + 1, kNanos, &whole) ||
                                      __builtin_add_overflow(whole, f - kNanos, &count)
                                : __builtin_mul_overflow(s, kNanos, &whole) ||
                                      __builtin_add_overflow(whole, f, &count);
    if (overflow) return TruncateResult{Instant{}, RoundingError::TimestampExceedsLimit};

    // Cutting the count back by its remainder modulo one day (toward minus
    // infinity for negative counts) lands on midnight of the instant's own
    // date, also before 1970; doing it on the calendar fields keeps days like
    // 1677-09-21, whose midnight is itself outside the count's range, and a
    // leap second, whose count already lies in the next day, on their date.
    return TruncateResult{Instant{t.date, 0, 0}, RoundingError::None};
}

}  // namespace tavik
