#pragma once
// Conversions between stored cells and the platform's value types: a cell to the CDBVariant of its column's
// type (GetFieldValue), and an OLE variant or a text to a value waiting to be written (SetFieldValue).
//
// Reading follows the rule "the column's type when the value converts cleanly, else the value's own type":
// an integer in a SMALLINT column that does not fit 16 bits comes back as DBVT_LONG, a text that is no number
// in a DOUBLE column as DBVT_WSTRING, a text that is no date in a DATE column as DBVT_WSTRING. A variant that
// already holds a payload of the right kind (text, date, bytes) reuses it, so reading a row into the same
// variants again allocates nothing. An integer beyond +-2^53, which a double cannot hold exactly, comes back as
// its digits (DBVT_WSTRING), so a 64-bit value is read, shown and copied without rounding.
//
// Writing checks each value against its column before anything is sent (CheckFits): a value the declared type
// cannot hold is refused the same way on every engine, since one engine would store it as it is and another
// refuse it, and a catalog written by the first could then not be copied to the second.

#include <string_view>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/OleAuto.h>
#include "db/Cell.h"
#include "db/RecordsetState.h"
#include "db/TypeMap.h"
#include "db/Utf8Fast.h"

namespace vdpattern::db {

void CellToVariantSlow(const Cell& cell, const char* arena, ValueKind kind, CDBVariant& out);

// Reading a row runs this once per column, so the cases where a value is stored as its column declares it are
// handled here, inline; everything else goes to CellToVariantSlow.
inline void CellToVariant(const Cell& cell, const char* arena, ValueKind kind, CDBVariant& out) {
  const bool scalar = out.m_dwType != DBVT_DATE && out.m_dwType != DBVT_BINARY && out.m_dwType != DBVT_STRING &&
                      out.m_dwType != DBVT_ASTRING && out.m_dwType != DBVT_WSTRING;
  if (cell.kind == CellKind::kReal && (kind == ValueKind::kDouble || kind == ValueKind::kFromValue) && scalar) {
    out.m_dwType = DBVT_DOUBLE;
    out.m_dblVal = cell.d;
    return;
  }
  if (cell.kind == CellKind::kText && (kind == ValueKind::kText || kind == ValueKind::kFromValue) &&
      out.m_dwType == DBVT_WSTRING && out.m_pstringW) {
    AssignFromUtf8(out.m_pstringW->str(), arena + cell.bytes.offset, cell.bytes.length);
    return;
  }
  CellToVariantSlow(cell, arena, kind, out);
}

// The cell's text as a person reads it (for a requested SQL_C_CHAR / SQL_C_WCHAR value).
CString CellToText(const Cell& cell, const char* arena, ValueKind kind);

// Throws CDBException for a variant type that cannot be stored.
void VariantToPending(const VARIANT& value, PendingValue& out);
void TextToPending(const wchar_t* text, PendingValue& out);

// Refuses a value that the column's declared type cannot hold, naming the column, the value and the range or
// length: an integer column (BYTE 0..255, SMALLINT, INTEGER 32-bit, BIGINT 64-bit) takes whole numbers in its
// range (22003), a text column with a declared size "(n)" at most n characters (22001). A number given as text
// or as an integral double in an integer column is made the integer it spells, as both engines would store it.
// Other columns and types are left to the engine. Throws CDBException.
void CheckFits(const ColumnInfo& column, PendingValue& value);

// Parses ISO-8601 "YYYY-MM-DD[ |T]HH:MM[:SS[.fff]]" (also with "/"), or a time of day "HH:MM[:SS]" (which
// gives the platform's day zero, 1899-12-30). False when the text is no valid date.
bool ParseDateText(std::string_view text, TIMESTAMP_STRUCT& out);

}  // namespace vdpattern::db
