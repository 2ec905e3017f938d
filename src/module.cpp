// Module definition, entry point and registration list.
#include <atomic>
#include <cstdio>

#include "call.hpp"
#include "helpers/datetime.hpp"
#include "helpers/functions.hpp"
#include "types/enums.hpp"
#include "types/records.hpp"

namespace tavik {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tavik",
    "",       // __doc__ is "", not None
    0,        // no per-module state
    nullptr,  // functions are added by the body, with PyCMethod_New
};

// Process-wide: the first interpreter to import us owns the module, and its
// module object is kept (one reference, never released) while it lives.  Both
// are safe without the interpreter lock in their own right: the owner is set by
// a compare-and-swap from -1, and the module cell is filled by a
// compare-and-swap whose loser releases its own module (read with acquire, so
// a module seen is a module complete).
std::atomic<std::int64_t> owner_interpreter{-1};
std::atomic<PyObject*> module_cell{nullptr};

// Everything process-wide belongs to the interpreter that built it.  Run at
// the very end of Py_FinalizeEx, once that interpreter and its objects are
// gone: the values are forgotten, never released, so that an interpreter
// started later in the same process (which gets ID 0 again) builds its own
// module instead of being handed a dead one.
void forget_interpreter_state() noexcept {
    forget_datetime_api();
    forget_record_classes();
    forget_enum_classes();
    module_cell.store(nullptr, std::memory_order_release);
    owner_interpreter.store(-1);
}

// The heap copy of `function`'s definition, made now if there is none; the
// loser of a race to make it frees its own.  Null with MemoryError.
PyMethodDef* method_copy(const ModuleFunction& function) noexcept {
    if (PyMethodDef* copy = function.copy.load(std::memory_order_acquire)) return copy;
    auto* copy = static_cast<PyMethodDef*>(PyMem_RawMalloc(sizeof(PyMethodDef)));
    if (copy == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    *copy = function.definition;
    PyMethodDef* stored = nullptr;
    if (function.copy.compare_exchange_strong(stored, copy, std::memory_order_acq_rel)) return copy;
    PyMem_RawFree(copy);
    return stored;
}

bool add_function(PyObject* module, const ModuleFunction& function) noexcept {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    PyMethodDef* copy = method_copy(function);
    if (copy == nullptr) return false;
    PyRef object = PyRef::steal(PyCMethod_New(copy, module, module_name.get(), nullptr));
    if (!object) return false;
    PyRef name = PyRef::steal(PyObject_GetAttrString(object.get(), "__name__"));
    if (!name) return false;
    const char* text = PyUnicode_AsUTF8(name.get());
    return text != nullptr && add_to_module(module, text, object.get());
}

bool add_class(PyObject* module, const char* name, PyTypeObject* type) noexcept {
    return type != nullptr && add_to_module(module, name, reinterpret_cast<PyObject*>(type));
}

// The registration list, in the order of __all__: the enumerations and the
// records in their catalogues' order, then the functions in theirs.
bool run_module_body(PyObject* module) noexcept {
    for (std::size_t i = 0; i < std::size(kEnumCatalogue); ++i) {
        const auto id = static_cast<EnumId>(i);
        if (!add_class(module, enum_spec(id).name, enum_class(id))) return false;
    }
    for (std::size_t i = 0; i < std::size(kRecordCatalogue); ++i) {
        const auto id = static_cast<RecordId>(i);
        if (!add_class(module, record_spec(id).name, record_class(id))) return false;
    }
    for (const ModuleFunction& function : module_functions()) {
        if (!add_function(module, function)) return false;
    }
    return true;
}

PyObject* initialize() noexcept {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) return nullptr;
    std::int64_t expected = -1;
    if (owner_interpreter.compare_exchange_strong(expected, interpreter)) {
        // The first import since the process (or the last finalisation)
        // began.  Only when the runtime's table of 32 exit functions is full
        // does the registration fail; the import still succeeds then, and
        // only a later re-initialisation of the interpreter would miss it.
        (void)Py_AtExit(&forget_interpreter_state);
    } else if (expected != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "tavik does not support subinterpreters: it is already loaded in another interpreter");
        return nullptr;
    }
    if (PyObject* module = module_cell.load(std::memory_order_acquire)) return Py_NewRef(module);

    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, 1013));
    if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
    // Nothing here needs the GIL: without this the import would turn it on.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return nullptr;
#endif
    if (!run_module_body(module.get())) return nullptr;

    PyObject* stored = nullptr;
    if (!module_cell.compare_exchange_strong(stored, module.get(), std::memory_order_acq_rel)) {
        return Py_NewRef(stored);  // lost the race: keep the first, release ours
    }
    static_cast<void>(module.release());  // now the cell's own reference
    return Py_NewRef(module_cell.load(std::memory_order_acquire));
}

}  // namespace

}  // namespace tavik

PyMODINIT_FUNC PyInit_tavik() {
    return tavik::initialize();
}
