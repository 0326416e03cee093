#pragma once

#include <cstddef>
#include <cstdint>

#include <json/json.h>

#include "conversion/missing_fields.h"

// A record layout as a table of fields, walked by one generic encoder and one generic decoder. Each row reads
// like a row of a record description: JSON key, offset, kind, default, when the decoder writes the key, label.
namespace field {

enum Kind {
    U8,
    U16,
    U32,
    I32,
    U64,
    F32,
    Source, // SourceOrValue, encoded with encodeSourceOrValue; the default is a Number
    Coordinate, // SourceOrValue, always encoded as a Coordinate; decoded like any SourceOrValue
    Text24, // text of at most 23 bytes in a 24-byte area that always ends in a zero byte; default empty
};

constexpr int textAreaSize = 24; // bytes of a Text24 field

// Bytes a field of this kind occupies in the record and consumes from the decoding budget.
int width(Kind kind);

enum class Rule {
    Always,
    UnlessEqual,
    IfLessThan,
    IfAtLeast,
    TakenOnly, // consumed from the budget but not written by the generic decoder (a type's own code uses it)
};

// When the decoder writes a field's key. Comparisons are exact and made in the field's own type (f32 fields and
// SourceOrValue payloads as f32), so a NaN passes UnlessEqual and fails IfLessThan and IfAtLeast.
struct Condition {
    Rule rule;
    double value;
};

constexpr Condition always{Rule::Always, 0.0};
constexpr Condition takenOnly{Rule::TakenOnly, 0.0};
constexpr Condition unlessEqual(double value) { return {Rule::UnlessEqual, value}; }
constexpr Condition ifLessThan(double value) { return {Rule::IfLessThan, value}; }
constexpr Condition ifAtLeast(double value) { return {Rule::IfAtLeast, value}; }

} // namespace field

// Type-specific output after a field's take succeeded, for values that are not one key per field (a colour
// text made of three inputs, a bit pattern spread over two fields, ...). Gets the whole record.
using FieldWriter = void (*)(const uint8_t* record, Json::Value& node);

struct FieldSpec {
    const char* key; // read by the encoder and written by the decoder; a literal that lives forever
    int offset; // from the start of the record
    field::Kind kind;
    double defaultValue; // stored when the key is absent or of the wrong kind
    field::Condition decode; // when the decoder writes the key
    const char* label; // names the field in the missing-field warning
    FieldWriter then = nullptr;
};

class FieldTable {
public:
    constexpr FieldTable() = default;
    template <size_t N>
    constexpr FieldTable(const FieldSpec (&rows)[N]) : first(rows), count(N)
    {}

    const FieldSpec* begin() const { return first; }
    const FieldSpec* end() const { return first + count; }
    size_t size() const { return count; }

private:
    const FieldSpec* first = nullptr;
    size_t count = 0;
};

// Where the decoder puts the keys: under node["properties"] (nodes) or beside "feature" (features).
enum class KeyPlace { Properties, TopLevel };

// Stores every field of the table at its offset, read from object with its default.
void encodeFieldTable(const FieldTable& table, const Json::Value& object, uint8_t* record);

// Takes the fields in table order. Stops at the first field that does not fit: reports it with structName and
// returns false. Returns true when every field was taken.
bool decodeFieldTable(const FieldTable& table, const uint8_t* record, FieldReader& reader, Json::Value& node,
                      const char* structName, KeyPlace place = KeyPlace::Properties);
