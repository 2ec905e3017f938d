// RFC 3339 text to the fields of a UTC date and time, and back.
// Plain C++: no Python.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "helpers/pure/instant.hpp"

namespace tavik {

// Kinds of parse failure.  The parser produces only OutOfRange, Invalid,
// TooShort and TooLong; the others belong to the same error type.
enum class ParseError : std::uint8_t {
    None,
    OutOfRange,
    Impossible,
    NotEnough,
    Invalid,
    TooShort,
    TooLong,
    BadFormat,
};

const char* message(ParseError kind) noexcept;

// The result of a parse: the fields of the UTC date and time a datetime is
// built from (the offset in the text applied and dropped).
struct ParseResult {
    CivilTime fields;   // meaningful only when error == ParseError::None
    ParseError error;
    constexpr Instant instant() const noexcept { return instant_of(fields); }
};

// The one entry for RFC 3339 text, never copied.  The shortcut reads the
// shape nearly every text has; a text it refuses is read again from the start
// by the scanner, whose first failing check ends the parse and names the error.
ParseResult parse_rfc3339(std::string_view text) noexcept;

// Its two readings, for the native tests and the fuzzer to compare.
namespace detail {
// The whole grammar, field by field, naming the first error.
ParseResult scan(std::string_view text) noexcept;
// The shape nearly every text has, "YYYY-MM-DD" "T|t| " "HH:MM:SS", an
// optional fraction and "Z", "z" or "+hh:mm"/"-hh:mm": true with `out` set to
// what scan gives; false for any other text (scan then reads it again).
bool read_common_shape(std::string_view text, CivilTime& out) noexcept;
// The 19 bytes "YYYY-MM-DD" "T|t| " "HH:MM:SS" at p (all readable), each field
// checked against its range; the reader the shortcut uses (SSE2 where there
// is SSE2) and the word-at-a-time one, which must agree.
struct DateTimeFields {
    unsigned year, month, day, hour, minute, second;
    friend constexpr bool operator==(const DateTimeFields&, const DateTimeFields&) = default;
};
bool read_date_time_active(const char* p, DateTimeFields& out) noexcept;
bool read_date_time_words(const char* p, DateTimeFields& out) noexcept;
}  // namespace detail

// The longest text: "2024-01-02T03:04:05.123456+00:00".
inline constexpr std::size_t kMaxFormattedLength = 32;

// Writes `t` as "YYYY-MM-DDTHH:MM:SS[.mmm|.uuuuuu]+00:00" into `out` and
// returns the length written.  Years outside 0..9999 have no such form:
// nothing is written and 0 is returned.
std::size_t format_rfc3339(const Instant& t, char (&out)[kMaxFormattedLength]) noexcept;

// The same from the fields a datetime stores.
std::size_t format_rfc3339(const CivilTime& t, char (&out)[kMaxFormattedLength]) noexcept;

}  // namespace tavik
