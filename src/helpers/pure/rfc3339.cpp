#include "helpers/pure/rfc3339.hpp"

#include <bit>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

namespace detail {

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

// Reads a two-digit field and checks it against [min, max] at once, so a bad
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

// The day before or after a valid date, on the calendar itself: the same
// answer as a round trip through the day count, without its divisions.
constexpr Date previous_day(year_t year, unsigned month, unsigned day) noexcept {
    if (day > 1) return Date{year, static_cast<month_t>(month), static_cast<day_t>(day - 1)};
    if (month > 1) {
        return Date{year, static_cast<month_t>(month - 1), static_cast<day_t>(days_in_month(year, month - 1))};
    }
    return Date{year - 1, 12, 31};
}

constexpr Date next_day(year_t year, unsigned month, unsigned day) noexcept {
    if (day < days_in_month(year, month)) return Date{year, static_cast<month_t>(month), static_cast<day_t>(day + 1)};
    if (month < 12) return Date{year, static_cast<month_t>(month + 1), 1};
    return Date{year + 1, 1, 1};
}

// The fields of a checked local date and time at `minutes_east` from UTC.
// The shift moves at most one day either way and only the minute of the day:
// the second and the fraction, and with them a leap second, stay as they are.
constexpr CivilTime shifted_civil(year_t year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                                  unsigned second, std::uint32_t nanos, std::int32_t minutes_east) noexcept {
    const KeptSecond kept = kept_second(second, nanos);
    constexpr std::int32_t kMinutesPerDay = 24 * 60;
    std::int32_t utc = static_cast<std::int32_t>(hour * 60 + minute) - minutes_east;
    Date date{year, static_cast<month_t>(month), static_cast<day_t>(day)};
    if (utc < 0) {
        utc += kMinutesPerDay;
        date = previous_day(year, month, day);
    } else if (utc >= kMinutesPerDay) {
        utc -= kMinutesPerDay;
        date = next_day(year, month, day);
    }
    return CivilTime{date, static_cast<std::uint8_t>(utc / 60), static_cast<std::uint8_t>(utc % 60),
                     static_cast<std::uint8_t>(kept.second), kept.frac};
}

}  // namespace

// The reference grammar, one field at a time, naming the first error.  Not
// inlined: see parse_rfc3339.
[[gnu::noinline]] ParseResult scan(std::string_view text) noexcept {
    Scanner in(text);
    const auto fail = [](ParseError e) noexcept { return ParseResult{CivilTime{}, e}; };
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

    // From years 0..9999 the result stays well inside the Instant's range.
    // The offset is whole minutes.
    return ParseResult{shifted_civil(y, month, day, hour, minute, second, nanos, seconds_east / 60), ParseError::None};
}

namespace {

// Two digits at p, or a value above 99 when either is not a digit.
inline unsigned two_digits(const char* p) noexcept {
    const unsigned tens = static_cast<unsigned char>(p[0]) - unsigned{'0'};
    const unsigned ones = static_cast<unsigned char>(p[1]) - unsigned{'0'};
    return tens > 9 || ones > 9 ? 1000 : tens * 10 + ones;
}

// Eight bytes of text as one word, the first byte lowest on any machine.
inline std::uint64_t load8(const char* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

constexpr std::uint64_t bytes(unsigned char b) noexcept { return 0x0101010101010101u * b; }

// The byte at `index` of a word, and a mask of it.
constexpr std::uint64_t at(unsigned index, unsigned char b) noexcept { return std::uint64_t{b} << (8 * index); }
constexpr std::uint64_t lane(unsigned index) noexcept { return at(index, 0xFF); }

// Bit 7 set in every byte that is not an ASCII digit.  The seven low bits are
// offset separately so that no byte carries into the next.
constexpr std::uint64_t non_digits(std::uint64_t word) noexcept {
    const std::uint64_t low = word & bytes(0x7F);
    const std::uint64_t from_colon = low + bytes(0x80 - ':');  // bit 7 set for ':' (0x3A) and above
    const std::uint64_t from_zero = low + bytes(0x80 - '0');   // bit 7 set for '0' (0x30) and above
    return (word | from_colon | ~from_zero) & bytes(0x80);
}

// Digit values 0..9 in every byte: byte i becomes the two-digit number of bytes i and i+1.
constexpr std::uint64_t digit_pairs(std::uint64_t values) noexcept { return values * 10 + (values >> 8); }

// Digit values 0..9 in every byte, the first byte the most significant digit.
constexpr std::uint32_t eight_digit_number(std::uint64_t values) noexcept {
    values = digit_pairs(values) & 0x00FF00FF00FF00FFu;
    values = (values * 100 + (values >> 16)) & 0x0000FFFF0000FFFFu;
    return static_cast<std::uint32_t>(values * 10000 + (values >> 32));
}

constexpr unsigned byte_at(std::uint64_t word, unsigned index) noexcept {
    return static_cast<unsigned>(word >> (8 * index)) & 0xFF;
}

// The two readers of "YYYY-MM-DD" "T|t| " "HH:MM:SS" (the first 19 bytes at p,
// all readable) below check each field against its range: month 1-12, day
// 1-31, hour 0-23, minute 0-59, second 0-60.  False for anything else.
#if defined(__SSE2__)
// Two overlapping 16-byte reads, "YYYY-MM-DDTHH:MM" and "Y-MM-DDTHH:MM:SS",
// each checked byte by byte against a template (a digit is its byte minus
// '0' at most 9, a separator its own byte minus itself at most 0), then every
// two-digit field that starts at an even offset of either read made a 16-bit
// number, and all of them checked against their ranges at once.
[[gnu::always_inline]] inline bool read_date_time_sse2(const char* p, DateTimeFields& out) noexcept {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 3));
    // The date-time separator (byte 10) has three spellings: it is tested on its own.
    constexpr char D = '0', X = 0;
    const __m128i a_low = _mm_setr_epi8(D, D, D, D, '-', D, D, '-', D, D, X, D, D, ':', D, D);
    const __m128i a_span = _mm_setr_epi8(9, 9, 9, 9, 0, 9, 9, 0, 9, 9, -1, 9, 9, 0, 9, 9);
    const __m128i b_low = _mm_setr_epi8(D, '-', D, D, '-', D, D, X, D, D, ':', D, D, ':', D, D);
    const __m128i b_span = _mm_setr_epi8(9, 0, 9, 9, 0, 9, 9, -1, 9, 9, 0, 9, 9, 0, 9, 9);
    const __m128i a_values = _mm_sub_epi8(a, a_low);
    const __m128i b_values = _mm_sub_epi8(b, b_low);
    const __m128i in_span = _mm_and_si128(_mm_cmpeq_epi8(_mm_min_epu8(a_values, a_span), a_values),
                                          _mm_cmpeq_epi8(_mm_min_epu8(b_values, b_span), b_values));
    if (_mm_movemask_epi8(in_span) != 0xFFFF) return false;
    if (const char sep = p[10]; sep != 'T' && sep != 't' && sep != ' ') return false;

    // Tens digit in the low byte of each 16-bit lane: tens * 10 + ones.
    const __m128i low_bytes = _mm_set1_epi16(0x00FF);
    const __m128i ten = _mm_set1_epi16(10);
    const __m128i a_pairs = _mm_add_epi16(_mm_mullo_epi16(_mm_and_si128(a_values, low_bytes), ten),
                                          _mm_srli_epi16(a_values, 8));
    const __m128i b_pairs = _mm_add_epi16(_mm_mullo_epi16(_mm_and_si128(b_values, low_bytes), ten),
                                          _mm_srli_epi16(b_values, 8));
    // a: lanes 0, 1 year, 4 day, 7 minute; b: lanes 1 month, 4 hour, 7 second.
    constexpr short N = 0x7FFF, Z = -1;  // lanes not looked at
    const __m128i a_min = _mm_setr_epi16(Z, Z, Z, Z, 1, Z, Z, Z);
    const __m128i a_max = _mm_setr_epi16(N, N, N, N, 31, N, N, 59);
    const __m128i b_min = _mm_setr_epi16(Z, 1, Z, Z, Z, Z, Z, Z);
    const __m128i b_max = _mm_setr_epi16(N, 12, N, N, 23, N, N, 60);
    const __m128i out_of_range =
        _mm_or_si128(_mm_or_si128(_mm_cmpgt_epi16(a_min, a_pairs), _mm_cmpgt_epi16(a_pairs, a_max)),
                     _mm_or_si128(_mm_cmpgt_epi16(b_min, b_pairs), _mm_cmpgt_epi16(b_pairs, b_max)));
    if (_mm_movemask_epi8(out_of_range) != 0) return false;
    out = DateTimeFields{static_cast<unsigned>(_mm_extract_epi16(a_pairs, 0) * 100 + _mm_extract_epi16(a_pairs, 1)),
                         static_cast<unsigned>(_mm_extract_epi16(b_pairs, 1)),
                         static_cast<unsigned>(_mm_extract_epi16(a_pairs, 4)),
                         static_cast<unsigned>(_mm_extract_epi16(b_pairs, 4)),
                         static_cast<unsigned>(_mm_extract_epi16(a_pairs, 7)),
                         static_cast<unsigned>(_mm_extract_epi16(b_pairs, 7))};
    return true;
}
#endif

}  // namespace

// A word at a time: "YYYY-MM-", "DDTHH:MM" and the overlapping "HH:MM:SS".
// Compiled everywhere, so the native tests compare it with the SSE2 reader;
// where there is no SSE2 the shortcut reads with it.
bool read_date_time_words(const char* p, DateTimeFields& out) noexcept {
    const std::uint64_t date = load8(p);
    const std::uint64_t day_word = load8(p + 8);
    const std::uint64_t time = load8(p + 11);

    constexpr std::uint64_t kDashes = lane(4) | lane(7), kColons = lane(2) | lane(5);
    if ((date & kDashes) != (at(4, '-') | at(7, '-')) || (time & kColons) != (at(2, ':') | at(5, ':'))) return false;
    if (const char sep = p[10]; sep != 'T' && sep != 't' && sep != ' ') return false;
    // The separators, now known, read as '0' so that one test covers each word.
    const std::uint64_t date_digits = (date & ~kDashes) | (bytes('0') & kDashes);
    const std::uint64_t time_digits = (time & ~kColons) | (bytes('0') & kColons);
    const std::uint64_t day_digits = (day_word & (lane(0) | lane(1))) | (bytes('0') & ~(lane(0) | lane(1)));
    if ((non_digits(date_digits) | non_digits(time_digits) | non_digits(day_digits)) != 0) return false;

    const std::uint64_t date_pairs = digit_pairs(date_digits - bytes('0'));
    const std::uint64_t time_pairs = digit_pairs(time_digits - bytes('0'));
    const unsigned month = byte_at(date_pairs, 5);
    const unsigned day = byte_at(digit_pairs(day_digits - bytes('0')), 0);
    const unsigned hour = byte_at(time_pairs, 0), minute = byte_at(time_pairs, 3), second = byte_at(time_pairs, 6);
    if (month - 1 > 11 || day - 1 > 30 || hour > 23 || minute > 59 || second > 60) return false;
    out = DateTimeFields{byte_at(date_pairs, 0) * 100 + byte_at(date_pairs, 2), month, day, hour, minute, second};
    return true;
}

namespace {
// The reader the shortcut uses: SSE2 wherever the target has it.
#if defined(__SSE2__)
constexpr auto& read_date_time = read_date_time_sse2;
#else
constexpr auto& read_date_time = read_date_time_words;
#endif
}  // namespace

bool read_date_time_active(const char* p, DateTimeFields& out) noexcept { return read_date_time(p, out); }

// The shape nearly every text has: "YYYY-MM-DD" "T|t| " "HH:MM:SS", an
// optional fraction, then "Z", "z" or "+hh:mm"/"-hh:mm", every field in
// range.  True with `out` set when the text is exactly that; false for
// anything else, which the scanner then reads again to name the error (or to
// accept a form this does not take, such as the U+2212 minus).  Whatever this
// accepts, the scanner accepts with the same instant.  Flattened: whichever
// reader it uses is inlined, also where no link-time optimization is done.
[[gnu::flatten]] bool read_common_shape(std::string_view text, CivilTime& out) noexcept {
    const char* p = text.data();
    const char* const end = p + text.size();
    if (text.size() < 20) return false;
    DateTimeFields f;
    if (!read_date_time(p, f)) return false;
    const auto year = static_cast<year_t>(f.year);
    const unsigned month = f.month, day = f.day, hour = f.hour, minute = f.minute, second = f.second;
    if (day > days_in_month(year, month)) return false;

    const char* q = p + 19;
    std::uint32_t nanos = 0;
    if (*q == '.') {
        ++q;
        const auto rest = static_cast<std::size_t>(end - q);
        if (rest == 0) return false;
        // The next eight bytes; nearer the end, the text's last eight moved
        // down, so that nothing past the text is read (it has 20 bytes or more).
        const std::uint64_t word = rest >= 8 ? load8(q) : load8(end - 8) >> (8 * (8 - rest));
        // The first non-digit byte k has bit 8k + 7; bit 63 of the shifted
        // word stands for "none of the eight", so no test for zero is needed.
        const std::uint64_t stops = non_digits(word) >> 7 | std::uint64_t{1} << 63;
        const unsigned count = (static_cast<unsigned>(__builtin_ctzll(stops)) + 1) / 8;
        if (count == 0) return false;
        // The digits, then zeros: the fraction in units of 10 ns.
        const std::uint64_t kept = count == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * count)) - 1;
        nanos = eight_digit_number((word - bytes('0')) & kept) * 10;
        q += count;
        if (count == 8) {
            // Nanoseconds are the finest unit kept; further digits are cut off.
            if (q < end && is_digit(*q)) nanos += digit(*q++);
            while (q < end && is_digit(*q)) ++q;
        }
    }

    const auto rest = static_cast<std::size_t>(end - q);
    if (rest == 1 && (*q == 'Z' || *q == 'z')) {
        // Already UTC: no shift to make.
        const KeptSecond kept = kept_second(second, nanos);
        out = CivilTime{Date{year, static_cast<month_t>(month), static_cast<day_t>(day)},
                        static_cast<std::uint8_t>(hour), static_cast<std::uint8_t>(minute),
                        static_cast<std::uint8_t>(kept.second), kept.frac};
        return true;
    }
    if (rest != 6 || (*q != '+' && *q != '-') || q[3] != ':') return false;
    const unsigned hours = two_digits(q + 1), minutes = two_digits(q + 4);
    if (hours > 23 || minutes > 59) return false;
    const auto magnitude = static_cast<std::int32_t>(hours * 60 + minutes);
    // The sign without a branch: the two signs come in no order.
    const std::int32_t west = -static_cast<std::int32_t>(*q == '-');  // 0 or -1
    out = shifted_civil(year, month, day, hour, minute, second, nanos, (magnitude ^ west) - west);
    return true;
}

}  // namespace detail

// The shortcut for the shape nearly every text has; the whole grammar for the
// rest, which also names the error.  The entry of str_to_date is flattened, so
// everything this calls is inlined into it: the scanner is kept out of line,
// as the cold path it is, so that the hot path stays small.
ParseResult parse_rfc3339(std::string_view text) noexcept {
    if (CivilTime fields; detail::read_common_shape(text, fields)) [[likely]]
        return ParseResult{fields, ParseError::None};
    return detail::scan(text);
}

// The byte-placing helpers the shortcut reads with serve the formatter too.
using detail::at;

namespace {

// Numbers below 100, each placed in a word at the byte its tens digit goes
// to (two such places at least two bytes apart), become their digit texts in
// place: x * 103 >> 10 is x / 10 for every x below 179 and x * 103 stays below
// 2^16, so each number's two bytes take nothing from a neighbour's; what a
// higher place's product leaves in lower bytes is masked off.  `tens_mask`
// marks the low nibble of every tens byte.
constexpr std::uint64_t digit_text(std::uint64_t placed, std::uint64_t tens_mask) noexcept {
    const std::uint64_t tens = (placed * 103) >> 10 & tens_mask;
    const std::uint64_t ones = placed - tens * 10;
    return tens | ones << 8 | (tens_mask | tens_mask << 8) / 0xF * '0';
}

// Eight bytes of text from one word, the lowest byte first on any machine.
inline void store8(char* p, std::uint64_t word) noexcept {
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    std::memcpy(p, &word, sizeof word);
}

}  // namespace

std::size_t format_rfc3339(const Instant& t, char (&out)[kMaxFormattedLength]) noexcept {
    return format_rfc3339(civil_time(t), out);
}

std::size_t format_rfc3339(const CivilTime& t, char (&out)[kMaxFormattedLength]) noexcept {
    if (t.date.year < 0 || t.date.year > 9999) return 0;

    // A leap second is written as second 60, its RFC 3339 form, so that the
    // text parses back to the same instant instead of to the second before.
    const bool leap = is_leap_fraction(t.frac);
    const unsigned micros = nanos_in_shown_second(t.frac) / 1000;
    const auto year = static_cast<unsigned>(t.date.year);

    // "YYYY-MM-" "DDTHH:MM" ":SS", every number converted where it is written.
    constexpr std::uint64_t kDateTens = 0xF | 0xFull << 16 | 0xFull << 40;  // YY YY - MM -
    constexpr std::uint64_t kTimeTens = 0xF | 0xFull << 24 | 0xFull << 48;  // DD T HH : MM
    const std::uint64_t date_numbers = year / 100 | std::uint64_t{year % 100} << 16 | std::uint64_t{t.date.month} << 40;
    store8(out, digit_text(date_numbers, kDateTens) | at(4, '-') | at(7, '-'));
    store8(out + 8, digit_text(t.date.day | std::uint64_t{t.hour} << 24 | std::uint64_t{t.minute} << 48, kTimeTens) |
                        at(2, 'T') | at(5, ':'));
    const unsigned second = leap ? 60 : t.second;
    out[16] = ':';
    out[17] = static_cast<char>('0' + second / 10);
    out[18] = static_cast<char>('0' + second % 10);
    char* p = out + 19;

    // The shortest of no fraction, milliseconds or microseconds that is still
    // exact; digits below the microsecond are dropped like everywhere else.
    if (micros != 0) {
        *p++ = '.';
        if (micros % 1000 == 0) {
            const unsigned millis = micros / 1000;
            *p = static_cast<char>('0' + millis / 100);
            // Bytes past the digits are overwritten by the offset below.
            store8(p + 1, digit_text(millis % 100, 0xF));
            p += 3;
        } else {
            store8(p, digit_text(micros / 10000 | std::uint64_t{micros / 100 % 100} << 16 |
                                     std::uint64_t{micros % 100} << 32,
                                 0xF | 0xFull << 16 | 0xFull << 32));
            p += 6;
        }
    }

    std::memcpy(p, "+00:00", 6);
    return static_cast<std::size_t>(p + 6 - out);
}

}  // namespace tavik
