// RFC 3339 text <-> Instant.
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

struct ParseResult {
    Instant instant;    // meaningful only when error == ParseError::None
    ParseError error;
};

// One left-to-right pass over `text`, no copy; the first failing check ends
// it.  The offset in the text is applied and dropped: the result is UTC.
ParseResult parse_rfc3339(std::string_view text) noexcept;

// The shortcut of parse_rfc3339 for the shape nearly every text has, straight
// to the fields a datetime is built from: true with `out` set to the same
// instant parse_rfc3339 gives; false for any other text, which only
// parse_rfc3339_scanned then needs to read.
bool parse_rfc3339_common(std::string_view text, CivilTime& out) noexcept;

// The field-by-field reading behind parse_rfc3339, without its shortcut for
// the common shape: the same result for every text.  For tests and the fuzzer.
ParseResult parse_rfc3339_scanned(std::string_view text) noexcept;

// The longest text: "2024-01-02T03:04:05.123456+00:00".
inline constexpr std::size_t kMaxFormattedLength = 32;

// Writes `t` as "YYYY-MM-DDTHH:MM:SS[.mmm|.uuuuuu]+00:00" into `out` and
// returns the length written.  Years outside 0..9999 have no such form:
// nothing is written and 0 is returned.
std::size_t format_rfc3339(const Instant& t, char (&out)[kMaxFormattedLength]) noexcept;

// The same from the fields a datetime stores.
std::size_t format_rfc3339(const CivilTime& t, char (&out)[kMaxFormattedLength]) noexcept;

}  // namespace tavik
