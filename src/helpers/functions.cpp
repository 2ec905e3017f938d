#include "helpers/functions.hpp"

namespace tavik {

namespace {

constexpr int kWithArguments = METH_FASTCALL | METH_KEYWORDS;

template <std::size_t N>
constexpr FunctionDescription describe(const char* name, const char* const (&parameters)[N]) {
    return {name, parameters, N};
}

constexpr const char* kSafeFloatParameters[] = {"value", "decimals"};
constexpr FunctionDescription kSafeFloatDescription = describe("safe_float", kSafeFloatParameters);

// Registered with its full signature and checks; there is no computation yet.
PyObject* safe_float(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    double value;
    std::uint32_t decimals;
    if (!extract_arguments(kSafeFloatDescription, args, nargs, kwnames, value, decimals)) return nullptr;
    return internal_failure("not yet implemented");
}

}  // namespace

const PyMethodDef kSafeFloat = {"safe_float", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&safe_float)),
                                kWithArguments, "safe_float(value, decimals)\n--\n\n安全浮点数"};

}  // namespace tavik
