#include "Tool.h"

#include <algorithm>
#include <cstdio>
#include <list>
#include <map>
#include <nlohmann/json.hpp>
#include <vdpattern/vdpattern.h>

#include "CsvFile.h"
#include "Output.h"

namespace vdcatalog {

// ---------------------------------------------------------------- names as engineers write them

bool ResolveName(const std::vector<CVdPatternCatalog*>& catalogs, const std::string& name, const std::string& family,
                 Resolved& resolved, NearNames* near) {
  resolved = Resolved();
  const CString wideName = Wide(name), wideFamily = Wide(family);
  const wchar_t* familyOrNull = family.empty() ? nullptr : wideFamily.GetString();
  std::vector<std::pair<CVdPatternCatalog*, CVdPatternCatalog::NameMatch>> matches;
  for (CVdPatternCatalog* catalog : catalogs) {
    std::vector<CVdPatternCatalog::NameMatch> found;
    if (near) {
      // A refused statement still answers the spellings, and the suggestions are then read without it; a
      // database failure was reported, which the caller's session tells.
      std::vector<CVdPatternCatalog::NearName> names;
      if (catalog->GetNearNames(wideName, familyOrNull, kNearNames, names, &found)) (*near)[catalog] = std::move(names);
    } else if (!catalog->FindNames(wideName, familyOrNull, found)) {
      return false;
    }
    std::list<std::wstring> families;  // the family as the catalog spells it, not as a writer gave it
    if (!found.empty()) catalog->GetFamilies(families);
    for (auto& m : found) {
      for (const std::wstring& f : families)
        if (VdCompareNoCase(f, m.family) == 0) m.family = f;
      matches.emplace_back(catalog, std::move(m));
    }
  }
  if (matches.size() == 1) {
    resolved.catalog = matches[0].first;
    resolved.name = VdToUtf8(matches[0].second.name);
    resolved.family = VdToUtf8(matches[0].second.family);
    resolved.viaAlias = !matches[0].second.alias.empty();
    resolved.alias = resolved.viaAlias ? VdToUtf8(matches[0].second.alias) : name;
    return true;
  }
  if (matches.size() > 1) {
    // Never one of them picked: the user says which.
    std::string list;
    for (std::size_t i = 0; i < matches.size(); ++i) {
      // Named, not bound: a lambda may not capture a structured binding before C++20.
      CVdPatternCatalog* const catalog = matches[i].first;
      const auto& m = matches[i].second;
      list += (i == 0 ? "" : i + 1 == matches.size() ? " and " : ", ") + Visible(VdToUtf8(m.name));
      const bool twice = std::count_if(matches.begin(), matches.end(),
                                       [&](const auto& o) { return VdCompareNoCase(o.second.name, m.name) == 0; }) > 1;
      if (twice)
        list +=
            " (" + Visible(VdToUtf8(m.family)) + (catalogs.size() > 1 ? " in " + Utf8(catalog->GetName()) : "") + ")";
    }
    resolved.ambiguous = "\"" + Visible(name) + "\" matches " + list;
  }
  return true;
}

std::string Resolved::Note() const {
  if (name.empty()) return std::string();
  return std::string(viaAlias ? " (alias " : " (spelt ") + Visible(alias) + ")";
}

namespace {

int AddAlias(Session& session, CVdPatternCatalog& catalog, const std::vector<std::string>& args,
             const std::string& family) {
  if (args.size() != 2) {
    Error("alias add takes ALIAS NAME: vdcatalog alias FILE add \"HE 300 B\" \"HEB 300\" [--family F]");
    return kError;
  }
  CString error;
  const CString wideFamily = Wide(family);
  if (!catalog.AddAlias(Wide(args[0]), Wide(args[1]), family.empty() ? nullptr : wideFamily.GetString(), error)) {
    Error(Utf8(error));
    return session.Failed() ? kError : kNotFound;
  }
  std::printf("added alias %s for %s\n", Visible(args[0]).c_str(), Visible(args[1]).c_str());
  return session.Finish(kOk);
}

int RemoveAlias(Session& session, CVdPatternCatalog& catalog, const std::vector<std::string>& args) {
  if (args.size() != 1) {
    Error("alias rm takes ALIAS: vdcatalog alias FILE rm \"HE 300 B\"");
    return kError;
  }
  CString error;
  if (!catalog.RemoveAlias(Wide(args[0]), error)) {
    Error(Utf8(error));
    return session.Failed() ? kError : kNotFound;
  }
  std::printf("removed alias %s\n", Visible(args[0]).c_str());
  return session.Finish(kOk);
}

// The aliases of a CSV file (a header naming the columns alias, name and, when it has one, family), added in one
// write. Every line is checked before anything is written, so that one run names every line refused.
int ImportAliases(Session& session, CVdPatternCatalog& catalog, const std::vector<std::string>& args) {
  if (args.size() != 1) {
    Error("alias import takes the CSV file: vdcatalog alias FILE import aliases.csv (columns alias,name[,family])");
    return kError;
  }
  const std::string& path = args[0];
  CsvReader reader;
  CsvRecord header;
  std::string error;
  if (!reader.Open(path, error) || !reader.Next(header, error)) {
    Error(error.empty() ? path + " is empty: it needs a header line alias,name[,family]" : error);
    return kError;
  }
  std::map<std::wstring, std::size_t> at;  // folded column name -> field
  for (std::size_t i = 0; i < header.fields.size(); ++i) {
    const std::wstring column = Folded(Wide(header.fields[i]).str());
    if (column != L"alias" && column != L"name" && column != L"family") {
      Error(path + ": the header has a column " + Visible(header.fields[i]) + "; it takes alias, name and family");
      return kError;
    }
    if (!at.emplace(column, i).second) {
      Error(path + ": the header names " + Visible(header.fields[i]) + " twice");
      return kError;
    }
  }
  if (!at.count(L"alias") || !at.count(L"name")) {
    Error(path + ": the header needs the columns alias and name");
    return kError;
  }
  const bool spellings = catalog.GetMatchSpellings();
  catalog.SetMatchSpellings(false);  // a name is a row's own name here
  std::vector<CVdPatternCatalog::Alias> fresh;
  std::map<std::wstring, std::size_t> given;  // normal form -> the line that gave it
  std::size_t refused = 0, present = 0;
  CsvRecord record;
  while (reader.Next(record, error)) {
    const auto refuse = [&](const std::string& why) {
      Error(path + " line " + std::to_string(record.line) + ": " + why);
      ++refused;
    };
    if (record.fields.size() != header.fields.size()) {
      refuse("expected " + std::to_string(header.fields.size()) + " fields, found " +
             std::to_string(record.fields.size()));
      continue;
    }
    const CVdPatternCatalog::Alias a{Wide(record.fields[at[L"alias"]]).str(),
                                     at.count(L"family") ? Wide(record.fields[at[L"family"]]).str() : L"",
                                     Wide(record.fields[at[L"name"]]).str()};
    const std::string shown = "\"" + Visible(VdToUtf8(a.alias)) + "\"";
    const std::wstring normal = VdNormalName(a.alias);
    if (normal.empty() || a.name.empty()) {
      refuse(normal.empty() ? "the alias is empty" : "the name is empty");
      continue;
    }
    if (const auto before = given.find(normal); before != given.end()) {
      refuse(shown + " is given already on line " + std::to_string(before->second));
      continue;
    }
    given.emplace(normal, record.line);
    const wchar_t* family = a.family.empty() ? nullptr : a.family.c_str();
    if (catalog.FindPattern(a.alias.c_str(), nullptr)) {
      refuse(shown + " is the name of a pattern, so it cannot be an alias");
      continue;
    }
    if (!catalog.FindPattern(a.name.c_str(), family)) {
      refuse(shown + " points at nothing: " + Visible(VdToUtf8(a.name)) + " is not a pattern" +
             (family ? " of family " + Visible(VdToUtf8(a.family)) : std::string(" of this catalog")));
      continue;
    }
    std::vector<CVdPatternCatalog::NameMatch> taken;
    if (!catalog.FindNames(a.alias.c_str(), nullptr, taken)) break;
    if (!taken.empty()) {
      const auto& t = taken[0];
      // The same alias for the same row, from an earlier run: kept as it is.
      if (taken.size() == 1 && !t.alias.empty() && VdCompareNoCase(t.name, a.name) == 0 &&
          (!family || VdCompareNoCase(t.family, a.family) == 0)) {
        ++present;
        continue;
      }
      refuse(shown + " is already " + (t.alias.empty() ? "a spelling" : "an alias") + " of " +
             Visible(VdToUtf8(t.name)));
      continue;
    }
    fresh.push_back(a);
  }
  catalog.SetMatchSpellings(spellings);
  if (!error.empty() || session.Failed()) {
    Error((error.empty() ? std::string("the catalog could not be read") : Clause(error)) + "; nothing was imported");
    return kError;
  }
  if (refused) {
    Error(path + ": " + Counted(static_cast<long long>(refused), "line") + " refused; nothing was imported");
    return kError;
  }
  CString why;
  if (!fresh.empty() && !catalog.AddAliases(fresh, why)) {
    Error(Clause(Utf8(why)) + "; nothing was imported");
    return kError;
  }
  std::printf("imported %s from %s", Counted(static_cast<long long>(fresh.size()), "alias", "aliases").c_str(),
              Visible(path).c_str());
  if (present) std::printf(" (%s there already)", Counted(static_cast<long long>(present), "alias", "aliases").c_str());
  std::printf("\n");
  return session.Finish(kOk);
}

int ListAliases(Session& session, CVdPatternCatalog& catalog, const Options& options) {
  std::vector<CVdPatternCatalog::Alias> aliases;
  if (!catalog.GetAliases(aliases)) return kError;
  if (options.json) {
    json out = json::array();
    for (const auto& a : aliases)
      out.push_back({{"alias", VdToUtf8(a.alias)}, {"family", VdToUtf8(a.family)}, {"name", VdToUtf8(a.name)}});
    std::printf("%s\n", JsonText(out).c_str());
    return session.Finish(kOk);
  }
  Table table({"Alias", "Family", "Name"});
  for (const auto& a : aliases) table.Add({VdToUtf8(a.alias), VdToUtf8(a.family), VdToUtf8(a.name)});
  table.Print();
  return session.Finish(kOk);
}

}  // namespace

int Alias(const std::string& file, const std::string& action, const std::vector<std::string>& args,
          const std::string& family, const Options& options) {
  Session session;
  CVdPatternCatalog* catalog = session.Open(file);
  if (!catalog) return kError;
  if (action == "add") return AddAlias(session, *catalog, args, family);
  if (action == "rm") return RemoveAlias(session, *catalog, args);
  if (action == "import") return ImportAliases(session, *catalog, args);
  if (!args.empty()) {
    Error("alias " + action + " takes no more arguments");
    return kError;
  }
  if (action == "list") return ListAliases(session, *catalog, options);
  CString error;
  if (!catalog->RebuildNameIndex(error)) {
    Error(Utf8(error));
    return kError;
  }
  std::printf("indexed the names of %s\n", Visible(file).c_str());
  return session.Finish(kOk);
}

}  // namespace vdcatalog
