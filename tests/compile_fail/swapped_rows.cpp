// Two enumeration rows swapped: each class would get the other's members and docstring.
// expect: catalogue_row_out_of_id_order
#include <array>
#include <utility>

#include "types/enums.hpp"

namespace {
using namespace tavik;
#define MEMBERS(Name) constexpr const char* k##Name[] = {#Name ".Member"};
TAVIK_ENUMERATIONS(MEMBERS)
#define ROW(Name) enum_row(EnumId::Name, #Name, k##Name),

constexpr std::array<EnumSpec, kEnumCount> catalogue() {
    std::array<EnumSpec, kEnumCount> rows{TAVIK_ENUMERATIONS(ROW)};
#ifdef TAVIK_MISTAKE
    std::swap(rows[1], rows[2]);
#endif
    return rows;
}
constexpr auto kRows = catalogue();
static_assert(check_enum_catalogue(kRows));
}  // namespace
