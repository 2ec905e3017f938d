// A function row whose entry takes no arguments, for a function with a parameter: the interpreter
// would call it with the wrong signature.
// expect: an entry without arguments, for a function that takes some
#include "call.hpp"

namespace {
using namespace tavik;
constexpr const char* kParameters[] = {"s"};
constexpr FunctionDescription kDescription{"parse", kParameters, 1};
PyObject* with_arguments(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept { return nullptr; }
PyObject* without_arguments(PyObject*, PyObject*) noexcept { return nullptr; }
#ifdef TAVIK_MISTAKE
const PyMethodDef row = function_row<kDescription, "parse(s)\n--\n\n">(&without_arguments);
#else
const PyMethodDef row = function_row<kDescription, "parse(s)\n--\n\n">(&with_arguments);
#endif
}  // namespace

const PyMethodDef* use = &row;
