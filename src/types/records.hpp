// The four read-only record classes, each built from a field table.
#pragma once

#include <cstddef>
#include <optional>

#include "call.hpp"
#include "helpers/pure/instant.hpp"
#include "types/enums.hpp"

namespace tavik {

// Owned UTF-8 text (PyMem_Malloc'ed, freed with the record).
struct Text {
    char* data;
    Py_ssize_t size;
};

enum class FieldType : std::uint8_t { Text, Float, Int64, Int32, Enum, Instant };

struct FieldSpec {
    const char* name;      // Python attribute name
    FieldType type;
    std::optional<EnumId> enumeration;  // FieldType::Enum only
    const char* doc;
    std::size_t offset;    // from the start of the object
};

// The records, in registration order.  Each name is at once an id and a class
// name, so the two cannot disagree, and the count is never written by hand.
#define TAVIK_RECORDS(X) X(Pair) X(Candle) X(Order) X(Position)

TAVIK_DECLARE_CATALOGUE(TAVIK_RECORDS, RecordId, kRecordNames, kRecordTypeNames, kRecordCount);

struct RecordSpec {
    RecordId id;
    const char* name;
    const char* type_name;   // "builtins." + name
    const char* doc;
    std::size_t basic_size;  // object header plus fields
    std::span<const FieldSpec> fields;
};

// Instance layouts: the header, then the fields in declaration order.  Each
// names the record it lays out.
struct PairObject {
    static constexpr RecordId kId = RecordId::Pair;
    PyObject_HEAD
    std::uint8_t kind;
    Text code, base, quote;
    double min_volume, min_price, min_amount;
};

struct CandleObject {
    static constexpr RecordId kId = RecordId::Candle;
    PyObject_HEAD
    std::uint8_t kind;
    Text code;
    std::uint8_t interval;
    Instant open_time, close_time;
    double open, high, low, close, volume, amount;
    std::int64_t trades;
};

struct OrderObject {
    static constexpr RecordId kId = RecordId::Order;
    PyObject_HEAD
    Text id;
    std::uint8_t kind, type, side;
    Text code;
    std::uint8_t status;
    double volume, price, filled_volume, filled_price, fee;
    Instant create_time;
};

struct PositionObject {
    static constexpr RecordId kId = RecordId::Position;
    PyObject_HEAD
    std::uint8_t kind;
    Text code;
    std::uint8_t side;
    double volume, price;
    std::int32_t leverage;
};

// The bytes a field of each type takes in a layout, and their alignment.
constexpr std::size_t storage_size(FieldType type) noexcept {
    switch (type) {
        case FieldType::Text: return sizeof(Text);
        case FieldType::Float: return sizeof(double);
        case FieldType::Int64: return sizeof(std::int64_t);
        case FieldType::Int32: return sizeof(std::int32_t);
        case FieldType::Enum: return sizeof(std::uint8_t);
        case FieldType::Instant: return sizeof(Instant);
    }
    return 0;
}

constexpr std::size_t storage_alignment(FieldType type) noexcept {
    switch (type) {
        case FieldType::Text: return alignof(Text);
        case FieldType::Float: return alignof(double);
        case FieldType::Int64: return alignof(std::int64_t);
        case FieldType::Int32: return alignof(std::int32_t);
        case FieldType::Enum: return alignof(std::uint8_t);
        case FieldType::Instant: return alignof(Instant);
    }
    return 1;
}

constexpr std::size_t aligned(std::size_t offset, std::size_t alignment) noexcept {
    return (offset + alignment - 1) / alignment * alignment;
}

// Never defined: a constant evaluation that reaches it does not compile.
void field_table_does_not_match_its_record_layout();

// A catalogue row for the record that `Layout` lays out: its names come from
// its id, and its field table must be the layout's fields, every one, in
// order, each of its member's type (one dropped or out of place moves the
// offsets that follow, or the end).  Fails to compile otherwise.
template <class Layout>
consteval RecordSpec record_row(const char* doc, std::span<const FieldSpec> fields) {
    std::size_t end = sizeof(PyObject);
    for (const FieldSpec& f : fields) {
        end = aligned(end, storage_alignment(f.type));
        if (f.offset != end) field_table_does_not_match_its_record_layout();
        end += storage_size(f.type);
    }
    if (aligned(end, alignof(Layout)) != sizeof(Layout)) field_table_does_not_match_its_record_layout();
    const auto index = static_cast<std::size_t>(Layout::kId);
    return RecordSpec{Layout::kId, kRecordNames[index], kRecordTypeNames[index], doc, sizeof(Layout), fields};
}

// Every row in its id's place.  Fails to compile otherwise.
consteval bool check_record_catalogue(std::span<const RecordSpec, kRecordCount> rows) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (static_cast<std::size_t>(rows[i].id) != i || rows[i].name == nullptr) catalogue_row_out_of_id_order();
    }
    return true;
}

extern const RecordSpec kRecordCatalogue[kRecordCount];

constexpr const RecordSpec& record_spec(RecordId id) noexcept {
    return kRecordCatalogue[static_cast<std::size_t>(id)];
}

// The class object, built on first use.  Borrowed; null with an exception.
PyTypeObject* record_class(RecordId id) noexcept;

// Drops the class objects of an interpreter that has finalised (no Python
// API is called): the next request builds them anew.
void forget_record_classes() noexcept;

// Releases the text buffers of a record laid out by `spec`.
void free_texts(const RecordSpec& spec, PyObject* record) noexcept;

template <class T>
T& field(PyObject* record, const FieldSpec& spec) noexcept {
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(record) + spec.offset);
}

}  // namespace tavik
