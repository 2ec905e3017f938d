// The seven enumeration classes, built from one catalogue.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "call.hpp"
#include "types/catalogue.hpp"

namespace tavik {

// The enumerations, in registration order.  Each name is at once an id and a
// class name, so the two cannot disagree, and the count is never written by hand.
#define TAVIK_ENUMERATIONS(X) X(RunMode) X(TradeKind) X(TradeType) X(TradeSide) X(OrderStatus) X(CandleInterval) X(EventType)

TAVIK_DECLARE_CATALOGUE(TAVIK_ENUMERATIONS, EnumId, kEnumNames, kEnumTypeNames, kEnumCount);

struct EnumSpec {
    EnumId id;
    const char* name;                     // class name
    const char* type_name;                // "builtins." + name
    const char* doc;
    std::span<const char* const> reprs;   // "Name.Member", indexed by member value
};

// A catalogue row: its names come from its id.
constexpr EnumSpec enum_row(EnumId id, const char* doc, std::span<const char* const> reprs) noexcept {
    const auto index = static_cast<std::size_t>(id);
    return EnumSpec{id, kEnumNames[index], kEnumTypeNames[index], doc, reprs};
}

// Never defined: a constant evaluation that reaches one does not compile, and
// the compiler's message names the mistake.
void enumeration_repr_not_named_by_its_class();
void enumeration_with_more_than_256_members();

// Every row in its id's place, each repr "Class.Member" (member_name relies on
// it), every value one byte.  Fails to compile otherwise.
consteval bool check_enum_catalogue(std::span<const EnumSpec, kEnumCount> rows) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const EnumSpec& row = rows[i];
        if (static_cast<std::size_t>(row.id) != i || row.name == nullptr) catalogue_row_out_of_id_order();
        const std::string_view prefix(row.name);
        for (const std::string_view repr : row.reprs) {
            if (!repr.starts_with(prefix) || repr.size() <= prefix.size() + 1 || repr[prefix.size()] != '.')
                enumeration_repr_not_named_by_its_class();
        }
        if (row.reprs.size() > 256) enumeration_with_more_than_256_members();
    }
    return true;
}

extern const EnumSpec kEnumCatalogue[kEnumCount];

constexpr const EnumSpec& enum_spec(EnumId id) noexcept { return kEnumCatalogue[static_cast<std::size_t>(id)]; }

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
// Empty with the allocation error set.  Only for the
// enumerations that records hold.
PyRef enum_to_py(EnumId id, std::uint8_t value) noexcept;

}  // namespace tavik
