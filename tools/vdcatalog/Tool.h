#pragma once
// What the command files of vdcatalog share: the session that opens catalogs, columns and their values, family
// reads, and the state of the library's reports during a command. Internal to the tool; Commands.h is its
// command interface.

#include <list>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>
#include <vdpattern/vdpattern.h>

#include "Commands.h"
#include "Output.h"

namespace vdcatalog {

using nlohmann::json;

// Set when the library reports a database failure during the command (Session.cpp).
extern bool g_databaseFailed;
// Seconds any one statement of the tool may run.
extern unsigned long g_timeLimit;
// The library's last report, held or not.
extern std::string g_lastReport;

CString Wide(const std::string& utf8);
std::wstring Folded(std::wstring text);

// ---------------------------------------------------------------- columns and values (Values.cpp)

enum class Kind { kInteger, kReal, kText, kBool, kDate, kBinary };

struct Column {
  std::wstring name;
  short sqlType = 0;
  Kind kind = Kind::kText;
};

Kind KindOf(short sqlType);
const char* KindName(Kind kind);
bool ParseValue(Kind kind, short sqlType, const std::string& text, CVdPatternValue& out, std::string& why);
std::string JsonText(const json& value);
json ToJson(const VARIANT* v, Kind kind = Kind::kText);

// ---------------------------------------------------------------- opening catalogs (Session.cpp)

bool IsAddress(const std::string& target);
bool OnServer(const std::string& target);
std::string SpecialKind(const std::string& path);
bool IsCatalogFile(const std::string& target);
std::string UnreadableWhy(const std::string& path);
std::string Located(const std::string& target);
bool IsNewPath(const std::string& path);
bool ServerCatalogExists(const std::string& address);

// A factory whose unit manager holds the host's metrics factor.
class ToolFactory : public CVdPatternFactory {
 public:
  explicit ToolFactory(CVdUnitManager* units) { m_pUnitManager = units; }
};

// The catalogs given on the command line, opened on connections of our own so that their columns can be listed
// and a write can span several calls in one transaction. Only `show` attaches them to a manager, which needs
// their names to differ; the other commands may open two catalogs of the same name from different folders.
class Session {
 public:
  explicit Session(double metricsFactor = 1.0) : m_units(metricsFactor) {
    m_factory = new ToolFactory(&m_units);
    m_manager = std::make_unique<CVdPatternManager>(m_factory);  // the manager owns the factory
  }

  // The catalog at `file`, attached to the manager when `attach` says so; null (the reason already printed)
  // when it cannot be opened.
  CVdPatternCatalog* Open(const std::string& file, bool attach = false);

  CVdDatabase* Database(CVdPatternCatalog* catalog) { return m_databases[catalog]; }
  CVdPatternManager& Manager() { return *m_manager; }
  ToolFactory& Factory() { return *m_factory; }

 private:
  CVdUnitManager m_units;
  ToolFactory* m_factory;  // owned by the manager
  std::unique_ptr<CVdPatternManager> m_manager;
  std::vector<std::unique_ptr<CVdPatternCatalog>> m_catalogs;  // not attached; released before the manager
  std::map<CVdPatternCatalog*, CVdDatabase*> m_databases;      // borrowed from the catalogs
};

// The writes of one command, kept only when it reaches Keep: a transaction that holds the write lock from the
// first read to the COMMIT, so what the command read cannot change before it writes.
class WriteScope {
 public:
  explicit WriteScope(CVdDatabase* db) : m_db(db) { db->BeginWriteGroup(); }
  ~WriteScope() {
    if (!m_open) return;
    try {
      m_db->EndWriteGroup(FALSE);
    } catch (CDBException* e) {
      e->Delete();
    }
  }
  // Throws CDBException* when the COMMIT fails; nothing is kept then.
  void Keep() {
    m_open = false;
    m_db->EndWriteGroup(TRUE);
  }
  WriteScope(const WriteScope&) = delete;
  WriteScope& operator=(const WriteScope&) = delete;

 private:
  CVdDatabase* m_db;
  bool m_open = true;
};

bool Bracketed(const std::wstring& name, CString& out);
std::vector<Column> FamilyColumns(CVdDatabase* db, const std::string& family);
long CountRows(CVdDatabase* db, const std::wstring& family, long limit = 0);
const Column* FindColumn(const std::vector<Column>& columns, const std::wstring& name);
bool HasFamily(CVdPatternCatalog& catalog, const std::string& family);
// Opens `file` in `session` (which owns the catalog) and reads the columns of its family `family`: kOk, or the
// status to end with once the missing catalog or family, or the unreadable family, has been said.
int OpenFamily(Session& session, const std::string& file, const std::string& family, CVdPatternCatalog*& catalog,
               std::vector<Column>& columns);
// A command's status, made kError when the library reported a database failure meanwhile.
int Finish(int status);

// ---------------------------------------------------------------- reading rows (Conditions.cpp)

void SortNaturally(std::list<std::wstring>& names);

// A row of a family as the catalog stores it: a missing value stays null.
struct Row {
  std::string name;
  std::wstring key;                 // the name folded, to sort by
  std::vector<COleVariant> values;  // one per column of the family, in the family's order
};

bool ReadRows(CVdDatabase* db, const std::string& family, const std::vector<Column>& columns, const std::string& like,
              const std::string& where, std::vector<Row>& rows);
std::string Text(const VARIANT* v);
std::string DidYouMean(Session& session, const std::vector<CVdPatternCatalog*>& catalogs, const std::string& name);

// ---------------------------------------------------------------- names as engineers write them (Alias.cpp)

// The one row that a name not found as given reaches through an alias or its spelling, in any of `catalogs`.
struct Resolved {
  CVdPatternCatalog* catalog = nullptr;  // borrowed from the session; null when nothing or several matched
  std::string name, family, alias;       // the row's real name and family, and the name that led there
  bool viaAlias = false;                 // reached through an alias, not a spelling of the name
  std::string ambiguous;                 // "X matches A, B and C" when several rows matched
  // " (alias HE 300 B)", " (spelt heb300)", or empty when nothing was resolved.
  std::string Note() const;
};
// False after a database failure (reported); otherwise true, with `resolved` saying what matched.
bool ResolveName(const std::vector<CVdPatternCatalog*>& catalogs, const std::string& name, const std::string& family,
                 Resolved& resolved);

// ---------------------------------------------------------------- values of a pattern (Edit.cpp, also used by import)

bool AssignTo(CVdPattern& pattern, const Column& column, const std::wstring& folded, const std::string& text,
              std::string& error);

}  // namespace vdcatalog
