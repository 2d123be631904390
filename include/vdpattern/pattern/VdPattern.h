#pragma once
// CVdPattern: one standard item of a family (a steel section "IPE 200", ...): a user name, a GUID, a family,
// the catalog it came from, a pattern type, an is-new mark and a fixed number of parameter groups, each group
// an ordered map from a lower-case parameter name to an owned CVdPatternValue.
//
// Ownership: a pattern owns every value stored in it. SetValue (and every SetParam) takes ownership of the
// value handed to it, also when it reports false. Pointers handed out by the readers point into the stored
// values and stay valid until that value is replaced or removed. GetClone returns a new pattern that the
// caller owns. A pattern and its values are used by one thread at a time; the parameter cursor belongs to the
// pattern, so two walks over one pattern cannot interleave.
//
// Names are folded with _wcslwr semantics (A-Z only) on every store and lookup and ordered code unit by code
// unit. Every internal call of an operation of the class goes through its virtual slot, so a derived pattern's
// overrides (UpdateDescription, GetMapOfAttribute, GetFixedParam, ...) take effect.
//
// Choices:
// - A group index outside [0, group count) makes every operation report false (0 for GetSizeParam) without
//   touching memory; SetValue then deletes the value it was handed, so nothing leaks.
// - Entries without a value (a null pointer stored by a caller) are removed and replaced like any other.
//   Dump skips them; the comparisons treat such an entry as equal only to another entry without a value; a
//   copy keeps them as entries without a value.
// - SetValue given the very value already stored under that name keeps it (nothing is destroyed).
// - GetParam(group, name, double&) converts a value of another type than VT_R8 with VariantToDouble.
// - The parameter cursor ends (FindNextParam reports false until the next FindFirstParam) when the entry under
//   it is replaced or removed, when its group is emptied, and on assignment.
// - Patterns with different numbers of groups: a group that this pattern lacks counts as a difference for
//   IsEqual and operator==; assignment grows this pattern to the source's group count.
// - The wide-stream output writes each value as its text (VariantToString), not as an address.
// - GUIDs are random version-4 GUIDs in the 38-character upper-case brace form.

#include <atomic>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include <vdpattern/VdPatternExport.h>
#include <vdpattern/pattern/VdPatternValue.h>
#include <vdpattern/toolkit/Archive.h>
#include <vdpattern/toolkit/Guid.h>
#include <vdpattern/toolkit/String.h>

class CVdUnitManager;

class VDPATTERN_EXPORT CVdPattern {
 public:
  enum enumPatternType : int { ePatternTypeStandard = 0, ePatternTypeCatalog = 1 };
  // The result of a factory's check of a name against its standard-name rules; every value but
  // eCheckUserNameOk is a refusal whose meaning a derived factory defines (any 32-bit value is valid).
  enum enumCheckUserName : int { eCheckUserNameOk = 0, eCheckUserNameRefused = 1 };

  // A negative group count throws std::length_error. Null names leave the fields empty.
  CVdPattern(int groupCount = 1, const wchar_t* userName = nullptr, const wchar_t* family = nullptr);
  virtual ~CVdPattern();

  // ---- identity, comparison, copying
  virtual void Dump() const;
  virtual CVdPattern* GetClone() const;                    // caller deletes the result; it has a new GUID
  virtual CVdPattern& operator=(const CVdPattern& other);  // keeps this pattern's GUID
  virtual bool operator==(const CVdPattern& other) const;
  virtual bool operator!=(const CVdPattern& other) const;
  virtual bool operator<(const CVdPattern& other) const;
  virtual int IsEqual(const CVdPattern& other, bool compareNames, bool compareParams) const;
  virtual void Serialize(CArchive& archive);
  virtual void GetUserNameW(std::wstring& out) const;
  virtual void GetUserNameW(CString*& out);  // out points at the stored name (owned by the pattern)
  virtual CString GetUserNameW();
  virtual void SetUserName(const CString& name);
  virtual void GetGUID(CString** out);  // *out points at the stored GUID text (owned by the pattern)
  virtual CString GetGUID();
  virtual void SetGUID(const CString& guid);
  virtual CString GetFamily();  // folds the stored family to lower case, then returns it
  virtual void SetFamily(const CString& family);
  virtual CString GetFamilyCode();
  virtual CString GetCatalog();
  virtual void SetCatalog(const CString& catalog);

  // ---- parameter store
  virtual int GetSizeParam(int group) const;
  virtual bool FindFirstParam(int group, std::wstring& name, CVdPatternValue*& value);
  virtual bool FindNextParam(std::wstring& name, CVdPatternValue*& value);
  virtual int GetSizeVectorParam() const;
  virtual void UpdateParamMap(int group);
  virtual bool UpdateDescription(int group, const std::wstring& name, CVdPatternValue* value);
  // Values found stay owned by the pattern.
  virtual bool GetValue(int group, const std::wstring& name, CVdPatternValue** value);
  virtual bool GetFixedParam(int group, const std::wstring& name, std::wstring& out) const;
  virtual bool GetFixedParam(int group, const std::wstring& name, int** out);
  virtual bool GetFixedParam(int group, const std::wstring& name, double** out);
  virtual bool GetFixedParam(int group, const std::wstring& name, double& out) const;
  virtual bool GetFixedParam(int group, const std::wstring& name, CVdPatternValue** value) const;
  virtual bool SetValue(int group, const std::wstring& name, CVdPatternValue* value);  // takes ownership
  virtual bool RemoveValue(int group);
  virtual bool RemoveValue(int group, const std::wstring& name);
  virtual void RemoveAll();
  virtual int GetMapOfAttribute(const wchar_t* attribute);
  virtual bool GetParam(int group, const std::wstring& name, std::wstring& out);
  // wcsncpy semantics: at most `length` characters, zero-padded, unterminated when the text is as long.
  virtual bool GetParam(int group, const std::wstring& name, wchar_t* buffer, int length);
  virtual bool GetParam(int group, const std::wstring& name, CString& out);
  virtual bool GetParam(int group, const std::wstring& name, long& out);
  virtual bool GetParam(int group, const std::wstring& name, wchar_t*** out);
  virtual bool GetParam(int group, const std::wstring& name, double** out);
  virtual bool GetParam(int group, const std::wstring& name, double& out);
  virtual bool SetParam(int group, const std::wstring& name, const std::wstring& text);
  virtual bool SetParam(int group, const std::wstring& name, const wchar_t* text);
  virtual bool SetParam(int group, const std::wstring& name, CString text);
  virtual bool SetParam(int group, const std::wstring& name, long number);
  virtual bool SetParam(int group, const std::wstring& name, double number);
  // `value` is borrowed: only its description and abbreviation are set.
  virtual bool SetMatchingDescription(int group, const std::wstring& name, CVdPatternValue* value,
                                      const std::wstring& matchName, const std::wstring& description,
                                      const std::wstring& abbreviation);
  virtual std::wstring ToString();
  virtual void SetNameFromGeometricParameters();
  virtual enumPatternType GetPatternType();
  virtual void SetPatternType(enumPatternType type);
  virtual bool GetIsNewPattern() const;
  virtual void SetIsNewPattern(const bool& isNew);
  virtual void setUNitManager(CVdUnitManager* unitManager);  // borrowed; this class keeps none

  bool IsParamValueDouble(int group, std::wstring& name) const;

 protected:
  CVdPattern(const CVdPattern& other);  // same content, new GUID
  void InitGuid();

 private:
  friend VDPATTERN_EXPORT std::wostream& operator<<(std::wostream& os, const CVdPattern& pattern);
  friend class CVdPatternFactory;
  friend class PoolIndex;  // reads the name and GUID in place, counts the pools holding a pattern

  // An immutable text that many patterns hold without a copy each: parameter names, family and catalog names.
  // A family read gives each of its patterns the same dozen names; one copy of each, reference counted, saves a
  // pattern of 13 parameters some 480 bytes of its 1,850 (pattern-memory-kb). The count is atomic: patterns
  // sharing a text may be used on different threads.
  class SharedText {
   public:
    SharedText() = default;
    SharedText(const SharedText& other) noexcept : m_body(other.m_body) {
      if (m_body) m_body->refs.fetch_add(1, std::memory_order_relaxed);
    }
    SharedText(SharedText&& other) noexcept : m_body(other.m_body) { other.m_body = nullptr; }
    SharedText& operator=(SharedText other) noexcept {
      std::swap(m_body, other.m_body);
      return *this;
    }
    ~SharedText() { Release(); }

    const std::wstring& str() const { return m_body ? m_body->text : Empty(); }
    // This thread's shared copy of `text`: the one it handed out last for that text if still at hand, else a
    // new one. Parameter names and labels (family, catalog) are kept apart so neither evicts the other.
    static SharedText Parameter(std::wstring_view text);
    static SharedText Label(std::wstring_view text);

   private:
    struct Body {
      std::atomic<unsigned> refs;
      std::wstring text;
    };
    struct Recent;
    static const std::wstring& Empty();
    static SharedText Make(std::wstring_view text);
    void Release() noexcept;

    Body* m_body = nullptr;  // null: the empty text
  };

  // One parameter group: an ordered map from name to value, kept as one array sorted by name in code-unit
  // order (std::less<std::wstring>'s order). A read row stores a dozen values, and one block for them costs a
  // fraction of a tree node each in time and memory. Positions move when entries are added or removed; the
  // pattern keeps its cursor as a position and moves it along.
  struct Entry {
    SharedText name;
    CVdPatternValue* value;
  };
  class ParamGroup {
   public:
    using iterator = std::vector<Entry>::iterator;
    using const_iterator = std::vector<Entry>::const_iterator;

    iterator begin() { return m_entries.begin(); }
    iterator end() { return m_entries.end(); }
    const_iterator begin() const { return m_entries.begin(); }
    const_iterator end() const { return m_entries.end(); }
    std::size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }
    void clear() { m_entries.clear(); }
    std::size_t capacity() const { return m_entries.capacity(); }

    // The first entry whose name is not less than `name`.
    iterator lower_bound(std::wstring_view name);
    const_iterator find(std::wstring_view name) const;
    iterator find(std::wstring_view name);
    iterator insert(iterator at, std::wstring_view name, CVdPatternValue* value);
    iterator erase(iterator at) { return m_entries.erase(at); }
    void reserve(std::size_t count) { m_entries.reserve(count); }

   private:
    std::vector<Entry> m_entries;
  };

  // The values of a read row, made by the factory in one block rather than one allocation each: a value then
  // costs its 40 bytes instead of 48, and the row one allocation instead of 13 (pattern-memory-kb-1m). Values
  // in the block are destroyed in place; the block goes when its last value does.
  struct ValueBlock;

  // Room for `count` parameters in the only group of a one-group pattern: a factory reading a row knows how
  // many are coming.
  void ReserveParams(std::size_t count) {
    if (m_groups.size() == 1) m_groups.front().reserve(count);
  }
  // A copy of `value` owned by the caller until handed to SetValue, made in this pattern's block of read values
  // when it has room (only for a pattern of exactly this class: a derived one may replace SetValue, and only
  // this class's SetValue knows the block).
  CVdPatternValue* NewReadValue(const VARIANT& value);
  void* ReadValueSlot();  // the block's next free slot, or null: the value is then made on its own
  // NewReadValue taking over `value`'s payload and leaving it empty: a read text is not copied again.
  CVdPatternValue* NewReadValueFrom(VARIANT& value);
  // A factory's row read without a lookup per value, for a pattern that keeps this class's SetValue,
  // UpdateDescription and GetMapOfAttribute. MakeReadShape, on a pattern of its own made once per result,
  // stores `names` as SetValue would (folded, sorted, distinct, no values) and gives each name's place in
  // `slots`. TakeReadShape copies those names into this pattern's empty first group (false: take the general
  // path); PlaceReadValue then stores a value at its place, a later column of the same name replacing an earlier
  // one as SetValue does.
  void MakeReadShape(const std::vector<std::wstring>& names, std::vector<std::size_t>& slots);
  bool TakeReadShape(const CVdPattern& shape);
  void PlaceReadValue(std::size_t slot, CVdPatternValue* value) noexcept;
  // SetUserName of a read name, moved in when this class's SetUserName would only copy it.
  void SetReadUserName(CString&& name);
  // Destroys a value this pattern owned, wherever it was made.
  void DeleteValue(CVdPatternValue* value) noexcept;

  // Pools index their patterns by user name and GUID: a change of either on a pooled pattern, or a pointer to
  // either handed out, tells every pool's index to check its list before the next use.
  void PooledIdentityChanged();
  // The GUID's text: the stored text, or the generated GUID written into `buffer`.
  std::wstring_view GuidText(wchar_t (&buffer)[40]) const;

  bool ValidGroup(int group) const { return group >= 0 && static_cast<std::size_t>(group) < m_groups.size(); }
  void EndIterationAt(int group, std::size_t position);
  void EndIterationIn(int group);
  bool CompareParams(const CVdPattern& other, bool byContent) const;

  CString m_userName;
  // The GUID: a generated one is kept as its 16 bytes (m_guidIsBits) and written out on demand, which spares
  // a pattern its 38-character text (176 heap bytes); a set or handed-out one lives in m_guidText.
  std::unique_ptr<CString> m_guidText;  // null with m_guidIsBits false: the empty GUID
  GUID m_guidBits{};
  SharedText m_family;
  SharedText m_catalog;
  enumPatternType m_patternType = ePatternTypeStandard;
  int m_cursorGroup = -1;
  std::vector<ParamGroup> m_groups;
  std::size_t m_cursor = 0;       // position in the cursor group
  ValueBlock* m_block = nullptr;  // owned; the block of read values, while one of them lives
  // Pools holding this pattern. Only a pooled pattern reports a change of its name or GUID: patterns are made,
  // named and given GUIDs by the thousand before they are pooled (a family read), and each report makes every
  // pool check its whole list again. A count, not a flag: one pattern may be shared by several pools.
  unsigned m_poolCount = 0;
  bool m_isNewPattern = false;
  // A pointer to the name or GUID was handed out: either may now change without this class knowing, so no
  // pool may index this pattern any more. Only the pattern can know it; no pool sees the hand-out.
  bool m_identityExposed = false;
  // Set by InitGuid alone, cleared by SetGUID and GetGUID(CString**): so it also marks a GUID that no other
  // pattern holds unless copied from this one (the copy's GUID is then set), and pools skip the GUID check.
  bool m_guidIsBits = false;
};

// The identity line "user name, GUID, family", then per group one line "(name, value text)" per entry and an
// empty line.
VDPATTERN_EXPORT std::wostream& operator<<(std::wostream& os, const CVdPattern& pattern);
