#include "types/enums.hpp"

#include "types/class_table.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

namespace tavik {

namespace {

constexpr const char* kRunMode[] = {"RunMode.Backtest", "RunMode.Simulation", "RunMode.Live"};
constexpr const char* kTradeKind[] = {"TradeKind.Spot", "TradeKind.Future"};
constexpr const char* kTradeType[] = {"TradeType.Limit", "TradeType.Market"};
constexpr const char* kTradeSide[] = {"TradeSide.Long", "TradeSide.Short"};
constexpr const char* kOrderStatus[] = {
    "OrderStatus.Created",  "OrderStatus.Submitted", "OrderStatus.PartialFilled",
    "OrderStatus.Filled",   "OrderStatus.Canceled",  "OrderStatus.Rejected",
};
// Positions, not durations: Min15 is 2.
constexpr const char* kCandleInterval[] = {
    "CandleInterval.Min1", "CandleInterval.Min5", "CandleInterval.Min15", "CandleInterval.Hour1", "CandleInterval.Day1",
};
constexpr const char* kEventType[] = {
    "EventType.Initialize", "EventType.Start",    "EventType.Stop",          "EventType.Daily",
    "EventType.Hourly",     "EventType.Minutely", "EventType.Secondly",      "EventType.Tick",
    "EventType.QuoteChange", "EventType.AccountChange", "EventType.PositionChange", "EventType.OrderChange",
};

}  // namespace

// In id order, which is registration order.
constexpr EnumSpec kEnumCatalogue[kEnumCount] = {
    enum_row(EnumId::RunMode, "运行模式", kRunMode),
    enum_row(EnumId::TradeKind, "交易品种", kTradeKind),
    enum_row(EnumId::TradeType, "交易类型", kTradeType),
    enum_row(EnumId::TradeSide, "交易方向", kTradeSide),
    enum_row(EnumId::OrderStatus, "订单状态", kOrderStatus),
    enum_row(EnumId::CandleInterval, "K线周期", kCandleInterval),
    enum_row(EnumId::EventType, "事件类型", kEventType),
};
static_assert(check_enum_catalogue(kEnumCatalogue));

namespace {

// The member array of bind_members holds the largest enumeration.
constexpr std::size_t kMaxMembers =
    std::ranges::max(kEnumCatalogue, {}, [](const EnumSpec& spec) { return spec.reprs.size(); }).reprs.size();

// Process-wide: each class, with its members bound, is built once and then
// only read; the classes live for the process.  See ClassTable for what makes
// it safe without the interpreter lock.
ClassTable<kEnumCount> classes;

std::uint8_t value_of(PyObject* self) noexcept { return reinterpret_cast<EnumObject*>(self)->value; }

template <std::size_t I>
PyObject* enum_repr(PyObject* self) noexcept {
    const EnumSpec& spec = kEnumCatalogue[I];
    const std::uint8_t value = value_of(self);
    if (value >= spec.reprs.size()) [[unlikely]] return internal_failure("enumeration value out of range");
    return created(PyUnicode_FromString(spec.reprs[value]));
}

PyObject* enum_int(PyObject* self) noexcept {
    return created(PyLong_FromLong(value_of(self)));
}

PyObject* compare_result(bool equal, int op) noexcept { return Py_NewRef((op == Py_EQ) == equal ? Py_True : Py_False); }

// Equality with members of the same class and with anything PyLong_AsLong
// reads (int, bool, __index__ objects); never raises, orders nothing.
PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if (op < Py_LT || op > Py_GE) Py_RETURN_NOTIMPLEMENTED;
    const bool equality = op == Py_EQ || op == Py_NE;
    if (Py_IS_TYPE(other, Py_TYPE(self))) {
        if (!equality) Py_RETURN_NOTIMPLEMENTED;
        return compare_result(value_of(other) == value_of(self), op);
    }
    // The common operand, a small exact int, read in place.
    if (PyLong_CheckExact(other) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(other))) [[likely]] {
        if (!equality) Py_RETURN_NOTIMPLEMENTED;
        const Py_ssize_t number = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(other));
        return compare_result(number == value_of(self), op);
    }
    const long number = PyLong_AsLong(other);
    if (number == -1 && PyErr_Occurred()) {
        PyErr_Clear();  // not comparable: let the interpreter fall back
        Py_RETURN_NOTIMPLEMENTED;
    }
    if (!equality) Py_RETURN_NOTIMPLEMENTED;
    return compare_result(number == value_of(self), op);
}

template <std::size_t I>
PyType_Slot enum_slots[] = {
    {Py_tp_doc, const_cast<char*>(kEnumCatalogue[I].doc)},
    {Py_tp_repr, reinterpret_cast<void*>(&enum_repr<I>)},
    {Py_nb_int, reinterpret_cast<void*>(&enum_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&enum_richcompare)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(&refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&free_instance)},
    {0, nullptr},
};

template <std::size_t I>
PyType_Spec enum_type_spec = {
    kEnumCatalogue[I].type_name, sizeof(EnumObject), 0, Py_TPFLAGS_DEFAULT, enum_slots<I>,
};

const auto kTypeSpecs = spec_table<kEnumCount>([]<std::size_t I> { return &enum_type_spec<I>; });

// Member objects, bound as class attributes in declaration order.
bool bind_members(PyTypeObject* type, const EnumSpec& spec) noexcept {
    PyRef members[kMaxMembers];
    const std::size_t count = spec.reprs.size();
    for (std::size_t value = 0; value < count; ++value) {
        allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
        members[value] = PyRef::steal(alloc(type, 0));
        if (!members[value]) return raise_init_error("An error occurred while initializing `", spec.reprs[value], "`");
        reinterpret_cast<EnumObject*>(members[value].get())->value = static_cast<std::uint8_t>(value);
    }
    for (std::size_t value = 0; value < count; ++value) {
        if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), member_name(spec, value), members[value].get()) <
            0)
            return raise_init_error("An error occurred while initializing `", spec.name, ".__dict__`");
    }
    return true;
}

// The class object is stored in `made` before its members are made, so that
// a request from inside gets it at once.  A class whose members could not be
// bound stays in `made`: the next request binds them again.
bool build_enum_class(std::size_t index, PyTypeObject*& made) noexcept {
    const EnumSpec& spec = kEnumCatalogue[index];
    if (made == nullptr && !create_class(kTypeSpecs[index], spec.name, made)) return false;
    if (!bind_members(made, spec)) return raise_init_error("An error occurred while initializing class ", spec.name);
    return true;
}

}  // namespace

PyTypeObject* enum_class(EnumId id) noexcept { return classes.get(static_cast<std::size_t>(id), build_enum_class); }

void forget_enum_classes() noexcept { classes.forget(); }

PyRef enum_to_py(EnumId id, std::uint8_t value) noexcept {
    PyTypeObject* type = classes.built(static_cast<std::size_t>(id));
    if (type == nullptr) [[unlikely]] {
        type = enum_class(id);  // a record read before the module was imported
        if (type == nullptr) return PyRef();
    }
    PyRef object = PyRef::steal(type->tp_alloc(type, 0));
    if (object) reinterpret_cast<EnumObject*>(object.get())->value = value;
    return object;
}

}  // namespace tavik
