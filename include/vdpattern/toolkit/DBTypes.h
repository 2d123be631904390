#pragma once
// The platform's database value and error types, with the platform's names and members, so that host code
// written against an ODBC record set compiles with few changes: the SQL type codes, TIMESTAMP_STRUCT,
// CLongBinary, CDBVariant (one column value), CException/CDBException (a database failure), CODBCFieldInfo and
// CODBCFieldInfoEx (column descriptions), CVdODBCTableDefInfo (one table of a database) and DBV_BSTRAll.
//
// Who makes them: the record set fills CDBVariant and the info records that a caller hands in; the database
// layer creates every CDBException with new and throws the pointer. The catcher owns it and releases it with
// Delete().
//
// Choices:
// - CDBVariant owns what its pointer members point to (date, text, byte block) and frees it in Clear() and in
//   its destructor. Copying is deep (copy constructor and assignment), so variants can live in standard
//   containers; moving hands the payload over and leaves the source DBVT_NULL. Texts always come back as
//   DBVT_WSTRING; m_pstring, m_pstringA and m_pstringW alias one wide CString pointer (CString is wide here).
// - CLongBinary holds its bytes in a vector; m_dwDataLength is kept equal to the number of bytes by the
//   database layer (a host that edits m_data must update it too).
// - m_strStateNativeOrigin reads "State:42S02,Native:1,Origin:[vdpattern][SQLite]": the ODBC state, the
//   native engine code (0 for failures found by the layer itself) and where the failure was found.
// - A table that does not exist, asked for by name, is no failure: CVdDatabase::GetTableDefInfo returns 0 and
//   fills the record with an empty name and VD_TABLEDEF_SYSTEM | VD_TABLEDEF_MISSING, so callers that pass
//   over tables carrying the bit of value 4 pass over it too.
//
// Thread use: plain values; one instance is used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>
#include <vdpattern/toolkit/String.h>
#include <vdpattern/toolkit/VdToolkitExport.h>

class CVdDatabase;
#include <vdpattern/toolkit/WinTypes.h>

typedef short RETCODE;
typedef short SWORD;
typedef short SQLSMALLINT;
typedef unsigned short SQLUSMALLINT;
typedef std::uint32_t SQLUINTEGER;
typedef std::uint64_t SQLULEN;

// ODBC return codes.
constexpr RETCODE SQL_SUCCESS = 0;
constexpr RETCODE SQL_SUCCESS_WITH_INFO = 1;
constexpr RETCODE SQL_NO_DATA = 100;
constexpr RETCODE SQL_ERROR = -1;
constexpr RETCODE SQL_INVALID_HANDLE = -2;

// ODBC SQL type codes of columns (CODBCFieldInfo::m_nSQLType).
constexpr SWORD SQL_UNKNOWN_TYPE = 0;
constexpr SWORD SQL_CHAR = 1;
constexpr SWORD SQL_NUMERIC = 2;
constexpr SWORD SQL_DECIMAL = 3;
constexpr SWORD SQL_INTEGER = 4;
constexpr SWORD SQL_SMALLINT = 5;
constexpr SWORD SQL_FLOAT = 6;
constexpr SWORD SQL_REAL = 7;
constexpr SWORD SQL_DOUBLE = 8;
constexpr SWORD SQL_DATETIME = 9;
constexpr SWORD SQL_VARCHAR = 12;
constexpr SWORD SQL_TYPE_DATE = 91;
constexpr SWORD SQL_TYPE_TIME = 92;
constexpr SWORD SQL_TYPE_TIMESTAMP = 93;
constexpr SWORD SQL_LONGVARCHAR = -1;
constexpr SWORD SQL_BINARY = -2;
constexpr SWORD SQL_VARBINARY = -3;
constexpr SWORD SQL_LONGVARBINARY = -4;
constexpr SWORD SQL_BIGINT = -5;
constexpr SWORD SQL_TINYINT = -6;
constexpr SWORD SQL_BIT = -7;
constexpr SWORD SQL_WCHAR = -8;
constexpr SWORD SQL_WVARCHAR = -9;
constexpr SWORD SQL_WLONGVARCHAR = -10;

// Requested value types of GetFieldValue's last argument (0 = the column's own type).
constexpr short SQL_C_DEFAULT = 99;
constexpr short SQL_C_CHAR = SQL_CHAR;
constexpr short SQL_C_WCHAR = SQL_WCHAR;
constexpr short SQL_C_LONG = SQL_INTEGER;
constexpr short SQL_C_SLONG = -16;
constexpr short SQL_C_DOUBLE = SQL_DOUBLE;

// CODBCFieldInfo::m_nNullability.
constexpr SWORD SQL_NO_NULLS = 0;
constexpr SWORD SQL_NULLABLE = 1;
constexpr SWORD SQL_NULLABLE_UNKNOWN = 2;

// CDBVariant::m_dwType.
constexpr DWORD DBVT_NULL = 0;
constexpr DWORD DBVT_BOOL = 1;
constexpr DWORD DBVT_UCHAR = 2;
constexpr DWORD DBVT_SHORT = 3;
constexpr DWORD DBVT_LONG = 4;
constexpr DWORD DBVT_SINGLE = 5;
constexpr DWORD DBVT_DOUBLE = 6;
constexpr DWORD DBVT_DATE = 7;
constexpr DWORD DBVT_STRING = 8;
constexpr DWORD DBVT_BINARY = 9;
constexpr DWORD DBVT_ASTRING = 10;
constexpr DWORD DBVT_WSTRING = 11;

// CVdODBCTableDefInfo::m_lAttributes. Bit 4 marks tables that are never families: the engine's own tables,
// and the empty record of a table that does not exist (which also carries VD_TABLEDEF_MISSING).
constexpr long VD_TABLEDEF_SYSTEM = 0x00000004L;
constexpr long VD_TABLEDEF_MISSING = 0x40000000L;

struct TIMESTAMP_STRUCT {
  SQLSMALLINT year;
  SQLUSMALLINT month;
  SQLUSMALLINT day;
  SQLUSMALLINT hour;
  SQLUSMALLINT minute;
  SQLUSMALLINT second;
  SQLUINTEGER fraction;  // nanoseconds
};

class VDTOOLKIT_EXPORT CLongBinary {
 public:
  CLongBinary() = default;
  std::size_t m_dwDataLength = 0;  // number of bytes in m_data
  std::vector<BYTE> m_data;
};

class VDTOOLKIT_EXPORT CDBVariant {
 public:
  CDBVariant() { m_dblVal = 0; }
  CDBVariant(const CDBVariant& other);
  CDBVariant(CDBVariant&& other) noexcept;
  CDBVariant& operator=(const CDBVariant& other);
  CDBVariant& operator=(CDBVariant&& other) noexcept;
  ~CDBVariant() { Clear(); }

  // Frees the payload and sets DBVT_NULL.
  void Clear();

  DWORD m_dwType = DBVT_NULL;
  union {
    BOOL m_boolVal;
    unsigned char m_chVal;
    short m_iVal;
    LONG m_lVal;
    float m_fltVal;
    double m_dblVal;
    TIMESTAMP_STRUCT* m_pdate;  // owned, DBVT_DATE
    CString* m_pstring;         // owned, DBVT_STRING / DBVT_ASTRING / DBVT_WSTRING
    CLongBinary* m_pbinary;     // owned, DBVT_BINARY
    CString* m_pstringA;
    CString* m_pstringW;
  };
};

// Base of the platform's exceptions: thrown by pointer, released by the catcher with Delete().
class VDTOOLKIT_EXPORT CException {
 public:
  CException() = default;
  CException(const CException&) = default;
  CException& operator=(const CException&) = default;
  virtual ~CException();
  void Delete() { delete this; }
  // Copies the message (cut to maxLength - 1 characters) into `text`; FALSE when there is none.
  virtual BOOL GetErrorMessage(wchar_t* text, UINT maxLength, UINT* helpContext = nullptr) const;
};

class VDTOOLKIT_EXPORT CDBException : public CException {
 public:
  CDBException() = default;
  explicit CDBException(RETCODE retCode) : m_nRetCode(retCode) {}
  BOOL GetErrorMessage(wchar_t* text, UINT maxLength, UINT* helpContext = nullptr) const override;

  // What the failure is about, whichever engine reported it, read from the ODBC state of
  // m_strStateNativeOrigin: a lock held elsewhere that outlasted the wait or a statement stopped by its time
  // limit (HYT00), a unique or not-null rule (23xxx), a missing table or column (42S02, 42S22), other
  // statement errors (42xxx), a database that cannot be opened or reached (08xxx), anything else.
  enum Category { eOther, eTimeout, eConstraint, eNoSuchObject, eSyntax, eConnection };
  Category GetCategory() const;
  // The report text: m_strError when it has one, else a fixed form with the return code and the state.
  CString GetReportText() const;

  RETCODE m_nRetCode = SQL_ERROR;
  CString m_strError;
  CString m_strStateNativeOrigin;
};

struct CODBCFieldInfo {
  CString m_strName;
  SWORD m_nSQLType = SQL_UNKNOWN_TYPE;
  SQLULEN m_nPrecision = 0;
  SWORD m_nScale = 0;
  SWORD m_nNullability = SQL_NULLABLE_UNKNOWN;
};

// The extended column description; callers read the table name first.
struct CODBCFieldInfoEx {
  CString m_strTableName;       // table the column comes from; empty for a computed column
  CString m_strName;            // the column's name in the result (its alias when it has one)
  CString m_strBaseColumnName;  // the column's name in its table; empty for a computed column
  CString m_strTypeName;        // declared type as written in the table ("VARCHAR(50)"), else empty
  SWORD m_nSQLType = SQL_UNKNOWN_TYPE;
  SQLULEN m_nPrecision = 0;
  SWORD m_nScale = 0;
  SWORD m_nNullability = SQL_NULLABLE_UNKNOWN;
  BOOL m_bPrimaryKey = FALSE;
};

struct CVdODBCTableDefInfo {
  CString m_strName;
  long m_lAttributes = 0;
  CString m_strTableType;  // "TABLE" or "SYSTEM TABLE"; empty for a table that does not exist
};

// The text of a value of any type: texts as they are, numbers in the C locale ("2.5"), booleans "True" /
// "False", dates in ISO-8601, byte blocks in hexadecimal. A null pointer or DBVT_NULL gives "".
VDTOOLKIT_EXPORT CString DBV_BSTRAll(CDBVariant* value);

// Whether the first word of a declared column type (up to a space or '(') is one the database layer maps to a
// column type of its own (INTEGER, DOUBLE, CURRENCY, TEXT, MEMO, DATETIME, LONGBINARY, ...), ignoring case;
// `text` (optional) says whether that type holds text.
VDTOOLKIT_EXPORT bool VdIsKnownColumnType(const CString& declared, bool* text = nullptr);

// Extension: whether the database open in `db` can make a new table `table` with the columns `columns` (in
// order) and keep it editable; false with the reason in `error`, so that a table is refused before anything of
// it is written instead of being made and then failing, or being made with its names cut. What it checks is
// the engine's: a file holds at most one column less than its engine's column limit (2000 unless built
// otherwise; an editable result reads the row id next to them) and keeps one of the row id's names _rowid_,
// rowid and oid free of real columns; a server holds at most 1599 columns (its 1600 less the hidden row
// identity vd_row, a name no column may take) and names of at most 63 bytes of UTF-8, which it would cut
// without failing. Borrows `db`, which must be open (CDBException otherwise).
VDTOOLKIT_EXPORT bool VdCheckTableShape(CVdDatabase& db, const CString& table, const std::vector<CString>& columns,
                                        CString& error);

// A table, column or index name as a statement writes it: between [ ], so that no name read from a file or typed
// by a user is ever taken for SQL. Brackets have no escape: an empty name, or one that holds ']' or a NUL,
// cannot be written (false, `out` unchanged).
VDTOOLKIT_EXPORT bool VdBracketName(const CString& name, CString& out);
// A text as a statement writes it: between single quotes, each quote inside doubled.
VDTOOLKIT_EXPORT CString VdQuoteText(const CString& text);
// Extension: `text` as it stands between a literal's quotes (each quote doubled), appended to `out`: for statements
// that join many texts into one literal.
VDTOOLKIT_EXPORT void VdAppendQuotedBody(std::wstring& out, std::wstring_view text);

// Extension: a comment to set on a column (CVdDatabase::ExecuteSQL with comments), e.g. the unit of a family's
// column, for SQL tools that show column comments. An empty `comment` removes the column's.
struct VdColumnComment {
  CString table;
  CString column;
  CString comment;
};
