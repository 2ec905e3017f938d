// The module's one time value, the calendar arithmetic behind it, the epoch
// splits and the cut to the start of a UTC day.
// Plain C++: no Python.h, so it is tested and fuzzed on its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

namespace tavik {

using year_t = std::int32_t;    // [-262143:262142]
using month_t = std::uint8_t;   // [1:12]
using day_t = std::uint8_t;     // [1:31]

inline constexpr year_t kMinYear = -262143;
inline constexpr year_t kMaxYear = 262142;

// 0001-01-01 is day 1 of the common era, so 1970-01-01 is day 719163.
inline constexpr std::int64_t kUnixEpochDay = 719163;
inline constexpr std::int64_t kSecondsPerDay = 86400;
inline constexpr std::uint32_t kNanosPerSecond = 1'000'000'000;

struct Date {
    year_t year;
    month_t month;
    day_t day;
    friend constexpr bool operator==(const Date&, const Date&) = default;
};

// The leap second.  Second 60 of a minute is kept as second 59 whose
// fraction runs on past a whole second: 23:59:60.5 is 23:59:59 with 1.5e9 ns.
// So a fraction is below 1e9, or below 2e9 at second 59 only.
inline constexpr std::uint32_t kFractionLimit = 2 * kNanosPerSecond;

constexpr bool is_leap_fraction(std::uint32_t frac) noexcept { return frac >= kNanosPerSecond; }

constexpr bool is_valid_fraction(unsigned second_of_minute, std::uint32_t frac) noexcept {
    return frac < kNanosPerSecond || (frac < kFractionLimit && second_of_minute == 59);
}

// The nanoseconds past the start of the second a reader is shown: the
// second itself for a leap second (60 in text; 59 in a datetime, which has
// no second 60).
constexpr std::uint32_t nanos_in_shown_second(std::uint32_t frac) noexcept {
    return is_leap_fraction(frac) ? frac - kNanosPerSecond : frac;
}

// A second and fraction as read (second 0..60, nanos below 1e9) in the kept form.
struct KeptSecond {
    unsigned second;     // [0:59]
    std::uint32_t frac;
};

constexpr KeptSecond kept_second(unsigned second, std::uint32_t nanos) noexcept {
    return second == 60 ? KeptSecond{59, nanos + kNanosPerSecond} : KeptSecond{second, nanos};
}

// A point on the UTC scale.  `secs` is the second of the day [0:86399];
// `frac` the nanoseconds, a leap second's included (is_valid_fraction with
// secs % 60; 23:59:60.5 is secs 86399, frac 1'500'000'000).
struct Instant {
    Date date;
    std::uint32_t secs;
    std::uint32_t frac;
    friend constexpr bool operator==(const Instant&, const Instant&) = default;
};

// Which to use: Instant is the module's time value (records hold it, the day
// cut and the epoch splits work on it); CivilTime is the form at the datetime
// boundary, where the parser and the formatter work, so that a datetime is
// built or read without splitting or joining the second of the day.
// An instant as the fields a datetime stores: the second of the day split
// into hour, minute and second; `frac` as in Instant.
struct CivilTime {
    Date date;
    std::uint8_t hour, minute, second;
    std::uint32_t frac;
    friend constexpr bool operator==(const CivilTime&, const CivilTime&) = default;
};

constexpr CivilTime civil_time(const Instant& t) noexcept {
    return CivilTime{t.date, static_cast<std::uint8_t>(t.secs / 3600), static_cast<std::uint8_t>(t.secs / 60 % 60),
                     static_cast<std::uint8_t>(t.secs % 60), t.frac};
}

constexpr Instant instant_of(const CivilTime& c) noexcept {
    return Instant{c.date, c.hour * 3600u + c.minute * 60u + c.second, c.frac};
}

constexpr bool is_leap_year(year_t y) noexcept {
    return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

// One table for the program: a table local to the function was rebuilt on
// the stack at every call.
inline constexpr unsigned char kMonthLengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

constexpr unsigned days_in_month(year_t y, unsigned m) noexcept {
    return m == 2 && is_leap_year(y) ? 29u : kMonthLengths[m - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (negative before it).
// Counting years from March puts the leap day last, and shifting to eras of
// 400 years (146097 days) makes every era identical, so only the year of the
// era needs the division by 4/100/400.
constexpr std::int64_t days_from_civil(year_t year, unsigned month, unsigned day) noexcept {
    const std::int64_t y = static_cast<std::int64_t>(year) - (month <= 2);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);                  // [0, 399]
    const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;  // [0, 365]
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;                  // [0, 146096]
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// Inverse of days_from_civil.  Exact for every int32 year; callers check the
// instant's year range themselves.
constexpr Date civil_from_days(std::int64_t days) noexcept {
    // Neri and Schneider's split ("Euclidean affine functions and their
    // application to calendar algorithms", Software: Practice and Experience,
    // 2022).  For days -102,987,368 .. 970,754,455 from 1970, the dates
    // -280000-03-01 .. 2659805-06-05 (about 282,000 years before 1970 to
    // 2,658,000 after: the whole instant range), the same split in 32-bit
    // arithmetic where every division is by a constant or a multiply and a
    // shift: the count is moved by 700 eras so that it is never negative (and
    // stays below 2^30), centuries come from 4n+3 over 146097, the year of the
    // century and the day of the year from one 64-bit product, month and day
    // from one product over 2^16, March first as below.
    constexpr std::int64_t kShiftEras = 700;
    constexpr std::int64_t kShift = 719468 + 146097 * kShiftEras;
    if (const std::int64_t shifted = days + kShift; shifted >= 0 && shifted < (std::int64_t{1} << 30)) [[likely]] {
        const std::uint32_t n1 = 4 * static_cast<std::uint32_t>(shifted) + 3;
        const std::uint32_t century = n1 / 146097;
        const std::uint32_t n2 = n1 % 146097 / 4 * 4 + 3;                       // day of the century, as 4n+3
        const std::uint64_t p2 = std::uint64_t{2939745} * n2;
        const auto year_of_century = static_cast<std::uint32_t>(p2 >> 32);
        const std::uint32_t doy = static_cast<std::uint32_t>(p2) / 2939745 / 4;  // [0, 365], March first
        const std::uint32_t n3 = 2141 * doy + 197913;
        const std::uint32_t month = n3 >> 16;                                    // [3, 14]
        const std::uint32_t day = (n3 & 0xFFFF) / 2141 + 1;
        const bool january_or_february = doy >= 306;
        const std::int64_t year = std::int64_t{100} * century + year_of_century - 400 * kShiftEras +
                                  january_or_february;
        return Date{static_cast<year_t>(year), static_cast<month_t>(january_or_february ? month - 12 : month),
                    static_cast<day_t>(day)};
    }
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);                // [0, 146096]
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // [0, 365]
    const unsigned mp = (5 * doy + 2) / 153;                                     // [0, 11], March first
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;                             // [1, 31]
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;                                // [1, 12]
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
    return Date{static_cast<year_t>(y), static_cast<month_t>(m), static_cast<day_t>(d)};
}

constexpr bool is_valid_date(year_t y, unsigned m, unsigned d) noexcept {
    return y >= kMinYear && y <= kMaxYear && m >= 1 && m <= 12 && d >= 1 && d <= days_in_month(y, m);
}

constexpr bool is_valid_time(unsigned hour, unsigned minute, unsigned second, std::uint32_t frac) noexcept {
    return hour < 24 && minute < 60 && second < 60 && is_valid_fraction(second, frac);
}

constexpr bool is_valid_instant(const Instant& t) noexcept {
    return is_valid_date(t.date.year, t.date.month, t.date.day) && t.secs < kSecondsPerDay &&
           is_valid_fraction(t.secs % 60, t.frac);
}

// Whole Unix seconds; a leap second's fraction never adds to them.
constexpr std::int64_t unix_seconds(const Instant& t) noexcept {
    return days_from_civil(t.date.year, t.date.month, t.date.day) * kSecondsPerDay + t.secs;
}

inline constexpr std::int64_t kMillisPerSecond = 1000;
inline constexpr std::uint32_t kNanosPerMilli = 1'000'000;

// Milliseconds since the epoch of a clock reading (nanos below 1e9): whole
// milliseconds, cut, so never ahead of the clock.  For readings inside the
// instant range, whose milliseconds fit 64 bits many times over.
constexpr std::int64_t unix_ms(std::int64_t seconds, std::uint32_t nanos) noexcept {
    return seconds * kMillisPerSecond + nanos / kNanosPerMilli;
}

// Milliseconds since the epoch, rounded down.  A leap second reads as the
// second it is kept in (23:59:60.5 gives 23:59:59.500), the wall-clock value
// the datetime conversion shows.
constexpr std::int64_t unix_ms(const Instant& t) noexcept {
    return unix_ms(unix_seconds(t), nanos_in_shown_second(t.frac));
}

// Floor division by a positive divisor: the quotient rounded toward minus
// infinity and a remainder in [0, divisor).  Built from C++'s truncating `/`
// and `%`, which cannot leave the 64-bit range; the product quotient *
// divisor, which can (-2^63 ms rounded down to whole seconds is below -2^63
// ms), is never formed.
struct FloorDivision {
    std::int64_t quotient;
    std::int64_t remainder;  // [0, divisor)
};

constexpr FloorDivision floor_divide(std::int64_t dividend, std::int64_t divisor) noexcept {
    std::int64_t quotient = dividend / divisor;
    std::int64_t remainder = dividend % divisor;
    if (remainder < 0) {
        --quotient;  // dividend / divisor > INT64_MIN for any divisor above 1
        remainder += divisor;
    }
    return FloorDivision{quotient, remainder};
}

// The first and last day an Instant holds, in days since 1970-01-01.
inline constexpr std::int64_t kFirstUnixDay = days_from_civil(kMinYear, 1, 1);
inline constexpr std::int64_t kLastUnixDay = days_from_civil(kMaxYear, 12, 31);

// The instant `seconds` after the epoch plus `nanos` [0:999999999], or
// nothing when it falls outside the years kMinYear..kMaxYear.  Defined for
// every 64-bit count (constexpr, so a constant evaluation proves it free of
// overflow at the ends of the range).
constexpr std::optional<Instant> instant_from_unix(std::int64_t seconds, std::uint32_t nanos) noexcept {
    // The leap-second form never comes from a clock or an epoch count.
    if (is_leap_fraction(nanos)) return std::nullopt;
    const FloorDivision days = floor_divide(seconds, kSecondsPerDay);
    // Checked before the calendar, whose own arithmetic and year cast hold
    // only for day counts near its range.
    if (days.quotient < kFirstUnixDay || days.quotient > kLastUnixDay) {
        return std::nullopt;
    }
    return Instant{civil_from_days(days.quotient), static_cast<std::uint32_t>(days.remainder), nanos};
}

// The last second an Instant holds: the end of the year kMaxYear.
inline constexpr std::int64_t kMaxUnixSecond = kLastUnixDay * kSecondsPerDay + kSecondsPerDay - 1;

// instant_from_unix for a clock that reads the same day all day long: the
// calendar split is done once per day and its date kept, keyed by the day's
// number.  Day number and date share one 64-bit word, so a reader sees the old
// pair or the new one, never half of each; a reading on any other day (the
// next midnight, or a clock set back) misses and replaces it.
class ClockCalendar {
public:
    std::optional<Instant> instant(std::int64_t seconds, std::uint32_t nanos) noexcept {
        // Before the epoch or beyond the range (one unsigned comparison):
        // what is cached below is then a day number below 2^27, which the
        // "no day yet" marker's can never be.
        if (static_cast<std::uint64_t>(seconds) > std::uint64_t{kMaxUnixSecond} || is_leap_fraction(nanos))
            [[unlikely]]
            return instant_from_unix(seconds, nanos);
        // From the epoch on, truncating division is the floor.
        const std::int64_t days = seconds / kSecondsPerDay;
        const auto secs = static_cast<std::uint32_t>(seconds - days * kSecondsPerDay);
        const std::uint64_t word = day_.load(std::memory_order_relaxed);
        if (static_cast<std::int64_t>(word >> 32) == days) [[likely]]
            return Instant{unpack(word), secs, nanos};
        const std::optional<Instant> computed = instant_from_unix(seconds, nanos);
        // A valid instant from the epoch on has a day number below 2^27 and a
        // year in 1970..kMaxYear (18 bits), so both fit their halves.
        if (computed) day_.store(pack(days, computed->date), std::memory_order_relaxed);
        return computed;
    }

private:
    static constexpr std::uint64_t pack(std::int64_t days, const Date& d) noexcept {
        return static_cast<std::uint64_t>(days) << 32 | static_cast<std::uint64_t>(d.year) << 9 |
               std::uint64_t{d.month} << 5 | d.day;
    }
    static constexpr Date unpack(std::uint64_t word) noexcept {
        return Date{static_cast<year_t>(word >> 9 & 0x3FFFF), static_cast<month_t>(word >> 5 & 0xF),
                    static_cast<day_t>(word & 0x1F)};
    }
    // No day yet: a day number above every one that reaches the cache.
    std::atomic<std::uint64_t> day_{~std::uint64_t{0}};
};

// Unix milliseconds, split by floor division: -1 ms is the last millisecond of 1969.
constexpr std::optional<Instant> instant_from_unix_ms(std::int64_t ms) noexcept {
    const FloorDivision seconds = floor_divide(ms, kMillisPerSecond);
    return instant_from_unix(seconds.quotient, static_cast<std::uint32_t>(seconds.remainder) * kNanosPerMilli);
}

// The day cut and its failure kinds.  Only TimestampExceedsLimit arises here;
// the others belong to the same error type.
enum class RoundingError : std::uint8_t {
    None,
    DurationExceedsTimestamp,
    DurationExceedsLimit,
    TimestampExceedsLimit,
};

const char* message(RoundingError kind) noexcept;

struct TruncateResult {
    Instant instant;    // meaningful only when error == RoundingError::None
    RoundingError error;
};

// Start of the instant's UTC day, for instants whose nanosecond count since
// the epoch fits in a signed 64-bit integer (1677-09-21 .. 2262-04-11).
TruncateResult truncate_to_day(const Instant& t) noexcept;

}  // namespace tavik
