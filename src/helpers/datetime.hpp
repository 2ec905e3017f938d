// Instants across the boundary: datetime.datetime objects in UTC, both ways.
#pragma once

#include "call.hpp"
#include "helpers/pure/instant.hpp"

namespace tavik {

// The stored fields of a datetime whose tzinfo equals datetime.timezone.utc.
// False with an exception set (a TypeError gets the parameter prefix from the
// caller's argument-error rule).
[[nodiscard]] bool py_to_civil(PyObject* object, CivilTime& out) noexcept;

// A new datetime.datetime with tzinfo datetime.timezone.utc, microseconds cut
// (never rounded).  A leap second comes back as second 59 with a UserWarning.
// Empty with an exception set (years outside 1..9999 have no datetime).
PyRef instant_to_py(const Instant& instant) noexcept;

// The same from the fields a datetime stores.
PyRef civil_to_py(const CivilTime& t) noexcept;

// Drops the C API handle of an interpreter that has finalised (no Python API
// is called): the next conversion imports it anew.
void forget_datetime_api() noexcept;

// A datetime argument of a module function.
struct UtcDateTime {
    CivilTime fields;
};

[[nodiscard]] inline bool from_python(PyObject* object, UtcDateTime& out) noexcept { return py_to_civil(object, out.fields); }

}  // namespace tavik
