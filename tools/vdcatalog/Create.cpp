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

// ---------------------------------------------------------------- create, add-family

int Create(const std::string& file, const std::string& type, const std::string& editor, int version) {
  const bool onServer = IsAddress(file);
  if (onServer) {
    if (ServerCatalogExists(file)) {
      Error(file + " already exists; a catalog is never created over another");
      return kNotFound;
    }
  } else {
    // The file is made here once, so that a folder that is missing or not writable is reported with its reason.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      ::unlink(file.c_str());
    } else if (errno != EEXIST) {
      Error("cannot create " + file + ": " + std::strerror(errno));
      return kError;
    }
    struct stat st {};
    if (stat(file.c_str(), &st) == 0) {
      const std::string kind = SpecialKind(file);
      Error(file + " already exists" + (kind.empty() ? "" : " as " + kind) +
            "; a catalog is never created over an existing file" +
            (OnServer(file) ? " (it is a catalog link: create the catalog at the address it holds)" : ""));
      return kNotFound;
    }
  }
  CString error;
  if (!CVdCatalogSchema::CreateCatalog(Wide(file), Wide(type), Wide(editor), version, error)) {
    Error(Utf8(error));
    return kError;
  }
  std::printf("created %s (type %s, version %d)\n", Visible(Masked(file)).c_str(), Visible(type).c_str(), version);
  return kOk;
}

int AddFamily(const std::string& file, const std::string& family, const std::string& code,
              const std::vector<std::string>& columnTexts) {
  std::vector<CVdCatalogSchema::Column> columns;
  for (const std::string& text : columnTexts) {
    const std::size_t first = text.find(':');
    if (first == std::string::npos || first == 0) {
      Error("column \"" + text + "\" must be written NAME:TYPE or NAME:TYPE:UNIT");
      return kError;
    }
    const std::size_t second = text.find(':', first + 1);
    CVdCatalogSchema::Column c;
    c.name = Wide(text.substr(0, first));
    c.type = Wide(text.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1));
    if (second != std::string::npos) c.unit = Wide(text.substr(second + 1));
    if (!c.unit.IsEmpty()) {
      CVdUnit unit;
      CString lower = c.unit;
      if (CVdUnitManager::UnitFromString(lower.MakeLower(), unit, 1.0) != 0) {
        Error("unknown unit \"" + Utf8(c.unit) + "\" for column " + Utf8(c.name));
        return kError;
      }
    }
    columns.push_back(c);
  }
  Session session;
  CVdPatternCatalog* catalog = session.Open(file);
  if (!catalog) return kError;
  if (catalog->FindFamily(Wide(family))) {
    Error("the catalog already has a family \"" + family + "\"");
    return kNotFound;
  }
  CString error;
  if (!CVdCatalogSchema::AddFamily(catalog->GetPath(), Wide(family), Wide(code), columns, error)) {
    Error(Utf8(error));
    return kError;
  }
  std::string names = "Name";
  for (const CVdCatalogSchema::Column& c : columns) names += ", " + Utf8(c.name);
  std::printf("added family %s (code %s) with %zu columns: %s\n", Visible(family).c_str(), Visible(code).c_str(),
              columns.size() + 1, Visible(names).c_str());
  return kOk;
}

}  // namespace vdcatalog
