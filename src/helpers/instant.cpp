#include "instant.hpp"

#include <limits>

namespace tavik {

namespace {

constexpr std::int64_t kMillisPerSecond = 1000;
constexpr std::uint32_t kNanosPerMilli = 1'000'000;

// C++ division truncates toward zero; every split of a signed count here
// needs the quotient rounded down so that the remainder is never negative.
constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    const std::int64_t q = a / b;
    return q - ((a % b != 0) && ((a < 0) != (b < 0)));
}

}  // namespace

std::optional<Instant> instant_from_unix(std::int64_t seconds, std::uint32_t nanos) noexcept {
    // The leap-second form never comes from a clock or an epoch count.
    if (nanos >= kNanosPerSecond) return std::nullopt;

    const std::int64_t days = floor_div(seconds, kSecondsPerDay);
    const auto secs = static_cast<std::uint32_t>(seconds - days * kSecondsPerDay);

    // The common-era day number is kept in 32 bits elsewhere; refusing it here
    // also keeps the year cast inside civil_from_days from wrapping.
    const std::int64_t ce_day = days + kUnixEpochDay;
    if (ce_day < std::numeric_limits<std::int32_t>::min() || ce_day > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }

    const Date date = civil_from_days(days);
    if (date.year < kMinYear || date.year > kMaxYear) return std::nullopt;
    return Instant{date, secs, nanos};
}

std::optional<Instant> instant_from_unix_ms(std::int64_t ms) noexcept {
    // floor division: -1 ms is the last millisecond of 1969, not the first of 1970.
    const std::int64_t seconds = floor_div(ms, kMillisPerSecond);
    const auto millis = static_cast<std::uint32_t>(ms - seconds * kMillisPerSecond);
    return instant_from_unix(seconds, millis * kNanosPerMilli);
}

std::int64_t unix_ms(const Instant& t) noexcept {
    // A leap second reads as the second it is folded into (23:59:60.5 gives
    // 23:59:59.500), the same wall-clock value the datetime conversion shows.
    // The whole range is about 8.3e15 ms, far inside 64 bits.
    return unix_seconds(t) * kMillisPerSecond + (t.frac % kNanosPerSecond) / kNanosPerMilli;
}

}  // namespace tavik
