// The seven enumeration classes, built from one catalogue.
#pragma once

#include "call.hpp"

namespace tavik {

enum class EnumId : std::uint8_t {
    RunMode,
    TradeKind,
    TradeType,
    TradeSide,
    OrderStatus,
    CandleInterval,
    EventType,
};

struct EnumSpec {
    const char* name;                     // class name
    const char* type_name;                // "builtins." + name
    const char* doc;
    std::span<const char* const> reprs;   // "Name.Member", indexed by member value
};

extern const EnumSpec kEnumCatalogue[7];

constexpr const EnumSpec& enum_spec(EnumId id) noexcept { return kEnumCatalogue[static_cast<int>(id)]; }

// The member name inside a repr text: "RunMode.Live" -> "Live".
inline const char* member_name(const EnumSpec& spec, std::size_t value) noexcept {
    return spec.reprs[value] + std::char_traits<char>::length(spec.name) + 1;
}

struct EnumObject {
    PyObject_HEAD
    std::uint8_t value;
};

// The class object, built with its member objects on first use.  Borrowed;
// null with a RuntimeError ("An error occurred while initializing class ...")
// whose cause is the underlying error.
PyTypeObject* enum_class(EnumId id) noexcept;

// Drops the class objects of an interpreter that has finalised (no Python
// API is called): the next request builds them anew.
void forget_enum_classes() noexcept;

// A new instance of the class holding `value` (never the member object).
// New reference, or null with the allocation error set.  Only for the
// enumerations that records hold.
PyObject* enum_to_py(EnumId id, std::uint8_t value) noexcept;

}  // namespace tavik
