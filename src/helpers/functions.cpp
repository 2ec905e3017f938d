#include "helpers/functions.hpp"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "helpers/datetime.hpp"
#include "helpers/pure/instant.hpp"
#include "helpers/pure/rfc3339.hpp"

namespace tavik {

namespace {

template <std::size_t N>
constexpr FunctionDescription describe(const char* name, const char* const (&parameters)[N]) {
    return {name, parameters, N};
}

constexpr const char* kSafeFloatParameters[] = {"value", "decimals"};
constexpr FunctionDescription kSafeFloatDescription = describe("safe_float", kSafeFloatParameters);

// Registered with its full signature and checks; there is no computation yet.
PyObject* safe_float_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    double value;
    std::uint32_t decimals;
    if (!extract_arguments<kSafeFloatDescription>(args, nargs, kwnames, value, decimals)) return nullptr;
    return internal_failure("not yet implemented");
}

constexpr const char* kTruncateToDayParameters[] = {"date"};
constexpr FunctionDescription kTruncateToDayDescription = describe("truncate_to_day", kTruncateToDayParameters);

[[gnu::flatten]]
PyObject* truncate_to_day_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    UtcDateTime date;
    if (!extract_arguments<kTruncateToDayDescription>(args, nargs, kwnames, date)) return nullptr;
    const TruncateResult day = truncate_to_day(instant_of(date.fields));
    if (day.error != RoundingError::None) return raise_error_value(message(day.error));
    return instant_to_py(day.instant).release();
}

constexpr const char* kStrToDateParameters[] = {"s"};
constexpr FunctionDescription kStrToDateDescription = describe("str_to_date", kStrToDateParameters);

[[gnu::flatten]]
PyObject* str_to_date_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    std::string_view text;
    if (!extract_arguments<kStrToDateDescription>(args, nargs, kwnames, text)) return nullptr;
    const ParseResult parsed = parse_rfc3339(text);
    if (parsed.error != ParseError::None) [[unlikely]]
        return raise_error_value(message(parsed.error));
    return civil_to_py(parsed.fields).release();
}

constexpr const char* kDateToStrParameters[] = {"d"};
// "2024-01-02T03:04:05+00:00", with ".123" or with ".123456".
constexpr std::size_t kLengthWithoutFraction = 25, kLengthWithMillis = 29, kLengthWithMicros = 32;
static_assert(kLengthWithMicros == kMaxFormattedLength);
constexpr FunctionDescription kDateToStrDescription = describe("date_to_str", kDateToStrParameters);

[[gnu::flatten]]
PyObject* date_to_str_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    UtcDateTime d;
    if (!extract_arguments<kDateToStrDescription>(args, nargs, kwnames, d)) return nullptr;
    char text[kMaxFormattedLength];
    const std::size_t length = format_rfc3339(d.fields, text);
    // A datetime the datetime module built has a year in 1..9999.  One
    // unpickled from crafted bytes can store up to 65535, which has no
    // four-digit form: refused as the other impossible stored dates are.
    if (length == 0) [[unlikely]]
        return fail(PyExc_ValueError, "invalid or out-of-range date");
    // The text is ASCII: build the str directly, without UTF-8 decoding.
    PyObject* result = created(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
    if (result == nullptr) [[unlikely]]
        return nullptr;
    // Three lengths only (no fraction, milliseconds, microseconds): a copy of
    // a constant size is a few moves, where one of a variable size is a call.
    char* data = static_cast<char*>(PyUnicode_DATA(result));
    switch (length) {
        case kLengthWithoutFraction: std::memcpy(data, text, kLengthWithoutFraction); break;
        case kLengthWithMillis: std::memcpy(data, text, kLengthWithMillis); break;
        case kLengthWithMicros: std::memcpy(data, text, kLengthWithMicros); break;
        default: std::memcpy(data, text, length); break;
    }
    return result;
}

constexpr const char* kMsToDateParameters[] = {"ts"};
constexpr FunctionDescription kMsToDateDescription = describe("ms_to_date", kMsToDateParameters);

[[gnu::flatten]]
PyObject* ms_to_date_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    std::int64_t ts;
    if (!extract_arguments<kMsToDateDescription>(args, nargs, kwnames, ts)) return nullptr;
    const std::optional<Instant> instant = instant_from_unix_ms(ts);
    if (!instant) return raise_error_value("时间戳转换失败");
    return instant_to_py(*instant).release();
}

// The text of an errno value.  strerror_r, not strerror, whose buffer another
// thread may be overwriting: the GNU variant returns the text, the POSIX one
// (macOS, musl) fills the buffer and returns 0.
[[maybe_unused]] const char* error_text(const char* text, const char*) noexcept { return text; }
[[maybe_unused]] const char* error_text(int result, const char* buffer) noexcept {
    return result == 0 ? buffer : "unknown error";
}

// The real-time clock, checked to stand between the epoch and the end of
// the year kMaxYear; false after an internal failure.
bool read_clock(timespec& now) noexcept {
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) [[unlikely]] {
        char text[96];
        char message[128];
        std::snprintf(message, sizeof message, "failed to read the system clock: %s",
                      error_text(strerror_r(errno, text, sizeof text), text));
        return internal_failure(message);
    }
    if (now.tv_nsec < 0 || now.tv_nsec >= static_cast<long>(kNanosPerSecond)) [[unlikely]] {
        return internal_failure("system clock gave a nanosecond count outside 0..999999999");
    }
    if (now.tv_sec < 0) [[unlikely]] {
        // How far before the epoch the clock stands, as a duration.  In
        // unsigned arithmetic: the magnitude of the most negative count has
        // no signed form.
        std::uint64_t seconds = 0 - static_cast<std::uint64_t>(now.tv_sec);
        std::uint64_t nanos = 0;
        if (now.tv_nsec != 0) {
            --seconds;
            nanos = kNanosPerSecond - static_cast<std::uint64_t>(now.tv_nsec);
        }
        char message[128];
        std::snprintf(message, sizeof message, "system time before Unix epoch: %" PRIu64 ".%09" PRIu64 "s", seconds,
                      nanos);
        return internal_failure(message);
    }
    if (now.tv_sec > kMaxUnixSecond) [[unlikely]] {
        return internal_failure("system time beyond the year 262142");
    }
    return true;
}

constexpr FunctionDescription kNowDateDescription{"now_date", {}, 0};
constexpr FunctionDescription kNowMsDescription{"now_ms", {}, 0};

// The date of the clock's day, split from its seconds once a day.
ClockCalendar clock_calendar;

[[gnu::flatten]]
PyObject* now_date_entry(PyObject*, PyObject*) noexcept {
    timespec now;
    if (!read_clock(now)) return nullptr;
    // In range: read_clock has checked what instant_from_unix would refuse.
    const std::optional<Instant> instant =
        clock_calendar.instant(static_cast<std::int64_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec));
    if (!instant) [[unlikely]]
        return internal_failure("system time beyond the year 262142");
    return instant_to_py(*instant).release();
}

[[gnu::flatten]]
PyObject* now_ms_entry(PyObject*, PyObject*) noexcept {
    timespec now;
    if (!read_clock(now)) return nullptr;
    // Straight from the clock's seconds, without the calendar an Instant would need.
    PyObject* result = PyLong_FromLongLong(
        unix_ms(static_cast<std::int64_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec)));
    if (result == nullptr) [[unlikely]]
        return api_call_failed();
    return result;
}

// One row per function, in registration order; the module walks them.
const ModuleFunction kModuleFunctions[] = {
    {function_row<kSafeFloatDescription, "safe_float(value, decimals)\n--\n\n安全浮点数">(&safe_float_entry)},
    {function_row<kTruncateToDayDescription, "truncate_to_day(date)\n--\n\n截断日期到天">(&truncate_to_day_entry)},
    {function_row<kStrToDateDescription, "str_to_date(s)\n--\n\n字符串转日期">(&str_to_date_entry)},
    {function_row<kDateToStrDescription, "date_to_str(d)\n--\n\n日期转字符串">(&date_to_str_entry)},
    {function_row<kMsToDateDescription, "ms_to_date(ts)\n--\n\n时间戳转日期">(&ms_to_date_entry)},
    {function_row<kNowDateDescription, "now_date()\n--\n\n获取当前时间">(&now_date_entry)},
    {function_row<kNowMsDescription, "now_ms()\n--\n\n获取当前时间戳">(&now_ms_entry)},
};

}  // namespace

std::span<const ModuleFunction> module_functions() noexcept { return kModuleFunctions; }

}  // namespace tavik
