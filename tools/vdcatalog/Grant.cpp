// vdcatalog grant: prints the statements a database's administrator runs to give a team its roles on a server
// catalog, as the README's "Owner, writers and readers" describes them. It only prints: grants are the
// administrator's to run, with rights the tool's own role should not need, and printing needs no server.
//
// Every role and the schema are written as quoted names, so a name with a quote, a space or capitals is one
// name and never SQL. No name appears in a comment, where a line break in it would end the comment. Writers
// get no CREATE on the schema and are taken out of the owner's role: whoever may create there may plant an
// object that runs in another role's session.

#include <cstdio>
#include <set>
#include <string>
#include <vector>
#include <vdpattern/vdpattern.h>

#include "Commands.h"
#include "Output.h"
#include "Tool.h"

namespace vdcatalog {

namespace {

// The longest name the server keeps whole: it cuts longer ones to 63 bytes.
constexpr std::size_t kMaxNameBytes = 63;

std::string QuotedName(const std::string& name) {
  std::string out = "\"";
  for (const char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

// Why `name` cannot be a role or schema the server keeps as written; empty when it can.
std::string BadName(const std::string& name) {
  if (name.empty()) return "is empty";
  if (name.size() > kMaxNameBytes) return "is longer than the 63 bytes a server keeps of a name";
  return std::string();
}

std::string Joined(const std::vector<std::string>& roles) {
  std::string out;
  for (const std::string& role : roles) out += (out.empty() ? "" : ", ") + QuotedName(role);
  return out;
}

}  // namespace

std::string GrantStatements(const std::string& schema, const std::string& owner,
                            const std::vector<std::string>& writers, const std::vector<std::string>& readers) {
  const std::string s = QuotedName(schema), o = QuotedName(owner);
  const std::string defaults = "ALTER DEFAULT PRIVILEGES FOR ROLE " + o + " IN SCHEMA " + s;
  std::string sql =
      "-- Run as the database's administrator, e.g. psql -v ON_ERROR_STOP=1 -f this-file. The owner makes the\n"
      "-- catalog (vdcatalog create or convert to an address with the owner's role), so that its tables and its\n"
      "-- collation are the owner's and the owner alone adds families.\n"
      "BEGIN;\n"
      "REVOKE ALL ON SCHEMA " +
      s + " FROM PUBLIC;\n";
  if (!readers.empty()) {
    const std::string r = Joined(readers);
    sql += "-- readers: use the schema and read its tables, today's and those the owner adds later\n";
    sql += "GRANT USAGE ON SCHEMA " + s + " TO " + r + ";\n";
    sql += "GRANT SELECT ON ALL TABLES IN SCHEMA " + s + " TO " + r + ";\n";
    sql += defaults + " GRANT SELECT ON TABLES TO " + r + ";\n";
  }
  if (!writers.empty()) {
    const std::string w = Joined(writers);
    sql += "-- writers: change rows, never CREATE in the schema\n";
    sql += "GRANT USAGE ON SCHEMA " + s + " TO " + w + ";\n";
    sql += "GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA " + s + " TO " + w + ";\n";
    sql += "GRANT USAGE ON ALL SEQUENCES IN SCHEMA " + s + " TO " + w + ";\n";
    sql += defaults + " GRANT SELECT, INSERT, UPDATE, DELETE ON TABLES TO " + w + ";\n";
    sql += defaults + " GRANT USAGE ON SEQUENCES TO " + w + ";\n";
  }
  std::vector<std::string> team = writers;
  team.insert(team.end(), readers.begin(), readers.end());
  if (!team.empty()) {
    const std::string t = Joined(team);
    sql += "-- whoever may create in the schema may plant objects: neither CREATE nor the owner's role for the team\n";
    sql += "REVOKE CREATE ON SCHEMA " + s + " FROM " + t + ";\n";
    sql += "REVOKE " + o + " FROM " + t + ";\n";
  }
  sql += "COMMIT;\n";
  if (!writers.empty()) {
    // On its own after the commit: a catalog made before histories were kept has none, and this then fails
    // alone (the owner's AddHistory makes it, and this is run again).
    sql += "-- the history: writers add to it through their writes, never rewrite or remove it\n";
    sql +=
        "REVOKE UPDATE, DELETE, TRUNCATE ON " + s + "." + QuotedName("vd_history") + " FROM " + Joined(writers) + ";\n";
  }
  return sql;
}

int Grant(const std::string& address, const std::string& owner, const std::vector<std::string>& writers,
          const std::vector<std::string>& readers) {
  if (!IsAddress(address)) {
    Error(
        "grants do not apply to a catalog file: a file's rights are its file permissions; give the address of a "
        "server catalog, postgresql://[user@]host[:port]/database?catalog=NAME");
    return kError;
  }
  CString schema;
  try {
    schema = VdServerCatalogName(Wide(address));
  } catch (CDBException* e) {
    CString reason = e->m_strError;
    e->Delete();
    Error(Utf8(reason.TrimRight()));
    return kError;
  }
  if (schema.IsEmpty()) {
    Error("the address names no catalog: add ?catalog=NAME (or catalog=NAME), the schema the grants are for");
    return kError;
  }
  const std::string schemaName = Utf8(schema);
  if (const std::string why = BadName(schemaName); !why.empty()) {
    Error("the catalog's name " + why);
    return kError;
  }
  // One kind for each role: a role named twice would get the wider rights of one and lose them to the other's
  // REVOKE, and an owner among its writers would be taken out of its own role.
  std::set<std::string> named;
  const auto check = [&](const std::string& role, const char* kind) {
    if (const std::string why = BadName(role); !why.empty()) {
      Error(std::string("the ") + kind + " role \"" + Shown(role) + "\" " + why);
      return false;
    }
    if (!named.insert(role).second) {
      Error("the role \"" + Shown(role) + "\" is named more than once: each role is the owner, a writer or a reader");
      return false;
    }
    return true;
  };
  if (!check(owner, "owner")) return kError;
  for (const std::string& role : writers)
    if (!check(role, "writer")) return kError;
  for (const std::string& role : readers)
    if (!check(role, "reader")) return kError;
  std::fputs(GrantStatements(schemaName, owner, writers, readers).c_str(), stdout);
  return kOk;
}

}  // namespace vdcatalog
