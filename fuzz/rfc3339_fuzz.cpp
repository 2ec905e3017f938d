// libFuzzer target for the RFC 3339 parser and formatter.  Invariants: the
// parser and its scanner agree; a parse gives a valid Instant or one of the
// parser's four errors; an accepted instant of years 0..9999 formats to a text
// that parses back to it, less the digits below the microsecond; truncation
// lands on the instant's own midnight or reports the nanosecond limit.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "helpers/pure/instant.hpp"
#include "helpers/pure/rfc3339.hpp"

using namespace tavik;

namespace {

[[noreturn]] void violated() { __builtin_trap(); }

bool is_parser_error(ParseError e) {
    return e == ParseError::OutOfRange || e == ParseError::Invalid || e == ParseError::TooShort ||
           e == ParseError::TooLong;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ParseResult parsed = parse_rfc3339(text);
    const ParseResult scanned = detail::scan(text);
    if (parsed.error != scanned.error) violated();
    if (parsed.error == ParseError::None && !(parsed.instant() == scanned.instant())) violated();
    if (parsed.error != ParseError::None) {
        if (!is_parser_error(parsed.error)) violated();
        return 0;
    }
    const Instant t = parsed.instant();
    if (!is_valid_instant(t)) violated();

    const TruncateResult day = truncate_to_day(t);
    if (day.error == RoundingError::None) {
        if (!(day.instant == Instant{t.date, 0, 0})) violated();
    } else if (day.error != RoundingError::TimestampExceedsLimit) {
        violated();
    }

    char out[kMaxFormattedLength];
    const std::size_t n = format_rfc3339(t, out);
    if (t.date.year < 0 || t.date.year > 9999) {
        if (n != 0) violated();
        return 0;
    }
    if (n == 0 || n > kMaxFormattedLength) violated();

    const ParseResult again = parse_rfc3339(std::string_view(out, n));
    if (again.error != ParseError::None) violated();
    // A leap second is written as second 60, so it comes back as the same
    // leap second; 1e9 is a multiple of 1000, so one cut serves both forms.
    Instant want = t;
    want.frac -= want.frac % 1000;
    if (!(again.instant() == want)) violated();
    return 0;
}
