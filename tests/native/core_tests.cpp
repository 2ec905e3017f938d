// Tests of the date-time core: calendar arithmetic, epoch conversions, the
// RFC 3339 parser and formatter, and the cut to the start of a UTC day.
// Expected values come from the documented examples or were worked out
// independently of this code (Python's proleptic calendar, shifted by whole
// 400-year cycles for years outside 1..9999).

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "instant.hpp"
#include "rfc3339.hpp"

using namespace std::literals;
using namespace tavik;

namespace {

int g_checks = 0;
int g_failures = 0;

#define CHECK(cond, ...)                                                        \
    do {                                                                        \
        ++g_checks;                                                             \
        if (!(cond)) {                                                          \
            ++g_failures;                                                       \
            std::fprintf(stderr, "%s:%d: CHECK(%s) failed: ", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, __VA_ARGS__);                                  \
            std::fputc('\n', stderr);                                           \
        }                                                                       \
    } while (false)

constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();

Instant at(year_t y, unsigned mo, unsigned d, unsigned h = 0, unsigned mi = 0, unsigned s = 0, std::uint32_t frac = 0) {
    return Instant{Date{y, static_cast<month_t>(mo), static_cast<day_t>(d)}, h * 3600 + mi * 60 + s, frac};
}

std::string show(const Instant& t) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "%" PRId32 "-%02u-%02u secs=%" PRIu32 " frac=%" PRIu32, t.date.year,
                  unsigned{t.date.month}, unsigned{t.date.day}, t.secs, t.frac);
    return buf;
}

std::string show(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c >= 0x20 && c < 0x7f) {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
            out += hex;
        }
    }
    return out;
}

const char* name(ParseError e) {
    switch (e) {
        case ParseError::None: return "None";
        case ParseError::OutOfRange: return "OutOfRange";
        case ParseError::Impossible: return "Impossible";
        case ParseError::NotEnough: return "NotEnough";
        case ParseError::Invalid: return "Invalid";
        case ParseError::TooShort: return "TooShort";
        case ParseError::TooLong: return "TooLong";
        case ParseError::BadFormat: return "BadFormat";
    }
    return "?";
}

// --- calendar ---------------------------------------------------------------

void test_calendar_table() {
    struct Row {
        year_t y;
        unsigned m, d;
        std::int64_t days;
    };
    constexpr Row rows[] = {
        {1970, 1, 1, 0},
        {1969, 12, 31, -1},
        {2024, 1, 2, 19724},
        {2000, 2, 29, 11016},
        {2000, 3, 1, 11017},         // first day of a 400-year era (March-based)
        {1600, 2, 29, -135081},
        {1600, 3, 1, -135080},
        {1900, 2, 28, -25509},       // 1900 is not a leap year
        {1900, 3, 1, -25508},
        {2400, 2, 29, 157113},
        {1677, 9, 21, -106752},
        {2262, 4, 11, 106751},
        {1, 1, 1, -719162},
        {9999, 12, 31, 2932896},
        {10000, 1, 1, 2932897},
        {0, 12, 31, -719163},
        {0, 3, 1, -719468},          // era 0 starts here
        {0, 2, 29, -719469},         // year 0 is a leap year
        {0, 1, 1, -719528},
        {-1, 12, 31, -719529},
        {-1, 3, 1, -719834},
        {-1, 2, 28, -719835},
        {-100, 2, 28, -755994},      // -100 is not a leap year
        {-100, 3, 1, -755993},
        {-400, 2, 29, -865566},
        {-400, 1, 1, -865625},
        {-401, 12, 31, -865626},
        {-262143, 1, 1, -96465292},  // first day of the range
        {-262143, 3, 1, -96465233},
        {-262144, 12, 31, -96465293},
        {262000, 2, 29, 94974066},
        {262142, 12, 31, 95026236},  // last day of the range
        {262143, 1, 1, 95026237},
    };
    for (const Row& r : rows) {
        const std::int64_t days = days_from_civil(r.y, r.m, r.d);
        CHECK(days == r.days, "days_from_civil(%d-%u-%u) = %" PRId64 ", want %" PRId64, r.y, r.m, r.d, days, r.days);
        const Date back = civil_from_days(r.days);
        CHECK((back == Date{r.y, static_cast<month_t>(r.m), static_cast<day_t>(r.d)}),
              "civil_from_days(%" PRId64 ") = %d-%u-%u", r.days, back.year, unsigned{back.month}, unsigned{back.day});
    }
}

// Walks day by day and checks that each date is the calendar successor of
// the one before and that both directions agree.  Covers several eras on each
// side of year 0 and both ends of the range.
void test_calendar_walk() {
    struct Span {
        std::int64_t from, to;
    };
    constexpr Span spans[] = {
        {-96465292 - 800, -96465292 + 146097 * 2},  // across the first eras of the range
        {-719528 - 146097 * 3, 146097 * 3},          // years -1200..2800
        {95026236 - 146097 * 2, 95026236 + 800},     // up to and past the last day
        // where the 32-bit split hands over to the 64-bit one, on both sides
        {-102987368 - 800, -102987368 + 800},
        {(std::int64_t{1} << 30) - 102987368 - 800, (std::int64_t{1} << 30) - 102987368 + 800},
    };
    int bad = 0;
    for (const Span& s : spans) {
        Date prev = civil_from_days(s.from - 1);
        for (std::int64_t n = s.from; n <= s.to && bad < 10; ++n) {
            const Date cur = civil_from_days(n);
            Date want = prev;
            if (prev.day < days_in_month(prev.year, prev.month)) {
                want.day = static_cast<day_t>(prev.day + 1);
            } else if (prev.month < 12) {
                want = Date{prev.year, static_cast<month_t>(prev.month + 1), 1};
            } else {
                want = Date{prev.year + 1, 1, 1};
            }
            if (!(cur == want) || days_from_civil(cur.year, cur.month, cur.day) != n) {
                ++bad;
                CHECK(false, "day %" PRId64 ": got %d-%u-%u after %d-%u-%u", n, cur.year, unsigned{cur.month},
                      unsigned{cur.day}, prev.year, unsigned{prev.month}, unsigned{prev.day});
            }
            prev = cur;
        }
    }
    CHECK(bad == 0, "calendar walk found %d bad days", bad);
}

void test_leap_years() {
    struct Row {
        year_t y;
        bool leap;
    };
    constexpr Row rows[] = {{2024, true}, {2023, false}, {2000, true}, {1900, false}, {0, true},
                            {-4, true},   {-100, false}, {-400, true}, {-1, false},   {262140, true}};
    for (const Row& r : rows) CHECK(is_leap_year(r.y) == r.leap, "is_leap_year(%d)", r.y);
}

// --- epoch conversions ------------------------------------------------------

void test_ms_table() {
    struct Row {
        std::int64_t ms;
        std::optional<Instant> want;
    };
    const Row rows[] = {
        {0, at(1970, 1, 1)},
        {-1, at(1969, 12, 31, 23, 59, 59, 999'000'000)},  // floor, not toward zero
        {-999, at(1969, 12, 31, 23, 59, 59, 1'000'000)},
        {-1000, at(1969, 12, 31, 23, 59, 59)},
        {-1001, at(1969, 12, 31, 23, 59, 58, 999'000'000)},
        {1, at(1970, 1, 1, 0, 0, 0, 1'000'000)},
        {86'400'000, at(1970, 1, 2)},
        {-86'400'000, at(1969, 12, 31)},
        {1'700'000'000'123, at(2023, 11, 14, 22, 13, 20, 123'000'000)},
        {253'402'300'799'999, at(9999, 12, 31, 23, 59, 59, 999'000'000)},
        {253'402'300'800'000, at(10000, 1, 1)},
        {-62'135'596'800'000, at(1, 1, 1)},
        {-62'135'596'800'001, at(0, 12, 31, 23, 59, 59, 999'000'000)},
        {-8'334'601'228'800'000, at(-262143, 1, 1)},                       // first accepted
        {-8'334'601'228'800'001, std::nullopt},                            // -262144-12-31
        {-8'334'601'315'200'000, std::nullopt},                            // a whole day further out
        {8'210'266'876'799'999, at(262142, 12, 31, 23, 59, 59, 999'000'000)},  // last accepted
        {8'210'266'876'800'000, std::nullopt},
        {kI64Min, std::nullopt},
        {kI64Max, std::nullopt},
    };
    for (const Row& r : rows) {
        const std::optional<Instant> got = instant_from_unix_ms(r.ms);
        if (!r.want) {
            CHECK(!got, "instant_from_unix_ms(%" PRId64 ") = %s, want nothing", r.ms, got ? show(*got).c_str() : "");
            continue;
        }
        CHECK(got && *got == *r.want, "instant_from_unix_ms(%" PRId64 ") = %s, want %s", r.ms,
              got ? show(*got).c_str() : "nothing", show(*r.want).c_str());
        CHECK(!got || is_valid_instant(*got), "invalid instant from %" PRId64, r.ms);
        CHECK(unix_ms(*r.want) == r.ms, "unix_ms(%s) = %" PRId64, show(*r.want).c_str(), unix_ms(*r.want));
    }
}

// Constant evaluation rejects signed overflow, so these compile only if the
// splits stay inside 64 bits at both ends of the range, whatever the compiler
// would make of the overflow at run time.
constexpr bool refused_from(std::int64_t first, int count) {
    for (std::int64_t n = first; n < first + count; ++n) {
        if (instant_from_unix_ms(n) || instant_from_unix(n, 0)) return false;
    }
    return true;
}
static_assert(refused_from(kI64Min, 1000));
static_assert(refused_from(kI64Max - 999, 999));

void test_unix_seconds_table() {
    struct Row {
        std::int64_t seconds;
        std::uint32_t nanos;
        std::optional<Instant> want;
    };
    const Row rows[] = {
        {0, 0, at(1970, 1, 1)},
        {-1, 999'999'999, at(1969, 12, 31, 23, 59, 59, 999'999'999)},
        {86'399, 5, at(1970, 1, 1, 23, 59, 59, 5)},
        {86'400, 0, at(1970, 1, 2)},
        {1'483'228'800, 0, at(2017, 1, 1)},
        {86'399, 0, at(1970, 1, 1, 23, 59, 59)},  // a clock set back to an earlier day
        {0, 1'000'000'000, std::nullopt},  // a clock never reads a leap second
        {-8'334'601'228'800, 0, at(-262143, 1, 1)},
        {-8'334'601'228'801, 999'999'999, std::nullopt},
        {8'210'266'876'799, 999'999'999, at(262142, 12, 31, 23, 59, 59, 999'999'999)},
        {8'210'266'876'800, 0, std::nullopt},
        {kI64Min, 0, std::nullopt},
        {kI64Max, 999'999'999, std::nullopt},
    };
    // The clock's calendar, walked through the rows in order (twice, so that
    // every row also meets the day the last one left), must answer alike: a
    // date served for the wrong day would show after each change of day.
    ClockCalendar calendar;
    for (int pass = 0; pass < 2; ++pass) {
        for (const Row& r : rows) {
            for (const std::optional<Instant> got : {instant_from_unix(r.seconds, r.nanos),
                                                     calendar.instant(r.seconds, r.nanos)}) {
                const bool same = r.want ? got && *got == *r.want : !got;
                CHECK(same, "instant_from_unix(%" PRId64 ", %" PRIu32 ") = %s", r.seconds, r.nanos,
                      got ? show(*got).c_str() : "nothing");
            }
        }
    }
}

void test_unix_ms_of_instants() {
    struct Row {
        Instant t;
        std::int64_t ms;
    };
    const Row rows[] = {
        {at(1970, 1, 1, 0, 0, 0, 999'999), 0},  // rounded down, never up
        {at(1969, 12, 31, 23, 59, 59, 999'999'999), -1},
        {at(1969, 12, 31, 23, 59, 59, 1), -1000},
        // a leap second reads as the second it is folded into
        {at(2016, 12, 31, 23, 59, 59, 1'500'000'000), 1'483'228'799'500},
        {at(2016, 12, 31, 23, 59, 59, 1'000'000'000), 1'483'228'799'000},
        {at(-262143, 1, 1), -8'334'601'228'800'000},
    };
    for (const Row& r : rows) {
        CHECK(unix_ms(r.t) == r.ms, "unix_ms(%s) = %" PRId64 ", want %" PRId64, show(r.t).c_str(), unix_ms(r.t), r.ms);
    }
}

// Consecutive milliseconds around awkward points convert to consecutive
// instants and back.
void test_ms_sweep() {
    constexpr std::int64_t centres[] = {0, -62'135'596'800'000, 951'782'400'000 /* 2000-02-29 */,
                                        -8'334'601'228'800'000 + 5000, 8'210'266'876'799'999 - 5000};
    for (const std::int64_t c : centres) {
        for (std::int64_t ms = c - 3000; ms <= c + 3000; ++ms) {
            const std::optional<Instant> t = instant_from_unix_ms(ms);
            CHECK(t && is_valid_instant(*t) && unix_ms(*t) == ms, "ms %" PRId64, ms);
            if (!t) break;
            CHECK(t->frac == static_cast<std::uint32_t>(((ms % 1000) + 1000) % 1000) * 1'000'000u,
                  "ms %" PRId64 " frac %" PRIu32, ms, t->frac);
        }
    }
}

// --- messages ---------------------------------------------------------------

void test_messages() {
    struct PRow {
        ParseError kind;
        const char* text;
    };
    constexpr PRow parse_rows[] = {
        {ParseError::OutOfRange, "input is out of range"},
        {ParseError::Impossible, "no possible date and time matching input"},
        {ParseError::NotEnough, "input is not enough for unique date and time"},
        {ParseError::Invalid, "input contains invalid characters"},
        {ParseError::TooShort, "premature end of input"},
        {ParseError::TooLong, "trailing input"},
        {ParseError::BadFormat, "bad or unsupported format string"},
    };
    for (const PRow& r : parse_rows) {
        CHECK(std::strcmp(message(r.kind), r.text) == 0, "message(%s) = \"%s\"", name(r.kind), message(r.kind));
    }
    struct RRow {
        RoundingError kind;
        const char* text;
    };
    constexpr RRow rounding_rows[] = {
        {RoundingError::DurationExceedsTimestamp, "duration in nanoseconds exceeds timestamp"},
        {RoundingError::DurationExceedsLimit, "duration exceeds num_nanoseconds limit"},
        {RoundingError::TimestampExceedsLimit, "timestamp exceeds num_nanoseconds limit"},
    };
    for (const RRow& r : rounding_rows) {
        CHECK(std::strcmp(message(r.kind), r.text) == 0, "message(rounding %d) = \"%s\"", static_cast<int>(r.kind),
              message(r.kind));
    }
}

// --- parsing ----------------------------------------------------------------

struct ParseRow {
    std::string_view text;
    ParseError error;
    Instant want;  // only when error is None
};

constexpr ParseError kOk = ParseError::None;
constexpr ParseError kRange = ParseError::OutOfRange;
constexpr ParseError kInvalid = ParseError::Invalid;
constexpr ParseError kShort = ParseError::TooShort;
constexpr ParseError kLong = ParseError::TooLong;

void test_parse_table() {
    const Instant base = at(2024, 1, 2, 3, 4, 5);
    const ParseRow rows[] = {
        // accepted forms and relaxations
        {"2024-01-02T03:04:05Z"sv, kOk, base},
        {"2024-01-02 11:04:05+08:00"sv, kOk, base},
        {"2024-01-02t03:04:05z"sv, kOk, base},
        {"2024-01-02T03:04:05-00:00"sv, kOk, base},
        {"2024-01-02T03:04:05+00:00"sv, kOk, base},
        {"2024-01-01T00:30:00+01:00"sv, kOk, at(2023, 12, 31, 23, 30)},
        {"2024-01-02T03:04:05\xE2\x88\x92" "05:00"sv, kOk, at(2024, 1, 2, 8, 4, 5)},
        {"2024-01-02T03:04:05-05:00"sv, kOk, at(2024, 1, 2, 8, 4, 5)},
        {"2024-01-02T03:04:05+23:59"sv, kOk, at(2024, 1, 1, 3, 5, 5)},
        {"2024-01-02T03:04:05-23:59"sv, kOk, at(2024, 1, 3, 3, 3, 5)},
        {"2024-02-28T23:00:00-01:00"sv, kOk, at(2024, 2, 29)},
        {"2023-02-28T23:00:00-01:00"sv, kOk, at(2023, 3, 1)},
        {"2024-12-31T23:30:00-00:30"sv, kOk, at(2025, 1, 1)},
        {"1970-01-01T00:00:00+00:01"sv, kOk, at(1969, 12, 31, 23, 59)},
        // fractions are cut at nanoseconds, never rounded
        {"2024-01-02T03:04:05.123456789Z"sv, kOk, at(2024, 1, 2, 3, 4, 5, 123'456'789)},
        {"2024-01-02T03:04:05.5Z"sv, kOk, at(2024, 1, 2, 3, 4, 5, 500'000'000)},
        {"2024-01-02T03:04:05.1234567891234Z"sv, kOk, at(2024, 1, 2, 3, 4, 5, 123'456'789)},
        {"2024-01-02T03:04:05.000000999Z"sv, kOk, at(2024, 1, 2, 3, 4, 5, 999)},
        {"2024-01-02T03:04:05.9999999999Z"sv, kOk, at(2024, 1, 2, 3, 4, 5, 999'999'999)},
        {"2024-01-02T03:04:05.000Z"sv, kOk, base},
        {"2024-01-02T03:04:05.12+01:00"sv, kOk, at(2024, 1, 2, 2, 4, 5, 120'000'000)},
        // leap seconds, at any minute, survive the offset
        {"2016-12-31T23:59:60Z"sv, kOk, at(2016, 12, 31, 23, 59, 59, 1'000'000'000)},
        {"2016-12-31T23:59:60.5+01:00"sv, kOk, at(2016, 12, 31, 22, 59, 59, 1'500'000'000)},
        {"2024-06-15T12:34:60.999999999Z"sv, kOk, at(2024, 6, 15, 12, 34, 59, 1'999'999'999)},
        {"1999-01-01T00:00:60+00:01"sv, kOk, at(1998, 12, 31, 23, 59, 59, 1'000'000'000)},
        // calendar edges
        {"0000-01-01T00:00:00Z"sv, kOk, at(0, 1, 1)},
        {"0000-02-29T00:00:00Z"sv, kOk, at(0, 2, 29)},
        {"0000-01-01T00:00:00+00:01"sv, kOk, at(-1, 12, 31, 23, 59)},
        {"9999-12-31T23:59:59-00:01"sv, kOk, at(10000, 1, 1, 0, 0, 59)},
        {"9999-12-31T23:59:59.999999999Z"sv, kOk, at(9999, 12, 31, 23, 59, 59, 999'999'999)},
        {"2000-02-29T00:00:00Z"sv, kOk, at(2000, 2, 29)},

        // premature end
        {""sv, kShort, {}},
        {"2"sv, kShort, {}},
        {"abc"sv, kShort, {}},  // too short is decided before the bytes are read
        {"2024"sv, kShort, {}},
        {"2024-"sv, kShort, {}},
        {"2024-01-0"sv, kShort, {}},
        {"2024-01-02"sv, kShort, {}},
        {"2024-01-02T"sv, kShort, {}},
        {"2024-01-02T03:04"sv, kShort, {}},
        {"2024-01-02T03:04:"sv, kShort, {}},
        {"2024-01-02T03:04:05"sv, kShort, {}},
        {"2024-01-02T03:04:05."sv, kShort, {}},
        {"2024-01-02T03:04:05.5"sv, kShort, {}},
        {"2024-01-02T03:04:05+"sv, kShort, {}},
        {"2024-01-02T03:04:05+0"sv, kShort, {}},
        {"2024-01-02T03:04:05+08"sv, kShort, {}},
        {"2024-01-02T03:04:05+08:"sv, kShort, {}},
        {"2024-01-02T03:04:05+08:0"sv, kShort, {}},
        {"2024-01-02T03:04:05\xE2\x88\x92"sv, kShort, {}},

        // invalid characters
        {"2024-01-02T03:04Z"sv, kInvalid, {}},
        {"2024-01-02T03:04:05+0800"sv, kInvalid, {}},
        {" 2024-01-02T03:04:05Z"sv, kInvalid, {}},
        {"2024-1-02T03:04:05Z"sv, kInvalid, {}},
        {"2024-01-02T03:04:05.Z"sv, kInvalid, {}},
        {"abcd-01-02T03:04:05Z"sv, kInvalid, {}},
        {"+024-01-02T03:04:05Z"sv, kInvalid, {}},
        {"2024/01/02T03:04:05Z"sv, kInvalid, {}},
        {"2024-01-02x03:04:05Z"sv, kInvalid, {}},
        {"2024-01-02_03:04:05Z"sv, kInvalid, {}},
        {"2024-01-02T03-04-05Z"sv, kInvalid, {}},
        {"2024-01-02T03:04:05 Z"sv, kInvalid, {}},
        {"2024-01-02T03:04:05,5Z"sv, kInvalid, {}},
        {"2024-01-02T03:04:05*08:00"sv, kInvalid, {}},
        {"2024-01-02T03:04:05+0a:00"sv, kInvalid, {}},
        {"2024-01-02T03:04:05+08-00"sv, kInvalid, {}},
        {"2024-01-02T03:04:05+08:5x"sv, kInvalid, {}},
        {"2024-01-02T03:04:05+08:6x"sv, kInvalid, {}},  // not a digit pair, so not a number at all
        {"2024-01-02T03:04:05+08:x5"sv, kInvalid, {}},
        {"2024-01-02T03:04:05\xE2\x88\x93" "05:00"sv, kInvalid, {}},  // U+2213 is not a minus
        {"2024-01-02T03:04:05\xE2\x88" "05:00"sv, kInvalid, {}},
        {"2024-01-02T03:04:05\xE2\x88"sv, kInvalid, {}},
        {"2024-01-02T03:04:05UTC"sv, kInvalid, {}},

        // out of range, each field as soon as it is read
        {"2024-13-02T03:04:05Z"sv, kRange, {}},
        {"2024-00-02T03:04:05Z"sv, kRange, {}},
        {"2024-01-00T03:04:05Z"sv, kRange, {}},
        {"2024-01-32T03:04:05Z"sv, kRange, {}},
        {"2024-01-02T24:00:00Z"sv, kRange, {}},
        {"2024-01-02T03:60:00Z"sv, kRange, {}},
        {"2024-01-02T03:04:61Z"sv, kRange, {}},
        {"2023-02-29T00:00:00Z"sv, kRange, {}},
        {"1900-02-29T00:00:00Z"sv, kRange, {}},
        {"2024-04-31T00:00:00Z"sv, kRange, {}},
        {"2024-01-02T03:04:05+24:00"sv, kRange, {}},
        {"2024-01-02T03:04:05-24:00"sv, kRange, {}},
        {"2024-01-02T03:04:05+08:60"sv, kRange, {}},
        {"2024-01-02T03:04:05+99:99"sv, kRange, {}},
        {"2024-01-02T03:04:05+99:00"sv, kRange, {}},

        // trailing input
        {"2024-01-02T03:04:05Z "sv, kLong, {}},
        {"2024-01-02T03:04:05+08:00:00"sv, kLong, {}},
        {"2024-01-02T03:04:05ZZ"sv, kLong, {}},
        {"2024-01-02T03:04:05Z\0"sv, kLong, {}},

        // order of checks
        {"2024-13-01x"sv, kRange, {}},                 // month before separator
        {"2024-13"sv, kRange, {}},                     // month before the end of input
        {"2024-01-32"sv, kRange, {}},                  // day range before the end of input
        {"2023-02-30T00:00:00Zx"sv, kLong, {}},        // trailing text before a nonexistent day
        {"2023-02-30T00:00:00Z"sv, kRange, {}},
        {"2023-02-30T00:00:00"sv, kShort, {}},         // missing offset before a nonexistent day
        {"2023-02-30T00:00:00+0800"sv, kInvalid, {}},
        {"2024-01-02T25"sv, kRange, {}},               // hour before the colon
        {"2024-01-02T03:04:61"sv, kRange, {}},         // second before the missing offset
        {"2024-01-02T03:04:05+24:"sv, kShort, {}},     // hours range only after the minutes
        {"2024-01-02T03:04:05+24:6"sv, kShort, {}},
        {"2024-13-02T03:04:05Zx"sv, kRange, {}},
    };
    for (const ParseRow& r : rows) {
        const ParseResult got = parse_rfc3339(r.text);
        CHECK(got.error == r.error, "parse(\"%s\") gave %s, want %s", show(r.text).c_str(), name(got.error),
              name(r.error));
        if (r.error == kOk && got.error == kOk) {
            CHECK(got.instant == r.want, "parse(\"%s\") = %s, want %s", show(r.text).c_str(), show(got.instant).c_str(),
                  show(r.want).c_str());
            CHECK(is_valid_instant(got.instant), "parse(\"%s\") not a valid instant", show(r.text).c_str());
        }
        const ParseResult scanned = parse_rfc3339_scanned(r.text);
        CHECK(scanned.error == got.error && (got.error != kOk || scanned.instant == got.instant),
              "the scanner reads \"%s\" as %s %s", show(r.text).c_str(), name(scanned.error),
              show(scanned.instant).c_str());
    }
}

// The word-at-a-time reading of the common shape against the field-by-field
// scanner: every fraction length, every offset form, every cut, and odd
// bytes at every position.  Each text sits in a heap block of its exact size,
// so that a sanitized build reports any read past its end.
void test_parser_agrees_with_scanner() {
    const std::string fractions[] = {"", ".", ".1", ".12", ".123", ".1234", ".12345", ".123456", ".1234567",
                                     ".12345678", ".123456789", ".1234567891", ".123456789123", ".9x", ".99999999"};
    const std::string offsets[] = {"Z", "z", "+00:00", "-00:00", "+05:30", "-23:59", "+24:00", "-00:60", "+0530",
                                   "\xE2\x88\x92" "01:00", "Z ", "", "+05:3", "+05:30:00"};
    const std::string bases[] = {"2024-02-29T23:59:60", "0000-01-01T00:00:00", "9999-12-31 23:59:59",
                                 "2023-02-29t12:00:00", "1970-01-01T00:00:00"};
    const char odd[] = {'0', '9', '/', ':', '-', 'T', ' ', '.', 'Z', '+', '\x80', '\xFF', '\0'};
    long compared = 0, disagreements = 0;
    const auto compare = [&](const std::string& text) {
        char* block = new char[text.size() == 0 ? 1 : text.size()];
        std::memcpy(block, text.data(), text.size());
        const std::string_view view(block, text.size());
        const ParseResult fast = parse_rfc3339(view);
        const ParseResult scanned = parse_rfc3339_scanned(view);
        // The shortcut str_to_date takes, in datetime fields, must be the same instant.
        CivilTime fields;
        const bool common = parse_rfc3339_common(view, fields);
        ++compared;
        if (fast.error != scanned.error || (fast.error == kOk && !(fast.instant == scanned.instant)) ||
            (common && !(scanned.error == kOk && instant_of(fields) == scanned.instant))) {
            if (++disagreements <= 10) {
                CHECK(false, "\"%s\": parser %s %s, scanner %s %s", show(text).c_str(), name(fast.error),
                      show(fast.instant).c_str(), name(scanned.error), show(scanned.instant).c_str());
            }
        }
        delete[] block;
    };
    for (const std::string& base : bases) {
        for (const std::string& fraction : fractions) {
            for (const std::string& offset : offsets) {
                const std::string text = base + fraction + offset;
                for (std::size_t cut = 0; cut <= text.size(); ++cut) compare(text.substr(0, cut));
                for (std::size_t i = 0; i < text.size(); ++i) {
                    for (const char c : odd) {
                        std::string changed = text;
                        changed[i] = c;
                        compare(changed);
                    }
                }
            }
        }
    }
    CHECK(disagreements == 0, "%ld of %ld texts read differently", disagreements, compared);
}

// The parser must stop at the end of the view, not at a terminator.
void test_parse_view_bounds() {
    constexpr std::string_view full = "2024-01-02T03:04:05Z9"sv;
    const ParseResult cut = parse_rfc3339(full.substr(0, full.size() - 1));
    CHECK(cut.error == kOk && cut.instant == at(2024, 1, 2, 3, 4, 5), "substring parse gave %s", name(cut.error));
    const ParseResult shorter = parse_rfc3339(full.substr(0, 19));
    CHECK(shorter.error == kShort, "substring without offset gave %s", name(shorter.error));
}

// --- formatting -------------------------------------------------------------

std::string format(const Instant& t) {
    char out[kMaxFormattedLength];
    const std::size_t n = format_rfc3339(t, out);
    return std::string(out, n);
}

void test_format_table() {
    struct Row {
        Instant t;
        std::string_view want;  // empty: no text for this year
    };
    const Row rows[] = {
        {at(2024, 1, 2, 3, 4, 5), "2024-01-02T03:04:05+00:00"sv},
        {at(2024, 1, 2, 3, 4, 5, 123'456'000), "2024-01-02T03:04:05.123456+00:00"sv},
        {at(2024, 1, 2, 3, 4, 5, 120'000'000), "2024-01-02T03:04:05.120+00:00"sv},
        {at(2024, 1, 2, 3, 4, 5, 1'000'000), "2024-01-02T03:04:05.001+00:00"sv},
        {at(2024, 1, 2, 3, 4, 5, 500'000), "2024-01-02T03:04:05.000500+00:00"sv},
        {at(2024, 1, 2, 3, 4, 5, 1'000), "2024-01-02T03:04:05.000001+00:00"sv},
        {at(1, 1, 1), "0001-01-01T00:00:00+00:00"sv},
        {at(9999, 12, 31, 23, 59, 59, 999'999'000), "9999-12-31T23:59:59.999999+00:00"sv},
        {at(0, 1, 1), "0000-01-01T00:00:00+00:00"sv},
        {at(99, 7, 4, 12, 0, 9), "0099-07-04T12:00:09+00:00"sv},
        // below the microsecond nothing is written
        {at(2024, 1, 2, 3, 4, 5, 999), "2024-01-02T03:04:05+00:00"sv},
        {at(2024, 1, 2, 3, 4, 5, 123'456'789), "2024-01-02T03:04:05.123456+00:00"sv},
        {at(2024, 1, 2, 3, 4, 5, 120'000'999), "2024-01-02T03:04:05.120+00:00"sv},
        {at(2024, 1, 2, 3, 4, 5, 999'999'999), "2024-01-02T03:04:05.999999+00:00"sv},
        {at(1969, 12, 31, 23, 59, 59, 100'000'000), "1969-12-31T23:59:59.100+00:00"sv},
        // a leap second keeps its RFC 3339 form
        {at(2016, 12, 31, 23, 59, 59, 1'000'000'000), "2016-12-31T23:59:60+00:00"sv},
        {at(2016, 12, 31, 22, 59, 59, 1'500'000'000), "2016-12-31T22:59:60.500+00:00"sv},
        {at(2016, 12, 31, 23, 59, 59, 1'999'999'999), "2016-12-31T23:59:60.999999+00:00"sv},
        // years without a four-digit form
        {at(-1, 12, 31, 23, 59, 59), ""sv},
        {at(10000, 1, 1), ""sv},
        {at(kMinYear, 1, 1), ""sv},
        {at(kMaxYear, 12, 31), ""sv},
    };
    for (const Row& r : rows) {
        const std::string got = format(r.t);
        CHECK(got == r.want, "format(%s) = \"%s\", want \"%s\"", show(r.t).c_str(), got.c_str(),
              std::string(r.want).c_str());
    }
}

// Every length the formatter can produce fits the buffer exactly: a canary
// beyond a 32-byte array would not be seen, so the longest form is checked
// to be exactly the buffer's size.
void test_format_longest() {
    const std::string longest = format(at(9999, 12, 31, 23, 59, 59, 999'999'999));
    CHECK(longest.size() == kMaxFormattedLength, "longest text has %zu bytes", longest.size());
    const std::string leap = format(at(9999, 12, 31, 23, 59, 59, 1'999'999'999));
    CHECK(leap.size() == kMaxFormattedLength, "longest leap text has %zu bytes", leap.size());
}

// --- round trips ------------------------------------------------------------

struct Lcg {
    std::uint64_t state;
    std::uint64_t next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return state >> 33;
    }
    std::uint64_t below(std::uint64_t n) { return next() % n; }
};

void test_format_parse_round_trip() {
    Lcg rng{20240102};
    int bad = 0;
    const std::int64_t first = days_from_civil(0, 1, 1);
    const std::int64_t span = days_from_civil(9999, 12, 31) - first + 1;
    for (int i = 0; i < 200'000 && bad < 10; ++i) {
        Instant t;
        t.date = civil_from_days(first + static_cast<std::int64_t>(rng.below(static_cast<std::uint64_t>(span))));
        t.secs = static_cast<std::uint32_t>(rng.below(86'400));
        switch (rng.below(5)) {
            case 0: t.frac = 0; break;
            case 1: t.frac = static_cast<std::uint32_t>(rng.below(1000)) * 1'000'000; break;
            case 2: t.frac = static_cast<std::uint32_t>(rng.below(1'000'000)) * 1000; break;
            case 3: t.frac = static_cast<std::uint32_t>(rng.below(1'000'000'000)); break;
            default:
                t.secs = t.secs / 60 * 60 + 59;
                t.frac = 1'000'000'000 + static_cast<std::uint32_t>(rng.below(1'000'000'000));
                break;
        }
        const std::string text = format(t);
        const ParseResult back = parse_rfc3339(text);
        const ParseResult scanned = parse_rfc3339_scanned(text);
        CHECK(scanned.error == back.error && scanned.instant == back.instant, "the scanner reads \"%s\" as %s",
              text.c_str(), show(scanned.instant).c_str());
        Instant want = t;
        want.frac -= want.frac % 1000;
        if (back.error != kOk || !(back.instant == want) || text.size() > kMaxFormattedLength) {
            ++bad;
            CHECK(false, "%s -> \"%s\" -> %s (%s)", show(t).c_str(), text.c_str(), show(back.instant).c_str(),
                  name(back.error));
        }
    }
    CHECK(bad == 0, "%d round trips failed", bad);
}

// Texts already in the written form come back unchanged.
void test_parse_format_round_trip() {
    constexpr std::string_view texts[] = {
        "2024-01-02T03:04:05+00:00"sv,        "2024-01-02T03:04:05.123456+00:00"sv,
        "2024-01-02T03:04:05.120+00:00"sv,    "2024-01-02T03:04:05.000500+00:00"sv,
        "0000-02-29T00:00:00+00:00"sv,        "9999-12-31T23:59:59.999999+00:00"sv,
        "2016-12-31T23:59:60.500+00:00"sv,    "1969-12-31T23:59:59.999+00:00"sv,
    };
    for (const std::string_view text : texts) {
        const ParseResult parsed = parse_rfc3339(text);
        CHECK(parsed.error == kOk, "parse(\"%s\") gave %s", std::string(text).c_str(), name(parsed.error));
        if (parsed.error != kOk) continue;
        const std::string again = format(parsed.instant);
        CHECK(again == text, "format(parse(\"%s\")) = \"%s\"", std::string(text).c_str(), again.c_str());
    }
}

// --- truncation -------------------------------------------------------------

void test_truncate_table() {
    constexpr RoundingError kOver = RoundingError::TimestampExceedsLimit;
    struct Row {
        Instant t;
        RoundingError error;
        Instant want;
    };
    const Row rows[] = {
        {at(2024, 1, 2, 3, 4, 5, 123'456'000), RoundingError::None, at(2024, 1, 2)},
        {at(2024, 1, 2), RoundingError::None, at(2024, 1, 2)},
        {at(1970, 1, 1), RoundingError::None, at(1970, 1, 1)},
        {at(1970, 1, 1, 0, 0, 0, 1'000), RoundingError::None, at(1970, 1, 1)},
        // before 1970 back to the start of the same day, never forward
        {at(1969, 12, 31, 12), RoundingError::None, at(1969, 12, 31)},
        {at(1969, 12, 31, 23, 59, 59, 999'999'000), RoundingError::None, at(1969, 12, 31)},
        {at(1969, 12, 31, 23, 59, 59, 999'999'999), RoundingError::None, at(1969, 12, 31)},
        {at(1969, 12, 31, 0, 0, 0, 1), RoundingError::None, at(1969, 12, 31)},
        {at(1969, 12, 31), RoundingError::None, at(1969, 12, 31)},
        {at(1900, 3, 1, 0, 0, 1), RoundingError::None, at(1900, 3, 1)},
        // the lower end: -2^63 ns is the first count accepted
        {at(1677, 9, 21, 0, 12, 43, 145'224'192), RoundingError::None, at(1677, 9, 21)},
        {at(1677, 9, 21, 0, 12, 43, 145'224'191), kOver, {}},
        {at(1677, 9, 21, 0, 12, 43, 145'225'000), RoundingError::None, at(1677, 9, 21)},
        {at(1677, 9, 21, 0, 12, 43, 145'224'000), kOver, {}},
        {at(1677, 9, 21, 0, 12, 42, 999'999'999), kOver, {}},
        {at(1677, 9, 21, 23, 59, 59), RoundingError::None, at(1677, 9, 21)},  // midnight itself lies outside
        {at(1677, 9, 20, 23, 59, 59), kOver, {}},
        // the upper end: 2^63 - 1 ns is the last
        {at(2262, 4, 11, 23, 47, 16, 854'775'807), RoundingError::None, at(2262, 4, 11)},
        {at(2262, 4, 11, 23, 47, 16, 854'775'808), kOver, {}},
        {at(2262, 4, 11, 23, 47, 16, 854'775'000), RoundingError::None, at(2262, 4, 11)},
        {at(2262, 4, 11, 23, 47, 16, 854'776'000), kOver, {}},
        {at(2262, 4, 11, 23, 47, 17), kOver, {}},
        {at(2262, 4, 11), RoundingError::None, at(2262, 4, 11)},
        // whole years out of reach
        {at(1676, 12, 31, 23, 59, 59), kOver, {}},
        {at(2263, 1, 1), kOver, {}},
        {at(1, 1, 1), kOver, {}},
        {at(9999, 12, 31, 23, 59, 59, 999'999'000), kOver, {}},
        {at(kMinYear, 1, 1), kOver, {}},
        {at(kMaxYear, 12, 31, 23, 59, 59, 999'999'999), kOver, {}},
        // leap seconds stay on their own date
        {at(2016, 12, 31, 23, 59, 59, 1'500'000'000), RoundingError::None, at(2016, 12, 31)},
        {at(2016, 12, 31, 23, 59, 59, 1'000'000'000), RoundingError::None, at(2016, 12, 31)},
        {at(1969, 12, 31, 23, 59, 59, 1'500'000'000), RoundingError::None, at(1969, 12, 31)},
        {at(1969, 12, 31, 23, 59, 59, 1'000'000'000), RoundingError::None, at(1969, 12, 31)},
        {at(1677, 9, 21, 0, 12, 59, 1'999'999'999), RoundingError::None, at(1677, 9, 21)},
        {at(2262, 4, 11, 23, 46, 59, 1'999'999'999), RoundingError::None, at(2262, 4, 11)},
    };
    for (const Row& r : rows) {
        const TruncateResult got = truncate_to_day(r.t);
        CHECK(got.error == r.error, "truncate_to_day(%s) error %d, want %d", show(r.t).c_str(),
              static_cast<int>(got.error), static_cast<int>(r.error));
        if (r.error == RoundingError::None && got.error == RoundingError::None) {
            CHECK(got.instant == r.want, "truncate_to_day(%s) = %s, want %s", show(r.t).c_str(),
                  show(got.instant).c_str(), show(r.want).c_str());
        }
    }
}

// Every instant of a few days on both sides of the epoch and at both ends of
// the range, at one-minute steps, goes to midnight of its own date.
void test_truncate_sweep() {
    const Instant days[] = {at(1969, 12, 30), at(1969, 12, 31), at(1970, 1, 1), at(1677, 9, 22), at(2262, 4, 10)};
    for (const Instant& d : days) {
        for (std::uint32_t secs = 0; secs < 86'400; secs += 60) {
            for (const std::uint32_t frac : {0u, 1u, 999'999'999u}) {
                Instant t = d;
                t.secs = secs;
                t.frac = frac;
                const TruncateResult got = truncate_to_day(t);
                CHECK(got.error == RoundingError::None && got.instant == d, "truncate_to_day(%s)", show(t).c_str());
            }
        }
    }
}

}  // namespace

int main() {
    test_calendar_table();
    test_calendar_walk();
    test_leap_years();
    test_ms_table();
    test_unix_seconds_table();
    test_unix_ms_of_instants();
    test_ms_sweep();
    test_messages();
    test_parse_table();
    test_parse_view_bounds();
    test_parser_agrees_with_scanner();
    test_format_table();
    test_format_longest();
    test_format_parse_round_trip();
    test_parse_format_round_trip();
    test_truncate_table();
    test_truncate_sweep();
    std::printf("%d checks, %d failures\n", g_checks, g_failures);
    return g_failures == 0 ? 0 : 1;
}
