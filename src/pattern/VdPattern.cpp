#include <vdpattern/pattern/VdPattern.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <new>
#include <ostream>
#include <stdexcept>
#include <vdpattern/toolkit/Guid.h>
#include <vdpattern/toolkit/VariantConv.h>

#include "pattern/IdentityEpoch.h"
#include "toolkit/BaseSlot.h"

namespace {

std::wstring Folded(const std::wstring& name) {
  std::wstring key(name);
  VdFoldLower(key);
  return key;
}

// `name` itself when folding would not change it (the usual case: callers pass lower-case names), else its
// folded copy in `buffer`; spares a lookup the copy.
const std::wstring& FoldedRef(const std::wstring& name, std::wstring& buffer) {
  for (wchar_t c : name)
    if (c >= L'A' && c <= L'Z') return buffer = Folded(name);
  return name;
}

// Content equality of two entries; an entry without a value equals only another without a value.
bool SameContent(const CVdPatternValue* a, const CVdPatternValue* b) {
  if (!a || !b) return a == b;
  return VdVariantEquals(*a, *b);
}

bool SameAnnotation(const CVdPatternValue* a, const CVdPatternValue* b) {
  if (!a || !b) return a == b;
  return *a == *b;
}

}  // namespace

// ---------------------------------------------------------------- shared texts

// The texts a thread handed out lately, in a table of 256 slots: a text lives in one of the four slots from its
// hash on, so a row's parameter names, which come back on every row of a read, are found with a hash and a
// comparison or two. A slot keeps its text alive until another text takes it or the thread ends. Five hot texts
// under one hash take turns, each turn a new copy: an allocation as before the sharing, never a wrong text.
struct CVdPattern::SharedText::Recent {
  static constexpr std::size_t kSlots = 256, kWays = 4;
  SharedText slots[kSlots];
  std::size_t turn = 0;  // which of the four slots a new text takes when all hold others

  SharedText Get(std::wstring_view text) {
    std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (wchar_t c : text) hash = (hash ^ static_cast<std::uint32_t>(c)) * 1099511628211ull;
    const std::size_t home = static_cast<std::size_t>((hash * 0x9E3779B97F4A7C15ull) >> 56);  // 8 bits
    SharedText* free = nullptr;
    for (std::size_t k = 0; k < kWays; ++k) {
      SharedText& slot = slots[(home + k) & (kSlots - 1)];
      if (!slot.m_body) {
        if (!free) free = &slot;
      } else if (std::wstring_view(slot.m_body->text) == text) {
        return slot;
      }
    }
    SharedText& taken = free ? *free : slots[(home + turn++ % kWays) & (kSlots - 1)];
    taken = Make(text);
    return taken;
  }
};

const std::wstring& CVdPattern::SharedText::Empty() {
  static const std::wstring empty;
  return empty;
}

CVdPattern::SharedText CVdPattern::SharedText::Make(std::wstring_view text) {
  SharedText made;
  made.m_body = new Body{{1}, std::wstring(text)};
  return made;
}

void CVdPattern::SharedText::Release() noexcept {
  if (m_body && m_body->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete m_body;
  m_body = nullptr;
}

CVdPattern::SharedText CVdPattern::SharedText::Parameter(std::wstring_view text) {
  if (text.empty()) return SharedText();
  thread_local Recent recent;
  return recent.Get(text);
}

CVdPattern::SharedText CVdPattern::SharedText::Label(std::wstring_view text) {
  if (text.empty()) return SharedText();
  thread_local Recent recent;
  return recent.Get(text);
}

// ---------------------------------------------------------------- the block of read values

struct CVdPattern::ValueBlock {
  std::size_t capacity = 0;
  std::size_t used = 0;  // slots handed out
  std::size_t live = 0;  // values made and not yet destroyed

  static constexpr std::size_t kHeader =
      (sizeof(std::size_t) * 3 + alignof(CVdPatternValue) - 1) / alignof(CVdPatternValue) * alignof(CVdPatternValue);

  unsigned char* Slots() { return reinterpret_cast<unsigned char*>(this) + kHeader; }
  bool Holds(const CVdPatternValue* value) {
    const auto at = reinterpret_cast<std::uintptr_t>(value);
    const auto first = reinterpret_cast<std::uintptr_t>(Slots());
    return at >= first && at < first + capacity * sizeof(CVdPatternValue);
  }
  static ValueBlock* New(std::size_t capacity) {
    void* raw = ::operator new(kHeader + capacity * sizeof(CVdPatternValue));
    auto* block = new (raw) ValueBlock;
    block->capacity = capacity;
    return block;
  }
};

void* CVdPattern::ReadValueSlot() {
  using SetFn = bool (CVdPattern::*)(int, const std::wstring&, CVdPatternValue*);
  static const CVdPattern reference(0);
  if (!m_block && m_groups.size() == 1 && m_groups.front().capacity() > 1 &&
      KeepsBaseSlot(*this, reference, static_cast<SetFn>(&CVdPattern::SetValue)))
    m_block = ValueBlock::New(m_groups.front().capacity());
  if (!m_block || m_block->used == m_block->capacity) return nullptr;
  return m_block->Slots() + m_block->used * sizeof(CVdPatternValue);
}

CVdPatternValue* CVdPattern::NewReadValue(const VARIANT& value) {
  void* slot = ReadValueSlot();
  if (!slot) return new CVdPatternValue(value);
  auto* made = new (slot) CVdPatternValue(value);
  ++m_block->used;
  ++m_block->live;
  return made;
}

CVdPatternValue* CVdPattern::NewReadValueFrom(VARIANT& value) {
  void* slot = ReadValueSlot();
  CVdPatternValue* made = slot ? new (slot) CVdPatternValue() : new CVdPatternValue();
  if (slot) {
    ++m_block->used;
    ++m_block->live;
  }
  // A VARIANT owns its payload through its type and pointer: a bitwise move hands it over whole.
  VARIANT& target = *made;
  std::memcpy(static_cast<void*>(&target), &value, sizeof(VARIANT));
  VariantInit(&value);
  return made;
}

void CVdPattern::DeleteValue(CVdPatternValue* value) noexcept {
  if (!value) return;
  if (!m_block || !m_block->Holds(value)) {
    delete value;
    return;
  }
  value->~CVdPatternValue();
  if (--m_block->live == 0) {
    m_block->~ValueBlock();
    ::operator delete(m_block);
    m_block = nullptr;
  }
}

namespace {
std::atomic<std::uint64_t> g_pooledIdentityChanges{0};
}  // namespace

std::uint64_t vdpattern::PooledIdentityEpoch() { return g_pooledIdentityChanges.load(std::memory_order_acquire); }

void CVdPattern::PooledIdentityChanged() {
  if (m_poolCount) g_pooledIdentityChanges.fetch_add(1, std::memory_order_acq_rel);
}

// ---------------------------------------------------------------- construction, copying, destruction

CVdPattern::CVdPattern(int groupCount, const wchar_t* userName, const wchar_t* family) {
  InitGuid();
  if (groupCount < 0) throw std::length_error("CVdPattern: negative group count");
  m_groups.resize(static_cast<std::size_t>(groupCount));
  if (userName) m_userName = userName;
  if (family) m_family = SharedText::Label(family);
}

CVdPattern::CVdPattern(const CVdPattern& other) {
  try {
    m_groups.resize(other.m_groups.size());
    CVdPattern::operator=(other);
    InitGuid();
  } catch (...) {
    // The construction ends early; the pattern keeps what was done.
  }
}

CVdPattern::~CVdPattern() {
  try {
    CVdPattern::RemoveAll();
  } catch (...) {
  }
}

CVdPattern* CVdPattern::GetClone() const { return new CVdPattern(*this); }

void CVdPattern::InitGuid() {
  GUID guid;
  if (FAILED(CoCreateGuid(&guid))) return;
  m_guidBits = guid;
  m_guidIsBits = true;
  m_guidText.reset();
  PooledIdentityChanged();  // a derived class may renew the GUID of a pooled pattern
}

std::wstring_view CVdPattern::GuidText(wchar_t (&buffer)[40]) const {
  if (m_guidIsBits) return std::wstring_view(buffer, StringFromGUID2(m_guidBits, buffer, 40) - 1);
  return m_guidText ? std::wstring_view(m_guidText->str()) : std::wstring_view();
}

CVdPattern& CVdPattern::operator=(const CVdPattern& other) {
  if (&other == this) return *this;
  try {
    if (m_userName != other.m_userName) {
      m_userName = other.m_userName;
      PooledIdentityChanged();
    }
    m_family = other.m_family;
    m_catalog = other.m_catalog;
    m_patternType = other.m_patternType;
    m_cursorGroup = -1;
    RemoveAll();
    if (m_groups.size() < other.m_groups.size()) m_groups.resize(other.m_groups.size());
    for (std::size_t g = 0; g < other.m_groups.size(); ++g) {
      for (const auto& [name, value] : other.m_groups[g]) {
        CVdPatternValue* clone = nullptr;
        if (value) {
          try {
            std::unique_ptr<CVdObject> object(value->GetClone());
            clone = dynamic_cast<CVdPatternValue*>(object.get());
            if (!clone) throw std::bad_cast();
            object.release();
          } catch (...) {
            clone = new CVdPatternValue(0L, VT_I4);
          }
        }
        SetValue(static_cast<int>(g), name.str(), clone);
      }
    }
    m_isNewPattern = other.m_isNewPattern;
  } catch (...) {
    // What was copied so far stays.
  }
  return *this;
}

// ---------------------------------------------------------------- comparison and output

bool CVdPattern::CompareParams(const CVdPattern& other, bool byContent) const {
  for (std::size_t g = 0; g < other.m_groups.size(); ++g) {
    if (other.m_groups[g].empty()) continue;
    if (g >= m_groups.size()) return false;  // a group this pattern lacks
    const ParamGroup& mine = m_groups[g];
    for (const auto& [name, value] : other.m_groups[g]) {
      if (byContent && name.str() == L"color") continue;
      const auto it = mine.find(name.str());
      if (it == mine.end()) return false;
      if (byContent ? !SameContent(it->value, value) : !SameAnnotation(it->value, value)) return false;
    }
  }
  return true;
}

bool CVdPattern::operator==(const CVdPattern& other) const {
  try {
    if (VdCompareNoCase(m_userName.str(), other.m_userName.str()) != 0 ||
        VdCompareNoCase(m_family.str(), other.m_family.str()) != 0)
      return false;
    return CompareParams(other, false);
  } catch (...) {
    return true;  // nothing had differed when the walk stopped
  }
}

bool CVdPattern::operator!=(const CVdPattern& other) const { return !operator==(other); }

bool CVdPattern::operator<(const CVdPattern& other) const {
  const CString otherName = const_cast<CVdPattern&>(other).GetUserNameW();
  return _wcsicmp(m_userName, otherName) < 0;
}

int CVdPattern::IsEqual(const CVdPattern& other, bool compareNames, bool compareParams) const {
  if (compareNames && (VdCompareNoCase(m_userName.str(), other.m_userName.str()) != 0 ||
                       VdCompareNoCase(m_family.str(), other.m_family.str()) != 0))
    return 0;
  if (!compareParams) return 1;
  try {
    return CompareParams(other, true) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

void CVdPattern::Dump() const {
  for (const ParamGroup& group : m_groups)
    for (const Entry& entry : group)
      if (entry.value) entry.value->Dump();
}

std::wostream& operator<<(std::wostream& os, const CVdPattern& pattern) {
  wchar_t guid[40];
  os << pattern.m_userName << L", " << pattern.GuidText(guid) << L", " << pattern.m_family.str() << std::endl;
  for (const CVdPattern::ParamGroup& group : pattern.m_groups) {
    for (const auto& [name, value] : group)
      os << L"(" << name.str() << L", " << (value ? VariantToString(value) : CString()) << L")" << std::endl;
    os << std::endl;
  }
  return os;
}

// ---------------------------------------------------------------- identity

void CVdPattern::Serialize(CArchive&) {}
void CVdPattern::GetUserNameW(std::wstring& out) const { out = m_userName.str(); }
void CVdPattern::GetUserNameW(CString*& out) {
  m_identityExposed = true;
  PooledIdentityChanged();
  out = &m_userName;
}
CString CVdPattern::GetUserNameW() { return m_userName; }
void CVdPattern::SetUserName(const CString& name) {
  if (m_userName == name) return;
  m_userName = name;
  PooledIdentityChanged();
}
void CVdPattern::GetGUID(CString** out) {
  m_identityExposed = true;
  PooledIdentityChanged();
  // The pointer handed out must reach the GUID itself: from here on the text is the GUID.
  if (m_guidIsBits) {
    wchar_t buffer[40];
    m_guidText = std::make_unique<CString>(std::wstring(GuidText(buffer)));
    m_guidIsBits = false;
  } else if (!m_guidText) {
    m_guidText = std::make_unique<CString>();
  }
  if (out) *out = m_guidText.get();
}
CString CVdPattern::GetGUID() {
  wchar_t buffer[40];
  return CString(std::wstring(GuidText(buffer)));
}
void CVdPattern::SetGUID(const CString& guid) {
  wchar_t buffer[40];
  if (GuidText(buffer) == std::wstring_view(guid.str())) return;
  if (m_guidText)
    *m_guidText = guid;
  else
    m_guidText = std::make_unique<CString>(guid);
  m_guidIsBits = false;
  PooledIdentityChanged();
}
CString CVdPattern::GetFamily() {
  const std::wstring& family = m_family.str();
  for (wchar_t c : family)
    if (c >= L'A' && c <= L'Z') {
      m_family = SharedText::Label(Folded(family));
      break;
    }
  return m_family.str();
}
void CVdPattern::SetFamily(const CString& family) { m_family = SharedText::Label(family.str()); }
CString CVdPattern::GetFamilyCode() { return CString(); }
CString CVdPattern::GetCatalog() { return m_catalog.str(); }
void CVdPattern::SetCatalog(const CString& catalog) { m_catalog = SharedText::Label(catalog.str()); }
std::wstring CVdPattern::ToString() { return L"CVdPattern"; }
void CVdPattern::SetNameFromGeometricParameters() {}
CVdPattern::enumPatternType CVdPattern::GetPatternType() { return m_patternType; }
void CVdPattern::SetPatternType(enumPatternType type) { m_patternType = type; }
bool CVdPattern::GetIsNewPattern() const { return m_isNewPattern; }
void CVdPattern::SetIsNewPattern(const bool& isNew) { m_isNewPattern = isNew; }
void CVdPattern::setUNitManager(CVdUnitManager*) {}

// ---------------------------------------------------------------- parameter store

int CVdPattern::GetSizeParam(int group) const {
  return ValidGroup(group) ? static_cast<int>(m_groups[static_cast<std::size_t>(group)].size()) : 0;
}

int CVdPattern::GetSizeVectorParam() const { return static_cast<int>(m_groups.size()); }

// ---------------------------------------------------------------- one group

namespace {

bool NameLess(std::wstring_view a, std::wstring_view b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t k = 0; k < n; ++k)
    if (a[k] != b[k]) return a[k] < b[k];
  return a.size() < b.size();
}

}  // namespace

CVdPattern::ParamGroup::iterator CVdPattern::ParamGroup::lower_bound(std::wstring_view name) {
  return std::lower_bound(m_entries.begin(), m_entries.end(), name,
                          [](const Entry& entry, std::wstring_view n) { return NameLess(entry.name.str(), n); });
}

CVdPattern::ParamGroup::iterator CVdPattern::ParamGroup::find(std::wstring_view name) {
  const iterator it = lower_bound(name);
  return it != m_entries.end() && std::wstring_view(it->name.str()) == name ? it : m_entries.end();
}

CVdPattern::ParamGroup::const_iterator CVdPattern::ParamGroup::find(std::wstring_view name) const {
  return const_cast<ParamGroup*>(this)->find(name);
}

CVdPattern::ParamGroup::iterator CVdPattern::ParamGroup::insert(iterator at, std::wstring_view name,
                                                                CVdPatternValue* value) {
  // Rows are read a dozen columns at a time: start there rather than at one entry.
  if (m_entries.size() == m_entries.capacity() && m_entries.size() < 8) {
    const std::size_t offset = static_cast<std::size_t>(at - m_entries.begin());
    m_entries.reserve(8);
    at = m_entries.begin() + static_cast<std::ptrdiff_t>(offset);
  }
  return m_entries.insert(at, Entry{SharedText::Parameter(name), value});
}

void CVdPattern::EndIterationAt(int group, std::size_t position) {
  if (group != m_cursorGroup) return;
  if (position == m_cursor)
    m_cursorGroup = -1;
  else if (position < m_cursor)
    --m_cursor;  // the entry under the cursor moved down one place
}

void CVdPattern::EndIterationIn(int group) {
  if (group == m_cursorGroup) m_cursorGroup = -1;
}

bool CVdPattern::FindFirstParam(int group, std::wstring& name, CVdPatternValue*& value) {
  m_cursorGroup = -1;
  if (!ValidGroup(group)) return false;
  const ParamGroup& g = m_groups[static_cast<std::size_t>(group)];
  m_cursorGroup = group;
  m_cursor = 0;
  if (g.empty()) return false;
  name = g.begin()->name.str();
  value = g.begin()->value;
  return true;
}

bool CVdPattern::FindNextParam(std::wstring& name, CVdPatternValue*& value) {
  if (!ValidGroup(m_cursorGroup)) return false;
  const ParamGroup& g = m_groups[static_cast<std::size_t>(m_cursorGroup)];
  if (m_cursor >= g.size() || ++m_cursor >= g.size()) return false;
  const auto& entry = *(g.begin() + static_cast<std::ptrdiff_t>(m_cursor));
  name = entry.name.str();
  value = entry.value;
  return true;
}

void CVdPattern::UpdateParamMap(int) {}

bool CVdPattern::UpdateDescription(int, const std::wstring&, CVdPatternValue*) { return true; }

int CVdPattern::GetMapOfAttribute(const wchar_t*) { return 0; }

bool CVdPattern::GetFixedParam(int group, const std::wstring& name, CVdPatternValue** value) const {
  if (value) *value = nullptr;
  try {
    if (!ValidGroup(group)) return false;
    const ParamGroup& g = m_groups[static_cast<std::size_t>(group)];
    if (g.empty()) return false;
    std::wstring buffer;
    const auto it = g.find(FoldedRef(name, buffer));
    if (it == g.end()) return false;
    if (value) *value = it->value;
    return true;
  } catch (...) {
    return false;
  }
}

bool CVdPattern::GetValue(int group, const std::wstring& name, CVdPatternValue** value) {
  if (value) *value = nullptr;
  try {
    if (ValidGroup(group) && m_groups[static_cast<std::size_t>(group)].empty()) UpdateParamMap(group);
    return GetFixedParam(group, name, value);
  } catch (...) {
    return false;
  }
}

bool CVdPattern::GetFixedParam(int group, const std::wstring& name, std::wstring& out) const {
  CVdPatternValue* v = nullptr;
  if (!GetFixedParam(group, name, &v) || !v) return false;
  out = VariantToString(v, true).str();
  return true;
}

bool CVdPattern::GetFixedParam(int group, const std::wstring& name, int** out) {
  static_assert(sizeof(LONG) == sizeof(int), "VT_I4 payload must be an int");
  if (out) *out = nullptr;
  CVdPatternValue* v = nullptr;
  if (!GetFixedParam(group, name, &v) || !v || v->vt != VT_I4) return false;
  if (out) *out = &v->lVal;
  return true;
}

bool CVdPattern::GetFixedParam(int group, const std::wstring& name, double** out) {
  if (out) *out = nullptr;
  CVdPatternValue* v = nullptr;
  if (!GetFixedParam(group, name, &v) || !v || v->vt != VT_R8) return false;
  if (out) *out = &v->dblVal;
  return true;
}

bool CVdPattern::GetFixedParam(int group, const std::wstring& name, double& out) const {
  out = 0;
  CVdPatternValue* v = nullptr;
  if (!GetFixedParam(group, name, &v) || !v) return false;
  out = VariantToDouble(v);
  return true;
}

bool CVdPattern::IsParamValueDouble(int group, std::wstring& name) const {
  CVdPatternValue* v = nullptr;
  return GetFixedParam(group, name, &v) && v && v->vt == VT_R8;
}

bool CVdPattern::GetParam(int group, const std::wstring& name, double& out) {
  out = 0;
  CVdPatternValue* v = nullptr;
  if (!GetValue(group, name, &v) || !v) return false;
  out = v->vt == VT_R8 ? v->dblVal : VariantToDouble(v);
  return true;
}

bool CVdPattern::GetParam(int group, const std::wstring& name, double** out) {
  if (out) *out = nullptr;
  CVdPatternValue* v = nullptr;
  if (!GetValue(group, name, &v) || !v || v->vt != VT_R8) return false;
  if (out) *out = &v->dblVal;
  return true;
}

bool CVdPattern::GetParam(int group, const std::wstring& name, wchar_t*** out) {
  if (out) *out = nullptr;
  CVdPatternValue* v = nullptr;
  if (!GetValue(group, name, &v) || !v || v->vt != VT_BSTR) return false;
  if (out) *out = &v->bstrVal;
  return true;
}

bool CVdPattern::GetParam(int group, const std::wstring& name, long& out) {
  out = 0;
  CVdPatternValue* v = nullptr;
  if (!GetValue(group, name, &v) || !v) return false;
  out = VariantToLong(v);
  return true;
}

bool CVdPattern::GetParam(int group, const std::wstring& name, CString& out) {
  out.Empty();
  CVdPatternValue* v = nullptr;
  if (!GetValue(group, name, &v) || !v) return false;
  out = VariantToString(v, true);
  return true;
}

bool CVdPattern::GetParam(int group, const std::wstring& name, wchar_t* buffer, int length) {
  if (buffer && length > 0) buffer[0] = L'\0';
  CVdPatternValue* v = nullptr;
  if (!GetValue(group, name, &v) || !v) return false;
  if (buffer && length > 0) {
    const wchar_t* text = VariantToLPCSTR(v, true);
    int i = 0;
    for (; i < length && text[i]; ++i) buffer[i] = text[i];
    for (; i < length; ++i) buffer[i] = L'\0';
  }
  return true;
}

bool CVdPattern::GetParam(int group, const std::wstring& name, std::wstring& out) {
  CVdPatternValue* v = nullptr;
  if (!GetValue(group, name, &v) || !v) return false;
  out = VariantToLPCSTR(v, true);
  return true;
}

bool CVdPattern::SetValue(int group, const std::wstring& name, CVdPatternValue* value) {
  bool stored = false;
  try {
    if (!ValidGroup(group)) {
      DeleteValue(value);
      return false;
    }
    ParamGroup& g = m_groups[static_cast<std::size_t>(group)];
    // The hook below gets the caller's name or this copy, never the stored key: a hook that stores another
    // value may move the stored keys.
    std::wstring buffer;
    const std::wstring& key = FoldedRef(name, buffer);
    auto it = g.lower_bound(key);
    if (it == g.end() || it->name.str() != key) {
      const std::size_t position = static_cast<std::size_t>(it - g.begin());
      g.insert(it, key, value);
      if (group == m_cursorGroup && position <= m_cursor) ++m_cursor;  // the cursor's entry moved up
    } else if (it->value != value) {
      // Replaced: a walk standing on this entry ends, as it would had the entry been removed and added again.
      if (group == m_cursorGroup && static_cast<std::size_t>(it - g.begin()) == m_cursor) m_cursorGroup = -1;
      CVdPatternValue* old = it->value;
      it->value = value;
      stored = true;
      DeleteValue(old);
    }
    stored = true;
    UpdateDescription(group, key, value);
    return true;
  } catch (...) {
    if (!stored) DeleteValue(value);
    return false;
  }
}

void CVdPattern::MakeReadShape(const std::vector<std::wstring>& names, std::vector<std::size_t>& slots) {
  for (const std::wstring& name : names) SetValue(0, name, nullptr);
  slots.clear();
  ParamGroup& g = m_groups.front();
  std::wstring buffer;
  for (const std::wstring& name : names)
    slots.push_back(static_cast<std::size_t>(g.find(FoldedRef(name, buffer)) - g.begin()));
}

bool CVdPattern::TakeReadShape(const CVdPattern& shape) {
  using SetFn = bool (CVdPattern::*)(int, const std::wstring&, CVdPatternValue*);
  using MapFn = int (CVdPattern::*)(const wchar_t*);
  static const CVdPattern reference(0);
  if (m_groups.empty() || !m_groups.front().empty() || shape.m_groups.empty() ||
      !KeepsBaseSlot(*this, reference, static_cast<SetFn>(&CVdPattern::SetValue)) ||
      !KeepsBaseSlot(*this, reference, static_cast<SetFn>(&CVdPattern::UpdateDescription)) ||
      !KeepsBaseSlot(*this, reference, static_cast<MapFn>(&CVdPattern::GetMapOfAttribute)))
    return false;
  EndIterationIn(0);
  m_groups.front() = shape.m_groups.front();  // the names, without values
  return true;
}

void CVdPattern::PlaceReadValue(std::size_t slot, CVdPatternValue* value) noexcept {
  CVdPatternValue*& stored = (m_groups.front().begin() + static_cast<std::ptrdiff_t>(slot))->value;
  if (stored != value) DeleteValue(stored);
  stored = value;
}

void CVdPattern::SetReadUserName(CString&& name) {
  using NameFn = void (CVdPattern::*)(const CString&);
  static const CVdPattern reference(0);
  if (!KeepsBaseSlot(*this, reference, static_cast<NameFn>(&CVdPattern::SetUserName))) return SetUserName(name);
  if (m_userName == name) return;
  m_userName = std::move(name);
  PooledIdentityChanged();
}

bool CVdPattern::RemoveValue(int group, const std::wstring& name) {
  try {
    if (!ValidGroup(group)) return false;
    ParamGroup& g = m_groups[static_cast<std::size_t>(group)];
    std::wstring buffer;
    const auto it = g.find(FoldedRef(name, buffer));
    if (it == g.end()) return false;
    EndIterationAt(group, static_cast<std::size_t>(it - g.begin()));
    CVdPatternValue* value = it->value;
    g.erase(it);
    DeleteValue(value);
    return true;
  } catch (...) {
    return false;
  }
}

bool CVdPattern::RemoveValue(int group) {
  try {
    if (!ValidGroup(group)) return false;
    EndIterationIn(group);
    ParamGroup& g = m_groups[static_cast<std::size_t>(group)];
    for (Entry& entry : g) {
      DeleteValue(entry.value);
      entry.value = nullptr;
    }
    g.clear();
    return true;
  } catch (...) {
    return false;
  }
}

void CVdPattern::RemoveAll() {
  m_cursorGroup = -1;
  for (ParamGroup& g : m_groups) {
    for (Entry& entry : g) {
      DeleteValue(entry.value);
      entry.value = nullptr;
    }
    g.clear();
  }
}

namespace {

template <typename Make>
bool StoreNew(CVdPattern& pattern, int group, const std::wstring& name, Make make) {
  CVdPatternValue* value;
  try {
    value = make();
  } catch (...) {
    return false;
  }
  return pattern.SetValue(group, name, value);
}

}  // namespace

bool CVdPattern::SetParam(int group, const std::wstring& name, const std::wstring& text) {
  return StoreNew(*this, group, name, [&] { return new CVdPatternValue(text.c_str(), VT_BSTR); });
}

bool CVdPattern::SetParam(int group, const std::wstring& name, const wchar_t* text) {
  return StoreNew(*this, group, name, [&] { return new CVdPatternValue(text, VT_BSTR); });
}

bool CVdPattern::SetParam(int group, const std::wstring& name, CString text) {
  return StoreNew(*this, group, name, [&] { return new CVdPatternValue(text.GetString(), VT_BSTR); });
}

bool CVdPattern::SetParam(int group, const std::wstring& name, long number) {
  return StoreNew(*this, group, name, [&] { return new CVdPatternValue(number, VT_I4); });
}

bool CVdPattern::SetParam(int group, const std::wstring& name, double number) {
  return StoreNew(*this, group, name, [&] { return new CVdPatternValue(number); });
}

bool CVdPattern::SetMatchingDescription(int, const std::wstring& name, CVdPatternValue* value,
                                        const std::wstring& matchName, const std::wstring& description,
                                        const std::wstring& abbreviation) {
  if (!value || VdCompareNoCase(name, matchName) != 0) return false;
  value->SetDescription(description);
  value->SetAbrev(abbreviation);
  return true;
}
