// What every text must satisfy, whatever its bytes; checked by the core tests
// on generated texts and by the fuzzer on its own.
#pragma once

#include <string_view>

#include "helpers/pure/instant.hpp"
#include "helpers/pure/rfc3339.hpp"

namespace tavik::testing {

// The name of the first invariant `text` breaks, or nullptr.  `text` must
// fill a heap block of exactly its size, so that a sanitizer sees an overread.
// `took` tells whether the shortcut took the text.
inline const char* broken_invariant(std::string_view text, bool& took) {
    using namespace std::literals;
    const ParseResult parsed = parse_rfc3339(text), scanned = detail::scan(text);
    if (parsed.error != scanned.error) return "the entry and the scanner differ";
    const bool accepted = parsed.error == ParseError::None;
    if (accepted && !(parsed.instant() == scanned.instant())) return "the entry and the scanner differ";
    detail::DateTimeFields active{}, portable{};
    if (text.size() >= 19 && (detail::read_date_time_active(text.data(), active) !=
                                  detail::read_date_time_words(text.data(), portable) ||
                              !(active == portable)))
        return "the two 19-byte readers differ";
    // The shortcut takes every accepted text but those with the U+2212 minus, which only the scanner reads.
    CivilTime fields{};
    took = detail::read_common_shape(text, fields);
    if (took != (accepted && text.find("\xE2\x88\x92"sv) == std::string_view::npos)) return "the shortcut's choice";
    if (took && !(instant_of(fields) == scanned.instant())) return "the shortcut's instant";
    if (!accepted) return nullptr;

    const Instant t = parsed.instant();
    if (!is_valid_instant(t)) return "an invalid instant accepted";
    const TruncateResult day = truncate_to_day(t);
    if (day.error == RoundingError::None ? !(day.instant == Instant{t.date, 0, 0})
                                         : day.error != RoundingError::TimestampExceedsLimit)
        return "the cut to the day";
    // Formatted, it parses back less the digits below the microsecond (a leap
    // second too: 1e9 is a multiple of 1000), or has no text outside 0..9999.
    char out[kMaxFormattedLength];
    const std::size_t n = format_rfc3339(t, out);
    if (t.date.year < 0 || t.date.year > 9999) return n == 0 ? nullptr : "a text for a year outside 0..9999";
    Instant want = t;
    want.frac -= want.frac % 1000;
    const ParseResult again = parse_rfc3339(std::string_view(out, n));
    if (n == 0 || again.error != ParseError::None || !(again.instant() == want)) return "the formatted text's reading";
    return nullptr;
}

}  // namespace tavik::testing
