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

enum class RecordId : std::uint8_t { Pair, Candle, Order, Position };

struct RecordSpec {
    const char* name;
    const char* type_name;   // "builtins." + name
    const char* doc;
    std::size_t basic_size;  // object header plus fields
    std::span<const FieldSpec> fields;
};

extern const RecordSpec kRecordCatalogue[4];

constexpr const RecordSpec& record_spec(RecordId id) noexcept { return kRecordCatalogue[static_cast<int>(id)]; }

// Instance layouts: the header, then the fields in declaration order.
struct PairObject {
    PyObject_HEAD
    std::uint8_t kind;
    Text code, base, quote;
    double min_volume, min_price, min_amount;
};

struct CandleObject {
    PyObject_HEAD
    std::uint8_t kind;
    Text code;
    std::uint8_t interval;
    Instant open_time, close_time;
    double open, high, low, close, volume, amount;
    std::int64_t trades;
};

struct OrderObject {
    PyObject_HEAD
    Text id;
    std::uint8_t kind, type, side;
    Text code;
    std::uint8_t status;
    double volume, price, filled_volume, filled_price, fee;
    Instant create_time;
};

struct PositionObject {
    PyObject_HEAD
    std::uint8_t kind;
    Text code;
    std::uint8_t side;
    double volume, price;
    std::int32_t leverage;
};

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
