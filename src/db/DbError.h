#pragma once
// Failures found by the database layer itself (not reported by the engine): wrong call sequence, read-only
// result, missing column, unreadable file. They are thrown as CDBException* like engine failures, with native
// code 0 and origin "[vdpattern]".

#include <vdpattern/toolkit/DBTypes.h>

namespace vdpattern::db {

// ODBC states used by the layer.
inline constexpr const char* kStateGeneral = "HY000";
inline constexpr const char* kStateSyntax = "42000";
inline constexpr const char* kStateNoTable = "42S02";
inline constexpr const char* kStateNoColumn = "42S22";
inline constexpr const char* kStateConstraint = "23000";
inline constexpr const char* kStateTimeout = "HYT00";
inline constexpr const char* kStateCannotOpen = "08001";

// A new exception; the caller throws it (or hands it on). `origin` is the bracketed origin text.
CDBException* NewDbException(const char* state, const CString& message, int native, const wchar_t* origin);

[[noreturn]] void ThrowDbError(const char* state, const CString& message);

}  // namespace vdpattern::db
