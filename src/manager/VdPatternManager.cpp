#include <vdpattern/manager/VdPatternManager.h>

#include <algorithm>
#include <vdpattern/toolkit/VdUnit.h>

namespace {

void AppendNew(std::list<std::wstring>& out, const std::wstring& name) {
  if (std::find(out.begin(), out.end(), name) == out.end()) out.push_back(name);
}

}  // namespace

// ---------------------------------------------------------------- construction and copies

CVdPatternManager::CVdPatternManager(const CVdPatternFactory* factory)
    : m_catalogCursor(m_catalogs.end()), m_pFactory(factory), m_factoryOwner(factory) {
  ResetPool();
}

CVdPatternManager::CVdPatternManager(const CVdPatternManager& other) : m_catalogCursor(m_catalogs.end()) {
  CVdPatternManager::operator=(other);
}

CVdPatternManager::~CVdPatternManager() {
  // Let go of the pool, then the catalogs, then the factory: each is destroyed unless a copy still holds it.
  m_pPool = nullptr;
  m_poolOwner.reset();
  m_catalogs.clear();
  m_catalogOwners.clear();
  m_pFactory = nullptr;
  m_factoryOwner.reset();
}

void CVdPatternManager::ResetPool() {
  m_poolOwner = std::make_shared<CVdPatternPool>(true, m_pFactory);
  m_pPool = m_poolOwner.get();
  if (m_changesSeen) m_changesSeen->clear();  // a new pool has nothing refreshed yet
}

bool CVdPatternManager::init(CVdUnitManager*, CString, bool) { return false; }

CVdPatternManager& CVdPatternManager::operator=(const CVdPatternManager& other) {
  if (this == &other) return *this;
  m_poolOwner = other.m_poolOwner;
  m_pPool = other.m_pPool;
  m_catalogs = other.m_catalogs;
  m_catalogOwners = other.m_catalogOwners;
  m_cursorSet = false;  // the list was refilled: a walk starts again with FindFirstCatalog
  m_catalogCursor = m_catalogs.end();
  m_factoryOwner = other.m_factoryOwner;
  m_pFactory = other.m_pFactory;
  m_changesSeen = other.m_changesSeen;
  m_bMatchSpellings = other.m_bMatchSpellings;
  return *this;
}

CVdPatternManager* CVdPatternManager::GetClone() const { return new CVdPatternManager(*this); }

void CVdPatternManager::Dump() {
  if (m_pPool) m_pPool->Dump();
  CVdListIterator<CVdPatternCatalog*> catalogs(m_catalogs);
  catalogs.Dump();
}

void CVdPatternManager::Empty() {
  if (m_pPool) ResetPool();
  m_cursorSet = false;
  m_catalogs.clear();
  m_catalogOwners.clear();
  m_catalogCursor = m_catalogs.end();
}

// ---------------------------------------------------------------- catalogs

bool CVdPatternManager::AttachCatalog(CVdPatternCatalog* catalog) {
  if (!catalog || !catalog->IsCatalog() || IsExistCatalog(catalog->GetName())) return false;
  m_catalogOwners.emplace(catalog, catalog);
  m_catalogs.push_back(catalog);
  return true;
}

void CVdPatternManager::DetachCatalog(const CString& name) {
  for (auto it = m_catalogs.begin(); it != m_catalogs.end(); ++it) {
    if ((*it)->GetName().CompareNoCase(name) != 0) continue;
    if (m_cursorSet && m_catalogCursor == it) m_cursorSet = false;
    const CVdPatternCatalog* catalog = *it;
    m_catalogs.erase(it);
    m_changesSeen->erase(catalog);   // an address may be reused by a catalog attached later
    m_catalogOwners.erase(catalog);  // destroys the catalog unless a copy of this manager still holds it
    return;
  }
}

CVdPatternCatalog* CVdPatternManager::GetCatalog(const CString& nameOrPath) {
  for (CVdPatternCatalog* catalog : m_catalogs)
    if (catalog->GetName().CompareNoCase(nameOrPath) == 0 || catalog->GetPath().CompareNoCase(nameOrPath) == 0)
      return catalog;
  return nullptr;
}

CVdPatternCatalog* CVdPatternManager::GetCatalogByPath(const CString& path) {
  for (CVdPatternCatalog* catalog : m_catalogs)
    if (catalog->GetPath().CompareNoCase(path) == 0) return catalog;
  return nullptr;
}

bool CVdPatternManager::IsExistCatalog(const CString& nameOrPath) { return GetCatalog(nameOrPath) != nullptr; }

int CVdPatternManager::GetCountCatalog() const { return static_cast<int>(m_catalogs.size()); }

CVdPatternCatalog* CVdPatternManager::FindFirstCatalog() {
  if (m_catalogs.empty()) return nullptr;
  m_catalogCursor = m_catalogs.begin();
  m_cursorSet = true;
  return *m_catalogCursor;
}

CVdPatternCatalog* CVdPatternManager::FindNextCatalog() {
  if (!m_cursorSet || m_catalogCursor == m_catalogs.end()) return nullptr;
  if (++m_catalogCursor == m_catalogs.end()) return nullptr;
  return *m_catalogCursor;
}

CString CVdPatternManager::FindCatalogNameByEditorName(CString name) {
  CString result;
  for (CVdPatternCatalog* catalog = FindFirstCatalog(); catalog; catalog = FindNextCatalog())
    if (catalog->GetName().CompareNoCase(name) == 0) result = catalog->GetName();
  return result;
}

// ---------------------------------------------------------------- lookups

CVdPattern* CVdPatternManager::NewStandard(const CString& name, enumCheckUserName* check) const {
  return m_pFactory ? m_pFactory->NewStandard(name, check) : nullptr;
}

CVdPattern* CVdPatternManager::GetPattern(const CString& name, enumPatternType type, enumCheckUserName* check) {
  if (CVdPattern* hit = m_pPool->GetPattern(name)) return hit;
  if (type == CVdPattern::ePatternTypeCatalog) {
    if (CVdPattern* found = GetPatternCatalog(name)) return found;
    return NewStandard(name, check);
  }
  if (CVdPattern* standard = NewStandard(name, check)) return standard;
  return GetPatternCatalog(name);
}

CVdPattern* CVdPatternManager::GetPattern(const CString&, CString& name, enumCheckUserName& check) {
  if (CVdPattern* hit = m_pPool->GetPattern(name)) return hit;
  if (CVdPattern* standard = NewStandard(name, &check)) return standard;
  return GetPatternCatalog(name);
}

bool CVdPatternManager::GetPattern(const CString& name, CVdPatternPool* target, enumCheckUserName& check) {
  if (!target) return false;
  if (CVdPattern* hit = m_pPool->GetPattern(name)) {
    target->AddPattern(hit, false);
    return true;
  }
  if (CVdPattern* standard = NewStandard(name, &check)) {
    if (!target->AddPattern(standard, false)) delete standard;  // refused: it belongs to nobody
    return false;
  }
  GetPatternCatalog(name, target);
  return false;
}

bool CVdPatternManager::GetPatternByName(const CString& name, CVdPatternPool* target, enumCheckUserName& check) {
  if (!target) return false;
  if (CVdPattern* hit = m_pPool->GetPatternByName(name)) {
    target->AddPattern(hit, false);
    return true;
  }
  if (CVdPattern* standard = NewStandard(name, &check)) {
    if (!target->AddPattern(standard, false)) delete standard;
    return false;
  }
  GetPatternCatalog(name, target);
  return false;
}

CVdPattern* CVdPatternManager::GetPatternCatalog(const CString& name) {
  CVdListIterator<CVdPatternCatalog*> catalogs(m_catalogs);
  for (catalogs.First(); !catalogs.IsDone(); catalogs.Next()) {
    const CString normalised = CVdUnit::NormalizedPatternName(name);
    if (CVdPattern* found = catalogs.CurrentItem()->GetPattern(normalised, nullptr)) {
      found->SetUserName(name);
      return found;
    }
  }
  return m_bMatchSpellings ? GetPatternBySpelling(name) : nullptr;
}

bool CVdPatternManager::FindNames(const CString& name, const wchar_t* family, std::vector<NameMatch>& matches) {
  bool answered = true;
  for (CVdPatternCatalog* catalog : m_catalogs) {
    std::vector<CVdPatternCatalog::NameMatch> found;
    answered = catalog->FindNames(name, family, found) && answered;
    for (CVdPatternCatalog::NameMatch& m : found) matches.push_back({catalog, std::move(m)});
  }
  return answered;
}

CVdPattern* CVdPatternManager::GetPatternBySpelling(const CString& name) {
  std::vector<NameMatch> matches;
  if (!FindNames(name, nullptr, matches) || matches.size() != 1) return nullptr;
  return matches[0].catalog->GetPattern(matches[0].match.name.c_str(), matches[0].match.family.c_str());
}

CVdPattern* CVdPatternManager::GetPatternCatalog(const CString& catalog, const CString& name) {
  CVdPatternCatalog* found = GetCatalog(catalog);
  return found ? found->GetPattern(name, nullptr) : nullptr;
}

void CVdPatternManager::GetPatternCatalog(const CString& name, CVdPatternPool* target) {
  if (!target) return;
  for (CVdPatternCatalog* catalog : std::list<CVdPatternCatalog*>(m_catalogs))
    if (CVdPattern* found = catalog->GetPattern(name, nullptr))
      if (!target->AddPattern(found, true)) delete found;
}

void CVdPatternManager::GetPatternCatalog(const CString& catalog, const CString& family, CVdPatternPool* target) {
  if (CVdPatternCatalog* found = GetCatalog(catalog)) found->GetFamilyPattern(target, family, nullptr);
}

void CVdPatternManager::GetFamiliesCatalog(const CString& catalog, std::list<std::wstring>& families) {
  if (CVdPatternCatalog* found = GetCatalog(catalog)) found->GetFamilies(families);
}

void CVdPatternManager::GetFamiliesPool(std::list<std::wstring>& families) {
  for (CVdPattern* p = FindFirstPatternPool(); p; p = FindNextPatternPool()) AppendNew(families, p->GetFamily().str());
}

void CVdPatternManager::GetFamilies(std::list<std::wstring>& families) {
  for (CVdPatternCatalog* catalog : std::list<CVdPatternCatalog*>(m_catalogs)) {
    std::list<std::wstring> own;
    GetFamiliesCatalog(catalog->GetName(), own);
    for (const std::wstring& family : own) AppendNew(families, family);
  }
  GetFamiliesPool(families);
}

// ---------------------------------------------------------------- the pool

int CVdPatternManager::GetCountPool() const { return m_pPool->GetCount(); }
bool CVdPatternManager::IsEmptyPool() const { return m_pPool->IsEmpty(); }
CVdPattern* CVdPatternManager::GetPatternPool(const CString& name) { return m_pPool->GetPattern(name); }

CVdPattern* CVdPatternManager::GetPatternPool(const CString& name, const CString& family) const {
  CVdPattern* hit = m_pPool->GetPattern(name);
  return hit && hit->GetFamily().CompareNoCase(family) == 0 ? hit : nullptr;
}

CVdPattern* CVdPatternManager::GetPatternPool(const CString& guid, bool unused) const {
  return m_pPool->GetPattern(guid, unused);
}

CVdPattern* CVdPatternManager::GetPatternPool(CVdPattern* pattern) const {
  return m_pPool->GetPattern(pattern, true, true);
}

bool CVdPatternManager::AddPatternPool(CVdPattern* pattern, bool force) { return m_pPool->AddPattern(pattern, force); }
void CVdPatternManager::SetPatternPool(CVdPattern* pattern) { m_pPool->SetPattern(pattern); }

void CVdPatternManager::GetFamilyPatternPool(CVdPatternPool& target, const CString& family, bool force) const {
  m_pPool->GetFamilyPattern(target, family, force);
}

void CVdPatternManager::GetListPatternPool(std::list<CVdPattern*>& patterns, const CString& family) const {
  m_pPool->GetListPattern(patterns, family);
}

void CVdPatternManager::SetListPatternPool(const std::list<CVdPattern*>& patterns) {
  m_pPool->SetListPattern(patterns);
}

void CVdPatternManager::GetListUserName(std::list<CString>& names) const { m_pPool->GetListUserName(names); }

void CVdPatternManager::GetFamilyListUserName(std::list<CString>& names, const CString& family) const {
  m_pPool->GetFamilyListUserName(names, family);
}

bool CVdPatternManager::IsExistUserNamePool(const CString& name) const { return m_pPool->IsExistUserName(name); }
bool CVdPatternManager::IsExistGuidPool(const CString& guid) const { return m_pPool->IsExistPattern(guid, true); }
bool CVdPatternManager::IsStandardName(const CString& name) const { return m_pPool->IsStandardPatternName(name); }
CVdPattern* CVdPatternManager::FindPatternPool(int index) const { return m_pPool->FindPattern(index); }

int CVdPatternManager::FindPatternPositionPool(const CVdPattern* pattern) const {
  return m_pPool->FindPatternPosition(pattern);
}

CVdPattern* CVdPatternManager::FindFirstPatternPool() { return m_pPool->FindFirstPattern(); }
CVdPattern* CVdPatternManager::FindNextPatternPool() { return m_pPool->FindNextPattern(); }
void CVdPatternManager::DeleteAllPatternPool() { m_pPool->DeleteAllPattern(); }
bool CVdPatternManager::DeletePatternPool(const CString& guid) { return m_pPool->DeletePattern(guid); }
CVdListIterator<CVdPattern*>* CVdPatternManager::GetPoolIterator() { return m_pPool->GetPoolIterator(); }

CVdPatternFactory CVdPatternManager::GetPatternFactory() {
  return m_pFactory ? CVdPatternFactory(*m_pFactory) : CVdPatternFactory();
}

const CVdPatternFactory* CVdPatternManager::GetPatternFactoryPtr() { return m_pFactory; }
bool CVdPatternManager::GetMarkNewPattern() const { return m_bMarkNewPattern; }
void CVdPatternManager::SetMarkNewPattern(const bool& mark) { m_bMarkNewPattern = mark; }

// ---------------------------------------------------------------- purge

CVdPatternManager::PURGE_STATUS CVdPatternManager::Purge(std::vector<std::wstring> names) {
  if (names.empty()) return PURGE_NOTHING_TO_PURGE;
  for (const std::wstring& name : names)
    if (CVdPattern* p = GetPatternPool(CString(name))) DeletePatternPool(p->GetGUID());
  return PURGE_OK;
}

CVdPatternManager::PURGE_STATUS CVdPatternManager::Purge(PurgeCallback callback) {
  int ignored = 0;
  return Purge(std::wstring(), callback, ignored);
}

CVdPatternManager::PURGE_STATUS CVdPatternManager::Purge(std::wstring family, PurgeCallback callback, int& count) {
  CVdPatternPool candidates(false, nullptr);
  GetFamilyPatternPool(candidates, CString(family), false);
  if (!callback || candidates.IsEmpty()) return PURGE_NOTHING_TO_PURGE;
  std::vector<std::wstring> names;
  names.reserve(static_cast<std::size_t>(candidates.GetCount()));
  for (CVdPattern* p = candidates.FindFirstPattern(); p; p = candidates.FindNextPattern()) {
    std::wstring name;
    p->GetUserNameW(name);
    names.push_back(std::move(name));
  }
  const std::vector<bool> answer = callback(family, names);
  std::vector<std::wstring> removable;
  for (std::size_t i = 0; i < names.size() && i < answer.size(); ++i)
    if (answer[i]) removable.push_back(names[i]);
  count = static_cast<int>(removable.size());
  return Purge(std::move(removable));
}

CVdPatternManager::DELETE_STATUS CVdPatternManager::DeleteIfUnused(std::wstring name, PurgeCallback callback) {
  if (callback) {
    const std::vector<bool> answer = callback(std::wstring(), std::vector<std::wstring>{name});
    if (answer.empty() || !answer.front()) return DELETE_IN_USE;
  }
  CVdPattern* p = GetPatternPool(CString(name));
  if (!p) return DELETE_NOT_FOUND;
  DeletePatternPool(p->GetGUID());
  return DELETE_OK;
}

// ---------------------------------------------------------------- refresh

namespace {

bool SameText(const std::wstring& a, const CString& b) { return CString(a).CompareNoCase(b) == 0; }

// Whether a change record names the pooled pattern: its family, and its user name or the name the lookup
// asked the catalog for (GetPatternCatalog normalises the user's text).
bool Names(const CVdPatternCatalog::PatternChange& change, const CString& family, const CString& user) {
  if (change.name.empty() || !SameText(change.family, family)) return false;
  return SameText(change.name, user) || SameText(change.name, CVdUnit::NormalizedPatternName(user));
}

}  // namespace

bool CVdPatternManager::RereadPooled(CVdPatternCatalog& catalog,
                                     const std::vector<CVdPatternCatalog::PatternChange>* changed,
                                     PoolRefresh& result) {
  // A copy of the list, through which the host's own walk of the pool is left where it stands.
  std::vector<CVdPattern*> pooled;
  std::unique_ptr<CVdListIterator<CVdPattern*>> walk(m_pPool->GetPoolIterator());
  for (walk->First(); !walk->IsDone(); walk->Next()) {
    CVdPattern* p = walk->CurrentItem();
    if (p->GetPatternType() == CVdPattern::ePatternTypeCatalog && p->GetCatalog().CompareNoCase(catalog.GetName()) == 0)
      pooled.push_back(p);
  }
  bool complete = true;
  for (CVdPattern* p : pooled) {
    const CString family = p->GetFamily();
    const CString user = p->GetUserNameW();
    if (changed &&
        std::none_of(changed->begin(), changed->end(), [&](const auto& c) { return Names(c, family, user); }))
      continue;
    if (CVdPattern* fresh = catalog.GetPattern(CVdUnit::NormalizedPatternName(user), family)) {
      *p = *fresh;  // keeps the pool's object and its GUID
      p->SetUserName(user);
      delete fresh;
      result.updated.push_back(p);
      continue;
    }
    // Not found, or the lookup failed (reported): a pattern is dropped only once the catalog answers again.
    long long ignored = 0;
    if (catalog.GetLastChange(ignored) == CVdPatternCatalog::eChangesFailed) {
      complete = false;
      break;
    }
    const CString guid = p->GetGUID();
    m_pPool->DeletePattern(guid);
    result.removed.push_back(guid);
  }
  return complete;
}

CVdPatternManager::PoolRefresh CVdPatternManager::RefreshPool() {
  PoolRefresh result;
  for (CVdPatternCatalog* catalog : std::list<CVdPatternCatalog*>(m_catalogs)) {
    const auto seen = m_changesSeen->find(catalog);
    long long newest = 0;
    std::vector<CVdPatternCatalog::PatternChange> changes;
    // The newest number is taken before the patterns are read, so an edit committed meanwhile is read again
    // by the next refresh rather than missed.
    const CVdPatternCatalog::eChanges answer =
        seen == m_changesSeen->end() ? catalog->GetLastChange(newest) : catalog->GetChanges(seen->second, changes);
    if (answer == CVdPatternCatalog::eChangesNotKept) continue;
    if (answer == CVdPatternCatalog::eChangesFailed) {
      result.failed.push_back(catalog->GetName());
      continue;
    }
    if (seen != m_changesSeen->end()) {
      newest = changes.empty() ? seen->second : changes.back().sequence;
      if (changes.empty()) continue;
    }
    if (!RereadPooled(*catalog, seen == m_changesSeen->end() ? nullptr : &changes, result)) {
      result.failed.push_back(catalog->GetName());
      continue;
    }
    (*m_changesSeen)[catalog] = newest;
  }
  return result;
}
