#include "db/access/AccessLoader.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>
#include <vdpattern/toolkit/Utf8.h>
#include "db/DbError.h"
#include "db/access/AccessFile.h"
#include "db/sqlite/SqliteConnection.h"

namespace vdpattern::db {

namespace {

using access::AccessColumn;
using access::AccessFile;
using access::AccessTable;
using access::AccessValue;
using access::Damaged;

constexpr std::uint32_t kPageOfId = 0x00FFFFFF;  // an object's Id is its definition page under a type byte
constexpr std::int64_t kTableObject = 1;

std::string Folded(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

int FindColumn(const AccessTable& table, const char* name) {
  for (std::size_t k = 0; k < table.columns.size(); ++k)
    if (Folded(table.columns[k].name) == Folded(name)) return static_cast<int>(k);
  return -1;
}

// ---------------------------------------------------------------- the catalog

struct TableEntry {
  std::string name;
  std::uint32_t page = 0;
  bool system = false;
  std::string properties;  // the table's and its columns' properties, as stored
};

// The tables listed in MSysObjects (page 2): their Id, Name, Type, Flags and properties (LvProp).
std::vector<TableEntry> ReadCatalog(AccessFile& file) {
  const AccessTable table = file.OpenTable("MSysObjects", 2);
  const int id = FindColumn(table, "Id"), name = FindColumn(table, "Name"), type = FindColumn(table, "Type"),
            flags = FindColumn(table, "Flags"), properties = FindColumn(table, "LvProp");
  if (id < 0 || name < 0 || type < 0 || flags < 0) Damaged("its catalog of tables lacks a column.");
  std::vector<TableEntry> tables;
  std::map<std::uint32_t, std::string> pages;  // the name each definition page was listed under
  file.ReadRows(table, [&](const std::vector<AccessValue>& row) {
    if (row[type].kind != AccessValue::Kind::kInt || row[type].i != kTableObject) return;
    if (row[id].kind != AccessValue::Kind::kInt || row[name].kind != AccessValue::Kind::kText ||
        row[name].bytes.empty())
      Damaged("its catalog of tables is damaged.");
    TableEntry t;
    t.name = row[name].bytes;
    t.page = static_cast<std::uint32_t>(row[id].i) & kPageOfId;
    // One table under many names would be copied once for each of them.
    const auto [listed, added] = pages.try_emplace(t.page, t.name);
    if (!added)
      Damaged("its catalog lists the table " + access::ShownName(listed->second) + " twice, also as " +
              access::ShownName(t.name) + ".");
    const std::uint32_t f = row[flags].kind == AccessValue::Kind::kInt ? static_cast<std::uint32_t>(row[flags].i) : 0;
    t.system = (f & 0x80000000u) || (f & 0x2u) || Folded(t.name).rfind("msys", 0) == 0;
    if (properties >= 0) t.properties = row[properties].bytes;
    tables.push_back(std::move(t));
  });
  return tables;
}

// The type of each calculated column's result, by folded column name: the type in a calculated column's
// definition is not that of its values, which the column's "ResultType" property gives. The properties are
// blocks (a 4-byte length, a 2-byte type): one of property names, then one per object (the table, each
// column) naming the object and listing its values, each by the index of its name. A block that does not fit
// ends the reading: the columns then keep the type of their definition.
std::map<std::string, unsigned> ResultTypes(const AccessFile& file, const std::string& properties) {
  std::map<std::string, unsigned> types;
  const auto* p = reinterpret_cast<const unsigned char*>(properties.data());
  const std::size_t n = properties.size();
  if (n < 4 || (properties.compare(0, 4, std::string("MR2\0", 4)) != 0 &&
                properties.compare(0, 4, std::string("KKD\0", 4)) != 0))
    return types;
  auto le16 = [p](std::size_t at) { return static_cast<std::size_t>(p[at] | (p[at + 1] << 8)); };
  auto le32 = [&](std::size_t at) { return le16(at) | (le16(at + 2) << 16); };
  std::vector<std::string> names;
  for (std::size_t at = 4; at + 6 <= n;) {
    const std::size_t length = le32(at), type = le16(at + 4), end = at + length;
    if (length < 6 || end > n) break;
    std::size_t b = at + 6;
    if (type == 0x80) {
      for (std::size_t size; b + 2 <= end && (size = le16(b)) <= end - b - 2; b += 2 + size)
        names.push_back(Folded(file.Text(p + b + 2, size)));
    } else if (b + 4 <= end) {
      const std::size_t block = le32(b);
      std::string object;
      if (block > 6 && block <= end - b && le16(b + 4) <= block - 6) object = Folded(file.Text(p + b + 6, le16(b + 4)));
      b = block <= end - b ? b + block : end;
      for (std::size_t size; b + 8 <= end && (size = le16(b)) >= 8 && size <= end - b; b += size) {
        const std::size_t name = le16(b + 4), dataSize = le16(b + 6);
        if (name < names.size() && names[name] == "resulttype" && dataSize >= 1 && dataSize <= size - 8)
          types[object] = p[b + 8];
      }
    }
    at = end;
  }
  return types;
}

// ---------------------------------------------------------------- complex columns

// Attachment, multi-value and version-history columns hold a key into a hidden "flat" table, one row per
// attached file, chosen value or version. The copy shows each as text a user can read: the file names, the
// values, or each version's date and text, from the flat table's rows with that key. The flat tables are
// copied too, as system tables, so nothing is lost.
class ComplexColumns {
 public:
  // Reads MSysComplexColumns when the file has it (Access 2007 and later) and marks the flat tables it names.
  ComplexColumns(AccessFile& file, std::vector<TableEntry>& tables) : m_file(file), m_tables(tables) {
    const TableEntry* list = Find([](const TableEntry& t) { return Folded(t.name) == "msyscomplexcolumns"; });
    if (!list) return;
    const AccessTable table = file.OpenTable(list->name, list->page);
    const int column = FindColumn(table, "ColumnName"), owner = FindColumn(table, "ConceptualTableID"),
              flat = FindColumn(table, "FlatTableID");
    if (column < 0 || owner < 0 || flat < 0) return;
    std::set<std::uint32_t> flatPages;
    file.ReadRows(table, [&](const std::vector<AccessValue>& row) {
      if (row[column].kind != AccessValue::Kind::kText || row[owner].kind != AccessValue::Kind::kInt ||
          row[flat].kind != AccessValue::Kind::kInt)
        return;
      const std::uint32_t flatPage = static_cast<std::uint32_t>(row[flat].i) & kPageOfId;
      // Each complex column has a table of its own, read once for it: a shared one would be read for each.
      if (!flatPages.insert(flatPage).second) Damaged("two complex columns share the table that holds their values.");
      m_flat[{static_cast<std::uint32_t>(row[owner].i) & kPageOfId, Folded(row[column].bytes)}] = flatPage;
    });
    for (TableEntry& t : tables)
      if (flatPages.count(t.page)) t.system = true;
  }

  // The text of each key of the complex column `col` of `table`; false when the file does not say where its
  // values are (the column then keeps its keys).
  bool Texts(const AccessTable& table, const AccessColumn& col, std::map<std::int64_t, std::string>& texts) {
    texts.clear();
    const auto found = m_flat.find({table.page, Folded(col.name)});
    if (found == m_flat.end()) return false;
    const std::uint32_t page = found->second;
    const TableEntry* entry = Find([page](const TableEntry& t) { return t.page == page; });
    if (!entry) return false;
    const AccessTable flat = m_file.OpenTable(entry->name, entry->page);
    // The key is "_" and the column's name; a multi-value table holds "Value", an attachment table the files'
    // "FileName" and more, a version history the texts and their dates.
    const int key = FindColumn(flat, ("_" + col.name).c_str());
    int shown = FindColumn(flat, "FileName"), version = -1;
    if (shown < 0) shown = FindColumn(flat, "Value");
    for (std::size_t k = 0; k < flat.columns.size() && shown < 0; ++k) {
      const AccessColumn& c = flat.columns[k];
      if (static_cast<int>(k) != key && !c.autoNumber && c.type != access::kDateTime) shown = static_cast<int>(k);
    }
    for (std::size_t k = 0; k < flat.columns.size() && FindColumn(flat, "FileName") < 0; ++k)
      if (flat.columns[k].type == access::kDateTime && version < 0) version = static_cast<int>(k);
    if (key < 0 || shown < 0) return false;
    m_file.ReadRows(flat, [&](const std::vector<AccessValue>& row) {
      if (row[key].kind != AccessValue::Kind::kInt) return;
      std::string& text = texts[row[key].i];
      if (!text.empty()) text += version >= 0 ? "\n" : "; ";
      if (version >= 0) text += ValueText(row[version]) + ": ";
      text += ValueText(row[shown]);
    });
    return true;
  }

 private:
  template <typename Match>
  const TableEntry* Find(Match match) const {
    for (const TableEntry& t : m_tables)
      if (match(t)) return &t;
    return nullptr;
  }

  static std::string ValueText(const AccessValue& v) {
    switch (v.kind) {
      case AccessValue::Kind::kInt:
        return std::to_string(v.i);
      case AccessValue::Kind::kReal: {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.15g", v.d);
        return buf;
      }
      case AccessValue::Kind::kText:
        return v.bytes;
      default:
        return "";
    }
  }

  AccessFile& m_file;
  std::vector<TableEntry>& m_tables;
  std::map<std::pair<std::uint32_t, std::string>, std::uint32_t> m_flat;  // (table page, column) -> flat page
};

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
// case, as in Access. A decimal is exact text under NUMERIC_TEXT(p,s): SQLite's NUMERIC affinity would turn
// it into a double and drop digits, the name keeps its precision and scale, and the toolkit reads it as text.
std::string DeclaredType(const AccessColumn& col, bool jet3) {
  switch (col.type) {
    case access::kBool:
      return "BIT";
    case access::kByte:
      return "TINYINT";
    case access::kInt:
      return "SMALLINT";
    case access::kLong:
    case access::kComplex:
      return "INTEGER";
    case access::kBigInt:
      return "BIGINT";
    case access::kMoney:
      return "CURRENCY";
    case access::kFloat:
      return "REAL";
    case access::kDouble:
      return "DOUBLE";
    case access::kDateTime:
    case access::kExtDate:
      return "DATETIME";
    case access::kNumeric:
      return "NUMERIC_TEXT(" + std::to_string(col.calculated ? 28 : col.precision) + "," +
             std::to_string(col.calculated ? 0 : col.scale) + ")";
    case access::kGuid:
      return "VARCHAR(38) COLLATE NOCASE";
    case access::kText: {
      // The size is in bytes: two per character from Jet 4 on.
      const unsigned chars = jet3 ? col.length : col.length / 2;
      return "VARCHAR(" + std::to_string(chars > 0 ? chars : 255) + ") COLLATE NOCASE";
    }
    case access::kMemo:
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

  // `declared` holds each column's declared type, in the table's order.
  void CreateTable(const AccessTable& table, const std::vector<std::string>& declared) {
    m_table = table.name;
    std::string create = "CREATE TABLE " + Quoted(table.name) + " (";
    std::string insert = "INSERT INTO " + Quoted(table.name) + " VALUES (";
    for (std::size_t k = 0; k < table.columns.size(); ++k) {
      if (k) {
        create += ", ";
        insert += ",";
      }
      create += Quoted(table.columns[k].name) + " " + declared[k];
      insert += "?";
    }
    Exec(create + ")");
    sqlite3_finalize(m_insert);
    m_insert = nullptr;
    insert += ")";
    if (sqlite3_prepare_v2(m_db, insert.c_str(), -1, &m_insert, nullptr) != SQLITE_OK) Fail("cannot be copied");
  }

  void Insert(const std::vector<AccessValue>& row) {
    for (std::size_t k = 0; k < row.size(); ++k) {
      const AccessValue& v = row[k];
      const int at = static_cast<int>(k) + 1;
      switch (v.kind) {
        case AccessValue::Kind::kNull:
          sqlite3_bind_null(m_insert, at);
          break;
        case AccessValue::Kind::kInt:
          sqlite3_bind_int64(m_insert, at, v.i);
          break;
        case AccessValue::Kind::kReal:
          sqlite3_bind_double(m_insert, at, v.d);
          break;
        case AccessValue::Kind::kText:
          sqlite3_bind_text(m_insert, at, v.bytes.data(), static_cast<int>(v.bytes.size()), SQLITE_STATIC);
          break;
        case AccessValue::Kind::kBlob:
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
    std::string message = m_table.empty() ? std::string(what) : "the table " + access::ShownName(m_table) + " " + what;
    if (m_db) message += std::string(" (") + sqlite3_errmsg(m_db) + ")";
    Damaged(message + ".");
  }

  sqlite3* m_db = nullptr;
  sqlite3_stmt* m_insert = nullptr;
  std::string m_table;
};

}  // namespace

std::unique_ptr<SqliteConnection> OpenAccessFile(const CString& path, const DbFileProbe& probe,
                                                 unsigned long timeLimit) {
  std::vector<std::wstring> systemTables;
  sqlite3* db = nullptr;
  try {
    // Capped at a century, so that the clock's arithmetic cannot overflow.
    const std::chrono::milliseconds limit(std::min<std::uint64_t>(timeLimit, 100ull * 365 * 86400) * 1000);
    AccessFile file(VdToUtf8(path.str()), probe.size, limit);
    std::vector<TableEntry> tables = ReadCatalog(file);
    ComplexColumns complex(file, tables);
    SqliteCopy copy;
    std::vector<std::string> declared;
    std::vector<std::map<std::int64_t, std::string>> texts;
    for (const TableEntry& t : tables) {
      AccessTable table = file.OpenTable(t.name, t.page);
      const std::map<std::string, unsigned> resultTypes = ResultTypes(file, t.properties);
      for (AccessColumn& col : table.columns) {
        const auto type = col.calculated ? resultTypes.find(Folded(col.name)) : resultTypes.end();
        if (type != resultTypes.end()) col.type = type->second;
      }
      declared.clear();
      texts.assign(table.columns.size(), {});
      std::vector<std::size_t> shownAsText;
      for (std::size_t k = 0; k < table.columns.size(); ++k) {
        const AccessColumn& col = table.columns[k];
        declared.push_back(DeclaredType(col, file.Jet3()));
        if (col.type == access::kComplex && complex.Texts(table, col, texts[k])) {
          declared.back() = "MEMO COLLATE NOCASE";
          shownAsText.push_back(k);
        }
      }
      copy.CreateTable(table, declared);
      std::vector<AccessValue> shown;
      file.ReadRows(table, [&](const std::vector<AccessValue>& row) {
        if (shownAsText.empty()) return copy.Insert(row);
        shown = row;
        for (std::size_t k : shownAsText) {
          AccessValue& v = shown[k];
          const auto text = v.kind == AccessValue::Kind::kInt ? texts[k].find(v.i) : texts[k].end();
          v.kind = text == texts[k].end() ? AccessValue::Kind::kNull : AccessValue::Kind::kText;
          if (text != texts[k].end()) v.bytes = text->second;
        }
        copy.Insert(shown);
      });
      if (t.system) systemTables.push_back(VdFromUtf8(t.name));
    }
    db = copy.Finish();
  } catch (const access::AccessDamage& damage) {
    const std::wstring what = VdFromUtf8(damage.what);
    CString message;
    message.Format(L"Cannot open the database \"%s\": the Access file is damaged: %s", path, what);
    ThrowDbError(kStateCannotOpen, message);
  } catch (const access::AccessTimeout&) {
    CString message;
    message.Format(L"Reading the Access file \"%s\" was stopped after its time limit of %lu s", path, timeLimit);
    ThrowDbError(kStateTimeout, message);
  }
  CString readOnly;
  readOnly.Format(
      L"The catalog \"%s\" is a Microsoft Access file, which is read-only: its rows cannot be "
      L"changed. Convert it to a writable catalog with \"vdcatalog convert\".",
      path);
  return SqliteConnection::AdoptLoaded(path, db, readOnly, std::move(systemTables));
}

}  // namespace vdpattern::db
