#include "types/records.hpp"

#include <algorithm>
#include <array>
#include <type_traits>
#include <utility>

#include "helpers/datetime.hpp"
#include "types/class_table.hpp"

namespace tavik {

namespace {

// A field's type, from its member's C++ type; an enumeration value is a byte
// whose enumeration the row names.
template <class T>
constexpr FieldType enum_field_type() {
    static_assert(std::is_same_v<T, std::uint8_t>, "an enumeration field holds one byte");
    return FieldType::Enum;
}

template <class T>
constexpr FieldType field_type_of() {
    if constexpr (std::is_same_v<T, Text>) return FieldType::Text;
    else if constexpr (std::is_same_v<T, double>) return FieldType::Float;
    else if constexpr (std::is_same_v<T, std::int64_t>) return FieldType::Int64;
    else if constexpr (std::is_same_v<T, std::int32_t>) return FieldType::Int32;
    else if constexpr (std::is_same_v<T, Instant>) return FieldType::Instant;
    else static_assert(std::is_same_v<T, void>, "no field type for this member type");
}

// offsetof on the layouts above; a macro keeps each table row on one line.
#define TAVIK_FIELD(Record, member, doc) \
    FieldSpec { #member, field_type_of<decltype(Record::member)>(), std::nullopt, doc, offsetof(Record, member) }
#define TAVIK_ENUM_FIELD(Record, member, enumeration, doc)                                               \
    FieldSpec {                                                                                          \
        #member, enum_field_type<decltype(Record::member)>(), EnumId::enumeration, doc, offsetof(Record, member) \
    }

constexpr FieldSpec kPairFields[] = {
    TAVIK_ENUM_FIELD(PairObject, kind, TradeKind, "交易品种"),
    TAVIK_FIELD(PairObject, code, "交易代码"),
    TAVIK_FIELD(PairObject, base, "基础货币"),
    TAVIK_FIELD(PairObject, quote, "计价货币"),
    TAVIK_FIELD(PairObject, min_volume, "最小下单数量"),
    TAVIK_FIELD(PairObject, min_price, "最小下单价格"),
    TAVIK_FIELD(PairObject, min_amount, "最小下单金额"),
};

constexpr FieldSpec kCandleFields[] = {
    TAVIK_ENUM_FIELD(CandleObject, kind, TradeKind, "交易品种"),
    TAVIK_FIELD(CandleObject, code, "交易代码"),
    TAVIK_ENUM_FIELD(CandleObject, interval, CandleInterval, "K线周期"),
    TAVIK_FIELD(CandleObject, open_time, "开盘时间"),
    TAVIK_FIELD(CandleObject, close_time, "收盘时间"),
    TAVIK_FIELD(CandleObject, open, "开盘价"),
    TAVIK_FIELD(CandleObject, high, "最高价"),
    TAVIK_FIELD(CandleObject, low, "最低价"),
    TAVIK_FIELD(CandleObject, close, "收盘价"),
    TAVIK_FIELD(CandleObject, volume, "成交量"),
    TAVIK_FIELD(CandleObject, amount, "成交额"),
    TAVIK_FIELD(CandleObject, trades, "交易笔数"),
};

constexpr FieldSpec kOrderFields[] = {
    TAVIK_FIELD(OrderObject, id, "订单ID"),
    TAVIK_ENUM_FIELD(OrderObject, kind, TradeKind, "交易品种"),
    TAVIK_ENUM_FIELD(OrderObject, type, TradeType, "交易类型"),
    TAVIK_ENUM_FIELD(OrderObject, side, TradeSide, "交易方向"),
    TAVIK_FIELD(OrderObject, code, "交易代码"),
    TAVIK_ENUM_FIELD(OrderObject, status, OrderStatus, "订单状态"),
    TAVIK_FIELD(OrderObject, volume, "下单数量"),
    TAVIK_FIELD(OrderObject, price, "下单价格"),
    TAVIK_FIELD(OrderObject, filled_volume, "已成交数量"),
    TAVIK_FIELD(OrderObject, filled_price, "已成交均价"),
    TAVIK_FIELD(OrderObject, fee, "交易手续费"),
    TAVIK_FIELD(OrderObject, create_time, "下单时间"),
};

constexpr FieldSpec kPositionFields[] = {
    TAVIK_ENUM_FIELD(PositionObject, kind, TradeKind, "交易品种"),
    TAVIK_FIELD(PositionObject, code, "交易代码"),
    TAVIK_ENUM_FIELD(PositionObject, side, TradeSide, "交易方向"),
    TAVIK_FIELD(PositionObject, volume, "持仓数量"),
    TAVIK_FIELD(PositionObject, price, "持仓均价"),
    TAVIK_FIELD(PositionObject, leverage, "杠杆倍率"),
};

#undef TAVIK_FIELD
#undef TAVIK_ENUM_FIELD

}  // namespace

// In id order, which is registration order.
constexpr RecordSpec kRecordCatalogue[kRecordCount] = {
    record_row<PairObject>("交易对", kPairFields),
    record_row<CandleObject>("K线", kCandleFields),
    record_row<OrderObject>("订单", kOrderFields),
    record_row<PositionObject>("持仓", kPositionFields),
};
static_assert(check_record_catalogue(kRecordCatalogue));

void free_texts(const RecordSpec& spec, PyObject* record) noexcept {
    for (const FieldSpec& f : spec.fields) {
        if (f.type == FieldType::Text) PyMem_Free(std::exchange(field<Text>(record, f).data, nullptr));
    }
}

namespace {


// Every read converts afresh: the record caches no Python objects.  New
// reference, or null with an exception set: a failed interpreter call is an
// internal failure, while the two conversions of the module's own pass their
// exception on as they raised it (an allocation's MemoryError, datetime's
// ValueError for a year outside 1..9999).
PyObject* read_field(PyObject* self, void* closure) noexcept {
    const FieldSpec& f = *static_cast<const FieldSpec*>(closure);
    switch (f.type) {
        case FieldType::Text: {
            const Text& t = field<Text>(self, f);
            return created(PyUnicode_DecodeUTF8(t.data, t.size, nullptr));
        }
        case FieldType::Float:
            return created(PyFloat_FromDouble(field<double>(self, f)));
        case FieldType::Int64:
            return created(PyLong_FromLongLong(field<std::int64_t>(self, f)));
        case FieldType::Int32:
            return created(PyLong_FromLong(field<std::int32_t>(self, f)));
        case FieldType::Enum:
            return enum_to_py(*f.enumeration, field<std::uint8_t>(self, f)).release();
        case FieldType::Instant:
            return instant_to_py(field<Instant>(self, f)).release();
    }
    return internal_failure("unknown field type");
}

template <std::size_t I>
void record_dealloc(PyObject* self) noexcept {
    free_texts(kRecordCatalogue[I], self);
    free_instance(self);
}

// Descriptor tables must outlive the classes: static, and made from the field
// tables at compile time, so that no build ever writes memory another
// thread's class may be reading.
template <std::size_t I>
constexpr auto make_getset() {
    constexpr std::span<const FieldSpec> fields = kRecordCatalogue[I].fields;
    std::array<PyGetSetDef, fields.size() + 1> table{};  // ends in an empty row
    for (std::size_t i = 0; i < fields.size(); ++i) {
        table[i] = PyGetSetDef{fields[i].name, &read_field, nullptr, fields[i].doc, const_cast<FieldSpec*>(&fields[i])};
    }
    return table;
}

template <std::size_t I>
constinit auto record_getset = make_getset<I>();

template <std::size_t I>
PyType_Slot record_slots[] = {
    {Py_tp_doc, const_cast<char*>(kRecordCatalogue[I].doc)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_getset, record_getset<I>.data()},
    {Py_tp_new, reinterpret_cast<void*>(&refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&record_dealloc<I>)},
    {0, nullptr},
};

template <std::size_t I>
PyType_Spec record_type_spec = {
    kRecordCatalogue[I].type_name, static_cast<int>(kRecordCatalogue[I].basic_size), 0, Py_TPFLAGS_DEFAULT,
    record_slots<I>,
};

const auto kTypeSpecs = spec_table<kRecordCount>([]<std::size_t I> { return &record_type_spec<I>; });

// Process-wide: each class is built once and then only read; the classes
// live for the process.  See ClassTable for what makes it safe without the
// interpreter lock.
ClassTable<kRecordCount> classes;

bool build_record_class(std::size_t index, PyTypeObject*& made) noexcept {
    return create_class(kTypeSpecs[index], kRecordCatalogue[index].name, made);
}

}  // namespace

PyTypeObject* record_class(RecordId id) noexcept {
    return classes.get(static_cast<std::size_t>(id), build_record_class);
}

void forget_record_classes() noexcept { classes.forget(); }

}  // namespace tavik
