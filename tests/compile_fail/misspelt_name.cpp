// A member text that misspells its class: member_name would cut the wrong prefix off it.
// expect: enumeration_repr_not_named_by_its_class
#include <array>

#include "types/enums.hpp"

namespace {
using namespace tavik;
#define MEMBERS(Name) constexpr const char* k##Name[] = {#Name ".Member"};
TAVIK_ENUMERATIONS(MEMBERS)
#ifdef TAVIK_MISTAKE
constexpr const char* kMisspelt[] = {"RunMod.Live"};
#else
constexpr const char* kMisspelt[] = {"RunMode.Live"};
#endif
#define ROW(Name) enum_row(EnumId::Name, #Name, EnumId::Name == EnumId::RunMode ? kMisspelt : k##Name),

constexpr std::array<EnumSpec, kEnumCount> kRows{TAVIK_ENUMERATIONS(ROW)};
static_assert(check_enum_catalogue(kRows));
}  // namespace
