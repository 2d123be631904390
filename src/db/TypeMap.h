#pragma once
// From a column's declared type to what the record set reports and returns: the ODBC SQL type, the value type
// it converts its values to, and a precision and scale for the column description. The first word of the
// declared type decides (case-insensitive); a type outside the table falls back on the engine's own affinity
// rules (INT -> integer, CHAR/CLOB/TEXT -> text, BLOB -> bytes, REAL/FLOA/DOUB -> double, else numeric).
// A column without a declared type (a computed column, or a table column declared without one) takes its type
// from its values.

#include <cstdint>
#include <string_view>
#include <vdpattern/toolkit/DBTypes.h>
#include "db/Cell.h"

namespace vdpattern::db {

enum class ValueKind : std::uint8_t {
  kFromValue,  // no declared type: each value keeps its storage class
  kLong,
  kBigInt,
  kShort,
  kUChar,
  kBool,
  kSingle,
  kDouble,
  kText,
  kDate,
  kBinary,
};

struct SqlTypeInfo {
  SWORD sqlType = SQL_UNKNOWN_TYPE;
  ValueKind kind = ValueKind::kFromValue;
  SQLULEN precision = 0;
  SWORD scale = 0;
};

SqlTypeInfo MapDeclaredType(std::string_view declared);

// The type of a column without a declared type, from its first non-null value (kNull: unknown).
SqlTypeInfo TypeFromValue(CellKind kind);

}  // namespace vdpattern::db
