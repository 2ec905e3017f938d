// What both catalogues (enumerations, records) derive from one list of names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

// From a list `LIST(X)` that applies X to each class name in registration
// order: the ids, the class names, the type names ("builtins." + name) and the
// count, so that none of them can disagree with another.
#define TAVIK_CATALOGUE_ID(Name) Name,
#define TAVIK_CATALOGUE_NAME(Name) #Name,
#define TAVIK_CATALOGUE_TYPE_NAME(Name) "builtins." #Name,
#define TAVIK_DECLARE_CATALOGUE(LIST, Id, names, type_names, count)                 \
    enum class Id : std::uint8_t { LIST(TAVIK_CATALOGUE_ID) };                         \
    inline constexpr const char* names[] = {LIST(TAVIK_CATALOGUE_NAME)};               \
    inline constexpr const char* type_names[] = {LIST(TAVIK_CATALOGUE_TYPE_NAME)};     \
    inline constexpr std::size_t count = std::size(names)

namespace tavik {

// Never defined: a constant evaluation that reaches it does not compile, and
// the compiler's message names the mistake.
void catalogue_row_out_of_id_order();

}  // namespace tavik
