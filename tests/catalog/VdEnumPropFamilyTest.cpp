// The family-property enumerator: items from a record set's columns, Next/Reset, reference counting.

#include <gtest/gtest.h>

#include <memory>
#include <vdpattern/catalog/VdEnumPropFamily.h>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>

#include "support/TestDb.h"

namespace {

class EnumPropFamily : public vdtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    if (IsSkipped()) return;
    m_db.Open(
        CString(MakeDb("family.db", "CREATE TABLE Beams (Name VARCHAR(40), Height DOUBLE, Count INTEGER);").c_str()), 0,
        0);
    m_rs.Open(0, L"Select * From [Beams]", 0);
    ASSERT_EQ(CEnumPropFamily::Create(&m_rs, &m_enum), S_OK);
    m_enum->AddRef();
  }
  void TearDown() override {
    if (m_enum) m_enum->Release();
  }

  // The name of the next item, or "<E_FAIL>" at the end.
  std::wstring Next() {
    PROPFAMILYINFO* item = nullptr;
    if (m_enum->Next(0, &item) != S_OK) return item ? L"<touched>" : L"<E_FAIL>";
    std::unique_ptr<PROPFAMILYINFO> owned(item);
    return item->name;
  }

  CVdDatabase m_db;
  CVdRecordset m_rs{&m_db};
  CEnumPropFamily* m_enum = nullptr;
};

}  // namespace

TEST_F(EnumPropFamily, ItemsFollowTheColumnsWithTheirTypesThenTheEndRepeatsUntilReset) {
  CODBCFieldInfo name, height;
  m_rs.GetODBCFieldInfo(short(0), name);
  m_rs.GetODBCFieldInfo(short(1), height);
  PROPFAMILYINFO* item = nullptr;
  ASSERT_EQ(m_enum->Next(0, &item), S_OK);
  std::unique_ptr<PROPFAMILYINFO> first(item);
  EXPECT_EQ(first->name, L"Name");
  EXPECT_EQ(first->sqlType, name.m_nSQLType);
  EXPECT_EQ(first->precision, name.m_nPrecision);
  ASSERT_EQ(m_enum->Next(0, &item), S_OK);
  std::unique_ptr<PROPFAMILYINFO> second(item);
  EXPECT_EQ(second->sqlType, height.m_nSQLType);
  EXPECT_EQ(Next(), L"Count");
  EXPECT_EQ(Next(), L"<E_FAIL>");
  EXPECT_EQ(Next(), L"<E_FAIL>");
  EXPECT_EQ(m_enum->Reset(), S_OK);
  EXPECT_EQ(Next(), L"Name");
  EXPECT_EQ(m_enum->Skip(), E_NOTIMPL);
  EXPECT_EQ(m_enum->Clone(), E_NOTIMPL);
}

TEST_F(EnumPropFamily, QueryInterfaceHandsOutKnownInterfacesWithAReferenceAndReleaseFreesAtZero) {
  void* object = &object;
  EXPECT_EQ(m_enum->QueryInterface(IID_IEnumPropFamily, &object), S_OK);
  EXPECT_EQ(object, static_cast<IEnumPropFamily*>(m_enum));
  EXPECT_EQ(m_enum->QueryInterface(IID_IUnknown, &object), S_OK);
  EXPECT_NE(object, nullptr);
  const IID other = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_EQ(m_enum->QueryInterface(other, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(m_enum->AddRef(), 4u);  // one from the fixture, two from QueryInterface
  // The last release frees it, items included (the leak checks see it).
  for (const ULONG left : {3u, 2u, 1u, 0u}) EXPECT_EQ(m_enum->Release(), left);
  m_enum = nullptr;
}

TEST(EnumPropFamilyCreate, WithoutARecordSetItIsEmpty) {
  CEnumPropFamily* e = nullptr;
  ASSERT_EQ(CEnumPropFamily::Create(nullptr, &e), S_OK);
  ASSERT_NE(e, nullptr);
  e->AddRef();
  PROPFAMILYINFO* item = nullptr;
  EXPECT_EQ(e->Next(0, &item), E_FAIL);
  EXPECT_EQ(item, nullptr);
  EXPECT_EQ(e->Release(), 0u);
  EXPECT_EQ(CEnumPropFamily::Create(nullptr, nullptr), E_POINTER);
}
