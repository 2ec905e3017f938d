#include "call.hpp"

// Built and tested for 64-bit Linux and macOS; nothing here builds or tests
// Windows (its clock, exports and module linking differ).
#if defined(_WIN32) || !(defined(__unix__) || defined(__APPLE__))
#error "tavik: the binding supports 64-bit POSIX targets (Linux, macOS) only"
#endif
static_assert(sizeof(void*) == 8, "tavik: the binding supports 64-bit targets only");

// The stack-trace facility of glibc and macOS; musl has none, and there error
// values carry no stack trace whatever the environment says.
#if __has_include(<execinfo.h>)
#include <execinfo.h>
#define TAVIK_HAS_BACKTRACE 1
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tavik {

namespace {

#ifdef TAVIK_HAS_BACKTRACE
// TAVIK_BACKTRACE, set to anything but "0": 1 or 0; -1 when it could not be
// read.  Read from os.environ, the interpreter's own copy of the environment,
// not with getenv: in a free-threaded process another thread may be setting a
// variable (os.environ[...] = ... calls setenv) at that very moment, and the C
// library's getenv is not safe against that.
int read_backtrace_switch() noexcept {
    PyRef os = PyRef::steal(PyImport_ImportModule("os"));
    PyRef environ = os ? PyRef::steal(PyObject_GetAttrString(os.get(), "environ")) : PyRef();
    PyObject* setting = nullptr;
    const int found = environ ? PyMapping_GetOptionalItemString(environ.get(), "TAVIK_BACKTRACE", &setting) : -1;
    PyRef owned = PyRef::steal(setting);
    if (found < 0) {
        PyErr_Clear();
        return -1;
    }
    return found == 1 && !(PyUnicode_Check(setting) && PyUnicode_CompareWithASCIIString(setting, "0") == 0);
}

// Whether error values capture a stack trace: read at the first error value
// and kept (a failed reading counts as "no" and is tried again next time).
// Process-wide, and safe without the interpreter lock: a race can only store
// the same answer twice.
bool backtrace_enabled() noexcept {
    static std::atomic<int> decision{-1};
    int enabled = decision.load(std::memory_order_relaxed);
    if (enabled < 0) {
        enabled = read_backtrace_switch();
        if (enabled < 0) return false;
        decision.store(enabled, std::memory_order_relaxed);
    }
    return enabled != 0;
}

// Appends printf-style text, cut at `end` (the buffer is sized beforehand,
// so nothing is cut unless a frame's text changed meanwhile).
template <class... Args>
void append(char*& out, const char* end, const char* format, Args... args) noexcept {
    const int written = std::snprintf(out, static_cast<std::size_t>(end - out), format, args...);
    if (written > 0) out += std::min<std::ptrdiff_t>(written, end - out - 1);
}

// `text`, a blank line, "Stack backtrace:" and the calling thread's frames,
// one per line, innermost first, trailing white space removed.  Frames name
// files as the system spells them, in no particular encoding: bytes that are
// not UTF-8 are written as escapes, so every file name gives a message.  New
// reference, or empty with an exception set.
PyRef with_backtrace(const char* text) noexcept {
    constexpr int kMaxFrames = 64;
    constexpr char kHeading[] = "\n\nStack backtrace:\n";
    constexpr std::size_t kNumberWidth = 6;   // "%4d: " for fewer than 10000 frames
    constexpr std::size_t kAddressWidth = 18; // "%p": "0x" and up to 16 digits
    void* frames[kMaxFrames];
    const int count = backtrace(frames, kMaxFrames);
    char** symbols = backtrace_symbols(frames, count);  // one malloc'ed block, or null
    std::size_t size = std::strlen(text) + sizeof kHeading;
    for (int i = 0; i < count; ++i) {
        size += kNumberWidth + (symbols != nullptr ? std::strlen(symbols[i]) : kAddressWidth) + 1;
    }
    char* buffer = static_cast<char*>(PyMem_RawMalloc(size));
    if (buffer == nullptr) {
        std::free(symbols);
        PyErr_NoMemory();
        return PyRef();
    }
    const char* const end = buffer + size;
    char* out = buffer;
    append(out, end, "%s%s", text, kHeading);
    const char* const frames_start = out;
    for (int i = 0; i < count; ++i) {
        if (symbols != nullptr) {
            append(out, end, "%4d: %s\n", i, symbols[i]);
        } else {
            append(out, end, "%4d: %p\n", i, frames[i]);
        }
    }
    std::free(symbols);
    while (out > frames_start && std::isspace(static_cast<unsigned char>(out[-1]))) --out;
    PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(buffer, out - buffer, "backslashreplace"));
    PyMem_RawFree(buffer);
    return message;
}
#endif

// A new str with every lone surrogate of `text` replaced by U+FFFD; `text`
// itself (a new reference) when it has none, which is the common case.
PyRef without_surrogates(PyObject* text) noexcept {
    const int kind = PyUnicode_KIND(text);
    if (kind == PyUnicode_1BYTE_KIND) return PyRef::borrow(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t first = 0;
    while (first < length && !Py_UNICODE_IS_SURROGATE(PyUnicode_READ(kind, data, first))) ++first;
    if (first == length) return PyRef::borrow(text);
    // The copy must have the same kind: a str stored wider than its widest
    // character compares unequal to (and hashes apart from) the same text.
    // Surrogates and U+FFFD are all two-byte characters, so the text's widest
    // character keeps its width through the replacement.
    PyRef copy = PyRef::steal(PyUnicode_New(length, kind == PyUnicode_2BYTE_KIND ? 0xFFFF : 0x10FFFF));
    if (!copy) return copy;
    void* copy_data = PyUnicode_DATA(copy.get());
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        PyUnicode_WRITE(kind, copy_data, i, Py_UNICODE_IS_SURROGATE(c) ? 0xFFFD : c);
    }
    return copy;
}

// The text of a caught exception for a message; "<unprintable ...>" when
// str() itself fails (that failure goes to the unraisable hook).
PyRef exception_text(PyObject* exception) noexcept {
    if (PyRef text = printable_str(exception)) return text;
    PyErr_WriteUnraisable(exception);
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(exception)));
    if (name) {
        if (PyRef text = PyRef::steal(PyUnicode_FromFormat("<unprintable %U object>", name.get()))) return text;
    }
    PyErr_Clear();
    return PyRef::steal(PyUnicode_FromString("<unprintable object>"));
}

// A method call by name.  The name is interned: one made afresh for each
// call would take, and hold, another slot of the interpreter's type-attribute
// cache each time (a growth of a block per report until the cache is full).
PyObject* call_method(PyObject* object, const char* name, PyObject* argument = nullptr) noexcept {
    PyRef interned = PyRef::steal(PyUnicode_InternFromString(name));
    if (!interned) return nullptr;
    return argument != nullptr ? PyObject_CallMethodOneArg(object, interned.get(), argument)
                               : PyObject_CallMethodNoArgs(object, interned.get());
}

// Writes the report through sys.stderr, where the interpreter writes its
// own, so that capture helpers and notebooks show it.  A stream on a file
// descriptor lets go of the interpreter lock while its write waits, so a
// thread of this process that drains a pipe behind fd 2 can run.  False, with
// nothing pending, when there is no usable sys.stderr (None, missing, a write
// that raises) or no memory.  Python code runs here: nothing may be pending.
bool report_to_sys_stderr(std::string_view file, const std::source_location& where, PyObject* message) noexcept {
    // Read with a reference of its own: the stream's code, or another thread
    // on a free-threaded interpreter, may replace sys.stderr meanwhile.  A
    // lookup that fails leaves its error pending, cleared with the write's.
    PyRef sys = PyRef::steal(PyImport_AddModuleRef("sys"));
    PyObject* found = nullptr;
    if (sys) PyDict_GetItemStringRef(PyModule_GetDict(sys.get()), "stderr", &found);
    PyRef stream = PyRef::steal(found);
    PyRef report;
    if (stream && stream.get() != Py_None) {
        report = PyRef::steal(PyUnicode_FromFormat(
            "tavik: internal failure in thread '<unnamed>' at %.*s:%u:%u:\n%U\n", static_cast<int>(file.size()),
            file.data(), static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()), message));
    }
    PyRef written = report ? PyRef::steal(call_method(stream.get(), "write", report.get())) : PyRef();
    if (!written) {
        PyErr_Clear();
        return false;
    }
    // Flushed, as the interpreter flushes a printed exception; a failed flush
    // leaves the report buffered, not lost, so it is not written again.
    if (!PyRef::steal(call_method(stream.get(), "flush"))) PyErr_Clear();
    return true;
}

// The report on the C stream, the message's bytes as they are.  Without the
// interpreter lock while the write waits, for the same draining thread.
void report_to_c_stderr(std::string_view file, const std::source_location& where, std::string_view message) noexcept {
    Py_BEGIN_ALLOW_THREADS
    std::fprintf(stderr, "tavik: internal failure in thread '<unnamed>' at %.*s:%u:%u:\n%.*s\n",
                 static_cast<int>(file.size()), file.data(), static_cast<unsigned>(where.line()),
                 static_cast<unsigned>(where.column()), static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
    Py_END_ALLOW_THREADS
}

}  // namespace

Failed internal_failure(std::string_view message, std::source_location where) noexcept {
    // Repository-relative: the build maps the source folder away (-ffile-prefix-map).
    const std::string_view file = where.file_name();
    // Set aside while the report is written, then kept as the SystemError's context.
    PyRef pending = PyRef::steal(PyErr_GetRaisedException());
    // Messages can carry bytes from the system (an error text, a file name):
    // whatever they hold, the exception gets a message.
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "backslashreplace"));
    if (!text || !report_to_sys_stderr(file, where, text.get())) {
        PyErr_Clear();
        report_to_c_stderr(file, where, message);
    }
    if (text) {
        PyErr_SetObject(PyExc_SystemError, text.get());
    } else {
        PyErr_SetString(PyExc_SystemError, "tavik: internal failure");
    }
    if (pending) {
        PyRef raised = PyRef::steal(PyErr_GetRaisedException());
        PyException_SetContext(raised.get(), pending.release());  // steals
        PyErr_SetRaisedException(raised.release());
    }
    return {};
}

Failed api_call_failed(std::source_location where) noexcept {
    if (PyErr_Occurred()) PyErr_Print();
    return internal_failure("Python API call failed", where);
}

Failed fail(PyObject* type, const char* message) noexcept {
    PyErr_SetString(type, message);
    return {};
}

Failed fail_with(PyObject* type, PyRef message, std::source_location where) noexcept {
    if (!message) return api_call_failed(where);
    PyErr_SetObject(type, message.get());
    return {};
}

Failed raise_error_value(const char* text) noexcept {
#ifdef TAVIK_HAS_BACKTRACE
    PyRef message = backtrace_enabled() ? with_backtrace(text) : PyRef::steal(PyUnicode_FromString(text));
#else
    PyRef message = PyRef::steal(PyUnicode_FromString(text));
#endif
    return fail_with(PyExc_RuntimeError, std::move(message));
}

Failed raise_init_error(const char* prefix, const char* name, const char* suffix) noexcept {
    // Taken first: the message is built with nothing pending.  The
    // interpreter can fail an allocation inside PyType_FromSpec without
    // setting an error; the cause must still say something.
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    PyRef cause = PyRef::steal(PyErr_GetRaisedException());
    PyRef message = PyRef::steal(PyUnicode_FromFormat("%s%s%s", prefix, name, suffix));
    PyRef error = message ? PyRef::steal(PyObject_CallOneArg(PyExc_RuntimeError, message.get())) : PyRef();
    if (!error) {
        // No memory for the wrapper: the underlying error is the better report.
        PyErr_Clear();
        PyErr_SetRaisedException(cause.release());
        return {};
    }
    // As `raise RuntimeError(...) from cause` inside the handler of cause.
    PyException_SetContext(error.get(), Py_NewRef(cause.get()));  // steals
    PyException_SetCause(error.get(), cause.release());            // steals
    PyErr_SetRaisedException(error.release());
    return {};
}

PyRef printable_str(PyObject* object) noexcept {
    PyRef text = PyRef::steal(PyObject_Str(object));
    if (!text) return text;
    return without_surrogates(text.get());
}

Failed raise_conversion_error(PyObject* object, const char* target) noexcept {
    PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!type_name) PyErr_Clear();
    PyRef message = PyRef::steal(
        type_name ? PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", type_name.get(), target)
                  : PyUnicode_FromFormat("'<failed to extract type name>' object cannot be converted to '%s'", target));
    return fail_with(PyExc_TypeError, std::move(message));
}

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyRef name = PyRef::steal(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return fail(PyExc_TypeError, "No constructor defined for <unknown>");
    }
    return fail_with(PyExc_TypeError, PyRef::steal(PyUnicode_FromFormat("No constructor defined for %U", name.get())));
}

bool add_to_module(PyObject* module, const char* name, PyObject* object) noexcept {
    PyRef name_object = PyRef::steal(PyUnicode_FromString(name));
    if (!name_object) return api_call_failed();
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all) return api_call_failed();
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (PyList_Append(all.get(), name_object.get()) < 0) {
        PyRef cause = PyRef::steal(PyErr_GetRaisedException());
        PyRef description = cause ? printable_str(cause.get()) : PyRef();
        const char* text = description ? PyUnicode_AsUTF8(description.get()) : nullptr;
        PyErr_Clear();
        // An error without a text (a bare MemoryError) is named by its type.
        if (text != nullptr && *text == '\0' && cause) text = Py_TYPE(cause.get())->tp_name;
        // A fixed buffer: memory is likely what ran out, and nothing here may throw.
        char message[512];
        std::snprintf(message, sizeof message, "could not append __name__ to __all__: %s",
                      text != nullptr ? text : "<unprintable error>");
        return internal_failure(message);
    }
    return PyObject_SetAttr(module, name_object.get(), object) == 0;
}

// ---------------------------------------------------------------------------
// Argument matching

namespace {

// The parameter index a keyword names, or -1.  A keyword with no UTF-8 form
// (a lone surrogate) matches nothing.
Py_ssize_t parameter_index(const FunctionDescription& description, PyObject* keyword) noexcept {
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    const std::string_view name(text, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < description.parameters.size(); ++i) {
        if (name == description.parameters[i]) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

// str() of a keyword name; a str subclass whose __str__ fails is written
// with its own characters instead.
PyRef keyword_text(PyObject* keyword) noexcept {
    if (PyRef text = printable_str(keyword)) return text;
    PyErr_Clear();
    PyRef plain = PyRef::steal(PyUnicode_FromObject(keyword));
    return plain ? without_surrogates(plain.get()) : std::move(plain);
}

bool fail_missing(const FunctionDescription& description, PyObject* const* slots) noexcept {
    std::size_t missing[8];
    std::size_t count = 0;
    for (std::size_t i = 0; i < description.required && count < std::size(missing); ++i) {
        if (slots[i] == nullptr) missing[count++] = i;
    }
    PyRef list = PyRef::steal(PyUnicode_FromString(""));
    for (std::size_t j = 0; list && j < count; ++j) {
        const char* separator = j == 0 ? "" : j + 1 < count ? ", " : count > 2 ? ", and " : " and ";
        list = PyRef::steal(
            PyUnicode_FromFormat("%U%s'%s'", list.get(), separator, description.parameters[missing[j]]));
    }
    if (!list) return api_call_failed();
    return fail_with(PyExc_TypeError, PyRef::steal(PyUnicode_FromFormat("%s() missing %zu required positional argument%s: %U",
                                                                  description.name, count, count == 1 ? "" : "s",
                                                                  list.get())));
}

}  // namespace

bool match_arguments_general(const FunctionDescription& description, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, PyObject** slots) noexcept {
    const auto n = static_cast<Py_ssize_t>(description.parameters.size());
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = i < nargs ? args[i] : nullptr;
    if (nargs > n) {
        return fail_with(PyExc_TypeError, PyRef::steal(PyUnicode_FromFormat(
            "%s() takes %zd positional arguments but %zd were given", description.name, n, nargs)));
    }
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t index = parameter_index(description, keyword);
        if (index < 0) {
            PyRef text = keyword_text(keyword);
            if (!text) return api_call_failed();
            return fail_with(PyExc_TypeError, PyRef::steal(PyUnicode_FromFormat(
                "%s() got an unexpected keyword argument '%U'", description.name, text.get())));
        }
        if (slots[index] != nullptr) {
            return fail_with(PyExc_TypeError, PyRef::steal(PyUnicode_FromFormat(
                "%s() got multiple values for argument '%s'", description.name, description.parameters[index])));
        }
        slots[index] = args[nargs + k];
    }
    for (std::size_t i = static_cast<std::size_t>(nargs); i < description.required; ++i) {
        if (slots[i] == nullptr) return fail_missing(description, slots);
    }
    return true;
}

Failed argument_error(const char* parameter) noexcept {
    PyRef caught = PyRef::steal(PyErr_GetRaisedException());
    if (!caught) return {};
    if (!Py_IS_TYPE(caught.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(caught.release());
        return {};
    }
    PyRef text = exception_text(caught.get());
    PyRef message;
    if (text) message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
    if (!message) return api_call_failed();
    // Raised as the interpreter raises: the exception being handled, if
    // any, becomes the context.  The caught exception is dropped; only its
    // cause carries over.
    PyErr_SetObject(PyExc_TypeError, message.get());
    PyRef cause = PyRef::steal(PyException_GetCause(caught.get()));
    if (!cause) return {};
    PyRef replacement = PyRef::steal(PyErr_GetRaisedException());
    // Not when building the TypeError failed and left a MemoryError instead.
    if (Py_IS_TYPE(replacement.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyException_SetCause(replacement.get(), cause.release());  // steals
    }
    PyErr_SetRaisedException(replacement.release());
    return {};
}

// ---------------------------------------------------------------------------
// Converters

bool from_python(PyObject* object, double& out) noexcept {
    if (PyFloat_CheckExact(object)) [[likely]] {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    out = PyFloat_AsDouble(object);
    return !(out == -1.0 && PyErr_Occurred());
}

bool from_python_general(PyObject* object, std::int64_t& out) noexcept {
    // PyLong_AsLong for its OverflowError text, "Python int too large to convert to C long".
    static_assert(sizeof(long) == sizeof(std::int64_t), "tavik: the binding needs a 64-bit long (LP64)");
    out = PyLong_AsLong(object);
    return !(out == -1 && PyErr_Occurred());
}

bool from_python(PyObject* object, std::uint32_t& out) noexcept {
    std::int64_t wide;
    if (!from_python(object, wide)) return false;
    if (wide < 0 || wide > 0xFFFF'FFFF) return fail(PyExc_OverflowError, "out of range integral type conversion attempted");
    out = static_cast<std::uint32_t>(wide);
    return true;
}

bool from_python_general(PyObject* object, std::string_view& out) noexcept {
    if (!PyUnicode_Check(object)) [[unlikely]]
        return raise_conversion_error(object, "PyString");
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return false;
    out = std::string_view(text, static_cast<std::size_t>(size));
    return true;
}

}  // namespace tavik
