#include "helpers/datetime.hpp"

#include <datetime.h>

#include <atomic>
#include <cstdio>

namespace tavik {

namespace {

// The datetime module's C API, imported on first use (never at import of
// tavik, so a process that never converts a datetime never loads it).  Two
// threads may both import it; the first store is kept.
std::atomic<const PyDateTime_CAPI*> api_cell{nullptr};

const PyDateTime_CAPI* import_api() noexcept {
    auto* api = static_cast<const PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 1));
    if (api == nullptr) {
        char message[512];
        PyRef error = PyRef::steal(PyErr_GetRaisedException());
        PyRef text = error ? printable_str(error.get()) : PyRef();
        const char* description = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        PyErr_Clear();
        std::snprintf(message, sizeof message, "failed to import `datetime` C API: %s: %s",
                      error ? Py_TYPE(error.get())->tp_name : "no exception",
                      description != nullptr ? description : "<unprintable>");
        return internal_failure(message);
    }
    const PyDateTime_CAPI* expected = nullptr;
    if (!api_cell.compare_exchange_strong(expected, api, std::memory_order_acq_rel)) return expected;
    return api;
}

inline const PyDateTime_CAPI* datetime_api() noexcept {
    const PyDateTime_CAPI* api = api_cell.load(std::memory_order_acquire);
    return api != nullptr ? api : import_api();
}

constexpr const char kLeapSecondWarning[] = "ignored leap-second, `datetime` does not support leap-seconds";

}  // namespace

void forget_datetime_api() noexcept { api_cell.store(nullptr, std::memory_order_release); }

bool py_to_civil(PyObject* object, CivilTime& out) noexcept {
    const PyDateTime_CAPI* api = datetime_api();
    if (api == nullptr) [[unlikely]]
        return false;
    if (!PyObject_TypeCheck(object, api->DateTimeType)) [[unlikely]]
        return raise_conversion_error(object, "PyDateTime");
    auto* dt = reinterpret_cast<PyDateTime_DateTime*>(object);
    if (!dt->hastzinfo) [[unlikely]]
        return fail(PyExc_TypeError, "expected a datetime with non-None tzinfo");
    // Equality, not utcoffset(): any zero-offset datetime.timezone passes, and
    // the tzinfo's own methods never run.  The singleton itself needs no call.
    if (dt->tzinfo != api->TimeZone_UTC) {
        PyRef equal = PyRef::steal(PyObject_RichCompare(dt->tzinfo, api->TimeZone_UTC, Py_EQ));
        if (!equal) return false;
        const int truth = PyObject_IsTrue(equal.get());
        if (truth < 0) return false;
        if (truth == 0) return fail(PyExc_ValueError, "expected datetime.timezone.utc");
    }
    const int year = PyDateTime_GET_YEAR(object);
    const unsigned month = PyDateTime_GET_MONTH(object);
    const unsigned day = PyDateTime_GET_DAY(object);
    if (!is_valid_date(year, month, day)) [[unlikely]]
        return fail(PyExc_ValueError, "invalid or out-of-range date");
    const unsigned hour = PyDateTime_DATE_GET_HOUR(object);
    const unsigned minute = PyDateTime_DATE_GET_MINUTE(object);
    const unsigned second = PyDateTime_DATE_GET_SECOND(object);
    // The stored microsecond is a 3-byte field (up to 16,777,215 in a datetime
    // unpickled from crafted bytes): bounded before it is scaled, so that no
    // product wraps back into range.  Up to 2 s at second 59 is a leap second.
    const std::uint32_t micros = static_cast<std::uint32_t>(PyDateTime_DATE_GET_MICROSECOND(object));
    if (micros >= kFractionLimit / 1000 || !is_valid_time(hour, minute, second, micros * 1000)) [[unlikely]]
        return fail(PyExc_ValueError, "invalid or out-of-range time");
    // The fold attribute is ignored: UTC has no repeated wall-clock hour.
    out = CivilTime{Date{year, static_cast<month_t>(month), static_cast<day_t>(day)}, static_cast<std::uint8_t>(hour),
                    static_cast<std::uint8_t>(minute), static_cast<std::uint8_t>(second), micros * 1000};
    return true;
}

PyRef instant_to_py(const Instant& instant) noexcept { return civil_to_py(civil_time(instant)); }

PyRef civil_to_py(const CivilTime& t) noexcept {
    const PyDateTime_CAPI* api = datetime_api();
    if (api == nullptr) [[unlikely]]
        return PyRef();
    const bool leap = is_leap_fraction(t.frac);
    PyRef result = PyRef::steal(api->DateTime_FromDateAndTimeAndFold(
        t.date.year, t.date.month, t.date.day, t.hour, t.minute, t.second,
        static_cast<int>(nanos_in_shown_second(t.frac) / 1000), api->TimeZone_UTC, 0, api->DateTimeType));
    // Empty: the constructor's ValueError for years outside 1..9999, passed on.
    if (leap && result) [[unlikely]] {
        // The value is still returned; a warning turned into an error must not lose it.
        if (PyErr_WarnEx(PyExc_UserWarning, kLeapSecondWarning, 0) < 0) PyErr_WriteUnraisable(result.get());
    }
    return result;
}

}  // namespace tavik
