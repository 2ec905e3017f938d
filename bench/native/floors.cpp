// Benchmark-only extension: the floors each tavik function is measured
// against, calls that only build the same kind of result.  Never installed.
#include "call.hpp"
#include "helpers/datetime.hpp"

#include <cstring>
#include <ctime>

namespace {

using namespace tavik;

// For benchmarks: the cheapest call (returns its argument) and the cheapest
// call that builds a UTC datetime with the C API's constructor.
PyObject* floor_noop(PyObject*, PyObject* arg) noexcept { return Py_NewRef(arg); }

// The floors of tavik's functions with arguments take their calling convention, a
// fast call with keywords (a parameter may be passed by name): CPython 3.14 calls a
// METH_O function about 50 instructions more cheaply, which is not tavik's to measure.
PyObject* floor_datetime(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
    return instant_to_py(Instant{Date{2024, 1, 2}, 11045, 123456000}).release();
}

// What returning a formatted text costs: a new ASCII str of a typical length, filled.
PyObject* floor_str(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
    constexpr char kText[] = "2024-01-02T03:04:05.123+00:00";
    constexpr Py_ssize_t kLength = sizeof kText - 1;
    PyObject* result = PyUnicode_New(kLength, 127);
    if (result != nullptr) std::memcpy(PyUnicode_DATA(result), kText, kLength);
    return result;
}

// What returning a millisecond count costs: a new int of the clock's magnitude.
PyObject* floor_int(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
    return PyLong_FromLongLong(1'704'164'645'123);
}

// The clock functions' floors: the same calling convention as now_ms and
// now_date (no arguments), one read of the real-time clock, and the result
// built from it without any further arithmetic.
PyObject* floor_now_int(PyObject*, PyObject*) noexcept {
    timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return PyErr_SetFromErrno(PyExc_OSError);
    return PyLong_FromLongLong(static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000);
}

PyObject* floor_now_datetime(PyObject*, PyObject*) noexcept {
    timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return PyErr_SetFromErrno(PyExc_OSError);
    // The clock's sub-second part lands in the result; the date is fixed (no calendar).
    return instant_to_py(Instant{Date{2024, 1, 2}, 11045, static_cast<std::uint32_t>(now.tv_nsec)}).release();
}

PyMethodDef floor_methods[] = {
    {"floor_noop", floor_noop, METH_O, "floor_noop(x, /)\n--\n\n"},
    {"floor_datetime", as_cfunction(floor_datetime), METH_FASTCALL | METH_KEYWORDS, "floor_datetime(x)\n--\n\n"},
    {"floor_str", as_cfunction(floor_str), METH_FASTCALL | METH_KEYWORDS, "floor_str(x)\n--\n\n"},
    {"floor_int", as_cfunction(floor_int), METH_FASTCALL | METH_KEYWORDS, "floor_int(x)\n--\n\n"},
    {"floor_now_int", floor_now_int, METH_NOARGS, "floor_now_int()\n--\n\n"},
    {"floor_now_datetime", floor_now_datetime, METH_NOARGS, "floor_now_datetime()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// Runs without the GIL on a free-threaded interpreter, as tavik does.
PyModuleDef_Slot floors_slots[] = {
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef floors_definition = {
    PyModuleDef_HEAD_INIT, "tavik_floors", "Benchmark floors for tavik; never installed.", 0, floor_methods, floors_slots,
};

}  // namespace

PyMODINIT_FUNC PyInit_tavik_floors() { return PyModuleDef_Init(&floors_definition); }
