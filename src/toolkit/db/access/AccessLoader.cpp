#include "toolkit/db/access/AccessLoader.h"

// mdbtools.h includes glib.h inside its extern "C" block, which glib's C++ parts refuse: include it first.
#include <glib.h>
#include <mdbtools.h>
#include <sqlite3.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>
#include <vdpattern/toolkit/Utf8.h>
#include "toolkit/db/DbError.h"
#include "toolkit/db/sqlite/SqliteConnection.h"

namespace vdpattern::db {

namespace {

// Thrown inside the reader; OpenAccessFile turns it into a CDBException that names the file.
struct Damage {
  std::string what;
};

[[noreturn]] void Damaged(std::string what) { throw Damage{std::move(what)}; }

constexpr unsigned kMaxColumns = 255;    // Access's own limit; libmdb cracks rows into fixed arrays of 256
constexpr int kRowOffsetMask = 0x1fff;   // a row's offset in its page, without the deleted and lookup flags
constexpr std::size_t kLongHeader = 12;  // length and flags, page and row, 4 unused bytes

std::uint16_t Le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t Le64(const unsigned char* p) {
  return static_cast<std::uint64_t>(Le32(p)) | (static_cast<std::uint64_t>(Le32(p + 4)) << 32);
}
double LeDouble(const unsigned char* p) {
  const std::uint64_t bits = Le64(p);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}
float LeFloat(const unsigned char* p) {
  const std::uint32_t bits = Le32(p);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// ---------------------------------------------------------------- the file's shape

struct FileShape {
  bool jet3 = false;
  unsigned pageSize = 0;
  std::uint64_t pages = 0;
  std::uint64_t size = 0;
};

// libmdb takes an empty or cut file for a database and then reads garbage: the shape is checked first.
FileShape CheckShape(const DbFileProbe& probe) {
  if (probe.headerLength < 0x18) Damaged("the file is truncated (its header is incomplete).");
  const std::uint32_t version = Le32(probe.header + 0x14);
  if (version > MDB_VER_ACCDB_2019) Damaged("its header gives an unknown Access version.");
  FileShape shape;
  shape.jet3 = version == MDB_VER_JET3;
  shape.pageSize = shape.jet3 ? 2048 : 4096;
  shape.size = probe.size;
  shape.pages = probe.size / shape.pageSize;
  // Page 2 holds the catalog; an Access file only ever grows by whole pages.
  if (shape.pages < 3 || probe.size % shape.pageSize != 0) Damaged("the file is truncated.");
  return shape;
}

// ---------------------------------------------------------------- texts

// Windows-1252 from 0x80 to 0x9F (the rest is Latin-1). Jet 3 files hold their texts in the code page of the
// Windows that wrote them; 1252 is that of Western installations and what libmdb assumes as well. The five
// unassigned bytes keep their value, as Windows converts them.
constexpr std::uint16_t kCp1252[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                       0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                       0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                       0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// UTF-16 code units to UTF-8; an unpaired surrogate becomes U+FFFD.
void Utf16ToUtf8(const std::vector<std::uint16_t>& units, std::string& out) {
  for (std::size_t k = 0; k < units.size(); ++k) {
    std::uint32_t c = units[k];
    if (c >= 0xD800 && c <= 0xDBFF && k + 1 < units.size() && units[k + 1] >= 0xDC00 && units[k + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[k + 1] - 0xDC00);
      ++k;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    VdAppendUtf8(out, c);
  }
}

// A text value as stored: Jet 3 in the code page, Jet 4 and ACE in UTF-16, or "compressed" (a 0xFF 0xFE
// mark, then runs of one byte per character, each 0x00 switching between one and two bytes per character).
// A stray last byte is dropped.
std::string DecodeText(bool jet3, const unsigned char* p, std::size_t n) {
  std::string out;
  out.reserve(n + n / 2);
  if (jet3) {
    for (std::size_t k = 0; k < n; ++k) {
      const unsigned char b = p[k];
      VdAppendUtf8(out, b >= 0x80 && b < 0xA0 ? kCp1252[b - 0x80] : b);
    }
    return out;
  }
  std::vector<std::uint16_t> units;
  units.reserve(n);
  if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
    bool compressed = true;
    for (std::size_t k = 2; k < n;) {
      if (p[k] == 0) {
        compressed = !compressed;
        ++k;
      } else if (compressed) {
        units.push_back(p[k++]);
      } else if (k + 1 < n) {
        units.push_back(Le16(p + k));
        k += 2;
      } else {
        break;
      }
    }
  } else {
    for (std::size_t k = 0; k + 1 < n; k += 2) units.push_back(Le16(p + k));
  }
  Utf16ToUtf8(units, out);
  return out;
}

// ---------------------------------------------------------------- dates and numbers

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

// An Access date is a count of days since 1899-12-30 whose fraction is the time of day; before that day the
// whole part counts back while the fraction still counts forward (-1.25 is 1899-12-29 06:00). The text is the
// toolkit's own storage form. Values outside Access's years 100 to 9999 give false.
bool DateText(double value, std::string& out) {
  if (!std::isfinite(value) || value < -657434.0 || value >= 2958466.0) return false;
  const double whole = std::trunc(value);
  std::int64_t days = static_cast<std::int64_t>(whole);
  std::int64_t ms = std::llround(std::fabs(value - whole) * 86400000.0);
  if (ms >= 86400000) {
    ++days;
    ms -= 86400000;
  }
  if (days > 2958465) return false;
  int y, m, d;
  CivilFromDays(days - 25569, y, m, d);  // 1899-12-30 is day -25569 of 1970
  char buf[40];
  const int h = static_cast<int>(ms / 3600000), mi = static_cast<int>(ms / 60000 % 60),
            s = static_cast<int>(ms / 1000 % 60), milli = static_cast<int>(ms % 1000);
  if (ms == 0)
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  else if (milli == 0)
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", y, m, d, h, mi, s);
  else
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", y, m, d, h, mi, s, milli);
  out = buf;
  return true;
}

// A Decimal value: a sign byte, then a 128-bit magnitude as four little-endian 32-bit words, most significant
// first; the column gives the scale. Parsing the exact decimal text rounds to the nearest double.
double NumericValue(const unsigned char* p, int scale) {
  unsigned __int128 magnitude = 0;
  for (int w = 0; w < 4; ++w) magnitude = (magnitude << 32) | Le32(p + 1 + 4 * w);
  char digits[48];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + static_cast<int>(magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  while (n <= scale) digits[n++] = '0';
  std::string text;
  for (int k = n - 1; k >= 0; --k) {
    text += digits[k];
    if (k == scale && scale > 0) text += '.';
  }
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return (p[0] & 0x80) ? -value : value;
}

std::string GuidText(const unsigned char* p) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", p[3], p[2],
                p[1], p[0], p[5], p[4], p[7], p[6], p[8], p[9], p[10], p[11], p[12], p[13], p[14], p[15]);
  return buf;
}

// ---------------------------------------------------------------- tables

struct Value {
  enum class Kind { kNull, kInt, kReal, kText, kBlob } kind = Kind::kNull;
  std::int64_t i = 0;
  double d = 0;
  std::string bytes;
};

struct MdbCloser {
  void operator()(MdbHandle* mdb) const { mdb_close(mdb); }
};
struct TableCloser {
  void operator()(MdbTableDef* table) const { mdb_free_tabledef(table); }
};
using MdbPtr = std::unique_ptr<MdbHandle, MdbCloser>;
using TablePtr = std::unique_ptr<MdbTableDef, TableCloser>;

class Reader {
 public:
  Reader(MdbHandle* mdb, const FileShape& shape) : m_mdb(mdb), m_shape(shape) {}

  // A table whose definition is on `page`, checked and ready to read its rows. `entry` must outlive it.
  TablePtr OpenTable(MdbCatalogEntry& entry, const std::string& name, std::uint32_t page) {
    CheckPage(page, name);
    entry.mdb = m_mdb;
    entry.object_type = MDB_TABLE;
    entry.table_pg = page;
    std::snprintf(entry.object_name, sizeof entry.object_name, "%s", name.c_str());
    TablePtr table(mdb_read_table(&entry));
    if (!table) Damaged("the definition of the table \"" + name + "\" cannot be read.");
    if (table->num_cols == 0 || table->num_cols > kMaxColumns)
      Damaged("the definition of the table \"" + name + "\" gives an impossible number of columns.");
    // libmdb reads rows through the usage map without looking at it first; a missing one crashes it.
    const unsigned char* map = table->usage_map;
    const std::size_t mapSize = table->map_sz;
    bool mapOk = map && mapSize >= 5 && (map[0] == 0 || map[0] == 1);
    if (mapOk && map[0] == 1) {
      mapOk = (mapSize - 1) % 4 == 0;
      for (std::size_t k = 1; mapOk && k + 4 <= mapSize; k += 4) {
        const std::uint32_t mapPage = Le32(map + k);
        mapOk = mapPage == 0 || mapPage < m_shape.pages;
      }
    }
    if (!mapOk) Damaged("the page map of the table \"" + name + "\" is damaged.");
    if (!table->columns) mdb_read_columns(table.get());
    if (!table->columns || table->columns->len != table->num_cols)
      Damaged("the columns of the table \"" + name + "\" cannot be read.");
    for (unsigned k = 0; k < table->num_cols; ++k) {
      const MdbColumn* col = Column(table.get(), k);
      if (col->name[0] == '\0') Damaged("a column of the table \"" + name + "\" has no name.");
      if (col->col_type == MDB_NUMERIC && (col->col_scale < 0 || col->col_scale > 28))
        Damaged("a column of the table \"" + name + "\" has an impossible scale.");
    }
    return table;
  }

  static MdbColumn* Column(MdbTableDef* table, unsigned k) {
    return static_cast<MdbColumn*>(g_ptr_array_index(table->columns, k));
  }

  // Calls `row(values)` for each row of the table, then checks that the table gave all the rows it stores.
  template <typename RowFn>
  void ReadRows(MdbTableDef* table, const std::string& name, RowFn&& row) {
    const unsigned count = table->num_cols;
    std::vector<Value> values(count);
    MdbField fields[MDB_MAX_COLS];
    std::uint64_t read = 0;
    mdb_rewind_table(table);
    while (mdb_fetch_row(table)) {
      // The row just read is the one before the table's cursor, on the page in pg_buf. libmdb copies nothing
      // of it to its bound buffers (none are bound); crack it again to see its null bitmap and raw bytes.
      int start = 0;
      size_t length = 0;
      if (table->cur_row == 0 || mdb_find_row(m_mdb, static_cast<int>(table->cur_row) - 1, &start, &length) != 0)
        Damaged("a row of the table \"" + name + "\" cannot be found in its page.");
      std::memset(fields, 0, sizeof fields);
      if (mdb_crack_row(table, start & kRowOffsetMask, length, fields) != static_cast<int>(count))
        Damaged("a row of the table \"" + name + "\" is damaged.");
      for (unsigned k = 0; k < count; ++k) Decode(Column(table, k), fields[k], name, values[k]);
      row(values);
      ++read;
    }
    if (read < table->num_rows) {
      char detail[96];
      std::snprintf(detail, sizeof detail, " gives %llu of the %u rows it stores.",
                    static_cast<unsigned long long>(read), table->num_rows);
      Damaged("the table \"" + name + "\"" + detail);
    }
  }

 private:
  void CheckPage(std::uint64_t page, const std::string& name) const {
    if (page == 0 || page >= m_shape.pages) Damaged("the table \"" + name + "\" points outside the file.");
  }

  void Decode(const MdbColumn* col, const MdbField& field, const std::string& table, Value& out) {
    out.bytes.clear();
    out.kind = Value::Kind::kNull;
    // A Yes/No value is its bit in the null bitmap: set (libmdb: "not null") for Yes. It is never NULL.
    if (col->col_type == MDB_BOOL) {
      out.kind = Value::Kind::kInt;
      out.i = field.is_null ? 0 : 1;
      return;
    }
    if (field.is_null) return;
    if (field.start < 0 || field.siz < 0 ||
        static_cast<std::size_t>(field.start) + static_cast<std::size_t>(field.siz) > m_shape.pageSize)
      Damaged("a value of the table \"" + table + "\" lies outside its page.");
    const unsigned char* p = m_mdb->pg_buf + field.start;
    const std::size_t n = static_cast<std::size_t>(field.siz);
    auto need = [&](std::size_t bytes) {
      if (n < bytes)
        Damaged("a value of the column \"" + std::string(col->name) + "\" of the table \"" + table +
                "\" is too short.");
    };
    switch (col->col_type) {
      case MDB_BYTE:
        need(1);
        out.kind = Value::Kind::kInt;
        out.i = p[0];
        return;
      case MDB_INT:
        need(2);
        out.kind = Value::Kind::kInt;
        out.i = static_cast<std::int16_t>(Le16(p));
        return;
      case MDB_LONGINT:
      case MDB_COMPLEX:
        need(4);
        out.kind = Value::Kind::kInt;
        out.i = static_cast<std::int32_t>(Le32(p));
        return;
      case MDB_MONEY:
        need(8);
        // A fixed-point count of ten-thousandths; one correctly rounded division gives the nearest double.
        out.kind = Value::Kind::kReal;
        out.d = static_cast<double>(static_cast<std::int64_t>(Le64(p))) / 10000.0;
        return;
      case MDB_FLOAT:
        need(4);
        out.kind = Value::Kind::kReal;
        out.d = LeFloat(p);
        return;
      case MDB_DOUBLE:
        need(8);
        out.kind = Value::Kind::kReal;
        out.d = LeDouble(p);
        return;
      case MDB_DATETIME:
        need(8);
        out.d = LeDouble(p);
        // A date no Access could store is kept as its raw number rather than invented.
        out.kind = DateText(out.d, out.bytes) ? Value::Kind::kText : Value::Kind::kReal;
        return;
      case MDB_NUMERIC:
        need(17);
        out.kind = Value::Kind::kReal;
        out.d = NumericValue(p, col->col_scale);
        return;
      case MDB_REPID:
        need(16);
        out.kind = Value::Kind::kText;
        out.bytes = GuidText(p);
        return;
      case MDB_TEXT:
        out.kind = Value::Kind::kText;
        out.bytes = DecodeText(m_shape.jet3, p, n);
        return;
      case MDB_MEMO:
        ReadLong(p, n, col, table, m_long);
        out.kind = Value::Kind::kText;
        out.bytes = DecodeText(m_shape.jet3, reinterpret_cast<const unsigned char*>(m_long.data()), m_long.size());
        return;
      case MDB_OLE:
        ReadLong(p, n, col, table, out.bytes);
        out.kind = Value::Kind::kBlob;
        return;
      default:  // MDB_BINARY and types this reader does not know: their bytes
        out.kind = Value::Kind::kBlob;
        out.bytes.assign(reinterpret_cast<const char*>(p), n);
        return;
    }
  }

  // A MEMO or OLE value: a 12-byte header in the row, then the bytes inline, in one row of another page, or
  // in a chain of rows each starting with the page and row of the next. The loop is bounded by the declared
  // length and a page row seen twice is damage (libmdb's own reader loops forever on a cycle).
  void ReadLong(const unsigned char* p, std::size_t n, const MdbColumn* col, const std::string& table,
                std::string& out) {
    out.clear();
    if (n == 0) return;
    auto damaged = [&](const char* what) {
      Damaged("the long value of the column \"" + std::string(col->name) + "\" of the table \"" + table + "\" " + what);
    };
    if (n < kLongHeader) damaged("is too short.");
    const std::uint32_t head = Le32(p);
    const std::uint32_t length = head & 0x3FFFFFFF;
    if (length > m_shape.size) damaged("is longer than the file.");
    out.reserve(length);
    if (head & 0x80000000) {  // inline
      if (length > n - kLongHeader) damaged("is longer than its row.");
      out.assign(reinterpret_cast<const char*>(p + kLongHeader), length);
      return;
    }
    std::uint32_t pageRow = Le32(p + 4);
    if (head & 0x40000000) {  // one row of another page, all data
      const unsigned char* data = nullptr;
      std::size_t size = 0;
      if (!FindPageRow(pageRow, data, size) || size < length) damaged("is damaged.");
      out.assign(reinterpret_cast<const char*>(data), length);
      return;
    }
    std::unordered_set<std::uint32_t> seen;
    while (out.size() < length) {
      if (pageRow == 0) damaged("ends early.");
      if (!seen.insert(pageRow).second) damaged("loops back on itself.");
      const unsigned char* data = nullptr;
      std::size_t size = 0;
      if (!FindPageRow(pageRow, data, size) || size <= 4) damaged("is damaged.");
      const std::size_t take = std::min(size - 4, static_cast<std::size_t>(length) - out.size());
      out.append(reinterpret_cast<const char*>(data + 4), take);
      pageRow = Le32(data);
    }
  }

  // The bytes of row (pageRow & 0xFF) of page (pageRow >> 8), read into libmdb's second page buffer (the
  // current row's page stays in the first one).
  bool FindPageRow(std::uint32_t pageRow, const unsigned char*& data, std::size_t& size) {
    const std::uint32_t page = pageRow >> 8;
    if (page == 0 || page >= m_shape.pages) return false;
    void* buf = nullptr;
    int offset = 0;
    size_t length = 0;
    if (mdb_find_pg_row(m_mdb, static_cast<int>(pageRow), &buf, &offset, &length) != 0 || buf != m_mdb->alt_pg_buf)
      return false;
    if (m_mdb->alt_pg_buf[0] != MDB_PAGE_DATA) return false;
    offset &= kRowOffsetMask;
    if (static_cast<std::size_t>(offset) + length > m_shape.pageSize) return false;
    data = m_mdb->alt_pg_buf + offset;
    size = length;
    return true;
  }

  MdbHandle* m_mdb;
  FileShape m_shape;
  std::string m_long;
};

// ---------------------------------------------------------------- the catalog

struct TableEntry {
  std::string name;
  std::uint32_t page = 0;
  bool system = false;
};

int FindColumn(MdbTableDef* table, const char* name) {
  for (unsigned k = 0; k < table->num_cols; ++k)
    if (g_ascii_strcasecmp(Reader::Column(table, k)->name, name) == 0) return static_cast<int>(k);
  return -1;
}

// The tables listed in MSysObjects (page 2). Only Id, Name, Type and Flags are read: the rest holds the
// properties that mdb_read_catalog parses, and which nothing here needs.
std::vector<TableEntry> ReadCatalog(Reader& reader) {
  static const std::string kName = "MSysObjects";
  MdbCatalogEntry entry{};
  TablePtr table = reader.OpenTable(entry, kName, 2);
  const int id = FindColumn(table.get(), "Id"), name = FindColumn(table.get(), "Name"),
            type = FindColumn(table.get(), "Type"), flags = FindColumn(table.get(), "Flags");
  if (id < 0 || name < 0 || type < 0 || flags < 0) Damaged("its catalog of tables lacks a column.");
  std::vector<TableEntry> tables;
  reader.ReadRows(table.get(), kName, [&](const std::vector<Value>& row) {
    if (row[type].kind != Value::Kind::kInt || row[type].i != MDB_TABLE) return;
    if (row[id].kind != Value::Kind::kInt || row[name].kind != Value::Kind::kText || row[name].bytes.empty())
      Damaged("its catalog of tables is damaged.");
    TableEntry t;
    t.name = row[name].bytes;
    t.page = static_cast<std::uint32_t>(row[id].i) & 0x00FFFFFF;
    const std::uint32_t f = row[flags].kind == Value::Kind::kInt ? static_cast<std::uint32_t>(row[flags].i) : 0;
    t.system = (f & 0x80000000u) || (f & 0x2u) || g_ascii_strncasecmp(t.name.c_str(), "MSys", 4) == 0;
    tables.push_back(std::move(t));
  });
  return tables;
}

// ---------------------------------------------------------------- the SQLite copy

std::string Quoted(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

// The declared type of the toolkit's type table that stands for an Access column type. Texts compare without
// case, as in Access.
std::string DeclaredType(const MdbColumn* col, bool jet3) {
  switch (col->col_type) {
    case MDB_BOOL:
      return "BIT";
    case MDB_BYTE:
      return "TINYINT";
    case MDB_INT:
      return "SMALLINT";
    case MDB_LONGINT:
      return "INTEGER";
    case MDB_COMPLEX:
      return "INTEGER";
    case MDB_MONEY:
      return "CURRENCY";
    case MDB_FLOAT:
      return "REAL";
    case MDB_DOUBLE:
      return "DOUBLE";
    case MDB_DATETIME:
      return "DATETIME";
    case MDB_NUMERIC:
      return "NUMERIC(" + std::to_string(col->col_prec) + "," + std::to_string(col->col_scale) + ")";
    case MDB_REPID:
      return "VARCHAR(38) COLLATE NOCASE";
    case MDB_TEXT: {
      // The size is in bytes: two per character from Jet 4 on.
      const int chars = jet3 ? col->col_size : col->col_size / 2;
      return "VARCHAR(" + std::to_string(chars > 0 ? chars : 255) + ") COLLATE NOCASE";
    }
    case MDB_MEMO:
      return "MEMO COLLATE NOCASE";
    default:
      return "LONGBINARY";  // OLE, Binary and unknown types: bytes
  }
}

class SqliteCopy {
 public:
  SqliteCopy() {
    const int rc = sqlite3_open_v2(
        ":memory:", &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
        nullptr);
    if (rc != SQLITE_OK) Fail("cannot create the in-memory copy");
    Exec("PRAGMA journal_mode=OFF");
    Exec("BEGIN");
  }
  ~SqliteCopy() {
    sqlite3_finalize(m_insert);
    if (m_db) sqlite3_close_v2(m_db);
  }
  SqliteCopy(const SqliteCopy&) = delete;
  SqliteCopy& operator=(const SqliteCopy&) = delete;

  void CreateTable(const std::string& name, MdbTableDef* table, bool jet3) {
    m_table = name;
    std::string create = "CREATE TABLE " + Quoted(name) + " (";
    std::string insert = "INSERT INTO " + Quoted(name) + " VALUES (";
    for (unsigned k = 0; k < table->num_cols; ++k) {
      const MdbColumn* col = Reader::Column(table, k);
      if (k) {
        create += ", ";
        insert += ",";
      }
      create += Quoted(col->name) + " " + DeclaredType(col, jet3);
      insert += "?";
    }
    Exec(create + ")");
    sqlite3_finalize(m_insert);
    m_insert = nullptr;
    insert += ")";
    if (sqlite3_prepare_v2(m_db, insert.c_str(), -1, &m_insert, nullptr) != SQLITE_OK) Fail("cannot be copied");
  }

  void Insert(const std::vector<Value>& row) {
    for (std::size_t k = 0; k < row.size(); ++k) {
      const Value& v = row[k];
      const int at = static_cast<int>(k) + 1;
      switch (v.kind) {
        case Value::Kind::kNull:
          sqlite3_bind_null(m_insert, at);
          break;
        case Value::Kind::kInt:
          sqlite3_bind_int64(m_insert, at, v.i);
          break;
        case Value::Kind::kReal:
          sqlite3_bind_double(m_insert, at, v.d);
          break;
        case Value::Kind::kText:
          sqlite3_bind_text(m_insert, at, v.bytes.data(), static_cast<int>(v.bytes.size()), SQLITE_STATIC);
          break;
        case Value::Kind::kBlob:
          sqlite3_bind_blob(m_insert, at, v.bytes.data(), static_cast<int>(v.bytes.size()), SQLITE_STATIC);
          break;
      }
    }
    const int rc = sqlite3_step(m_insert);
    sqlite3_reset(m_insert);
    if (rc != SQLITE_DONE) Fail("cannot be copied");
  }

  // Ends the load; the statements that run later may only read.
  sqlite3* Finish() {
    sqlite3_finalize(m_insert);
    m_insert = nullptr;
    Exec("COMMIT");
    Exec("PRAGMA query_only=1");
    sqlite3* db = m_db;
    m_db = nullptr;
    return db;
  }

 private:
  void Exec(const std::string& sql) {
    if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail("cannot be copied");
  }
  [[noreturn]] void Fail(const char* what) {
    std::string message = m_table.empty() ? std::string(what) : "the table \"" + m_table + "\" " + what;
    if (m_db) message += std::string(" (") + sqlite3_errmsg(m_db) + ")";
    Damaged(message + ".");
  }

  sqlite3* m_db = nullptr;
  sqlite3_stmt* m_insert = nullptr;
  std::string m_table;
};

}  // namespace

std::unique_ptr<SqliteConnection> OpenAccessFile(const CString& path, const DbFileProbe& probe) {
  std::vector<std::wstring> systemTables;
  sqlite3* db = nullptr;
  try {
    const FileShape shape = CheckShape(probe);
    MdbPtr mdb(mdb_open(VdToUtf8(path.str()).c_str(), MDB_NOFLAGS));
    if (!mdb) Damaged("libmdb cannot read it as an Access database.");
    if (static_cast<unsigned>(mdb->fmt->pg_size) != shape.pageSize) Damaged("its header is damaged.");
    Reader reader(mdb.get(), shape);
    const std::vector<TableEntry> tables = ReadCatalog(reader);
    SqliteCopy copy;
    for (const TableEntry& t : tables) {
      MdbCatalogEntry entry{};
      TablePtr table = reader.OpenTable(entry, t.name, t.page);
      copy.CreateTable(t.name, table.get(), shape.jet3);
      reader.ReadRows(table.get(), t.name, [&](const std::vector<Value>& row) { copy.Insert(row); });
      if (t.system) systemTables.push_back(VdFromUtf8(t.name));
    }
    db = copy.Finish();
  } catch (const Damage& damage) {
    const std::wstring what = VdFromUtf8(damage.what);
    CString message;
    message.Format(L"Cannot open the database \"%s\": the Access file is damaged: %s", path, what);
    ThrowDbError(kStateCannotOpen, message);
  }
  CString readOnly;
  readOnly.Format(
      L"The catalog \"%s\" is a Microsoft Access file, which is read-only: its rows cannot be "
      L"changed. Convert it to a writable catalog with \"vdcatalog convert\".",
      path);
  return SqliteConnection::AdoptLoaded(path, db, readOnly, std::move(systemTables));
}

}  // namespace vdpattern::db
