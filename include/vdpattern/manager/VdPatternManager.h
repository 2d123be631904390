#pragma once
// CVdPatternManager: the library's top-level object. It owns one pattern pool, the factory it was built with
// and the catalogs attached to it, resolves patterns by name (pool, factory standard patterns, catalogs, in
// the order each lookup gives) and purges pool patterns that the host no longer uses.
//
// Ownership: the factory handed to the constructor becomes the manager's; an accepted catalog (AttachCatalog)
// becomes the manager's, a refused one stays the caller's. Patterns from lookups are the pool's (pool hits) or
// the caller's (standard and catalog patterns); catalogs and pools returned by the finders stay the manager's.
// GetClone and GetPoolIterator return new objects that the caller deletes. Copies (copy constructor,
// operator=, GetClone) share the pool, the catalogs and the factory: each shared object is destroyed exactly
// once, when the last manager that refers to it lets go. So DetachCatalog and Empty let go of a catalog (and
// Empty of the pool): it is destroyed unless a copy still refers to it. On assignment the target lets go of
// what it referred to before in the same way. A manager is used by one thread at a time; the purge callback
// runs on the caller's thread.
//
// Choices:
// - A copy starts with the mark-new flag false (the flag is a setting of each manager, never copied).
// - FindNextCatalog without a FindFirstCatalog, or after the catalog under the cursor was detached, the
//   manager emptied or assigned to, returns null.
// - A standard pattern that a target pool refuses is deleted.
// - Without a factory (null at construction) the lookups skip the factory's step and GetPatternFactory returns
//   a default factory; nothing crashes.
// - Purge with a list of names skips a name that no pool pattern answers to; a callback answer with fewer flags
//   than names keeps the patterns whose flag is missing.
// - Extension, RefreshPool: brings the pool's catalog patterns up to date with the catalogs' change records
//   (CVdPatternCatalog::GetChanges), so a host learns of other connections' edits. Per attached catalog it costs
//   one statement when nothing changed (one round trip on a server), plus one lookup per pooled pattern whose
//   row changed. The first refresh after attaching a catalog knows nothing of when its patterns were read: it
//   takes the catalog's newest record number and re-reads every pooled pattern of that catalog. A catalog that
//   keeps no change records (never written by this library, an Access file) is passed over. No other operation
//   reads or writes change records.

#include <list>
#include <memory>
#include <unordered_map>
#include <string>
#include <vector>
#include <vdpattern/VdPatternExport.h>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/factory/VdPatternFactory.h>
#include <vdpattern/pattern/VdPattern.h>
#include <vdpattern/pool/VdListIterator.h>
#include <vdpattern/pool/VdPatternPool.h>
#include <vdpattern/toolkit/String.h>

// The host's answer, for each user name, whether the pattern may be removed (true) or is in use (false).
typedef std::vector<bool> (*PurgeCallback)(std::wstring family, std::vector<std::wstring> names);

class VDPATTERN_EXPORT CVdPatternManager {
 public:
  enum PURGE_STATUS : int { PURGE_OK = 0, PURGE_NOTHING_TO_PURGE = 1 };
  enum DELETE_STATUS : int { DELETE_OK = 0, DELETE_NOT_FOUND = 1, DELETE_IN_USE = 2 };

  using enumPatternType = CVdPattern::enumPatternType;
  using enumCheckUserName = CVdPattern::enumCheckUserName;

  // Takes ownership of `factory` (may be null).
  explicit CVdPatternManager(const CVdPatternFactory* factory);
  CVdPatternManager(const CVdPatternManager& other);

  virtual bool init(CVdUnitManager* unitManager, CString text, bool flag);
  virtual ~CVdPatternManager();
  virtual void Dump();
  virtual CVdPatternManager& operator=(const CVdPatternManager& other);
  virtual CVdPatternManager* GetClone() const;  // caller deletes the result

  // ---- lookups (pool hits stay the pool's; other results are the caller's)
  virtual CVdPattern* GetPattern(const CString& name, enumPatternType type, enumCheckUserName* check);
  virtual CVdPattern* GetPattern(const CString& unused, CString& name, enumCheckUserName& check);
  virtual bool GetPattern(const CString& name, CVdPatternPool* target, enumCheckUserName& check);
  virtual bool GetPatternByName(const CString& name, CVdPatternPool* target, enumCheckUserName& check);

  // ---- purge
  virtual PURGE_STATUS Purge(std::vector<std::wstring> names);
  virtual PURGE_STATUS Purge(PurgeCallback callback);
  virtual PURGE_STATUS Purge(std::wstring family, PurgeCallback callback, int& count);
  virtual DELETE_STATUS DeleteIfUnused(std::wstring name, PurgeCallback callback);

  virtual void Empty();

  // ---- the manager's pool
  virtual int GetCountPool() const;
  virtual bool IsEmptyPool() const;
  virtual int GetCountCatalog() const;
  virtual CVdPattern* GetPatternPool(CVdPattern* pattern) const;
  virtual CVdPattern* GetPatternPool(const CString& guid, bool unused) const;
  virtual CVdPattern* GetPatternPool(const CString& name, const CString& family) const;
  virtual CVdPattern* GetPatternPool(const CString& name);
  // Two literal texts would otherwise pick the (guid, bool) form: a pointer converts to bool before CString.
  CVdPattern* GetPatternPool(const wchar_t* name, const wchar_t* family) const {
    return GetPatternPool(CString(name), CString(family));
  }
  virtual bool AddPatternPool(CVdPattern* pattern, bool force);  // the pool takes an accepted pattern
  virtual void SetPatternPool(CVdPattern* pattern);
  virtual void GetFamilyPatternPool(CVdPatternPool& target, const CString& family, bool force) const;
  virtual void GetListPatternPool(std::list<CVdPattern*>& patterns, const CString& family) const;
  virtual void SetListPatternPool(const std::list<CVdPattern*>& patterns);
  virtual void GetListUserName(std::list<CString>& names) const;
  virtual void GetFamilyListUserName(std::list<CString>& names, const CString& family) const;
  virtual bool IsExistUserNamePool(const CString& name) const;
  virtual bool IsExistGuidPool(const CString& guid) const;
  virtual bool IsStandardName(const CString& name) const;
  virtual CVdPattern* FindPatternPool(int index) const;
  virtual int FindPatternPositionPool(const CVdPattern* pattern) const;
  virtual CVdPattern* FindFirstPatternPool();
  virtual CVdPattern* FindNextPatternPool();
  virtual void DeleteAllPatternPool();
  virtual bool DeletePatternPool(const CString& guid);

  // ---- catalogs
  virtual bool AttachCatalog(CVdPatternCatalog* catalog);  // takes ownership when it returns true
  virtual void DetachCatalog(const CString& name);
  virtual bool IsExistCatalog(const CString& nameOrPath);
  virtual CVdPatternCatalog* GetCatalog(const CString& nameOrPath);
  virtual CVdPatternCatalog* GetCatalogByPath(const CString& path);
  virtual CVdPatternCatalog* FindFirstCatalog();
  virtual CVdPatternCatalog* FindNextCatalog();
  virtual void GetFamiliesCatalog(const CString& catalog, std::list<std::wstring>& families);
  virtual void GetFamiliesPool(std::list<std::wstring>& families);
  virtual void GetPatternCatalog(const CString& catalog, const CString& family, CVdPatternPool* target);
  virtual CVdPattern* GetPatternCatalog(const CString& catalog, const CString& name);
  virtual void GetPatternCatalog(const CString& name, CVdPatternPool* target);
  virtual CVdPattern* GetPatternCatalog(const CString& name);
  virtual void GetFamilies(std::list<std::wstring>& families);
  virtual CVdListIterator<CVdPattern*>* GetPoolIterator();  // caller deletes the result
  virtual CString FindCatalogNameByEditorName(CString name);
  virtual CVdPatternFactory GetPatternFactory();
  virtual const CVdPatternFactory* GetPatternFactoryPtr();  // stays the manager's
  // ---- names as engineers write them (extension; CVdPatternCatalog::FindNames)
  // Off by default, so that the lookups keep their contract for exact names. On, the catalog lookups by name
  // (GetPattern, GetPatternCatalog) that find no catalog holding the exact name look the name up by the
  // catalogs' aliases and normal forms, and answer when exactly one row of all the catalogs matches: the
  // pattern then carries that row's real name. Several rows answer as not found; FindNames lists them. The
  // catalogs' own setting is best left off under a manager: each would answer a spelling before the next
  // catalog was asked for the exact name.
  void SetMatchSpellings(bool on) { m_bMatchSpellings = on; }
  bool GetMatchSpellings() const { return m_bMatchSpellings; }
  struct NameMatch {
    CVdPatternCatalog* catalog;  // borrowed: the manager's, valid while it stays attached
    CVdPatternCatalog::NameMatch match;
  };
  // Every row of the attached catalogs that `name` reaches by an alias or its normal form (exact names are not
  // looked up here), within `family` when not null; false when a catalog failed to answer.
  bool FindNames(const CString& name, const wchar_t* family, std::vector<NameMatch>& matches);

  virtual bool GetMarkNewPattern() const;
  virtual void SetMarkNewPattern(const bool& mark);

  // ---- extension: refreshing the pool (see Choices)
  struct PoolRefresh {
    // Pool patterns re-read in place: the same objects, GUIDs and user names, new values. The pool's.
    std::vector<CVdPattern*> updated;
    // GUIDs of the pool patterns dropped because their rows are gone; the patterns are deleted.
    std::vector<CString> removed;
    // Names of the catalogs that could not be asked; each failure went once to the catalog's OnDBException,
    // and the next refresh asks again from the same point.
    std::vector<CString> failed;
  };
  PoolRefresh RefreshPool();

 private:
  CVdPattern* NewStandard(const CString& name, enumCheckUserName* check) const;
  void ResetPool();
  // Re-reads the pool patterns of `catalog` that `changed` admits (all when null) into `result`; false when a
  // failure stopped it.
  bool RereadPooled(CVdPatternCatalog& catalog, const std::vector<CVdPatternCatalog::PatternChange>* changed,
                    PoolRefresh& result);

  CVdPattern* GetPatternBySpelling(const CString& name);  // caller deletes the result

  bool m_bMarkNewPattern = false;
  bool m_bMatchSpellings = false;            // a setting of each manager, copied with it
  CVdPatternPool* m_pPool = nullptr;         // owned (shared with copies)
  std::list<CVdPatternCatalog*> m_catalogs;  // owned (shared with copies)
  std::list<CVdPatternCatalog*>::iterator m_catalogCursor;
  const CVdPatternFactory* m_pFactory = nullptr;  // owned (shared with copies)

  // The owners of what the fields above point at (those fields are the public layout, and views). Copies of a
  // manager share each object; the last manager that lets go of one destroys it.
  std::shared_ptr<CVdPatternPool> m_poolOwner;
  std::unordered_map<const CVdPatternCatalog*, std::shared_ptr<CVdPatternCatalog>> m_catalogOwners;
  std::shared_ptr<const CVdPatternFactory> m_factoryOwner;
  bool m_cursorSet = false;
  // The newest change record each catalog's patterns were refreshed to (RefreshPool), shared with copies
  // because the pool is.
  std::shared_ptr<std::unordered_map<const CVdPatternCatalog*, long long>> m_changesSeen =
      std::make_shared<std::unordered_map<const CVdPatternCatalog*, long long>>();
};
