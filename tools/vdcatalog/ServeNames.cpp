// vdcatalog serve: names as engineers write them. The search finds a name as show does (as given, then by its
// aliases and equivalent spellings), and a pattern's page says which name led to it and which aliases it has.

#include <algorithm>
#include <vdpattern/catalog/VdPatternNames.h>

#include "Serve.h"

namespace vdcatalog {
namespace serve {

void Server::Search(const httplib::Request& q, httplib::Response& r) {
  const std::string asked = q.get_param_value("q");
  if (asked.empty() || asked.size() > 1000) {
    Reply(r, 400, {{"error", "a search needs a name of at most 1000 bytes"}});
    return;
  }
  // The name as given in any catalog first; only when none holds it, an alias or a spelling, if one row only.
  std::string name = asked;
  Resolved resolved;
  const CString exact = CVdUnit::NormalizedPatternName(Wide(asked));
  if (std::none_of(m_catalogs.begin(), m_catalogs.end(),
                   [&](CVdPatternCatalog* c) { return c->FindPattern(exact, nullptr); })) {
    if (m_session.Failed() || !ResolveName(m_catalogs, asked, "", resolved)) {
      Reply(r, 500, {{"error", Why("the search failed")}});
      return;
    }
    if (!resolved.ambiguous.empty()) {
      Reply(r, 409, {{"error", resolved.ambiguous + "; search for one of them"}});
      return;
    }
    if (resolved.catalog) name = resolved.name;
  }
  CVdPattern::enumCheckUserName check = CVdPattern::eCheckUserNameOk;
  std::unique_ptr<CVdPattern> pattern(
      m_session.Manager().GetPattern(Wide(name), CVdPattern::ePatternTypeCatalog, &check));
  CVdPatternCatalog* source = pattern ? m_session.Manager().GetCatalog(pattern->GetCatalog()) : nullptr;
  const auto at = std::find(m_catalogs.begin(), m_catalogs.end(), source);
  if (!pattern || at == m_catalogs.end()) {
    if (m_session.Failed()) {
      Reply(r, 500, {{"error", Why("the search failed")}});
      return;
    }
    Reply(r, 404, {{"error", "\"" + asked + "\" not found" + DidYouMean(m_session, m_catalogs, asked)}});
    return;
  }
  const std::string family = FamilyOf(source, Utf8(pattern->GetFamily()), r);
  if (family.empty()) return;
  const std::vector<Column> columns = FamilyColumns(m_session, source, family);
  const std::optional<Row> row = FindRow(source, family, columns, Utf8(CVdUnit::NormalizedPatternName(Wide(name))));
  json reply{{"catalog", at - m_catalogs.begin()},
             {"family", family},
             {"name", row ? row->name : Utf8(pattern->GetUserNameW())},
             {"asked", asked},
             {"via", resolved.catalog ? json(resolved.viaAlias ? "alias" : "spelling") : json(nullptr)}};
  // The found row's page comes with the answer, so that the page draws it without asking again. Its history,
  // a read of its own, is left to /api/history: the values come first.
  if (row) {
    json page = PatternJson(source, family, columns, *row, "catalog", 0, resolved.catalog ? asked : "");
    page["history_later"] = source->HasHistory();
    reply["pattern"] = std::move(page);
  }
  Reply(r, 200, reply);
}

// The aliases of the row `name` of `family`, and how `asked` (a search's text, or empty) names it: {"via":
// "alias"|"spelling"|null, "asked": the alias as stored or the spelling as given, "aliases": [...]}. A catalog without
// aliases has none.
json Server::NamesOf(CVdPatternCatalog* catalog, const std::string& family, const std::string& name,
                     const std::string& asked) {
  std::vector<CVdPatternCatalog::Alias> all;
  json aliases = json::array();
  json via = nullptr;
  std::string shown = asked;  // an alias as the catalog spells it, a spelling as it was typed
  const std::wstring wanted = VdNormalName(Wide(asked).str());
  const bool other = !asked.empty() && VdCompareNoCase(Wide(asked).str(), Wide(name).str()) != 0;
  if (catalog->GetAliases(all)) {
    for (const CVdPatternCatalog::Alias& a : all) {
      if (VdCompareNoCase(a.family, Wide(family).str()) != 0 || VdCompareNoCase(a.name, Wide(name).str()) != 0)
        continue;
      aliases.push_back(VdToUtf8(a.alias));
      if (other && via.is_null() && VdNormalName(a.alias) == wanted) via = "alias", shown = VdToUtf8(a.alias);
    }
  }
  if (other && via.is_null() && wanted == VdNormalName(Wide(name).str())) via = "spelling";
  return {{"aliases", aliases}, {"via", via}, {"asked", via.is_null() ? json(nullptr) : json(shown)}};
}

}  // namespace serve
}  // namespace vdcatalog
