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
#include <fstream>
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

// The unit each column's values are stored in, as the catalog's units table says ("" for none), in column order.
std::vector<std::string> ColumnUnits(CVdPatternCatalog& catalog, const std::wstring& family,
                                     const std::vector<Column>& columns) {
  std::wstring upper = family;
  VdFoldUpper(upper);
  const auto units = catalog.GetUnitsMap(upper);
  std::vector<std::string> out;
  for (const Column& c : columns) {
    const auto u = units.find(Folded(c.name));
    out.push_back(u == units.end() ? std::string() : Utf8(u->second.unit.GetText()));
  }
  return out;
}

// A CSV header field: the column's name, and its unit between brackets after a blank ("h [mm]"), which import
// reads back and checks against the family's.
std::string HeaderField(const Column& column, const std::string& unit) {
  return VdToUtf8(column.name) + (unit.empty() ? "" : " [" + unit + "]");
}

using ordered_json = nlohmann::ordered_json;

// The same value in a JSON object that keeps its keys in the order they were given.
ordered_json Ordered(const json& value) {
  switch (value.type()) {
    case json::value_t::null:
      return nullptr;
    case json::value_t::boolean:
      return value.get<bool>();
    case json::value_t::number_integer:
      return value.get<std::int64_t>();
    case json::value_t::number_unsigned:
      return value.get<std::uint64_t>();
    case json::value_t::number_float:
      return value.get<double>();
    case json::value_t::string:
      return value.get_ref<const std::string&>();
    case json::value_t::array: {
      ordered_json out = ordered_json::array();
      for (const json& item : value) out.push_back(Ordered(item));
      return out;
    }
    case json::value_t::object: {
      ordered_json out = ordered_json::object();
      for (auto it = value.begin(); it != value.end(); ++it) out[it.key()] = Ordered(it.value());
      return out;
    }
    default:
      return ordered_json::parse(value.dump());
  }
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
  // Families by name, then the units of their columns under a key that no family can have (names beginning
  // with "vd_" are the library's own tables); each pattern's keys in the family's column order, Name first.
  ordered_json document = ordered_json::object();
  ordered_json units = ordered_json::object();
  // The aliases travel with their family, alias -> name, under "vd_aliases" as the units do.
  std::vector<CVdPatternCatalog::Alias> aliases;
  if (!catalog->GetAliases(aliases)) return kError;
  ordered_json familyAliases = ordered_json::object();
  for (const std::wstring& f : families) {
    // Made before the rows are read, so that a long read counts towards the moment the bar appears.
    Progress progress("export", 0);
    const std::vector<Column> columns = FamilyColumns(session, catalog, VdToUtf8(f));
    if (session.Failed()) return kError;
    std::vector<Row> rows;
    if (!ReadRows(session.Database(catalog), VdToUtf8(f), columns, "", "", rows)) return kError;
    progress.SetTotal(rows.size());
    const std::vector<std::string> columnUnits = ColumnUnits(*catalog, f, columns);
    if (format == "csv") {
      if (!CsvCanCarry(VdToUtf8(f), columns, rows)) return kError;
      std::vector<std::string> header;
      for (std::size_t i = 0; i < columns.size(); ++i)
        header.push_back(GuardedCsvText(HeaderField(columns[i], columnUnits[i])));
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
      const long long carried = std::count_if(aliases.begin(), aliases.end(),
                                              [&](const auto& a) { return VdCompareNoCase(a.family, f) == 0; });
      if (carried)
        std::fprintf(stderr,
                     "vdcatalog: note: CSV carries the rows only; the %s of %s are not in it (export --format json "
                     "carries them, alias list --json lists them)\n",
                     Counted(carried, "alias", "aliases").c_str(), Visible(VdToUtf8(f)).c_str());
    } else {
      std::vector<std::size_t> order;  // Name first, then the family's columns as the table orders them
      for (std::size_t i = 0; i < columns.size(); ++i)
        if (VdCompareNoCase(columns[i].name, L"Name") == 0)
          order.insert(order.begin(), i);
        else
          order.push_back(i);
      ordered_json list = ordered_json::array();
      for (std::size_t r = 0; r < rows.size(); ++r) {
        ordered_json entry = ordered_json::object();
        for (std::size_t i : order)
          entry[VdToUtf8(columns[i].name)] = Ordered(ToJson(&rows[r].values[i], columns[i].kind));
        list.push_back(std::move(entry));
        progress.Step(r + 1);
      }
      document[VdToUtf8(f)] = std::move(list);
      ordered_json familyUnits = ordered_json::object();
      for (std::size_t i : order)
        if (!columnUnits[i].empty()) familyUnits[VdToUtf8(columns[i].name)] = columnUnits[i];
      if (!familyUnits.empty()) units[VdToUtf8(f)] = std::move(familyUnits);
      ordered_json these = ordered_json::object();
      for (const auto& a : aliases)
        if (VdCompareNoCase(a.family, f) == 0) these[VdToUtf8(a.alias)] = VdToUtf8(a.name);
      if (!these.empty()) familyAliases[VdToUtf8(f)] = std::move(these);
    }
    progress.Done();
  }
  if (format == "json") {
    if (!units.empty()) document["vd_units"] = std::move(units);
    if (!familyAliases.empty()) document["vd_aliases"] = std::move(familyAliases);
    std::fprintf(out, "%s\n", document.dump(2, ' ', false, ordered_json::error_handler_t::replace).c_str());
  }
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
  const char* unit = " line ";  // a JSON file's records are its entries
  // Where a message about a line of the file points; made only when there is something to say.
  std::string Where(std::size_t line) const { return csvPath + unit + std::to_string(line) + ": "; }

  std::vector<std::string> units;  // the family's unit of each of its columns, in the family's order
  const std::vector<Column>* familyColumns = nullptr;
  bool decimalComma = false;

  std::string UnitOf(const Column& column) const {
    const std::size_t i = static_cast<std::size_t>(&column - familyColumns->data());
    return i < units.size() ? units[i] : std::string();
  }

  // Reports the first fault of the header and returns false.
  bool Match(const CsvRecord& header, const std::vector<Column>& family, const std::string& familyName,
             const std::string& path) {
    csvPath = path;
    familyColumns = &family;
    const std::string where = Where(header.line);
    std::vector<std::string> fields = header.fields;
    for (std::string& field : fields)
      if (IsGuardedCsvText(field)) field.erase(0, 1);  // column names are exported as guarded texts
    bool hasName = false;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const Column* column = FindColumn(family, Wide(fields[i]).str());
      // "h [mm]": the column and the unit its values are in, which must be the one the family stores.
      std::string unit;
      if (const std::size_t open = fields[i].rfind(" [");
          !column && open != std::string::npos && fields[i].back() == ']') {
        column = FindColumn(family, Wide(fields[i].substr(0, open)).str());
        unit = fields[i].substr(open + 2, fields[i].size() - open - 3);
        if (column && unit != UnitOf(*column)) {
          Error(where + "the file gives " + VdToUtf8(column->name) + " in " + Shown(unit) + ", the family stores it " +
                (UnitOf(*column).empty() ? std::string("without a unit") : "in " + UnitOf(*column)) +
                "; nothing was imported");
          return false;
        }
      }
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
      const bool number = columns[i] && (columns[i]->kind == Kind::kReal || columns[i]->kind == Kind::kInteger);
      if (decimalComma && number && cell.find('.') != std::string::npos) {
        // "1.234,5" would be read as another number than the writer meant.
        Error(Where(record.line) + "the " + VdToUtf8(columns[i]->name) + " \"" + Shown(cell) +
              "\" holds a point: with --decimal-comma numbers are written 60,5");
        return false;
      }
      std::string text = guarded ? cell.substr(1) : cell;
      if (decimalComma && number) std::replace(text.begin(), text.end(), ',', '.');
      if (columns[i] && !AssignTo(pattern, *columns[i], names[i], text, error)) {
        Error(Where(record.line) + error);
        return false;
      }
    }
    return true;
  }
};

// A family's entries in a JSON export read as the records of a CSV file: a header of the keys the entries use,
// with the units "vd_units" gives them, then each entry's values as text, so that one writer serves both
// formats and a JSON import checks its values as a CSV import does. The family's aliases come with it.
class JsonRecords {
 public:
  // Reports nothing: a false return leaves the reason in `error`.
  bool Open(const std::string& path, const std::string& family, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      error = path + ": " + std::strerror(errno);
      return false;
    }
    json document;
    try {
      document = json::parse(in);
    } catch (const json::exception& e) {
      error = path + " is not JSON: " + Clause(e.what());
      return false;
    }
    if (in.bad()) {
      error = path + ": it could not be read to its end";
      return false;
    }
    const json* entries = Member(document, family);
    if (!entries) {
      error = path + " holds no family " + Visible(family);
      return false;
    }
    if (!entries->is_array()) {
      error = path + ": " + Visible(family) + " is not a list of patterns";
      return false;
    }
    const json* allUnits = Member(document, "vd_units");
    const json* units = allUnits ? Member(*allUnits, family) : nullptr;
    std::map<std::string, std::size_t> index;
    for (std::size_t e = 0; e < entries->size(); ++e) {
      const json& entry = (*entries)[e];
      if (!entry.is_object()) {
        error = path + " entry " + std::to_string(e + 1) + ": a pattern is an object of its values";
        return false;
      }
      for (const auto& item : entry.items())
        if (index.emplace(item.key(), m_keys.size()).second) m_keys.push_back(item.key());
    }
    for (const std::string& key : m_keys) {
      const json* unit = units ? Member(*units, key) : nullptr;
      const bool hasUnit = unit && unit->is_string() && !unit->get<std::string>().empty();
      m_header.fields.push_back(hasUnit ? key + " [" + unit->get<std::string>() + "]" : key);
    }
    m_entries = *entries;
    const json* allAliases = Member(document, "vd_aliases");
    const json* aliases = allAliases ? Member(*allAliases, family) : nullptr;
    if (aliases && !aliases->is_object()) {
      error = path + ": the aliases of " + Visible(family) + " are not an object of alias and name";
      return false;
    }
    if (aliases)
      for (const auto& item : aliases->items()) {
        if (!item.value().is_string()) {
          error = path + ": the alias " + Visible(item.key()) + " names no pattern";
          return false;
        }
        m_aliases.push_back({Wide(item.key()).str(), Wide(family).str(), Wide(item.value().get<std::string>()).str()});
      }
    return true;
  }
  const CsvRecord& Header() const { return m_header; }
  // Texts are guarded as export writes them into CSV, so that the import takes the guard off again.
  void Guard(const ImportHeader& header) {
    for (const Column* c : header.columns) m_guarded.push_back(!c || c->kind == Kind::kText);
  }
  bool Next(CsvRecord& record, std::string& error) {
    if (m_next >= m_entries.size()) return false;
    const json& entry = m_entries[m_next++];
    record.line = m_next;
    record.fields.assign(m_keys.size(), std::string());
    for (std::size_t k = 0; k < m_keys.size(); ++k) {
      const auto value = entry.find(m_keys[k]);
      if (value == entry.end() || value->is_null()) continue;
      if (value->is_structured()) {
        error = "entry " + std::to_string(m_next) + ": the " + m_keys[k] + " is not a single value";
        return false;
      }
      if (value->is_string())
        record.fields[k] = m_guarded[k] ? GuardedCsvText(value->get<std::string>()) : value->get<std::string>();
      else
        record.fields[k] = value->dump();  // numbers as the shortest text that reads back to the same value
    }
    return true;
  }
  std::size_t Size() const { return m_entries.size(); }
  std::size_t BytesRead() const { return m_next; }  // progress counts entries
  const std::vector<CVdPatternCatalog::Alias>& Aliases() const { return m_aliases; }

 private:
  // A key of `object` compared without case, as family and column names are.
  static const json* Member(const json& object, const std::string& key) {
    if (!object.is_object()) return nullptr;
    const auto exact = object.find(key);
    if (exact != object.end()) return &*exact;
    for (const auto& item : object.items())
      if (VdCompareNoCase(Wide(item.key()).str(), Wide(key).str()) == 0) return &item.value();
    return nullptr;
  }

  json m_entries = json::array();
  std::vector<std::string> m_keys;
  std::vector<bool> m_guarded;
  CsvRecord m_header;
  std::size_t m_next = 0;
  std::vector<CVdPatternCatalog::Alias> m_aliases;
};

// Whether the file's first character that is not a blank opens a JSON object. Only a regular file is looked
// into: a pipe read here would lose what it gave to the CSV reader, so a pipe is CSV.
bool LooksLikeJson(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return false;
  std::ifstream in(path, std::ios::binary);
  char c = 0;
  while (in.get(c))
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return c == '{';
  return false;
}

// What the rows of an import wrote, read and refused.
struct ImportCounts {
  std::size_t rows = 0, failed = 0;
  HashSet names;  // the folded names' hashes: the distinct patterns the rows wrote
};

constexpr const char* kConnectionLost = "the connection to the server was lost; nothing was imported";

// An import whose transaction was undone under it says why: the server's connection was lost, a write the server
// refused after it was sent ahead (its history) ended the transaction, or a file's engine undid it after a full
// disk or an I/O error; the report it gave names the last two.
std::string LostImport(bool onServer, const Reports& reports) {
  const std::string reason = Clause(reports.Held().empty() ? reports.Last() : reports.Held());
  if (onServer && (reason.empty() || reason.find("connection to the database") != std::string::npos))
    return kConnectionLost;
  return "the catalog undid the import after a failed write" + (reason.empty() ? std::string() : ": " + reason) +
         "; nothing was imported";
}

// Rows written a call: the statements of a batch are few whatever its size, so a large one makes a server
// import a few round trips per thousand rows; a batch that the catalog refuses is written again row by row.
constexpr std::size_t kBatchRows = 5000;

// The rows read but not yet written: patterns reused from batch to batch, with their lines and name hashes.
class ImportBatch {
 public:
  explicit ImportBatch(const std::string& family) : m_family(Wide(family)) {}
  // The pattern the next row fills; kept only when Add follows.
  CVdPattern& Next() {
    if (m_size == m_patterns.size()) m_patterns.push_back(std::make_unique<CVdPattern>(1, nullptr, m_family));
    return *m_patterns[m_size];
  }
  void Add(std::size_t line, std::uint64_t hash) {
    ++m_size;
    m_lines.push_back(line);
    m_hashes.push_back(hash);
  }
  std::size_t Size() const { return m_size; }
  bool Full() const { return m_size >= kBatchRows; }
  CVdPattern* Pattern(std::size_t i) { return m_patterns[i].get(); }
  std::size_t Line(std::size_t i) const { return m_lines[i]; }
  std::uint64_t Hash(std::size_t i) const { return m_hashes[i]; }
  std::vector<CVdPattern*> Patterns() {
    std::vector<CVdPattern*> out;
    for (std::size_t i = 0; i < m_size; ++i) out.push_back(m_patterns[i].get());
    return out;
  }
  void Clear() {
    m_size = 0;
    m_lines.clear();
    m_hashes.clear();
  }

 private:
  CString m_family;
  std::vector<std::unique_ptr<CVdPattern>> m_patterns;
  std::size_t m_size = 0;
  std::vector<std::size_t> m_lines;
  std::vector<std::uint64_t> m_hashes;
};

// Writes every row after the header into the family, inside the caller's write group: kOk when the rows are
// to be kept (some may have been refused under --keep-going), otherwise the status that ends the import.
class RowWriter {
 public:
  RowWriter(const ImportHeader& header, CVdPatternCatalog& catalog, Reports& reports, const std::string& family,
            bool keepGoing, bool onServer, ImportCounts& counts)
      : m_header(header),
        m_catalog(catalog),
        m_reports(reports),
        m_batch(family),
        m_keepGoing(keepGoing),
        m_onServer(onServer),
        m_counts(counts),
        // Into a family that held no row when the write began, a name the file has not given before is new: its
        // row is appended without a search for an existing one (the write holds the lock, so nobody adds one).
        m_startedEmpty(catalog.CountPatterns(Wide(family), 1) == 0) {}

  template <class Reader>
  int Run(Reader& reader) {
    Progress progress("import", reader.Size());
    CsvRecord record;
    std::string error;
    while (reader.Next(record, error)) {
      if (g_interrupted) break;
      CVdPattern& pattern = m_batch.Next();
      if (!m_header.Fill(pattern, record, error)) {
        if (const int status = Refused(std::string()); status != kOk) return status;
        continue;
      }
      const std::uint64_t hash = std::hash<std::wstring>()(Folded(pattern.GetUserNameW().str()));
      // A name given again overwrites the row before: the batch then looks its names up.
      if (m_counts.names.Contains(hash) || m_pending.Contains(hash)) m_append = false;
      m_pending.Insert(hash);
      m_batch.Add(record.line, hash);
      if (m_batch.Full())
        if (const int status = Flush(); status != kOk) return status;
      progress.Step(reader.BytesRead());
    }
    if (!error.empty()) {
      Error(Clause(error) + "; nothing was imported");
      return kError;
    }
    if (g_interrupted) {
      progress.Done();
      Error("interrupted: nothing was imported");
      return kInterrupted;
    }
    if (const int status = Flush(); status != kOk) return status;
    progress.Done();
    return kOk;
  }

 private:
  // Writes the batch in one call; when the catalog refuses it, row by row, to name the row refused.
  int Flush() {
    if (m_batch.Size() == 0) return kOk;
    m_reports.Hold();  // a refusal is said by the row that caused it, found below
    const bool written = m_catalog.InsertPatterns(m_batch.Patterns(), m_startedEmpty && m_append);
    m_reports.Release();
    if (m_catalog.IsWriteGroupLost()) {
      Error(LostImport(m_onServer, m_reports));
      return kError;
    }
    int status = kOk;
    if (written) {
      for (std::size_t i = 0; i < m_batch.Size(); ++i) m_counts.names.Insert(m_batch.Hash(i));
      m_counts.rows += m_batch.Size();
    } else {
      status = WriteRowByRow();
    }
    m_batch.Clear();
    m_pending = HashSet();
    m_append = true;
    return status;
  }

  int WriteRowByRow() {
    for (std::size_t i = 0; i < m_batch.Size(); ++i) {
      const std::uint64_t hash = m_batch.Hash(i);
      m_reports.ClearLast();
      if (m_catalog.InsertPattern(m_batch.Pattern(i), m_startedEmpty && !m_counts.names.Contains(hash))) {
        ++m_counts.rows;
        m_counts.names.Insert(hash);
        continue;
      }
      // The server undid every row with the transaction; the rows after would be refused one by one.
      if (m_catalog.IsWriteGroupLost()) {
        Error(LostImport(m_onServer, m_reports));
        return kError;
      }
      Error(m_header.Where(m_batch.Line(i)) + "the catalog refused the row");
      if (const int status = Refused(m_reports.Last()); status != kOk) return status;
    }
    return kOk;
  }

  // Counts a refused row (its reason said already): kOk to go on under --keep-going, or the status to end with.
  int Refused(const std::string& refusal) {
    ++m_counts.failed;
    if (!m_keepGoing) {
      Error("nothing was imported (use --keep-going to import the rows that fit)");
      return kError;
    }
    // A reason that is the database's, not the row's (no right to write, a server gone), would come again for
    // every row: given twice in a row before any row was kept, it ends the import.
    if (m_counts.rows == 0 && !refusal.empty() && refusal == m_previousRefusal) {
      Error("the catalog refuses every row for the same reason; nothing was imported");
      return kError;
    }
    m_previousRefusal = refusal;
    return kOk;
  }

  const ImportHeader& m_header;
  CVdPatternCatalog& m_catalog;
  Reports& m_reports;
  ImportBatch m_batch;
  bool m_keepGoing;
  bool m_onServer;
  ImportCounts& m_counts;
  bool m_startedEmpty;
  bool m_append = true;  // no name of the batch was given before
  HashSet m_pending;     // the batch's names
  std::string m_previousRefusal;
};

// The catalog's write group for the import, undone unless Keep is reached.
class ImportGroup {
 public:
  explicit ImportGroup(CVdPatternCatalog& catalog) : m_catalog(catalog) { m_open = catalog.BeginWriteGroup(); }
  ~ImportGroup() {
    if (m_open) m_catalog.EndWriteGroup(false);
  }
  bool IsOpen() const { return m_open; }
  // Throws CDBException* when the COMMIT fails; nothing is kept then.
  void Keep() {
    m_open = false;
    m_catalog.EndWriteGroup(true);
  }
  ImportGroup(const ImportGroup&) = delete;
  ImportGroup& operator=(const ImportGroup&) = delete;

 private:
  CVdPatternCatalog& m_catalog;
  bool m_open = false;
};

}  // namespace

int Import(const std::string& file, const std::string& family, const std::string& csvPath, bool keepGoing) {
  return Import(file, family, csvPath, ImportOptions{keepGoing, ',', false});
}

int Import(const std::string& file, const std::string& family, const std::string& csvPath,
           const ImportOptions& options) {
  const bool keepGoing = options.keepGoing;
  CsvReader reader;
  CsvRecord headerRecord;
  std::string error;
  // An export in JSON carries the family's rows and aliases; the rows go through the checks of a CSV file.
  const bool fromJson = LooksLikeJson(csvPath);
  JsonRecords records;
  if (fromJson) {
    if (!records.Open(csvPath, family, error)) {
      Error(error + "; nothing was imported");
      return kError;
    }
    headerRecord = records.Header();
  } else if (!reader.Open(csvPath, error, options.delimiter) || !reader.Next(headerRecord, error)) {
    Error(error.empty() ? csvPath + " is empty: it needs a header row of column names" : error);
    return kError;
  }
  Session session;
  CVdPatternCatalog* catalog = session.Open(file);
  if (!catalog) return kError;
  if (!HasFamily(*catalog, family)) return kNotFound;
  // The header points into it. Read as the catalog's opening described the family: no statement of its own.
  const std::vector<Column> columns =
      std::move(FamiliesColumns(session, catalog, {Wide(family).str()})[Wide(family).str()]);
  if (session.Failed()) return kError;
  ImportHeader header;
  header.units = ColumnUnits(*catalog, Wide(family).str(), columns);
  header.decimalComma = options.decimalComma;
  if (!header.Match(headerRecord, columns, family, csvPath)) return kError;
  if (fromJson) {
    records.Guard(header);
    header.unit = " entry ";
  }

  if (!catalog->CanWrite()) {
    // Every row would fail the same way.
    Error(file + " is read-only; nothing was imported");
    return kError;
  }
  catalog->SetHasUnits(false);  // rows hold values as the catalog stores them
  InterruptGuard interrupt;
  ImportGroup group(*catalog);
  if (!group.IsOpen()) return kError;
  catalog->BeginHistoryBatch();  // the import is one change set, written in parts as the rows go
  ImportCounts counts;
  const bool onServer = OnServer(file);
  try {
    RowWriter writer(header, *catalog, session.Reported(), family, keepGoing, onServer, counts);
    if (const int status = fromJson ? writer.Run(records) : writer.Run(reader); status != kOk) return status;
  } catch (CDBException* e) {
    if (!catalog->IsWriteGroupLost()) throw;
    e->Delete();
    Error(LostImport(onServer, session.Reported()));
    return kError;
  }
  std::size_t aliasesAdded = 0;
  if (!records.Aliases().empty()) {
    // Inside the import's write: an alias refused undoes the rows too. One already there, for the same row,
    // stays as it is, so that a file imported again is not refused.
    std::vector<CVdPatternCatalog::Alias> present, fresh;
    if (!catalog->GetAliases(present)) return kError;
    for (const auto& a : records.Aliases()) {
      const bool kept = std::any_of(present.begin(), present.end(), [&](const auto& p) {
        return VdNormalName(p.alias) == VdNormalName(a.alias) && VdCompareNoCase(p.family, a.family) == 0 &&
               VdCompareNoCase(p.name, a.name) == 0;
      });
      if (!kept) fresh.push_back(a);
    }
    CString why;
    if (!fresh.empty() && !catalog->AddAliases(fresh, why)) {
      Error(catalog->IsWriteGroupLost() ? LostImport(onServer, session.Reported())
                                        : csvPath + ": " + Clause(Utf8(why)) + "; nothing was imported");
      return kError;
    }
    aliasesAdded = fresh.size();
  }
  if (!catalog->EndHistoryBatch(true)) {
    Error(catalog->IsWriteGroupLost() ? LostImport(onServer, session.Reported())
                                      : "nothing was imported: its history could not be written");
    return kError;
  }
  try {
    group.Keep();
  } catch (CDBException* e) {
    CString reason = e->m_strError;
    e->Delete();
    reason.TrimRight();
    Error("nothing was imported: " + Utf8(reason));
    return kError;
  }
  const std::size_t patterns = counts.names.Size();
  std::printf("imported %s into %s", Counted(static_cast<long long>(counts.rows), "row").c_str(),
              Visible(family).c_str());
  if (patterns != counts.rows)
    std::printf(" (%s: a name given again overwrote the row before)",
                Counted(static_cast<long long>(patterns), "pattern").c_str());
  if (aliasesAdded)
    std::printf(", %s added", Counted(static_cast<long long>(aliasesAdded), "alias", "aliases").c_str());
  if (counts.failed) std::printf(", %s refused", Counted(static_cast<long long>(counts.failed), "row").c_str());
  std::printf("\n");
  return counts.failed ? kNotFound : kOk;
}

}  // namespace vdcatalog
