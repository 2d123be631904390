#include <gtest/gtest.h>

#include <memory>
#include <vector>
#include <vdpattern/factory/VdPatternFactory.h>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VariantConv.h>
#include <vdpattern/toolkit/VdRecordset.h>

#include "support/ReportCapture.h"
#include "support/TestDb.h"

namespace {

using Units = std::map<std::wstring, UNITINFO>;

// A unit manager with metrics factor 2 and a length unit (e = 1, k = 1): F = 2.
struct DoublingUnits {
  CVdUnitManager manager{2.0};
  Units units{{L"h", UNITINFO{CVdUnit(1.0, 1), L""}}, {L"n", UNITINFO{CVdUnit(1.0, 1), L""}}};
};

class CTestFactory : public CVdPatternFactory {
 public:
  explicit CTestFactory(CVdUnitManager* units = nullptr) { m_pUnitManager = units; }
};

// One database file with one table, opened through the toolkit.
class FactoryTable : public vdtest::DbTest {
 protected:
  void Make(const std::string& sql) {
    m_file = MakeDb("family.db", sql);
    m_db.Open(CString(m_file.c_str()), 0, 0);
  }
  std::unique_ptr<CVdRecordset> Query(const wchar_t* text) {
    auto rs = std::make_unique<CVdRecordset>(&m_db);
    rs->Open(0, text, 0);
    return rs;
  }
  std::string Cell(const std::string& sql) { return vdtest::QueryText(m_file, sql); }

  std::string m_file;
  CVdDatabase m_db;
};

double Number(CVdPattern& p, const wchar_t* name) {
  CVdPatternValue* v = nullptr;
  EXPECT_TRUE(p.GetFixedParam(0, name, &v)) << CString(name).ToUtf8();
  return v ? VariantToDouble(v) : -1;
}

VARTYPE Type(CVdPattern& p, const wchar_t* name) {
  CVdPatternValue* v = nullptr;
  p.GetFixedParam(0, name, &v);
  return v ? v->vt : VARTYPE(0xFFFF);
}

}  // namespace

TEST_F(FactoryTable, ColumnsBecomeLowerCaseParametersAndNullsTakeTheirTypesDefault) {
  VDTEST_FILE_ONLY();  // SQLite's literals: x'..' blobs, 1 for a BIT
  Make(
      "CREATE TABLE T (Name TEXT, Height DOUBLE, Count INTEGER, Big BIGINT, Flag BIT, Label VARCHAR(20),"
      " Code CHAR(4), Note MEMO, Made DATE, Weight REAL, Ratio FLOAT, Price DECIMAL, Blob BLOB);"
      "INSERT INTO T (Name) VALUES ('empty');"
      "INSERT INTO T VALUES ('full', 200.5, 3, 4, 1, 'x', 'ab', 'memo', '2009-03-07', 1.5, 2.5, 9.25, x'0102');");
  CVdPatternFactory factory;
  auto rs = Query(L"Select * From [T] WHERE Name = 'empty'");
  std::unique_ptr<CVdPattern> p(factory.CreatePatternFromTable(rs.get(), L"T", L"", Units(), false));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->GetSizeParam(0), 12);
  // No default for memo, date and binary.
  const std::pair<const wchar_t*, VARTYPE> types[] = {{L"height", VT_R8}, {L"count", VT_I4},   {L"big", VT_I4},
                                                      {L"flag", VT_BOOL}, {L"label", VT_BSTR}, {L"code", VT_BSTR},
                                                      {L"weight", VT_R8}, {L"ratio", VT_R4},   {L"price", VT_R8},
                                                      {L"note", VT_NULL}, {L"made", VT_NULL},  {L"blob", VT_NULL}};
  for (const auto& [name, type] : types) EXPECT_EQ(Type(*p, name), type) << CString(name);
  EXPECT_EQ(Number(*p, L"count"), 0);

  rs = Query(L"Select * From [T] WHERE Name = 'full'");
  p.reset(factory.CreatePatternFromTable(rs.get(), L"T", L"", Units(), false));
  ASSERT_TRUE(p);
  EXPECT_EQ(Number(*p, L"HEIGHT"), 200.5);
  EXPECT_EQ(Type(*p, L"made"), VT_DATE);
  EXPECT_EQ(Type(*p, L"blob"), VT_ARRAY | VT_UI1);
  std::wstring text;
  EXPECT_TRUE(p->GetFixedParam(0, L"note", text));
  EXPECT_EQ(text, L"memo");
}

// A host that tells a missing value from a zero and shows a family's columns as the table spells them.
class CKeepingFactory : public CVdPatternFactory {
 public:
  CKeepingFactory() { m_bKeepNulls = true; }
  std::vector<std::wstring> described;

 protected:
  void OnColumnsDescribed(const std::vector<std::wstring>& names) override { described = names; }
};

TEST_F(FactoryTable, AHostMayKeepNullsAndLearnsTheColumnsAsSpelled) {
  VDTEST_FILE_ONLY();  // SQLite's literals
  Make(
      "CREATE TABLE T (Name TEXT, Height DOUBLE, Count INTEGER, Flag BIT, Label VARCHAR(20), iY REAL);"
      "INSERT INTO T (Name) VALUES ('empty');"
      "INSERT INTO T VALUES ('zero', 0, 0, 0, '', 0);");
  CKeepingFactory factory;
  auto rs = Query(L"Select * From [T] ORDER BY Name");
  std::unique_ptr<CVdPattern> p(factory.CreatePatternFromTable(rs.get(), L"T", L"", Units(), false));
  ASSERT_TRUE(p);
  for (const wchar_t* name : {L"height", L"count", L"flag", L"label", L"iy"})
    EXPECT_EQ(Type(*p, name), VT_NULL) << CString(name);
  EXPECT_EQ(factory.described, (std::vector<std::wstring>{L"Name", L"Height", L"Count", L"Flag", L"Label", L"iY"}));
  rs->MoveNext();
  p.reset(factory.CreatePatternFromTable(rs.get(), L"T", L"", Units(), false));
  ASSERT_TRUE(p);
  EXPECT_EQ(Number(*p, L"height"), 0);  // a stored zero stays a zero
  EXPECT_EQ(Type(*p, L"count"), VT_I4);
}

TEST_F(FactoryTable, UnitsScaleNonZeroDoublesBothWays) {
  Make(
      "CREATE TABLE T (Name TEXT, H DOUBLE, Z DOUBLE, N INTEGER);"
      "INSERT INTO T VALUES ('a', 3.5, 0.0, 3);");
  DoublingUnits du;
  du.units[L"z"] = UNITINFO{CVdUnit(1.0, 1), L""};
  CTestFactory factory(&du.manager);
  EXPECT_EQ(factory.GetUnitFactor(CVdUnit(1.0, 1)), 2.0);
  EXPECT_EQ(factory.GetUnitFactor(CVdUnit(1e8, 4)), 16.0 / 1e8);
  EXPECT_EQ(factory.GetUnitFactor(CVdUnit(1.0, -3)), 0.125);

  auto rs = Query(L"Select * From [T]");
  std::unique_ptr<CVdPattern> p(factory.CreatePatternFromTable(rs.get(), L"T", L"", du.units, true));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->GetPatternType(), CVdPattern::ePatternTypeCatalog);
  EXPECT_EQ(p->GetFamily(), L"t");
  EXPECT_EQ(Number(*p, L"h"), 7.0);
  EXPECT_EQ(Number(*p, L"z"), 0.0);
  EXPECT_EQ(Type(*p, L"n"), VT_I4);  // integers are never converted
  EXPECT_EQ(Number(*p, L"n"), 3);

  std::unique_ptr<CVdPattern> plain(factory.CreatePatternFromTable(rs.get(), L"T", L"", du.units, false));
  EXPECT_EQ(Number(*plain, L"h"), 3.5);

  // Written back: 7.0 becomes 3.5 again, twice in a row (the pattern keeps 7.0), and stays 7.0 without units.
  const std::pair<bool, const char*> writes[] = {{true, "3.5"}, {true, "3.5"}, {false, "7.0"}};
  for (const auto& [useUnits, stored] : writes) {
    rs->Edit();
    ASSERT_TRUE(factory.ModifyTableFromPattern(rs.get(), p.get(), L"", du.units, useUnits));
    rs->Update();
    EXPECT_EQ(Cell("SELECT H FROM T"), stored) << useUnits;
  }
  EXPECT_EQ(Number(*p, L"h"), 7.0);

  // Without a unit manager no conversion is applied at all.
  CVdPatternFactory bare;
  std::unique_ptr<CVdPattern> unconverted(bare.CreatePatternFromTable(rs.get(), L"T", L"", du.units, true));
  EXPECT_EQ(Number(*unconverted, L"h"), 7.0);
}

namespace {

// Maps every column to its own name: the same values as the base factory, through AddPatternValue.
class CSameNameFactory : public CVdPatternFactory {
 public:
  explicit CSameNameFactory(CVdUnitManager* units) { m_pUnitManager = units; }
  std::wstring GetMappedName(const wchar_t* column, unsigned int) override { return column; }
};

std::wstring Listing(CVdPattern& p) {
  std::wstring out = p.GetUserNameW().str() + L"|" + p.GetFamily().str();
  std::wstring name;
  CVdPatternValue* value = nullptr;
  for (bool more = p.FindFirstParam(0, name, value); more; more = p.FindNextParam(name, value))
    out += L"|" + name + L"=" + std::to_wstring(value ? value->vt : 0xFFFF) + L":" +
           (value ? VariantToString(value, true).str() : L"-");
  return out;
}

}  // namespace

// Columns out of name order, a later column of the same name in another case, texts, nulls and unit columns:
// the base factory's direct placing gives what the general path through AddPatternValue gives, row after row.
TEST_F(FactoryTable, DirectReadMatchesTheGeneralPath) {
  Make(
      "CREATE TABLE T (Name TEXT, Wz DOUBLE, Standard TEXT, h DOUBLE, A DOUBLE, Rev INTEGER, Note TEXT);"
      "INSERT INTO T VALUES ('IPE 200', 1.5, 'EN 10365', 200.0, 28.5, 3, 'first');"
      "INSERT INTO T VALUES ('IPE 220', NULL, NULL, 0.0, NULL, NULL, 'second');");
  DoublingUnits du;
  du.units[L"wz"] = UNITINFO{CVdUnit(1.0, 1), L""};
  CTestFactory direct(&du.manager);
  CSameNameFactory general(&du.manager);
  const wchar_t* statements[] = {L"Select * From [T]", L"Select Name, Note, h, A AS H, Standard AS note From [T]"};
  for (const wchar_t* statement : statements) {
    for (bool useUnits : {false, true}) {
      auto rs = Query(statement);
      for (int row = 0; !rs->IsEOF(); ++row, rs->MoveNext()) {
        std::unique_ptr<CVdPattern> a(direct.CreatePatternFromTable(rs.get(), L"T", L"", du.units, useUnits));
        std::unique_ptr<CVdPattern> b(general.CreatePatternFromTable(rs.get(), L"T", L"", du.units, useUnits));
        ASSERT_TRUE(a && b);
        EXPECT_EQ(Listing(*a), Listing(*b)) << CString(statement) << " " << row << " " << useUnits;
        EXPECT_TRUE(*a == *b);
        // The direct pattern's values behave as any other: replaced and removed one by one.
        EXPECT_TRUE(a->SetValue(0, L"h", new CVdPatternValue(1.0)));
        EXPECT_TRUE(a->RemoveValue(0, L"note"));
        std::unique_ptr<CVdPattern> copy(a->GetClone());
        EXPECT_EQ(Listing(*copy), Listing(*a));
      }
    }
  }
}

namespace {

// A host pattern class with its own groups.
class CHostPattern : public CVdPattern {
 public:
  CHostPattern() : CVdPattern(2, nullptr, nullptr) {}
  int GetMapOfAttribute(const wchar_t* attribute) override {
    return std::wstring(attribute).rfind(L"grade", 0) == 0 ? 1 : 0;
  }
};

// A host factory that renames columns, makes host patterns and records its hooks.
class CHostFactory : public CVdPatternFactory {
 public:
  using CVdPatternFactory::m_nPatternType;
  using CVdPatternFactory::m_pUnitManager;
  std::vector<std::wstring> calls;
  std::vector<std::wstring> fieldErrors;
  std::wstring GetMappedName(const wchar_t* column, unsigned int index) override {
    calls.push_back(L"map " + std::wstring(column) + L" " + std::to_wstring(index));
    if (std::wstring(column) == L"h") return L"height";
    if (std::wstring(column) == L"skip") return L"";
    return column;
  }

 protected:
  unsigned int GetPatternType(const wchar_t* family, const wchar_t*) override {
    calls.push_back(L"type " + std::wstring(family));
    return 7;
  }
  CVdPattern* CreatePatternObject(const wchar_t*, const wchar_t*) override {
    calls.push_back(L"create");
    return new CHostPattern();
  }
  void EndLoading(CVdPattern*) override { calls.push_back(L"end"); }
  void BeginWriting(CVdPattern*) override { calls.push_back(L"begin"); }
  void OnFieldError(FieldErrorType type, const wchar_t* family, const wchar_t* user, const wchar_t* column) override {
    fieldErrors.push_back(std::to_wstring(type) + L" " + family + L" " + user + L" " + column);
  }
};

// A host pattern whose SetValue takes the values it refuses and deletes them, as SetValue's contract allows.
class CPickyPattern : public CVdPattern {
 public:
  bool SetValue(int group, const std::wstring& name, CVdPatternValue* value) override {
    if (name == L"skip") {
      delete value;
      return false;
    }
    return CVdPattern::SetValue(group, name, value);
  }
};

class CPickyFactory : public CVdPatternFactory {
 protected:
  CVdPattern* CreatePatternObject(const wchar_t*, const wchar_t*) override { return new CPickyPattern(); }
};

}  // namespace

TEST_F(FactoryTable, ReadValuesAreReplacedRemovedAndCopiedOneByOne) {
  Make(
      "CREATE TABLE T (Name TEXT, A DOUBLE, B DOUBLE, C TEXT, D INTEGER, E DOUBLE);"
      "INSERT INTO T VALUES ('x', 1.5, 2.5, 'text', 4, 5.5);");
  CVdPatternFactory factory;
  auto rs = Query(L"Select * From [T]");
  std::unique_ptr<CVdPattern> p(factory.CreatePatternFromTable(rs.get(), L"T", L"", Units(), false));
  ASSERT_TRUE(p);
  CVdPatternValue* e = nullptr;
  ASSERT_TRUE(p->GetValue(0, L"e", &e));
  EXPECT_TRUE(p->SetValue(0, L"a", new CVdPatternValue(10.0)));
  EXPECT_TRUE(p->RemoveValue(0, L"b"));
  EXPECT_TRUE(p->SetParam(0, L"c", L"other"));
  std::unique_ptr<CVdPattern> clone(p->GetClone());
  EXPECT_TRUE(p->RemoveValue(0, L"d"));
  EXPECT_EQ(VariantToDouble(e), 5.5);  // the others stay where they were
  EXPECT_EQ(Number(*p, L"a"), 10.0);
  p.reset();
  EXPECT_EQ(clone->GetSizeParam(0), 4);
  EXPECT_EQ(Number(*clone, L"d"), 4);
  EXPECT_EQ(Number(*clone, L"e"), 5.5);

  // Emptied value by value, refilled by assignment, then cleared and filled again.
  rs = Query(L"Select * From [T]");
  p.reset(factory.CreatePatternFromTable(rs.get(), L"T", L"", Units(), false));
  ASSERT_TRUE(p);
  for (const wchar_t* name : {L"e", L"a", L"d", L"c", L"b"}) EXPECT_TRUE(p->RemoveValue(0, name));
  EXPECT_EQ(p->GetSizeParam(0), 0);
  *p = *clone;
  EXPECT_EQ(Number(*p, L"e"), 5.5);
  rs = Query(L"Select * From [T]");
  std::unique_ptr<CVdPattern> read(factory.CreatePatternFromTable(rs.get(), L"T", L"", Units(), false));
  ASSERT_TRUE(read);
  *read = *p;  // the read values give way to copies
  EXPECT_EQ(read->GetSizeParam(0), 4);
  EXPECT_TRUE(read->RemoveValue(0));
  EXPECT_TRUE(read->SetParam(0, L"z", 1.0));
  EXPECT_EQ(Number(*read, L"z"), 1.0);
}

TEST_F(FactoryTable, HostPatternMayDeleteTheValuesItRefuses) {
  Make(
      "CREATE TABLE T (Name TEXT, H DOUBLE, Skip DOUBLE, W DOUBLE);"
      "INSERT INTO T VALUES ('a', 1.0, 2.0, 3.0);");
  CPickyFactory factory;
  auto rs = Query(L"Select * From [T]");
  std::unique_ptr<CVdPattern> p(factory.CreatePatternFromTable(rs.get(), L"T", L"", Units(), false));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->GetSizeParam(0), 2);
  EXPECT_EQ(Number(*p, L"w"), 3.0);
}

TEST_F(FactoryTable, HostFactoryHooksShapeThePattern) {
  Make(
      "CREATE TABLE T (Name TEXT, H DOUBLE, Grade TEXT, Skip DOUBLE);"
      "INSERT INTO T VALUES ('HEA 100', 96.0, 'S235', 4.0);");
  DoublingUnits du;
  du.units[L"skip"] = UNITINFO{CVdUnit(1.0, 1), L""};
  CHostFactory factory;
  factory.m_pUnitManager = &du.manager;
  auto rs = Query(L"Select * From [T]");
  std::unique_ptr<CVdPattern> p(factory.CreatePatternFromTable(rs.get(), L"HEA", L"H", du.units, true));
  ASSERT_TRUE(dynamic_cast<CHostPattern*>(p.get()));
  EXPECT_EQ(factory.m_nPatternType, 7u);
  EXPECT_EQ(Number(*p, L"height"), 192.0);  // mapped and converted
  std::wstring grade;
  EXPECT_TRUE(p->GetFixedParam(1, L"grade", grade));  // in the group the pattern chose
  EXPECT_EQ(grade, L"S235");
  EXPECT_EQ(Number(*p, L""), 4.0);  // an empty mapped name: stored under it, unconverted
  EXPECT_EQ(factory.calls.front(), L"type HEA");
  EXPECT_EQ(factory.calls[1], L"create");
  EXPECT_EQ(factory.calls.back(), L"end");

  // Writing: the Name column takes the user name whatever its case; a parameter the pattern lacks is reported
  // once and leaves the column as it was.
  p->RemoveValue(1, L"grade");
  p->SetUserName(L"HEA 120");
  factory.calls.clear();
  rs->Edit();
  ASSERT_TRUE(factory.ModifyTableFromPattern(rs.get(), p.get(), L"H", du.units, true));
  rs->Update();
  EXPECT_EQ(factory.calls.front(), L"type hea");
  EXPECT_EQ(factory.calls[1], L"begin");
  EXPECT_EQ(factory.fieldErrors, std::vector<std::wstring>{L"1 hea HEA 120 grade"});
  EXPECT_EQ(Cell("SELECT Name FROM T"), "HEA 120");
  EXPECT_EQ(Cell("SELECT H FROM T"), "96.0");
  EXPECT_EQ(Cell("SELECT Grade FROM T"), "S235");
}

TEST_F(FactoryTable, EmptyTextForCharColumnsIsWrittenAsNull) {
  Make(
      "CREATE TABLE T (NAME VARCHAR(20), Label VARCHAR(20), Memo MEMO);"
      "INSERT INTO T VALUES ('a', 'old', 'old');");
  CVdPatternFactory factory;
  CVdPattern p(1, L"a", L"T");
  p.SetParam(0, L"label", L"");
  p.SetParam(0, L"memo", L"");
  auto rs = Query(L"Select * From [T]");
  rs->Edit();
  ASSERT_TRUE(factory.ModifyTableFromPattern(rs.get(), &p, L"", Units(), false));
  rs->Update();
  EXPECT_EQ(Cell("SELECT Label FROM T"), "NULL");
  EXPECT_EQ(Cell("SELECT Memo FROM T"), "");  // only char and varchar columns are cleared
}

namespace {

int g_patternsAlive = 0;
class CCountedPattern : public CVdPattern {
 public:
  CCountedPattern() { ++g_patternsAlive; }
  ~CCountedPattern() override { --g_patternsAlive; }
};
class CCountingFactory : public CVdPatternFactory {
 protected:
  CVdPattern* CreatePatternObject(const wchar_t*, const wchar_t*) override { return new CCountedPattern(); }
};

// A record set whose column `failAt` cannot be read or written.
class CFailingRecordset : public CVdRecordset {
 public:
  CFailingRecordset(CVdDatabase* db, short failAt) : CVdRecordset(db), m_failAt(failAt) {}
  void GetFieldValue(short index, CDBVariant& value, short type = 0) override {
    if (index == m_failAt) Fail();
    CVdRecordset::GetFieldValue(index, value, type);
  }
  using CVdRecordset::GetFieldValue;
  void SetFieldValue(int index, const COleVariant& value) override {
    if (index == m_failAt) Fail();
    CVdRecordset::SetFieldValue(index, value);
  }
  using CVdRecordset::SetFieldValue;

 private:
  [[noreturn]] static void Fail() {
    auto* e = new CDBException(SQL_ERROR);
    e->m_strError = L"disk I/O error";
    throw e;
  }
  short m_failAt;
};

}  // namespace

TEST_F(FactoryTable, DatabaseFailureMidRowGivesOneReportAndNothingHalfBuilt) {
  Make(
      "CREATE TABLE T (Name TEXT, A DOUBLE, B DOUBLE, C DOUBLE, D DOUBLE, E DOUBLE);"
      "INSERT INTO T VALUES ('x', 1, 2, 3, 4, 5);");
  vdtest::ReportCapture capture;
  CCountingFactory factory;
  CFailingRecordset rs(&m_db, 5);
  rs.Open(0, L"Select * From [T]", 0);
  g_patternsAlive = 0;
  EXPECT_EQ(factory.CreatePatternFromTable(&rs, L"T", L"", Units(), false), nullptr);
  EXPECT_EQ(g_patternsAlive, 0);
  ASSERT_EQ(capture.reports.size(), 1u);
  EXPECT_EQ(capture.reports[0].caption, L"Erreur DAO");
  EXPECT_EQ(capture.reports[0].text, L"CVdPatternFactory::OnDBException : disk I/O error");

  CFailingRecordset writer(&m_db, 3);
  writer.Open(0, L"Select * From [T]", 0);
  CVdPattern p(1, L"x", L"T");
  for (const wchar_t* n : {L"a", L"b", L"c", L"d", L"e"}) p.SetParam(0, n, 9.0);
  writer.Edit();
  EXPECT_FALSE(factory.ModifyTableFromPattern(&writer, &p, L"", Units(), false));
  writer.CancelUpdate();
  EXPECT_EQ(capture.reports.size(), 2u);
  EXPECT_EQ(Cell("SELECT A FROM T"), "1.0");
}

// The catalog reports through the same text (CDBException::GetReportText).
TEST(VdPatternFactory, ReportTextWithoutAMessageUsesTheFixedForm) {
  vdtest::ReportCapture capture;
  class CReporting : public CVdPatternFactory {
   public:
    using CVdPatternFactory::OnDBException;
  } factory;
  CDBException e(SQL_ERROR);
  e.m_strStateNativeOrigin = L"State:42S02,Native:1,Origin:[vdpattern][SQLite]";
  factory.OnDBException(&e);
  ASSERT_EQ(capture.reports.size(), 1u);
  EXPECT_EQ(capture.reports[0].text,
            L"CVdPatternFactory::OnDBException : ERROR:CDBException\n\nRET_CODE        =-1\nERR_CODE        =\n"
            L"Description     =State:42S02,Native:1,Origin:[vdpattern][SQLite]\n");
}
