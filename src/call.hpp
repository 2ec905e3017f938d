// The one path every call from Python takes into the module: reference
// ownership, argument matching, converters, error values and internal
// failures.  Every entry is noexcept, and the module is built without C++
// exceptions: nothing in it throws, so none can reach the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <source_location>
#include <span>
#include <string_view>
#include <utility>

namespace tavik {

// Owns one strong reference (or none).  Every new reference the module takes
// is held by one, and every new reference one of its functions hands to
// another travels in one, so every path out of a function releases what it
// took.  Raw pointers carry new references only across the interpreter's
// boundary: the entries and slots the interpreter calls return
// `release()`d ones.
class [[nodiscard]] PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference; null is allowed and means "no object".
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Adds a reference to a borrowed object.
    static PyRef borrow(PyObject* object) noexcept { return PyRef(Py_XNewRef(object)); }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller (a new reference, or null).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// ---------------------------------------------------------------------------
// Failures

// What every reporter returns once the exception is set: it converts to the
// failure value of any kind of function, so that a failure path reads
// `return <reporter>(...);`, whether the function returns a new reference
// (null, or an empty PyRef) or a success flag (false).  Never dropped.
struct [[nodiscard]] Failed {
    constexpr operator std::nullptr_t() const noexcept { return nullptr; }
    constexpr operator bool() const noexcept { return false; }
    operator PyRef() const noexcept { return PyRef(); }
};

// A condition correct operation never meets.  Writes a report (thread,
// repository-relative source location, message) to standard error, then
// raises SystemError with the message so the interpreter goes on.
Failed internal_failure(std::string_view message,
                        std::source_location where = std::source_location::current()) noexcept;

// An interpreter call that had to build an object returned null (memory
// exhausted): the pending exception is printed, then the internal failure
// "Python API call failed".
Failed api_call_failed(std::source_location where = std::source_location::current()) noexcept;

// `object`, a new reference an interpreter call made; when the call made
// none (memory exhausted), the internal failure of api_call_failed, reported
// where the call was made.  The one way a null result becomes one.
inline PyObject* created(PyObject* object, std::source_location where = std::source_location::current()) noexcept {
    if (object == nullptr) [[unlikely]]
        return api_call_failed(where);
    return object;
}

// Raises `type` (an exception class) with the fixed text `message`.
Failed fail(PyObject* type, const char* message) noexcept;

// Raises `type` with `message`; a message the interpreter could not build
// (empty) is the internal failure of a failed API call.
Failed fail_with(PyObject* type, PyRef message,
                 std::source_location where = std::source_location::current()) noexcept;

// The failure of a function body: raises RuntimeError(text), with the
// "Stack backtrace:" appendix when TAVIK_BACKTRACE enables capture.
Failed raise_error_value(const char* text) noexcept;

// Raises RuntimeError(prefix + name + suffix) whose cause is the pending
// error (a SystemError when a failing call set none), for class objects and
// members that could not be built.
Failed raise_init_error(const char* prefix, const char* name, const char* suffix = "") noexcept;

// str(object) for use inside a message: lone surrogates become U+FFFD.
// Empty with an exception set when str() fails.
PyRef printable_str(PyObject* object) noexcept;

// The "'{type}' object cannot be converted to '{target}'" TypeError.
Failed raise_conversion_error(PyObject* object, const char* target) noexcept;

// The tp_new of every class of the module: Python code never constructs
// them.  TypeError "No constructor defined for <__name__>".
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

// Appends `name` to the module's __all__ (created on the first add) and binds
// `object` to it; false with an exception set when either fails.
[[nodiscard]] bool add_to_module(PyObject* module, const char* name, PyObject* object) noexcept;

// An entry of any calling convention as the PyCFunction a method definition
// stores (the flags beside it say how the interpreter calls it).  Not
// constexpr: the cast never is, so tables holding it are filled at load time,
// before any thread can call in.
template <class F>
PyCFunction as_cfunction(F* function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// ---------------------------------------------------------------------------
// Functions with arguments

struct FunctionDescription {
    const char* name;                          // as written in argument errors
    std::span<const char* const> parameters;   // all positional-or-keyword
    std::size_t required;                      // leading parameters that must be given
};

// The general matching: keywords, missing and surplus arguments, and every
// error message.  Out of line and cold; match_arguments takes the common call.
[[nodiscard, gnu::cold]] bool match_arguments_general(const FunctionDescription& description, PyObject* const* args,
                                           Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) noexcept;

// Matches positional and keyword arguments against `description`, filling
// one borrowed object per parameter (null where none was given).  False with
// a TypeError set on the first problem.  The common call, every parameter by
// position and no keywords, is matched here without the walk.
[[nodiscard, gnu::always_inline]] inline bool match_arguments(const FunctionDescription& description, PyObject* const* args,
                                                   Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) noexcept {
    const auto n = static_cast<Py_ssize_t>(description.parameters.size());
    if (nargs == n && kwnames == nullptr) [[likely]] {
        for (Py_ssize_t i = 0; i < n; ++i) slots[i] = args[i];
        return true;
    }
    return match_arguments_general(description, args, nargs, kwnames, slots);
}

// Applied to the exception raised while converting `parameter`: an exact
// TypeError gets the "argument '<parameter>': " prefix, anything else passes.
Failed argument_error(const char* parameter) noexcept;

// Converters: true on success, false with an exception set.
[[nodiscard]] bool from_python(PyObject* object, double& out) noexcept;
[[nodiscard]] bool from_python_general(PyObject* object, std::int64_t& out) noexcept;
// An exact int is read with PyLong_AsSsize_t, which skips the __index__
// protocol it has no use for; when that fails (too large), the general
// reading is done instead and raises its own OverflowError text.
[[nodiscard, gnu::always_inline]] inline bool from_python(PyObject* object, std::int64_t& out) noexcept {
    static_assert(sizeof(Py_ssize_t) == sizeof(std::int64_t), "PyLong_AsSsize_t must yield 64 bits");
    if (PyLong_CheckExact(object)) [[likely]] {
        const Py_ssize_t value = PyLong_AsSsize_t(object);
        if (value != -1 || !PyErr_Occurred()) [[likely]] {
            out = value;
            return true;
        }
        PyErr_Clear();
    }
    return from_python_general(object, out);
}
[[nodiscard]] bool from_python(PyObject* object, std::uint32_t& out) noexcept;
[[nodiscard]] bool from_python_general(PyObject* object, std::string_view& out) noexcept;
// Borrows the str's UTF-8 buffer.  An ASCII str is its own UTF-8 form, read in place.
[[nodiscard, gnu::always_inline]] inline bool from_python(PyObject* object, std::string_view& out) noexcept {
    if (PyUnicode_CheckExact(object) && PyUnicode_IS_COMPACT_ASCII(object)) [[likely]] {
        out = std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                               static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
        return true;
    }
    return from_python_general(object, out);
}

namespace detail {
template <class... T, std::size_t... I>
[[gnu::always_inline]] inline bool convert_all(const FunctionDescription& description, PyObject* const* slots,
                                               std::index_sequence<I...>, T&... out) noexcept {
    // Left to right, the first failing parameter decides the exception.
    return ((from_python(slots[I], out) || argument_error(description.parameters[I])) && ...);
}
}  // namespace detail

// Matches the arguments, then converts them in declaration order.  Always
// inlined into the entry, where the description is a constant: out of line,
// the slot copy of an unknown count became a call to memcpy.
// The description is a template argument so that its parameter count, which
// sizes the slots the matchers write, is checked against the outputs.
template <const FunctionDescription& description, class... T>
[[nodiscard, gnu::always_inline]] inline bool extract_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                                     T&... out) noexcept {
    static_assert(description.parameters.size() == sizeof...(T), "one output per described parameter");
    static_assert(description.required <= description.parameters.size());
    PyObject* slots[sizeof...(T)];
    if (!match_arguments(description, args, nargs, kwnames, slots)) return false;
    return detail::convert_all(description, slots, std::index_sequence_for<T...>{}, out...);
}

// ---------------------------------------------------------------------------
// Function rows

// The two kinds of module function entry.  A row's calling-convention flags
// follow from its entry's type, so that no row can name the wrong ones.
using EntryWithArguments = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) noexcept;
using EntryWithoutArguments = PyObject* (*)(PyObject* module, PyObject* unused) noexcept;

// A docstring as a template argument, so that it can be checked at compile time.
template <std::size_t N>
struct Docstring {
    char text[N];
    constexpr Docstring(const char (&literal)[N]) { std::copy_n(literal, N, text); }
};

// Whether `doc` opens with the text-signature line the description gives:
// "name(p1, p2)", "--" and an empty line.
constexpr bool opens_with_signature(const FunctionDescription& description, std::string_view doc) {
    const auto take = [&doc](std::string_view part) {
        if (!doc.starts_with(part)) return false;
        doc.remove_prefix(part.size());
        return true;
    };
    if (!take(description.name) || !take("(")) return false;
    for (std::size_t i = 0; i < description.parameters.size(); ++i) {
        if ((i > 0 && !take(", ")) || !take(description.parameters[i])) return false;
    }
    return take(")\n--\n\n");
}

// A module function's method definition: the name is its description's, the
// flags follow from its entry's kind, and the docstring must open with the
// signature the description gives.
template <const FunctionDescription& description, Docstring doc>
PyMethodDef function_row(EntryWithArguments entry) noexcept {
    static_assert(opens_with_signature(description, doc.text), "the docstring's signature is not the function's");
    static_assert(!description.parameters.empty(), "an entry that matches arguments, for a function that takes none");
    return PyMethodDef{description.name, as_cfunction(entry), METH_FASTCALL | METH_KEYWORDS, doc.text};
}

template <const FunctionDescription& description, Docstring doc>
PyMethodDef function_row(EntryWithoutArguments entry) noexcept {
    static_assert(opens_with_signature(description, doc.text), "the docstring's signature is not the function's");
    static_assert(description.parameters.empty(), "an entry without arguments, for a function that takes some");
    return PyMethodDef{description.name, entry, METH_NOARGS, doc.text};
}

}  // namespace tavik
