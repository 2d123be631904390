#include "Tool.h"

#include <algorithm>
#include <cstdio>
#include <list>
#include <nlohmann/json.hpp>
#include <vdpattern/vdpattern.h>

#include "Output.h"

namespace vdcatalog {

// ---------------------------------------------------------------- names as engineers write them

bool ResolveName(const std::vector<CVdPatternCatalog*>& catalogs, const std::string& name, const std::string& family,
                 Resolved& resolved) {
  resolved = Resolved();
  const CString wideName = Wide(name), wideFamily = Wide(family);
  const wchar_t* familyOrNull = family.empty() ? nullptr : wideFamily.GetString();
  std::vector<std::pair<CVdPatternCatalog*, CVdPatternCatalog::NameMatch>> matches;
  for (CVdPatternCatalog* catalog : catalogs) {
    std::vector<CVdPatternCatalog::NameMatch> found;
    if (!catalog->FindNames(wideName, familyOrNull, found)) return false;
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
