// vdcatalog serve: the page's writes (set, add and remove), each one library write.

#include "Serve.h"

namespace vdcatalog {
namespace serve {

// set, add and remove: each one library write, checked as the set command checks its values.
void Server::Write(const httplib::Request& q, httplib::Response& r) {
  const json body = json::parse(q.body, nullptr, false);
  if (!body.is_object() || !body.contains("catalog") || !body["catalog"].is_number_unsigned() ||
      !body.value("family", json()).is_string() || !body.value("name", json()).is_string()) {
    Reply(r, 400, {{"error", "a write is a JSON object with catalog (a number), family and name"}});
    return;
  }
  const std::size_t index = body["catalog"].get<std::size_t>();
  if (index >= m_catalogs.size()) {
    Reply(r, 400, {{"error", "no catalog " + std::to_string(index)}});
    return;
  }
  CVdPatternCatalog* catalog = m_catalogs[index];
  if (!Writable(catalog, r)) return;
  const std::string family = FamilyOf(catalog, body["family"].get<std::string>(), r);
  if (family.empty()) return;
  const std::string name = body["name"].get<std::string>();
  if (name.empty() || name.find('\0') != std::string::npos) {
    Reply(r, 400, {{"error", "a pattern needs a name without NUL bytes"}});
    return;
  }
  if (q.path == "/api/remove") {
    if (!catalog->RemovePattern(Wide(name), Wide(family))) {
      Reply(r, m_session.Failed() ? 500 : 404, {{"error", Why("\"" + name + "\" not found in " + family)}});
      return;
    }
    m_listings.clear();
    Reply(r, 200, {{"removed", name}});
    return;
  }
  const std::vector<Column> columns = FamilyColumns(m_session, catalog, family);
  const json values = body.value("values", json::object());
  if (!values.is_object()) {
    Reply(r, 400, {{"error", "values is an object of column names and values"}});
    return;
  }
  CVdPattern pattern(1, Wide(name), Wide(family));
  for (const auto& [key, given] : values.items()) {
    const Column* column = FindColumn(columns, Wide(key).str());
    std::string error;
    if (!column || VdCompareNoCase(column->name, L"Name") == 0) {
      Reply(r, 400,
            {{"error", column ? "the Name column is the pattern's name; it cannot be set as a value"
                              : "no column \"" + Shown(key) + "\" in the family"}});
      return;
    }
    if (!given.is_string() && !given.is_number() && !given.is_boolean() && !given.is_null()) {
      Reply(r, 400, {{"error", "the value of " + key + " is not a text or a number"}});
      return;
    }
    const std::string text = given.is_string() ? given.get<std::string>() : given.is_null() ? "" : given.dump();
    if (!AssignTo(pattern, *column, Folded(column->name), text, error)) {
      Reply(r, 400, {{"error", error}});
      return;
    }
  }
  // The lookup and the write in one transaction, as the set command does; values are taken as stored.
  const bool hadUnits = catalog->GetHasUnits();
  catalog->SetHasUnits(false);
  bool done = false, existed = false;
  {
    WriteScope scope(m_session.Database(catalog));
    existed = catalog->FindPattern(Wide(name), Wide(family));
    if (!m_session.Failed() && existed == (q.path == "/api/set") && catalog->InsertPattern(&pattern, false)) {
      scope.Keep();
      done = true;
    }
  }
  catalog->SetHasUnits(hadUnits);
  if (!done) {
    if (m_session.Failed())
      Reply(r, 500, {{"error", Why("the catalog could not be written")}});
    else if (existed != (q.path == "/api/set"))
      Reply(r, existed ? 409 : 404,
            {{"error", "\"" + name + (existed ? "\" is already in " : "\" is not in ") + family}});
    else
      Reply(r, 409, {{"error", Why("the catalog refused the pattern (does family " + family + " have a code?)")}});
    return;
  }
  m_listings.clear();
  Reply(r, 200, {{existed ? "updated" : "added", name}});
}

}  // namespace serve
}  // namespace vdcatalog
