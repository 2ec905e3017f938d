#include "rfc3339.hpp"

#include <limits>

namespace tavik {

const char* message(ParseError kind) noexcept {
    switch (kind) {
        case ParseError::None: return "";
        case ParseError::OutOfRange: return "input is out of range";
        case ParseError::Impossible: return "no possible date and time matching input";
        case ParseError::NotEnough: return "input is not enough for unique date and time";
        case ParseError::Invalid: return "input contains invalid characters";
        case ParseError::TooShort: return "premature end of input";
        case ParseError::TooLong: return "trailing input";
        case ParseError::BadFormat: return "bad or unsupported format string";
    }
    return "";
}

const char* message(RoundingError kind) noexcept {
    switch (kind) {
        case RoundingError::None: return "";
        case RoundingError::DurationExceedsTimestamp: return "duration in nanoseconds exceeds timestamp";
        case RoundingError::DurationExceedsLimit: return "duration exceeds num_nanoseconds limit";
        case RoundingError::TimestampExceedsLimit: return "timestamp exceeds num_nanoseconds limit";
    }
    return "";
}

namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

constexpr unsigned digit(char c) noexcept { return static_cast<unsigned>(c - '0'); }

// The largest offset the text may carry, 23:59, in seconds.
constexpr std::int32_t kMaxOffset = 23 * 3600 + 59 * 60;

// A cursor over the text.  Every reader either consumes what it asked for or
// leaves the error that ends the parse; nothing is ever copied.
class Scanner {
public:
    explicit Scanner(std::string_view text) noexcept : pos_(text.data()), end_(text.data() + text.size()) {}

    std::size_t left() const noexcept { return static_cast<std::size_t>(end_ - pos_); }
    bool at_end() const noexcept { return pos_ == end_; }
    char peek() const noexcept { return *pos_; }
    const char* pos() const noexcept { return pos_; }
    void skip(std::size_t n) noexcept { pos_ += n; }

    // Exactly n digits: a short text is reported before a bad byte, so that a
    // cut-off text always reads as premature end, whatever its last byte.
    ParseError digits(std::size_t n, unsigned& value) noexcept {
        if (left() < n) return ParseError::TooShort;
        unsigned v = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (!is_digit(pos_[i])) return ParseError::Invalid;
            v = v * 10 + digit(pos_[i]);
        }
        pos_ += n;
        value = v;
        return ParseError::None;
    }

    ParseError expect(char c) noexcept {
        if (at_end()) return ParseError::TooShort;
        if (*pos_ != c) return ParseError::Invalid;
        ++pos_;
        return ParseError::None;
    }

private:
    const char* pos_;
    const char* end_;
};

// Reads a two-digit field and checks it against [0, max] at once, so a bad
// field is reported before anything after it is looked at.
ParseError field(Scanner& in, std::size_t width, unsigned min, unsigned max, unsigned& value) noexcept {
    if (const ParseError e = in.digits(width, value); e != ParseError::None) return e;
    return value < min || value > max ? ParseError::OutOfRange : ParseError::None;
}

// The UTF-8 form of U+2212 MINUS SIGN, which some writers put in offsets.
constexpr char kUnicodeMinus[] = {'\xE2', '\x88', '\x92'};

ParseError offset(Scanner& in, std::int32_t& seconds_east) noexcept {
    if (!in.at_end() && (in.peek() == 'Z' || in.peek() == 'z')) {
        in.skip(1);
        seconds_east = 0;
        return ParseError::None;
    }
    if (in.at_end()) return ParseError::TooShort;

    bool west;
    if (in.peek() == '+') {
        west = false;
        in.skip(1);
    } else if (in.peek() == '-') {
        west = true;
        in.skip(1);
    } else if (in.left() >= sizeof kUnicodeMinus && in.pos()[0] == kUnicodeMinus[0] &&
               in.pos()[1] == kUnicodeMinus[1] && in.pos()[2] == kUnicodeMinus[2]) {
        west = true;
        in.skip(sizeof kUnicodeMinus);
    } else {
        return ParseError::Invalid;
    }

    unsigned hours;
    if (const ParseError e = in.digits(2, hours); e != ParseError::None) return e;
    if (const ParseError e = in.expect(':'); e != ParseError::None) return e;

    // Minutes are told apart by their first digit: 6-9 is a number, just not
    // a minute, so it is out of range rather than an invalid character.
    if (in.left() < 2) return ParseError::TooShort;
    const char tens = in.pos()[0];
    const char ones = in.pos()[1];
    if (!is_digit(tens) || !is_digit(ones)) return ParseError::Invalid;
    if (tens > '5') return ParseError::OutOfRange;
    const unsigned minutes = digit(tens) * 10 + digit(ones);
    in.skip(2);

    const auto magnitude = static_cast<std::int32_t>(hours * 3600 + minutes * 60);
    if (magnitude > kMaxOffset) return ParseError::OutOfRange;
    seconds_east = west ? -magnitude : magnitude;
    return ParseError::None;
}

}  // namespace

ParseResult parse_rfc3339(std::string_view text) noexcept {
    Scanner in(text);
    const auto fail = [](ParseError e) noexcept { return ParseResult{Instant{}, e}; };
#define TAVIK_TRY(expr)                                   \
    do {                                                  \
        if (const ParseError e_ = (expr); e_ != ParseError::None) return fail(e_); \
    } while (false)

    unsigned year, month, day;
    TAVIK_TRY(in.digits(4, year));
    TAVIK_TRY(in.expect('-'));
    TAVIK_TRY(field(in, 2, 1, 12, month));
    TAVIK_TRY(in.expect('-'));
    // Only 1-31 here: whether the day exists in its month is asked last.
    TAVIK_TRY(field(in, 2, 1, 31, day));

    if (in.at_end()) return fail(ParseError::TooShort);
    if (const char sep = in.peek(); sep != 'T' && sep != 't' && sep != ' ') return fail(ParseError::Invalid);
    in.skip(1);

    unsigned hour, minute, second;
    TAVIK_TRY(field(in, 2, 0, 23, hour));
    TAVIK_TRY(in.expect(':'));
    TAVIK_TRY(field(in, 2, 0, 59, minute));
    TAVIK_TRY(in.expect(':'));
    // 60 is a leap second; it is accepted at any minute, not only at the
    // end of June or December, since no table of leap seconds is kept.
    TAVIK_TRY(field(in, 2, 0, 60, second));

    std::uint32_t nanos = 0;
    if (!in.at_end() && in.peek() == '.') {
        in.skip(1);
        if (in.at_end()) return fail(ParseError::TooShort);
        if (!is_digit(in.peek())) return fail(ParseError::Invalid);
        // Nanoseconds are the finest unit kept; further digits are cut off,
        // never rounded, so a value never spills into the next second.
        std::uint32_t scale = kNanosPerSecond;
        while (!in.at_end() && is_digit(in.peek())) {
            if (scale > 1) {
                scale /= 10;
                nanos += digit(in.peek()) * scale;
            }
            in.skip(1);
        }
    }

    std::int32_t seconds_east;
    TAVIK_TRY(offset(in, seconds_east));

    if (!in.at_end()) return fail(ParseError::TooLong);
#undef TAVIK_TRY

    // Asked only now, so that trailing text is reported before a day such as
    // 02-30 that the calendar does not have.
    const auto y = static_cast<year_t>(year);
    if (day > days_in_month(y, month)) return fail(ParseError::OutOfRange);

    std::uint32_t secs = hour * 3600 + minute * 60 + second;
    if (second == 60) {
        --secs;
        nanos += kNanosPerSecond;
    }

    // The offset is whole minutes, so the shift moves at most one day either
    // way and leaves the fraction, and with it a leap second, untouched.
    // From years 0..9999 the result stays well inside the Instant's range.
    const std::int64_t local = static_cast<std::int64_t>(secs) - seconds_east;
    std::int64_t days = days_from_civil(y, month, day);
    std::int64_t utc = local;
    if (utc < 0) {
        utc += kSecondsPerDay;
        --days;
    } else if (utc >= kSecondsPerDay) {
        utc -= kSecondsPerDay;
        ++days;
    }
    return ParseResult{Instant{civil_from_days(days), static_cast<std::uint32_t>(utc), nanos}, ParseError::None};
}

namespace {

char* put_digits(char* out, unsigned value, int width) noexcept {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

}  // namespace

std::size_t format_rfc3339(const Instant& t, char (&out)[kMaxFormattedLength]) noexcept {
    if (t.date.year < 0 || t.date.year > 9999) return 0;

    // A leap second is written as second 60, its RFC 3339 form, so that the
    // text parses back to the same instant instead of to the second before.
    const bool leap = t.frac >= kNanosPerSecond;
    const unsigned micros = (t.frac % kNanosPerSecond) / 1000;

    char* p = out;
    p = put_digits(p, static_cast<unsigned>(t.date.year), 4);
    *p++ = '-';
    p = put_digits(p, t.date.month, 2);
    *p++ = '-';
    p = put_digits(p, t.date.day, 2);
    *p++ = 'T';
    p = put_digits(p, t.secs / 3600, 2);
    *p++ = ':';
    p = put_digits(p, t.secs / 60 % 60, 2);
    *p++ = ':';
    p = put_digits(p, leap ? 60 : t.secs % 60, 2);

    // The shortest of no fraction, milliseconds or microseconds that is still
    // exact; digits below the microsecond are dropped like everywhere else.
    if (micros != 0) {
        *p++ = '.';
        p = micros % 1000 == 0 ? put_digits(p, micros / 1000, 3) : put_digits(p, micros, 6);
    }

    for (const char c : {'+', '0', '0', ':', '0', '0'}) *p++ = c;
    return static_cast<std::size_t>(p - out);
}

TruncateResult truncate_to_day(const Instant& t) noexcept {
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
