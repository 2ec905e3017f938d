// Test-only extension: builds what Python cannot (records, instants outside
// datetime's range) through the module's own code.  Never installed.
#include "call.hpp"
#include "types/enums.hpp"

namespace {

using namespace tavik;

// Builds enumeration class `index` with this extension's own copy of the
// catalogue state, so tests can fail its allocations one by one and retry
// without going through the import machinery.
PyObject* build_enum_class(PyObject*, PyObject* arg) noexcept {
    const long index = PyLong_AsLong(arg);
    if (index == -1 && PyErr_Occurred()) return nullptr;
    if (index < 0 || index >= static_cast<long>(std::size(kEnumCatalogue))) {
        PyErr_SetString(PyExc_ValueError, "no such enumeration");
        return nullptr;
    }
    return Py_XNewRef(reinterpret_cast<PyObject*>(enum_class(static_cast<EnumId>(index))));
}

PyMethodDef testing_methods[] = {
    {"build_enum_class", build_enum_class, METH_O, "build_enum_class(index)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef testing_definition = {
    PyModuleDef_HEAD_INIT, "tavik_testing", "Test-only helpers for tavik; never installed.", 0, testing_methods,
};

}  // namespace

PyMODINIT_FUNC PyInit_tavik_testing() { return PyModuleDef_Init(&testing_definition); }
