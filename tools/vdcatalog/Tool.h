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
#include <vdpattern/catalog/VdCatalogTransfer.h>
#include <vdpattern/toolkit/VdServerAddress.h>
#include <vdpattern/vdpattern.h>

#include "Commands.h"
#include "Output.h"

namespace vdcatalog {

using nlohmann::json;

// Seconds any one statement of the tool may run.
extern unsigned long g_timeLimit;

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
// A value converted to host units, rounded to the 15 significant digits a double keeps through the conversion:
// 33.3 cm2 in m2 is 3.33e-05, not the product's 3.3299999999999996e-05.
double HostValue(double converted);
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

// The database failures the library reported during one command: each said as it comes, unless held back while
// a catalog is being opened (a file that is no catalog is then described in one sentence of the tool's, not by
// the statement that failed on it).
class Reports {
 public:
  void Add(CString text);
  // A failure the tool has said itself: the command stops without a second word.
  void SetFailed() { m_failed = true; }
  bool Failed() const { return m_failed; }
  // For a command that serves many requests: each begins with no failure of its own.
  void ClearFailed() { m_failed = false; }
  // The last report, held or not; cleared by the caller to tell one call's report from another's.
  const std::string& Last() const { return m_last; }
  void ClearLast() { m_last.clear(); }
  // The report held back since Hold began; reports are said again after Release.
  void Hold() {
    m_holding = true;
    m_held.clear();
  }
  void Release() { m_holding = false; }
  const std::string& Held() const { return m_held; }

 private:
  bool m_failed = false;
  bool m_holding = false;
  std::string m_last;
  std::string m_held;
};

// A factory whose unit manager holds the host's metrics factor, and whose database failures are the command's.
class ToolFactory : public CVdPatternFactory {
 public:
  ToolFactory(CVdUnitManager* units, Reports& reports) : m_reports(reports) { m_pUnitManager = units; }

 protected:
  void OnDBException(CDBException* e) override;

 private:
  Reports& m_reports;  // the session's, which outlives the manager that owns the factory
};

// A catalog whose database failures are the command's.
class ToolCatalog : public CVdPatternCatalog {
 public:
  // Takes `database` over; `factory` is borrowed.
  ToolCatalog(CVdDatabase* database, CVdPatternFactory* factory, Reports& reports)
      : CVdPatternCatalog(database, factory, false), m_reports(reports) {}

 protected:
  void OnDBException(CDBException* e) override;

 private:
  Reports& m_reports;  // the session's, which outlives its catalogs
};

// The catalogs given on the command line, opened on connections of our own so that their columns can be listed
// and a write can span several calls in one transaction. Only `show` attaches them to a manager, which needs
// their names to differ; the other commands may open two catalogs of the same name from different folders.
class Session {
 public:
  explicit Session(double metricsFactor = 1.0) : m_units(metricsFactor) {
    auto factory = std::make_unique<ToolFactory>(&m_units, m_reports);
    m_factory = factory.get();
    m_manager = std::make_unique<CVdPatternManager>(factory.release());  // the manager owns the factory
  }

  // The catalog at `file`, attached to the manager when `attach` says so; null (the reason already printed)
  // when it cannot be opened.
  CVdPatternCatalog* Open(const std::string& file, bool attach = false);

  CVdDatabase* Database(CVdPatternCatalog* catalog) { return m_databases[catalog]; }
  CVdPatternManager& Manager() { return *m_manager; }
  ToolFactory& Factory() { return *m_factory; }
  Reports& Reported() { return m_reports; }
  bool Failed() const { return m_reports.Failed(); }
  // A command's status, made kError when the library reported a database failure meanwhile.
  int Finish(int status) const { return Failed() && status == kOk ? kError : status; }

 private:
  Reports m_reports;  // first made, last released: the factory and the catalogs point to it
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
// The columns of a family of a catalog of `session`; empty when there is no such table, or after a message
// (and the session failed) when the engine cannot read it.
std::vector<Column> FamilyColumns(Session& session, CVdPatternCatalog* catalog, const std::string& family);
// The columns of each of `families`, as FamilyColumns gives them, asked in one statement where the engine can
// (on a server one round trip for all); a family that statement leaves out is read alone.
std::map<std::wstring, std::vector<Column>> FamiliesColumns(Session& session, CVdPatternCatalog* catalog,
                                                            const std::list<std::wstring>& families);
long CountRows(CVdDatabase* db, const std::wstring& family, long limit = 0);
const Column* FindColumn(const std::vector<Column>& columns, const std::wstring& name);
bool HasFamily(CVdPatternCatalog& catalog, const std::string& family);
// Opens `file` in `session` (which owns the catalog) and reads the columns of its family `family`: kOk, or the
// status to end with once the missing catalog or family, or the unreadable family, has been said.
int OpenFamily(Session& session, const std::string& file, const std::string& family, CVdPatternCatalog*& catalog,
               std::vector<Column>& columns);

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
// The columns a history entry touched, each with its value before and after, as `vdcatalog history --json` gives
// them (History.cpp): NULL as null, numbers as numbers, {"date"|"bytes"|"real": text} where JSON has no literal.
json HistoryColumnsJson(const vdpattern::HistoryEntry& e);
// "; did you mean A, B or C?" with the pattern names of `catalogs` (of `family` only, when given) closest to
// `name` or to its spelling, aliases included, or nothing; then why each family that could not be searched was not.
// `known`, when given, holds the names each catalog already answered near `name` (ResolveName's): those catalogs
// are not asked again.
using NearNames = std::map<CVdPatternCatalog*, std::vector<CVdPatternCatalog::NearName>>;
constexpr std::size_t kNearNames = 64;  // names asked for on either side of a missing one
std::string DidYouMean(Session& session, const std::vector<CVdPatternCatalog*>& catalogs, const std::string& name,
                       const std::string& family = std::string(), const NearNames* known = nullptr);
// "; did you mean A?" with the families of `catalogs` closest to `family`, or nothing.
std::string FamilyHint(const std::vector<CVdPatternCatalog*>& catalogs, const std::string& family);
// "; did you mean h?" with the columns closest to `column`, or nothing.
std::string ColumnHint(const std::vector<Column>& columns, const std::string& column);

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
// False after a database failure (reported); otherwise true, with `resolved` saying what matched. With `near`,
// each catalog also gives the names next to `name`, for a "did you mean", in the same statement where it can.
bool ResolveName(const std::vector<CVdPatternCatalog*>& catalogs, const std::string& name, const std::string& family,
                 Resolved& resolved, NearNames* near = nullptr);

// ---------------------------------------------------------------- section checks (Verify.cpp)

// The index of the family's "Shape" column (case ignored), or -1.
int ShapeColumn(const std::vector<Column>& columns);
CVdPatternCatalog::FamilyUnits FamilyUnitsOf(CVdPatternCatalog& catalog, const std::string& family);
// A row's cells, Name left out, with their columns' units, as CVdSectionCheck reads them.
std::vector<VdSectionCell> SectionCells(const std::vector<Column>& columns, const Row& row,
                                        const CVdPatternCatalog::FamilyUnits& units);
// One row of a family whose shape column is `shapeColumn`, checked at `tolerance` (a fraction).
VdSectionRowCheck CheckRow(const std::vector<Column>& columns, int shapeColumn, const Row& row,
                           const CVdPatternCatalog::FamilyUnits& units, double tolerance);
// {"property", "cause"} and, when it has them, "stored", "computed" and "difference_pct".
json FindingJson(const VdSectionFinding& finding);
// For a page: {"findings": [FindingJson...] at the default tolerance (empty without a Shape column),
// "provenance": {"Shape", "Standard"} as far as the row has them}.
json SectionCheckJson(CVdPatternCatalog* catalog, const std::string& family, const std::vector<Column>& columns,
                      const Row& row);

// ---------------------------------------------------------------- values of a pattern (Edit.cpp, also used by import)

bool AssignTo(CVdPattern& pattern, const Column& column, const std::wstring& folded, const std::string& text,
              std::string& error);

}  // namespace vdcatalog
