#include "Tool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <algorithm>
#include <charconv>
#include <cwctype>
#include <climits>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <vdpattern/vdpattern.h>

#include "CsvFile.h"
#include "Output.h"

namespace vdcatalog {

// ---------------------------------------------------------------- export, import

namespace {

// CSV is text, and a NUL byte is none: the tool's own import refuses it, other programs cut the text at it.
// Escaping it would need an escape character, itself escaped in every text; JSON carries it exactly instead.
// False after a message naming the first cell that holds one; checked before anything is written.
bool CsvCanCarry(const std::string& family, const std::vector<Column>& columns, const std::vector<Row>& rows) {
  for (const Column& c : columns) {
    if (c.name.find(L'\0') == std::wstring::npos) continue;
    Error("a column name of family " + Shown(family) +
          " holds a NUL byte, which CSV cannot carry: export it with "
          "--format json; nothing was written");
    return false;
  }
  for (const Row& row : rows) {
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (Text(&row.values[i]).find('\0') == std::string::npos) continue;
      Error("the " + VdToUtf8(columns[i].name) + " of pattern \"" + Shown(row.name) + "\" in family " + Shown(family) +
            " holds a NUL byte, which CSV cannot carry: export it with --format json; nothing was "
            "written");
      return false;
    }
  }
  return true;
}

}  // namespace

int Export(const std::string& file, const std::string& family, const std::string& format, const std::string& outPath) {
  Session session;
  CVdPatternCatalog* catalog = session.Open(file);
  if (!catalog) return kError;
  std::list<std::wstring> families;
  if (family.empty()) {
    if (!catalog->GetFamilies(families)) return kError;
    SortNaturally(families);
  } else {
    if (!HasFamily(*catalog, family)) return kNotFound;
    families.push_back(Wide(family).str());
  }
  if (format == "csv" && families.size() != 1) {
    Error("CSV holds one family: name the family to export");
    return kError;
  }
  OutputFile output;
  std::string error;
  if (!output.Open(outPath, file, error)) {
    Error(error);
    return kError;
  }
  std::FILE* out = output.Stream();
  json document = json::object();
  for (const std::wstring& f : families) {
    const std::vector<Column> columns = FamilyColumns(session, catalog, VdToUtf8(f));
    if (session.Failed()) return kError;
    std::vector<Row> rows;
    if (!ReadRows(session.Database(catalog), VdToUtf8(f), columns, "", "", rows)) return kError;
    Progress progress("export", rows.size());
    if (format == "csv") {
      if (!CsvCanCarry(VdToUtf8(f), columns, rows)) return kError;
      std::vector<std::string> header;
      for (const Column& c : columns) header.push_back(GuardedCsvText(VdToUtf8(c.name)));
      WriteCsvRecord(out, header);
      for (std::size_t r = 0; r < rows.size(); ++r) {
        std::vector<std::string> cells;
        for (std::size_t i = 0; i < columns.size(); ++i) {
          const std::string text = Text(&rows[r].values[i]);
          cells.push_back(columns[i].kind == Kind::kText ? GuardedCsvText(text) : text);
        }
        WriteCsvRecord(out, cells);
        progress.Step(r + 1);
      }
    } else {
      json list = json::array();
      for (std::size_t r = 0; r < rows.size(); ++r) {
        json entry = json::object();
        for (std::size_t i = 0; i < columns.size(); ++i)
          entry[VdToUtf8(columns[i].name)] = ToJson(&rows[r].values[i], columns[i].kind);
        list.push_back(entry);
        progress.Step(r + 1);
      }
      document[VdToUtf8(f)] = list;
    }
  }
  if (format == "json") std::fprintf(out, "%s\n", JsonText(document).c_str());
  if (!output.Commit(error)) {
    Error(error);
    return kError;
  }
  return session.Finish(kOk);
}

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

// Exit status of a command stopped by Ctrl-C, as shells report a process that SIGINT ended.
constexpr int kInterrupted = 130;

// While it lives, Ctrl-C asks the import to stop at the next row, so that its transaction is undone and said so,
// instead of ending the process in the middle of a write.
class InterruptGuard {
 public:
  InterruptGuard() {
    g_interrupted = 0;
    struct sigaction action {};
    action.sa_handler = [](int) { g_interrupted = 1; };
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &m_previous);
  }
  ~InterruptGuard() { sigaction(SIGINT, &m_previous, nullptr); }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct sigaction m_previous {};
};

// A set of hashes, open addressed: 8 to 16 bytes an element (a million names take 16 MB at most).
class HashSet {
 public:
  bool Contains(std::uint64_t hash) const {
    if (m_slots.empty()) return false;
    hash = hash ? hash : 1;
    for (std::size_t i = hash & Mask();; i = (i + 1) & Mask()) {
      if (m_slots[i] == hash) return true;
      if (m_slots[i] == 0) return false;
    }
  }
  void Insert(std::uint64_t hash) {
    hash = hash ? hash : 1;  // 0 marks a free slot
    if ((m_size + 1) * 4 > m_slots.size() * 3) Grow();
    for (std::size_t i = hash & Mask();; i = (i + 1) & Mask()) {
      if (m_slots[i] == hash) return;
      if (m_slots[i] == 0) {
        m_slots[i] = hash;
        ++m_size;
        return;
      }
    }
  }
  std::size_t Size() const { return m_size; }

 private:
  std::size_t Mask() const { return m_slots.size() - 1; }
  void Grow() {
    std::vector<std::uint64_t> old(m_slots.empty() ? 1024 : m_slots.size() * 2);
    old.swap(m_slots);
    m_size = 0;
    for (std::uint64_t hash : old)
      if (hash) Insert(hash);
  }

  std::vector<std::uint64_t> m_slots;  // a power of two of them, at most three quarters used
  std::size_t m_size = 0;
};

// The CSV header of an import matched to the family's columns once for the whole file: each field's column
// and folded parameter name, and which field is the Name.
struct ImportHeader {
  std::vector<const Column*> columns;  // borrowed from the family's columns given to Match; null for the Name
  std::vector<std::wstring> names;
  std::size_t nameIndex = 0;
  std::string csvPath;

  // Where a message about a line of the file points; made only when there is something to say.
  std::string Where(std::size_t line) const { return csvPath + " line " + std::to_string(line) + ": "; }

  // Reports the first fault of the header and returns false.
  bool Match(const CsvRecord& header, const std::vector<Column>& family, const std::string& familyName,
             const std::string& path) {
    csvPath = path;
    const std::string where = Where(header.line);
    std::vector<std::string> fields = header.fields;
    for (std::string& field : fields)
      if (IsGuardedCsvText(field)) field.erase(0, 1);  // column names are exported as guarded texts
    bool hasName = false;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const Column* column = FindColumn(family, Wide(fields[i]).str());
      if (!column || fields[i].find('\0') != std::string::npos) {
        Error(where + "no column \"" + Shown(fields[i]) + "\" in family " + familyName);
        return false;
      }
      for (std::size_t k = 0; k < i; ++k) {
        if (VdCompareNoCase(Wide(fields[k]).str(), column->name) == 0) {
          Error(where + "the column " + VdToUtf8(column->name) + " is given twice");
          return false;
        }
      }
      const bool isName = VdCompareNoCase(column->name, L"Name") == 0;
      if (isName) nameIndex = i;
      hasName |= isName;
      columns.push_back(isName ? nullptr : column);
      names.push_back(isName ? std::wstring() : Folded(column->name));
    }
    if (!hasName) Error(csvPath + ": the header needs a Name column");
    return hasName;
  }

  // Sets the pattern's name and every value of the record; reports the first fault and returns false.
  bool Fill(CVdPattern& pattern, const CsvRecord& record, std::string& error) const {
    if (record.fields.size() != columns.size()) {
      Error(Where(record.line) + "expected " + std::to_string(columns.size()) + " fields, found " +
            std::to_string(record.fields.size()));
      return false;
    }
    const std::string& field = record.fields[nameIndex];
    const std::string& name = IsGuardedCsvText(field) ? field.substr(1) : field;
    if (name.empty() || name.find('\0') != std::string::npos) {
      Error(Where(record.line) + (name.empty() ? "the Name is empty" : "the Name holds a NUL byte"));
      return false;
    }
    pattern.SetUserName(Wide(name));
    for (std::size_t i = 0; i < columns.size(); ++i) {
      const std::string& cell = record.fields[i];
      const bool guarded = columns[i] && columns[i]->kind == Kind::kText && IsGuardedCsvText(cell);
      if (columns[i] && !AssignTo(pattern, *columns[i], names[i], guarded ? cell.substr(1) : cell, error)) {
        Error(Where(record.line) + error);
        return false;
      }
    }
    return true;
  }
};

// What the rows of an import wrote, read and refused.
struct ImportCounts {
  std::size_t rows = 0, failed = 0;
  HashSet names;  // the folded names' hashes: the distinct patterns the rows wrote
};

constexpr const char* kConnectionLost = "the connection to the server was lost; nothing was imported";

// Writes every row after the header into the family, inside the caller's write scope: kOk when the rows are
// to be kept (some may have been refused under --keep-going), otherwise the status that ends the import.
int ImportRows(CsvReader& reader, const ImportHeader& header, CVdPatternCatalog& catalog, CVdDatabase* db,
               Reports& reports, const std::string& family, bool keepGoing, ImportCounts& counts) {
  // Into a family that held no row when the write began, a name the file has not given before is new: its row
  // is appended without the search for an existing one (the write holds the file, so nobody adds one).
  const bool startedEmpty = CountRows(db, Wide(family).str(), 1) == 0;
  Progress progress("import", reader.Size());
  CsvRecord record;
  std::string error;
  // One pattern serves every row: each row sets its name and every value of the header's columns.
  CVdPattern pattern(1, nullptr, Wide(family));
  std::string previousRefusal;
  while (reader.Next(record, error)) {
    if (g_interrupted) break;
    // With --keep-going each row is a group of its own, so a row the catalog refuses leaves no part behind.
    if (keepGoing) db->BeginWriteGroup();
    bool ok = header.Fill(pattern, record, error);
    const std::size_t hash = ok ? std::hash<std::wstring>()(Folded(pattern.GetUserNameW().str())) : 0;
    std::string refusal;  // the database's reason, when it refused the row
    reports.ClearLast();
    if (ok && !catalog.InsertPattern(&pattern, startedEmpty && !counts.names.Contains(hash))) {
      Error(header.Where(record.line) + "the catalog refused the row");
      refusal = reports.Last();
      ok = false;
    }
    if (keepGoing) db->EndWriteGroup(ok);
    // The server undid every row with the transaction; the rows after would be refused one by one.
    if (db->IsTransactionLost()) {
      Error(kConnectionLost);
      return kError;
    }
    if (ok) {
      ++counts.rows;
      counts.names.Insert(hash);
    } else {
      ++counts.failed;
      if (!keepGoing) {
        Error("nothing was imported (use --keep-going to import the rows that fit)");
        return kError;
      }
      // A reason that is the database's, not the row's (no right to write, a server gone), would come again for
      // every row: given twice in a row before any row was kept, it ends the import.
      if (counts.rows == 0 && !refusal.empty() && refusal == previousRefusal) {
        Error("the catalog refuses every row for the same reason; nothing was imported");
        return kError;
      }
      previousRefusal = refusal;
    }
    progress.Step(reader.BytesRead());
  }
  progress.Done();
  if (!error.empty()) {
    Error(error + "; nothing was imported");
    return kError;
  }
  if (g_interrupted) {
    Error("interrupted: nothing was imported");
    return kInterrupted;
  }
  return kOk;
}

}  // namespace

int Import(const std::string& file, const std::string& family, const std::string& csvPath, bool keepGoing) {
  CsvReader reader;
  CsvRecord headerRecord;
  std::string error;
  if (!reader.Open(csvPath, error) || !reader.Next(headerRecord, error)) {
    Error(error.empty() ? csvPath + " is empty: it needs a header row of column names" : error);
    return kError;
  }
  Session session;
  CVdPatternCatalog* catalog = session.Open(file);
  if (!catalog) return kError;
  if (!HasFamily(*catalog, family)) return kNotFound;
  CVdDatabase* db = session.Database(catalog);
  const std::vector<Column> columns = FamilyColumns(session, catalog, family);  // the header points into it
  if (session.Failed()) return kError;
  ImportHeader header;
  if (!header.Match(headerRecord, columns, family, csvPath)) return kError;

  if (!catalog->CanWrite()) {
    // Every row would fail the same way.
    Error(file + " is read-only; nothing was imported");
    return kError;
  }
  catalog->SetHasUnits(false);  // rows hold values as the catalog stores them
  InterruptGuard interrupt;
  WriteScope scope(db);
  catalog->BeginHistoryBatch();  // the import is one change set, written in a few statements at the end
  ImportCounts counts;
  try {
    if (const int status = ImportRows(reader, header, *catalog, db, session.Reported(), family, keepGoing, counts);
        status != kOk)
      return status;
  } catch (CDBException* e) {
    if (!db->IsTransactionLost()) throw;
    e->Delete();
    Error(kConnectionLost);
    return kError;
  }
  if (!catalog->EndHistoryBatch(true)) {
    Error("nothing was imported: its history could not be written");
    return kError;
  }
  try {
    scope.Keep();
  } catch (CDBException* e) {
    CString reason = e->m_strError;
    e->Delete();
    reason.TrimRight();
    Error("nothing was imported: " + Utf8(reason));
    return kError;
  }
  const std::size_t patterns = counts.names.Size();
  std::printf("imported %zu rows into %s", counts.rows, Visible(family).c_str());
  if (patterns != counts.rows) std::printf(" (%zu patterns: a name given again overwrote the row before)", patterns);
  if (counts.failed) std::printf(", %zu rows refused", counts.failed);
  std::printf("\n");
  return counts.failed ? kNotFound : kOk;
}

}  // namespace vdcatalog
