// A record's field table without one of its fields: the attribute would vanish from the class.
// expect: field_table_does_not_match_its_record_layout
#include "types/records.hpp"

namespace {
using namespace tavik;
#define FIELD(member, type) FieldSpec{#member, FieldType::type, std::nullopt, "", offsetof(PositionObject, member)}
constexpr FieldSpec kFields[] = {
    FIELD(kind, Enum), FIELD(code, Text),
#ifndef TAVIK_MISTAKE
    FIELD(side, Enum),
#endif
    FIELD(volume, Float), FIELD(price, Float), FIELD(leverage, Int32),
};
constexpr RecordSpec kRow = record_row<PositionObject>("", kFields);
}  // namespace

const RecordSpec* use = &kRow;
