// Test-only extension: builds what Python cannot (records, instants outside
// datetime's range) through the module's own code.  Never installed.
#include "call.hpp"
#include "helpers/datetime.hpp"
#include "types/enums.hpp"
#include "types/records.hpp"

#include <cstring>

namespace {

using namespace tavik;

// Builds class `index` of a catalogue with this extension's own copy of the
// class state, so tests can fail its allocations one by one and retry without
// going through the import machinery.
template <class Id, std::size_t Count, PyTypeObject* (*Build)(Id) noexcept>
PyObject* build_class(PyObject*, PyObject* arg) noexcept {
    const long index = PyLong_AsLong(arg);
    if (index == -1 && PyErr_Occurred()) return nullptr;
    if (index < 0 || index >= static_cast<long>(Count)) {
        PyErr_SetString(PyExc_ValueError, "no such class");
        return nullptr;
    }
    return Py_XNewRef(reinterpret_cast<PyObject*>(Build(static_cast<Id>(index))));
}

// (year, month, day, secs, frac) -> Instant, refusing what the module could never hold.
bool instant_from_tuple(PyObject* tuple, Instant& out) noexcept {
    int year;
    unsigned int month, day, secs, frac;
    if (!PyArg_ParseTuple(tuple, "iIIII;instant must be (year, month, day, secs, frac)", &year, &month, &day, &secs,
                          &frac))
        return false;
    out = Instant{Date{year, static_cast<month_t>(month), static_cast<day_t>(day)}, secs, frac};
    if (month > 12 || day > 31 || !is_valid_instant(out)) {
        PyErr_SetString(PyExc_ValueError, "invalid instant");
        return false;
    }
    return true;
}

// Whether `type` is a record class built from `spec`: of its size, closed to
// subclasses and with exactly its read-only attributes.  A look-alike of the
// same size (a Python class with as many slots) must never be written into:
// its dealloc would release our text pointers as objects.
bool is_record_class(PyTypeObject* type, const RecordSpec& spec) noexcept {
    if (type->tp_basicsize != static_cast<Py_ssize_t>(spec.basic_size) || PyType_HasFeature(type, Py_TPFLAGS_BASETYPE) ||
        type->tp_getset == nullptr)
        return false;
    for (std::size_t i = 0; i < spec.fields.size(); ++i) {
        const PyGetSetDef& getset = type->tp_getset[i];
        if (getset.name == nullptr || std::strcmp(getset.name, spec.fields[i].name) != 0 || getset.set != nullptr)
            return false;
    }
    return type->tp_getset[spec.fields.size()].name == nullptr;
}

// The imported module's own class, so that type(record) is tavik.tavik.<Name>.
PyTypeObject* module_record_class(const RecordSpec& spec) noexcept {
    PyRef module = PyRef::steal(PyImport_ImportModule("tavik.tavik"));
    PyRef cls = PyRef::steal(module ? PyObject_GetAttrString(module.get(), spec.name) : nullptr);
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    if (cls && (!PyType_Check(cls.get()) || !is_record_class(type, spec)))
        PyErr_Format(PyExc_RuntimeError, "tavik.tavik.%s is not the record class this extension knows", spec.name);
    return PyErr_Occurred() ? nullptr : type;  // borrowed: the module keeps it
}

bool store_field(PyObject* record, const FieldSpec& f, PyObject* value) noexcept {
    switch (f.type) {
        case FieldType::Text: {
            Py_ssize_t size;
            const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
            if (utf8 == nullptr) return false;
            char* copy = static_cast<char*>(PyMem_Malloc(static_cast<std::size_t>(size) + 1));
            if (copy == nullptr) return PyErr_NoMemory(), false;
            std::memcpy(copy, utf8, static_cast<std::size_t>(size) + 1);
            field<Text>(record, f) = Text{copy, size};
            return true;
        }
        case FieldType::Float: {
            const double number = PyFloat_AsDouble(value);
            if (number == -1.0 && PyErr_Occurred()) return false;
            field<double>(record, f) = number;
            return true;
        }
        case FieldType::Int64:
        case FieldType::Int32: {
            const long long number = PyLong_AsLongLong(value);
            if (number == -1 && PyErr_Occurred()) return false;
            if (f.type == FieldType::Int64) {
                field<std::int64_t>(record, f) = number;
            } else if (number >= INT32_MIN && number <= INT32_MAX) {
                field<std::int32_t>(record, f) = static_cast<std::int32_t>(number);
            } else {
                PyErr_Format(PyExc_ValueError, "%s out of the signed 32-bit range", f.name);
                return false;
            }
            return true;
        }
        case FieldType::Enum: {
            const long number = PyLong_AsLong(value);
            if (number == -1 && PyErr_Occurred()) return false;
            const EnumSpec& e = enum_spec(*f.enumeration);
            if (number < 0 || static_cast<std::size_t>(number) >= e.reprs.size()) {
                PyErr_Format(PyExc_ValueError, "%ld is not a %s value", number, e.name);
                return false;
            }
            field<std::uint8_t>(record, f) = static_cast<std::uint8_t>(number);
            return true;
        }
        case FieldType::Instant:
            return instant_from_tuple(value, field<Instant>(record, f));
    }
    return false;
}

// make_<record>(field, ...): positional, in field order.
template <RecordId Id>
PyObject* make_record(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    const RecordSpec& spec = record_spec(Id);
    if (static_cast<std::size_t>(nargs) != spec.fields.size()) {
        PyErr_Format(PyExc_TypeError, "expected %zu arguments, got %zd", spec.fields.size(), nargs);
        return nullptr;
    }
    PyTypeObject* type = module_record_class(spec);
    if (type == nullptr) return nullptr;
    // Zeroed by the allocator, so a half-built record frees only what it got.
    PyRef record = PyRef::steal(type->tp_alloc(type, 0));
    if (!record) return nullptr;
    for (std::size_t i = 0; i < spec.fields.size(); ++i) {
        if (!store_field(record.get(), spec.fields[i], args[i])) return nullptr;
    }
    return record.release();
}

// safe_float's argument handling, returning what the converters made of the
// arguments (safe_float itself reads none of it yet).
PyObject* convert(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static constexpr const char* kParameters[] = {"value", "decimals"};
    static constexpr FunctionDescription kDescription{"convert", kParameters, 2};
    double value;
    std::uint32_t decimals;
    if (!extract_arguments<kDescription>(args, nargs, kwnames, value, decimals)) return nullptr;
    return Py_BuildValue("(dI)", value, static_cast<unsigned>(decimals));
}

// The module body's add_to_module, on any module: tests fail its allocations.
PyObject* add_name(PyObject*, PyObject* args) noexcept {
    PyObject *module, *object;
    const char* name;
    if (!PyArg_ParseTuple(args, "OsO", &module, &name, &object)) return nullptr;
    return add_to_module(module, name, object) ? Py_NewRef(Py_None) : nullptr;
}

// make_<record> takes its fields positionally, in the catalogue's order.
PyMethodDef testing_methods[] = {
    {"make_pair", as_cfunction(&make_record<RecordId::Pair>), METH_FASTCALL, nullptr},
    {"make_candle", as_cfunction(&make_record<RecordId::Candle>), METH_FASTCALL, nullptr},
    {"make_order", as_cfunction(&make_record<RecordId::Order>), METH_FASTCALL, nullptr},
    {"make_position", as_cfunction(&make_record<RecordId::Position>), METH_FASTCALL, nullptr},
    {"convert", as_cfunction(&convert), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"build_enum_class", build_class<EnumId, std::size(kEnumCatalogue), &enum_class>, METH_O, nullptr},
    {"build_record_class", build_class<RecordId, std::size(kRecordCatalogue), &record_class>, METH_O, nullptr},
    {"add_to_module", add_name, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Runs without the GIL on a free-threaded interpreter, as tavik does.
PyModuleDef_Slot testing_slots[] = {
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef testing_definition = {
    PyModuleDef_HEAD_INIT, "tavik_testing", "Test-only helpers for tavik; never installed.", 0, testing_methods, testing_slots,
};

}  // namespace

PyMODINIT_FUNC PyInit_tavik_testing() { return PyModuleDef_Init(&testing_definition); }
