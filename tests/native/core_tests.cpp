// The date-time core on its own: calendar, epoch splits, RFC 3339 text, the cut
// to the day; expected values worked out apart from this code.
#include <cinttypes>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "helpers/pure/instant.hpp"
#include "helpers/pure/rfc3339.hpp"
#include "invariants.hpp"

using namespace std::literals;
using namespace tavik;

namespace {

int g_checks = 0, g_failures = 0;

#define CHECK(cond, ...)                                                                   \
    do {                                                                                   \
        ++g_checks;                                                                        \
        if (!(cond) && ++g_failures <= 50) {                                               \
            std::fprintf(stderr, "%s:%d: CHECK(%s) failed: ", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, __VA_ARGS__);                                             \
            std::fputc('\n', stderr);                                                      \
        }                                                                                  \
    } while (false)

constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min(), kI64Max = -(kI64Min + 1);
constexpr ParseError kOk = ParseError::None, kRange = ParseError::OutOfRange, kInvalid = ParseError::Invalid,
                     kShort = ParseError::TooShort, kLong = ParseError::TooLong;
constexpr RoundingError kOver = RoundingError::TimestampExceedsLimit;

Instant at(year_t y, unsigned mo, unsigned d, unsigned h = 0, unsigned mi = 0, unsigned s = 0, std::uint32_t frac = 0) {
    return Instant{Date{y, static_cast<month_t>(mo), static_cast<day_t>(d)}, h * 3600 + mi * 60 + s, frac};
}

std::string show(const Instant& t) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "%" PRId32 "-%02u-%02u secs=%" PRIu32 " frac=%" PRIu32, t.date.year,
                  unsigned{t.date.month}, unsigned{t.date.day}, t.secs, t.frac);
    return buf;
}

// Text for a report, every byte outside printable ASCII as \xNN.
std::string show(std::string_view text) {
    std::string out;
    for (const unsigned char c : text) {
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        out += c >= 0x20 && c < 0x7f ? std::string(1, static_cast<char>(c)) : std::string(hex);
    }
    return out;
}

// The calendar: every day of years -1200..10000 and of two eras at each end
// of the range is the successor of the one before (by a leap rule written
// apart from the code) and maps back to its own day count.
void test_calendar() {
    CHECK(days_from_civil(1970, 1, 1) == 0 && days_from_civil(1, 1, 1) == -719162, "the epoch is day 0");
    CHECK((civil_from_days(kFirstUnixDay) == Date{kMinYear, 1, 1}), "first day");
    CHECK((civil_from_days(kLastUnixDay) == Date{kMaxYear, 12, 31}), "last day");
    constexpr unsigned char kLengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    constexpr std::int64_t kLow = -102987368, kHigh = kLow + (1 << 30);  // the 32-bit split's ends
    const std::int64_t spans[][2] = {{kFirstUnixDay - 1, kFirstUnixDay + 2 * 146097},
                                     {days_from_civil(-1200, 1, 1), days_from_civil(10001, 1, 1)},
                                     {kLastUnixDay - 2 * 146097, kLastUnixDay + 1},
                                     {kLow - 800, kLow + 800},
                                     {kHigh - 800, kHigh + 800}};
    for (const auto& span : spans) {
        Date prev = civil_from_days(span[0]);
        for (std::int64_t n = span[0] + 1; n <= span[1]; ++n) {
            const Date cur = civil_from_days(n);
            const bool leap = prev.year % 400 == 0 || (prev.year % 4 == 0 && prev.year % 100 != 0);
            const unsigned length = prev.month == 2 && leap ? 29 : kLengths[prev.month - 1];
            const Date want = prev.day < length ? Date{prev.year, prev.month, static_cast<day_t>(prev.day + 1)}
                              : prev.month < 12 ? Date{prev.year, static_cast<month_t>(prev.month + 1), 1}
                                                : Date{prev.year + 1, 1, 1};
            if (!(cur == want) || days_from_civil(cur.year, cur.month, cur.day) != n ||
                is_valid_date(cur.year, cur.month, cur.day) != (n >= kFirstUnixDay && n <= kLastUnixDay)) {
                CHECK(false, "day %" PRId64 " is %d-%u-%u", n, cur.year, unsigned{cur.month}, unsigned{cur.day});
                return;
            }
            prev = cur;
        }
    }
}

// Constant evaluation rejects signed overflow: these compile only if the
// splits stay inside 64 bits at both ends of the 64-bit range.
constexpr bool refused_from(std::int64_t first, int count) {
    for (std::int64_t n = first; n < first + count; ++n) {
        if (instant_from_unix_ms(n) || instant_from_unix(n, 0)) return false;
    }
    return true;
}
static_assert(refused_from(kI64Min, 1000));
static_assert(refused_from(kI64Max - 999, 999));

// Epoch milliseconds, split by floor division, and unix_ms, their inverse
// rounding down, over the first and last instants and around the epoch (the
// bounds as the caller sees them are rows of the Python table of calls).
void test_epoch() {
    constexpr std::int64_t kFirstMs = -8'334'601'228'800'000, kLastMs = 8'210'266'876'799'999;
    CHECK((instant_from_unix_ms(kFirstMs) == at(kMinYear, 1, 1)), "the first instant");
    CHECK(!instant_from_unix_ms(kFirstMs - 1) && !instant_from_unix_ms(kLastMs + 1), "beyond the range");
    CHECK(!instant_from_unix(0, kNanosPerSecond), "a clock never reads a leap second");
    // The clock's calendar keeps one day's date: readings across midnight, back to an earlier day, before 1970.
    ClockCalendar calendar;
    for (int pass = 0; pass < 2; ++pass) {
        for (const std::int64_t s : std::initializer_list<std::int64_t>{0, 86'399, 86'400, 1'483'228'800, 86'399,
                                                                        kLastMs / 1000, kLastMs / 1000 + 1, -1}) {
            CHECK(calendar.instant(s, 5) == instant_from_unix(s, 5), "the clock's calendar at %" PRId64, s);
        }
    }
    // A fresh cache holds no day, not even the one its "no day yet" marker spells.
    CHECK(!ClockCalendar{}.instant(std::int64_t{0xFFFF'FFFF} * kSecondsPerDay, 5), "a fresh cache at the marker's day");
    for (const std::int64_t start : {kFirstMs, std::int64_t{-2000}, kLastMs - 4000}) {
        for (std::int64_t ms = start; ms <= start + 4000; ++ms) {
            const std::optional<Instant> t = instant_from_unix_ms(ms);
            CHECK(t && is_valid_instant(*t) && unix_ms(*t) == ms, "ms %" PRId64, ms);
        }
    }
    CHECK(unix_ms(at(1969, 12, 31, 23, 59, 59, 999'999'999)) == -1, "rounded down");
    CHECK(unix_ms(at(2016, 12, 31, 23, 59, 59, 1'500'000'000)) == 1'483'228'799'500, "a leap second");
}

// The leap second: a fraction of a whole second or more, below two, at second 59 alone.
void test_leap_second_rule() {
    const struct {
        unsigned second;
        std::uint32_t frac;
        bool valid;
    } rows[] = {
        {59, 1'999'999'999, true}, {59, 2'000'000'000, false},  // beyond the leap second
        {58, 1'000'000'000, false}, {0, 1'000'000'000, false},  // a leap second only ends a minute
        {0, 999'999'999, true},
    };
    for (const auto& r : rows) {
        CHECK(is_valid_time(23, 59, r.second, r.frac) == r.valid &&
                  is_valid_instant(at(2016, 12, 31, 23, 59, r.second, r.frac)) == r.valid,
              "second %u, fraction %" PRIu32, r.second, r.frac);
    }
}

// One row per rule of the grammar and of the order of its checks, read by
// both the parser and its scanner.
void test_parse() {
    const struct {
        std::string_view text;
        Instant want;
    } accepted[] = {
        {"2024-01-02T03:04:05Z"sv, at(2024, 1, 2, 3, 4, 5)},
        {"2024-01-02t03:04:05z"sv, at(2024, 1, 2, 3, 4, 5)},
        {"2024-01-02 11:34:05+08:30"sv, at(2024, 1, 2, 3, 4, 5)},
        {"2024-01-02T03:04:05-00:00"sv, at(2024, 1, 2, 3, 4, 5)},
        {"2024-01-01T22:04:05\xE2\x88\x92" "05:00"sv, at(2024, 1, 2, 3, 4, 5)},  // U+2212 minus
        {"2024-01-01T00:30:00+01:00"sv, at(2023, 12, 31, 23, 30)},
        {"2024-02-28T23:00:00-01:00"sv, at(2024, 2, 29)},
        {"2023-02-28T23:00:00-01:00"sv, at(2023, 3, 1)},
        {"2024-03-01T00:10:00+00:11"sv, at(2024, 2, 29, 23, 59)},
        {"2024-12-31T23:30:00-00:30"sv, at(2025, 1, 1)},
        {"0000-01-01T00:00:00+00:01"sv, at(-1, 12, 31, 23, 59)},
        {"9999-12-31T23:59:59-00:01"sv, at(10000, 1, 1, 0, 0, 59)},
        {"6436-06-15T12:00:00Z"sv, at(6436, 6, 15, 12)},
        // fractions: cut at nanoseconds, never rounded
        {"2024-01-02T03:04:05.5Z"sv, at(2024, 1, 2, 3, 4, 5, 500'000'000)},
        {"2024-01-02T03:04:05.000000999Z"sv, at(2024, 1, 2, 3, 4, 5, 999)},
        {"2024-01-02T03:04:05.12345678999999Z"sv, at(2024, 1, 2, 3, 4, 5, 123'456'789)},
        {"2024-01-02T03:04:05.1234567\xE2\x88\x92" "01:00"sv, at(2024, 1, 2, 4, 4, 5, 123'456'700)},
        // leap seconds, at any minute, survive the offset
        {"2016-12-31T23:59:60.5+01:00"sv, at(2016, 12, 31, 22, 59, 59, 1'500'000'000)},
        {"1999-01-01T00:00:60.999999999+00:01"sv, at(1998, 12, 31, 23, 59, 59, 1'999'999'999)},
    };
    const struct {
        std::string_view text;
        ParseError error;
    } refused[] = {
        {""sv, kShort},
        {"abc"sv, kShort},  // too short is decided before any byte is read
        {"2024-01-0"sv, kShort},
        {"2024-01-02"sv, kShort},
        {"2024-01-02T03:04"sv, kShort},
        {"2024-01-02T03:04:05"sv, kShort},
        {"2024-01-02T03:04:05."sv, kShort},
        {"2024-01-02T03:04:05+"sv, kShort},
        {"2024-01-02T03:04:05+08:0"sv, kShort},
        {"2024-01-02T03:04:05\xE2\x88\x92"sv, kShort},
        {"2024-01-02T03:04:05+24:6"sv, kShort},  // the hours' range is asked after the minutes are read
        {" 2024-01-02T03:04:05Z"sv, kInvalid},
        {"2024-1-02T03:04:05Z"sv, kInvalid},
        {"2024/01/02T03:04:05Z"sv, kInvalid},
        {"2024-01-02x03:04:05Z"sv, kInvalid},
        {"2024-01-02T03-04:05Z"sv, kInvalid},
        {"2024-01-02T03:04Z"sv, kInvalid},  // no seconds, yet long enough
        {"2024-01-02T03:04:05.Z"sv, kInvalid},
        {"2024-01-02T03:04:05,5Z"sv, kInvalid},
        {"2024-01-02T03:04:05 Z"sv, kInvalid},
        {"2024-01-02T03:04:05+0800"sv, kInvalid},
        {"2024-01-02T03:04:05+0a:00"sv, kInvalid},
        {"2024-01-02T03:04:05+08:6x"sv, kInvalid},  // "6x" is no number at all, so not out of range
        {"2024-01-02T03:04:05\xE2\x88\x93" "05:00"sv, kInvalid},  // U+2213 is no minus
        {"2024-01-02T03:04:05\xE2\x88"sv, kInvalid},            // a minus cut short
        {"2024-01-02T03:04:05UTC"sv, kInvalid},
        {"2024-00-02T03:04:05Z"sv, kRange},
        {"2024-13"sv, kRange},  // each field's range as soon as it is read
        {"2024-01-00T03:04:05Z"sv, kRange},
        {"2024-01-32"sv, kRange},
        {"2024-01-02T24:00:00Z"sv, kRange},
        {"2024-01-02T03:60:00Z"sv, kRange},
        {"2024-01-02T03:04:61"sv, kRange},
        {"2023-02-29T00:00:00Z"sv, kRange},
        {"1900-02-29T00:00:00Z"sv, kRange},
        {"2024-04-31T00:00:00Z"sv, kRange},
        {"2024-01-02T03:04:05+24:00"sv, kRange},
        {"2024-01-02T03:04:05-00:60"sv, kRange},
        {"2024-01-02T03:04:05Z "sv, kLong},
        {"2024-01-02T03:04:05+08:00:00"sv, kLong},
        {"2024-01-02T03:04:05Z\0"sv, kLong},
        {"2023-02-30T00:00:00Zx"sv, kLong},  // before a day the month does not have
    };
    const auto check = [](std::string_view text, ParseError error, const Instant& want) {
        for (const ParseResult& got : {parse_rfc3339(text), detail::scan(text)}) {
            CHECK(got.error == error && (error != kOk || got.instant() == want), "\"%s\" gave %d %s",
                  show(text).c_str(), static_cast<int>(got.error), show(got.instant()).c_str());
        }
    };
    for (const auto& r : accepted) check(r.text, kOk, r.want);
    for (const auto& r : refused) check(r.text, r.error, {});
    // The end of the view, not a terminator or the bytes after it, ends the text.
    CHECK(parse_rfc3339("2024-01-02T03:04:05Z9"sv.substr(0, 20)).error == kOk, "a view inside a longer text");
    CHECK(detail::scan("2024-01-02T03:04:05.5Z"sv.substr(0, 19)).error == kShort, "a view cut before its fraction");
}

// Every invariant on generated texts (fraction lengths, offset forms, every
// cut, odd bytes everywhere).  Each text has a heap block of its exact size:
// a sanitized build reports any overread.
void test_invariants_on_generated_texts() {
    const std::string fractions[] = {"",          ".",          ".1",          ".123", ".1234567",
                                     ".12345678", ".123456789", ".1234567891", ".9x"};
    const std::string offsets[] = {"Z",      "z",      "+00:00", "-05:30",       "+23:59", "+24:00",
                                   "-00:60", "+0530",  "\xE2\x88\x92" "01:00", "Z ",     "",       "+05:3"};
    const std::string bases[] = {"2024-02-29T23:59:60", "0000-01-01T00:00:00", "9999-12-31 23:59:59",
                                 "2023-02-29t12:00:00", "1970-01-01T00:00:00"};
    const char odd[] = {'0', '1', '2', '3', '4', '6', '9', '/', ':', '-', 'T', '.', 'Z', '+', '~', '\x80', '\0'};
    long compared = 0, taken = 0;
    const auto compare = [&](const std::string& text) {
        char* block = new char[text.size() + (text.empty() ? 1 : 0)];
        text.copy(block, text.size());
        bool took = false;
        const char* broken = testing::broken_invariant({block, text.size()}, took);
        CHECK(broken == nullptr, "\"%s\": %s", show(text).c_str(), broken);
        ++compared;
        taken += took;
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
    CHECK(taken > compared / 50, "the shortcut took %ld of %ld texts", taken, compared);
}

std::string format(const Instant& t) {
    char out[kMaxFormattedLength];
    return std::string(out, format_rfc3339(t, out));
}

// The text's form: which fraction digits are written.  That every text reads
// back as its instant, and that years outside 0..9999 have none, are text
// invariants, checked on the generated texts.
void test_format() {
    const struct {
        Instant t;
        std::string_view want;
    } rows[] = {
        {at(2024, 1, 2, 3, 4, 5), "2024-01-02T03:04:05+00:00"sv},
        {at(2024, 1, 2, 3, 4, 5, 123'456'789), "2024-01-02T03:04:05.123456+00:00"sv},  // cut, not rounded
        {at(2024, 1, 2, 3, 4, 5, 120'000'999), "2024-01-02T03:04:05.120+00:00"sv},     // milliseconds suffice
        {at(2024, 1, 2, 3, 4, 5, 1'000'000), "2024-01-02T03:04:05.001+00:00"sv},
        {at(2024, 1, 2, 3, 4, 5, 500'000), "2024-01-02T03:04:05.000500+00:00"sv},
        {at(2024, 1, 2, 3, 4, 5, 999), "2024-01-02T03:04:05+00:00"sv},                 // below a microsecond
        {at(2016, 12, 31, 22, 59, 59, 1'500'000'000), "2016-12-31T22:59:60.500+00:00"sv},  // a leap second
    };
    for (const auto& r : rows) {
        const std::string got = format(r.t);
        CHECK(got == r.want, "format(%s) = \"%s\"", show(r.t).c_str(), got.c_str());
    }
}

// The cut to the day: the instants whose nanosecond count since the epoch fits
// in 64 bits, each to midnight of its own date.
void test_truncate() {
    const struct {
        Instant t;
        RoundingError error;
    } rows[] = {
        {at(1677, 9, 21, 0, 12, 43, 145'224'192), RoundingError::None},  // -2^63 ns
        {at(1677, 9, 21, 0, 12, 43, 145'224'191), kOver},
        {at(1677, 9, 21, 0, 12, 42, 999'999'999), kOver},
        {at(1677, 9, 21, 0, 12, 59, 1'999'999'999), RoundingError::None},
        {at(2262, 4, 11, 23, 47, 16, 854'775'807), RoundingError::None},  // 2^63 - 1 ns
        {at(2262, 4, 11, 23, 47, 16, 854'775'808), kOver},
        {at(2262, 4, 11, 23, 47, 17), kOver},
        {at(2262, 4, 11, 23, 46, 59, 1'999'999'999), RoundingError::None},
        {at(kMinYear, 1, 1), kOver},
        {at(kMaxYear, 12, 31, 23, 59, 59, 999'999'999), kOver},
    };
    for (const auto& r : rows) {
        const TruncateResult got = truncate_to_day(r.t);
        CHECK(got.error == r.error && (r.error != RoundingError::None || got.instant == Instant{r.t.date, 0, 0}),
              "truncate_to_day(%s) gave %d %s", show(r.t).c_str(), static_cast<int>(got.error),
              show(got.instant).c_str());
    }
}

}  // namespace

int main() {
    test_calendar();
    test_epoch();
    test_leap_second_rule();
    test_parse();
    test_invariants_on_generated_texts();
    test_format();
    test_truncate();
    std::printf("%d checks, %d failures\n", g_checks, g_failures);
    return g_failures == 0 ? 0 : 1;
}
