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

// ---------------------------------------------------------------- set, rm, max

// Stores the value `text` of `column` (`folded`: its parameter name) in `pattern`; false with a message when the
// text does not fit the column's type.
bool AssignTo(CVdPattern& pattern, const Column& column, const std::wstring& folded, const std::string& text,
              std::string& error) {
  if (text.find('\0') != std::string::npos) {
    error = "the value of " + VdToUtf8(column.name) + " holds a NUL byte";
    return false;
  }
  CVdPatternValue* stored = nullptr;
  if (column.kind == Kind::kReal && !text.empty()) {
    // Numbers are most of what an import writes: one already stored is overwritten where it stands.
    double number = 0;
    if (VdParseDouble(text.c_str(), number) && pattern.GetValue(0, folded, &stored) && stored && stored->vt == VT_R8) {
      stored->dblVal = number;
      return true;
    }
  }
  std::string why;
  CVdPatternValue value;
  if (!ParseValue(column.kind, column.sqlType, text, value, why)) {
    error = "value \"" + Shown(text) + "\" does not fit column " + VdToUtf8(column.name) + " (" +
            KindName(column.kind) + "): " + why;
    return false;
  }
  // A pattern used for row after row (import) already holds the parameter: its value is replaced in place.
  if (stored || (pattern.GetValue(0, folded, &stored) && stored))
    *stored = value;
  else
    pattern.SetValue(0, folded, new CVdPatternValue(static_cast<const COleVariant&>(value)));
  return true;
}

namespace {

// The column a `key=value` or a CSV header names; null with a message when there is none, or when it is the
// Name column, which holds the pattern's name and is no value.
const Column* ValueColumn(const std::vector<Column>& columns, const std::string& key, std::string& error) {
  const Column* column = FindColumn(columns, Wide(key).str());
  if (!column) {
    error = "no column \"" + Shown(key) + "\" in the family" + ColumnHint(columns, key);
    return nullptr;
  }
  if (VdCompareNoCase(column->name, L"Name") == 0) {
    error = "the Name column is the pattern's name; it cannot be set as a value";
    return nullptr;
  }
  return column;
}

}  // namespace

int Set(const std::string& file, const std::string& family, const std::string& asked,
        const std::vector<std::string>& assignments) {
  Session session;
  CVdPatternCatalog* catalog = nullptr;
  std::vector<Column> columns;
  if (const int status = OpenFamily(session, file, family, catalog, columns); status != kOk) return status;
  catalog->SetHasUnits(false);  // values are given as the catalog stores them
  // Whether the name is there and the write are one transaction, so "added" is true when it is printed.
  WriteScope scope(session.Database(catalog));
  bool existed = catalog->FindPattern(Wide(asked), Wide(family));
  if (session.Failed()) return kError;
  // A name not held as given updates the one row of the family its alias or spelling reaches; a spelling of
  // several rows is refused rather than added as one more of them.
  std::string name = asked;
  Resolved resolved;
  if (!existed) {
    if (!ResolveName({catalog}, asked, family, resolved)) return kError;
    if (!resolved.ambiguous.empty()) {
      Error(resolved.ambiguous + "; set one of them by its name");
      return kNotFound;
    }
    if (resolved.catalog) name = resolved.name, existed = true;
  }
  // Only the columns named are written: the pattern holds those values alone, and the factory leaves the
  // columns of parameters a pattern does not have as they are.
  CVdPattern pattern(1, Wide(name), Wide(family));
  for (const std::string& assignment : assignments) {
    const std::size_t eq = assignment.find('=');
    std::string error;
    if (eq == std::string::npos || eq == 0) {
      Error("\"" + Shown(assignment) + "\" must be written key=value");
      return kError;
    }
    const Column* column = ValueColumn(columns, assignment.substr(0, eq), error);
    if (!column || !AssignTo(pattern, *column, Folded(column->name), assignment.substr(eq + 1), error)) {
      Error(error);
      return kError;
    }
  }
  if (!catalog->InsertPattern(&pattern, false)) {
    if (!session.Failed()) Error("the catalog refused the pattern (does family " + family + " have a family code?)");
    return session.Failed() ? kError : kNotFound;
  }
  scope.Keep();
  std::printf("%s %s%s in %s\n", existed ? "updated" : "added", Visible(name).c_str(), resolved.Note().c_str(),
              Visible(family).c_str());
  return session.Finish(kOk);
}

int Remove(const std::string& file, const std::string& name, const std::string& family) {
  Session session;
  CVdPatternCatalog* catalog = session.Open(file);
  if (!catalog) return kError;
  if (!family.empty() && !HasFamily(*catalog, family)) return kNotFound;
  const CString wideFamily = Wide(family);
  Resolved resolved;
  const auto remove = [&] {
    if (catalog->RemovePattern(Wide(name), family.empty() ? nullptr : wideFamily.GetString())) return true;
    // A name not held as given removes the one row its alias or spelling reaches, never one of several.
    if (session.Failed() || !ResolveName({catalog}, name, family, resolved) || !resolved.catalog) return false;
    return catalog->RemovePattern(Wide(resolved.name), Wide(resolved.family));
  };
  if (!remove()) {
    if (session.Failed()) return kError;
    Error(!resolved.ambiguous.empty()
              ? resolved.ambiguous
              : "\"" + Visible(name) + "\" not found" + (family.empty() ? "" : " in family " + Visible(family)) +
                    DidYouMean(session, {catalog}, name, family));
    return kNotFound;
  }
  std::printf("removed %s%s\n", Visible(resolved.catalog ? resolved.name : name).c_str(), resolved.Note().c_str());
  return session.Finish(kOk);
}

int Max(const std::string& file, const std::string& table, const std::string& column, const std::string& keyColumn,
        const std::string& key, const Options& options) {
  Session session;
  CVdPatternCatalog* catalog = session.Open(file);
  if (!catalog) return kError;
  // The table and columns are looked up first: the engine's word on a missing one would name its statement.
  if (!HasFamily(*catalog, table)) return kNotFound;
  const std::vector<Column> columns = FamilyColumns(session, catalog, table);
  if (session.Failed()) return kError;
  for (const std::string* name : {&column, &keyColumn})
    if (!FindColumn(columns, Wide(*name).str())) {
      Error("no column \"" + Visible(*name) + "\" in family " + Visible(table) + ColumnHint(columns, *name));
      return kNotFound;
    }
  // The names are bracketed here: the catalog places them in its statements as they are given.
  CString tableName, columnName, keyName;
  if (!Bracketed(Wide(table).str(), tableName) || !Bracketed(Wide(column).str(), columnName) ||
      !Bracketed(Wide(keyColumn).str(), keyName))
    return kError;
  CVdPatternValue value(Wide(key).GetString(), VT_BSTR);
  const auto status = catalog->GetMaxValue(tableName, columnName, keyName, value);
  if (status == CVdPatternCatalog::eFunctionFailed) {
    if (!session.Failed()) Error("more than one row of " + table + " has " + keyColumn + " = " + key);
    return kError;
  }
  const bool found = status == CVdPatternCatalog::eFunctionFound;
  if (options.json) {
    json out = {{"status", found ? "found" : "not-found"}, {"value", ToJson(&value)}};
    std::printf("%s\n", JsonText(out).c_str());
  } else {
    std::printf("%s: %s\n", found ? "found" : "not found, column maximum", Visible(Text(&value)).c_str());
  }
  return session.Finish(kOk);
}

}  // namespace vdcatalog
