// The catalog's history: recording its own writes, reading, undoing and pruning (History.h has the layout).
#include <vdpattern/catalog/VdPatternCatalog.h>

#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>

#include "catalog/ChangeLog.h"
#include "catalog/History.h"
#include "catalog/WriteGroup.h"

namespace history = vdpattern::catalog;
using vdpattern::HistoryColumn;
using vdpattern::HistoryEntry;
using vdpattern::HistoryFilter;
using vdpattern::HistoryValue;

struct CVdPatternCatalog::HistoryBatch {
  std::vector<history::PendingChange> pending;
  history::ChangeSet set;  // the parts written while the batch goes on
};

namespace {

bool SameNoCase(const std::wstring& a, const std::wstring& b) { return CString(a).CompareNoCase(b.c_str()) == 0; }

const HistoryColumn* FindColumn(const std::vector<HistoryColumn>& columns, const wchar_t* name) {
  for (const HistoryColumn& c : columns)
    if (SameNoCase(c.column, name)) return &c;
  return nullptr;
}

// Whether the row existed before and after the change: only a change of its Name says otherwise.
bool ExistedBefore(const HistoryEntry& e) {
  const HistoryColumn* name = FindColumn(e.columns, L"Name");
  return !name || name->before.type != HistoryValue::eNull;
}
bool ExistsAfter(const HistoryEntry& e) {
  const HistoryColumn* name = FindColumn(e.columns, L"Name");
  return !name || name->after.type != HistoryValue::eNull;
}

const HistoryValue* CurrentValue(const history::RowValues& row, const std::wstring& column) {
  for (const auto& [name, value] : row)
    if (SameNoCase(name, column)) return &value;
  return nullptr;
}

// The newest recorded change after `entry` (outside its set) that wrote `column` of its row, or touched the row at
// all when `column` is empty; null when none did.
const HistoryEntry* LaterWriter(const std::vector<HistoryEntry>& family, const HistoryEntry& entry,
                                const std::wstring& column) {
  for (const HistoryEntry& e : family) {  // newest first
    if (e.change <= entry.change || e.set == entry.set) continue;
    const HistoryColumn* renamed = FindColumn(e.columns, L"Name");
    const bool sameRow = SameNoCase(e.name, entry.name) || (renamed && renamed->before.type == HistoryValue::eText &&
                                                            SameNoCase(renamed->before.text, entry.name));
    if (sameRow && (column.empty() || FindColumn(e.columns, column.c_str()))) return &e;
  }
  return nullptr;
}

CString Refusal(long long change, const std::wstring& name, const std::wstring& what, const HistoryEntry* later) {
  CString text;
  if (later) {
    text.Format(
        L"Change %lld cannot be undone: %s of \"%s\" was changed since by change %lld (%s, %s); undo that "
        L"one first.",
        change, what.c_str(), name.c_str(), later->change, later->who.c_str(), later->at.c_str());
  } else {
    text.Format(
        L"Change %lld cannot be undone: %s of \"%s\" is no longer what it wrote, and no recorded change "
        L"wrote it since (another program did).",
        change, what.c_str(), name.c_str());
  }
  return text;
}

}  // namespace

// ---------------------------------------------------------------- recording

// A history table the catalog's owner does not own is not the catalog's: its writes keep the change records only,
// as a catalog without a history does, and it is neither read nor written.
bool CVdPatternCatalog::HasHistory() {
  if (!Database()) return false;
  if (m_history != eHistoryUnknown) return m_history == eHistoryKept;
  try {
    m_history =
        HasTable(history::kHistoryTable) && history::IsHistoryTrusted(*Database()) ? eHistoryKept : eHistoryAbsent;
  } catch (CDBException* e) {
    e->Delete();
    return false;
  }
  return m_history == eHistoryKept;
}

CVdPatternCatalog::RowSnapshot CVdPatternCatalog::Snapshot(CVdRecordset& rs) {
  if (m_history == eHistoryUnknown)
    m_history =
        HasTable(history::kHistoryTable) && history::IsHistoryTrusted(*Database()) ? eHistoryKept : eHistoryAbsent;
  return m_history == eHistoryKept ? history::ReadRowValues(rs) : RowSnapshot();
}

namespace {

// Why a catalog with a history table does not use it (null when it has none).
const wchar_t* Untrusted(CVdDatabase* db) {
  CVdODBCTableDefInfo table;
  try {
    if (!db->GetTableDefInfo(history::kHistoryTable, table)) return nullptr;
  } catch (CDBException* e) {
    e->Delete();
    return nullptr;
  }
  return L"The catalog's history table is not owned by the catalog's owner, so it is not trusted and not "
         L"used; the owner can drop it and make it again.";
}

}  // namespace

void CVdPatternCatalog::RecordWrite(const CString& family, const CString& name, const wchar_t* kind,
                                    const RowSnapshot& before, const RowSnapshot& after) {
  if (m_history != eHistoryKept) {
    RecordChange(family, name, kind);
    return;
  }
  RecordEncoded(family, name, kind, history::EncodeColumns(history::Changed(before, after)));
}

void CVdPatternCatalog::RecordEncoded(const CString& family, const CString& name, const wchar_t* kind,
                                      std::wstring columns) {
  history::EnsureChangeTable(*Database(), &m_changeTableKnown);
  history::PendingChange change{family, name, kind, std::move(columns)};
  if (m_historyBatch) {
    m_historyBatch->pending.push_back(std::move(change));
    return;
  }
  // The records wait for no answer: their failure is the write's, said by the group's end (one round trip for
  // both, with the commit).
  history::RecordChange(*Database(), family, name, kind, true);
  history::WriteHistory(*Database(), change, true);
}

void CVdPatternCatalog::RecordFamilyWrite(const CString& family, const wchar_t* kind,
                                          const std::vector<HistoryColumn>& columns) {
  if (m_historyBatch && HasHistory()) {
    history::EnsureChangeTable(*Database(), &m_changeTableKnown);
    m_historyBatch->pending.push_back({family, CString(), kind, history::EncodeColumns(columns)});
    return;
  }
  history::RecordOther(*Database(), family, CString(), kind, columns);
}

void CVdPatternCatalog::RecordAliasWrite(const std::vector<NameMatch>& aliases, bool added) {
  if (!HasHistory()) return;  // aliases never wrote change records, and a catalog without a history keeps to that
  for (const NameMatch& a : aliases) {
    if (a.alias.empty()) continue;  // a spelling of the name itself, not an alias
    std::vector<HistoryColumn> what(1);
    what[0].column = L"alias";
    (added ? what[0].after : what[0].before) = {HistoryValue::eText, a.alias};
    history::RecordOther(*Database(), a.family.c_str(), a.name.c_str(), history::kChangeAlias, what);
  }
}

void CVdPatternCatalog::BeginHistoryBatch() { m_historyBatch = std::make_shared<HistoryBatch>(); }

bool CVdPatternCatalog::EndHistoryBatch(bool keep) {
  std::shared_ptr<HistoryBatch> batch = std::move(m_historyBatch);
  m_historyBatch.reset();
  if (!keep || !batch || batch->pending.empty()) return true;
  try {
    history::FlushHistoryPart(*Database(), batch->pending, batch->set, false);
    return true;
  } catch (CDBException* e) {
    OnDBException(e);
    e->Delete();
    return false;
  }
}

std::size_t CVdPatternCatalog::HistoryHeld() const { return m_historyBatch ? m_historyBatch->pending.size() : 0; }

void CVdPatternCatalog::ForgetHistoryAfter(std::size_t held) {
  if (!m_historyBatch || m_historyBatch->pending.size() <= held) return;
  auto& pending = m_historyBatch->pending;
  pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(held), pending.end());
}

void CVdPatternCatalog::WriteHistoryPart() {
  // About one import batch: the server writes a part while the host reads and sends its next rows.
  constexpr std::size_t kPart = 4000;
  if (!m_historyBatch || m_historyBatch->pending.size() < kPart) return;
  try {
    history::FlushHistoryPart(*Database(), m_historyBatch->pending, m_historyBatch->set, true);
  } catch (CDBException* e) {
    OnDBException(e);  // the changes stay in the batch, whose end writes them or fails
    e->Delete();
  }
}

CString CVdPatternCatalog::GetHistoryDistrust() {
  if (HasHistory() || !Database()) return CString();
  const wchar_t* why = Untrusted(Database());
  return why ? CString(why) : CString();
}

// ---------------------------------------------------------------- reading

CVdPatternCatalog::eChanges CVdPatternCatalog::GetHistory(const HistoryFilter& filter,
                                                          std::vector<HistoryEntry>& entries) {
  if (!Database()) return eChangesFailed;
  if (!HasHistory()) return eChangesNotKept;
  try {
    return history::ReadHistory(*Database(), filter, entries) ? eChangesRead : eChangesNotKept;
  } catch (CDBException* e) {
    OnDBException(e);
    e->Delete();
    return eChangesFailed;
  }
}

// ---------------------------------------------------------------- undo and pruning

bool CVdPatternCatalog::UndoChange(long long change, CString& error) {
  error.Empty();
  if (!Database() || !CanWrite()) {
    error = L"The catalog cannot be written.";
    return false;
  }
  if (!HasHistory()) {
    error = !GetHistoryDistrust().IsEmpty() ? GetHistoryDistrust()
                                            : L"The catalog keeps no history (vdcatalog upgrade adds one).";
    return false;
  }
  try {
    vdpattern::catalog::WriteGroup group(Database());
    std::vector<HistoryEntry> set;
    HistoryFilter which;
    which.change = change;
    history::ReadHistory(*Database(), which, set);
    bool known = false;
    for (const HistoryEntry& e : set) known |= e.change == change;
    if (!known) {
      error.Format(L"No change %lld is on record.", change);
      return false;
    }
    std::map<std::wstring, std::vector<HistoryEntry>> families;  // the later changes, read once per family
    const std::shared_ptr<HistoryBatch> outer = std::move(m_historyBatch);
    m_historyBatch = std::make_shared<HistoryBatch>();  // the undo is one set of its own
    struct Restore {
      CVdPatternCatalog& catalog;
      std::shared_ptr<HistoryBatch> outer;
      ~Restore() { catalog.m_historyBatch = outer; }
    } restore{*this, outer};
    for (const HistoryEntry& e : set) {  // newest first: each undo finds what the one after it left
      const bool rowChange = e.kind == history::kChangeInsert || e.kind == history::kChangeModify ||
                             e.kind == history::kChangeRemove || e.kind == history::kChangeUndo;
      if (!rowChange || e.name.empty() || e.family.find(L']') != std::wstring::npos) {
        error.Format(L"Change %lld (%s) cannot be undone.", e.change, e.kind.c_str());
        return false;
      }
      auto found = families.find(e.family);
      if (found == families.end()) {
        HistoryFilter of;
        of.family = e.family;
        found = families.emplace(e.family, std::vector<HistoryEntry>()).first;
        history::ReadHistory(*Database(), of, found->second);
      }
      CVdRecordset rs(Database());
      rs.Open(0, L"Select * From [" + CString(e.family) + L"] WHERE [Name] = " + VdQuoteText(e.name), 0);
      const bool exists = !rs.IsEOF();
      const RowSnapshot current = exists ? history::ReadRowValues(rs) : RowSnapshot();
      if (exists != ExistsAfter(e)) {
        error =
            Refusal(change, e.name, exists ? L"the row" : L"the row (now gone)", LaterWriter(found->second, e, L""));
        return false;
      }
      for (const HistoryColumn& c : e.columns) {
        const HistoryValue* now = exists ? CurrentValue(current, c.column) : nullptr;
        if (exists && (!now || *now != c.after)) {
          error = Refusal(change, e.name, L"the value of " + c.column, LaterWriter(found->second, e, c.column));
          return false;
        }
      }
      if (ExistedBefore(e) && exists) {
        rs.Edit();
      } else if (!exists) {
        rs.AddNew();
      }
      if (!ExistedBefore(e)) {
        rs.Delete();
        NoteName(e.family, e.name, false);
      } else {
        for (const HistoryColumn& c : e.columns) {
          COleVariant value;
          if (!history::ToVariant(c.before, value)) {
            rs.CancelUpdate();
            error.Format(L"Change %lld cannot be undone: the value of %s is a block of bytes.", change,
                         c.column.c_str());
            return false;
          }
          rs.SetFieldValue(c.column.c_str(), value);
        }
        rs.Update();
        if (!exists) {
          rs.MoveLast();
          NoteName(e.family, e.name, true);
        }
      }
      const RowSnapshot after = ExistedBefore(e) ? history::ReadRowValues(rs) : RowSnapshot();
      const HistoryColumn* name = FindColumn(e.columns, L"Name");
      const std::wstring now = name && name->before.type == HistoryValue::eText ? name->before.text : e.name;
      RecordWrite(e.family.c_str(), now.c_str(), history::kChangeUndo, current, after);
      if (name && exists && ExistedBefore(e)) RecordChange(e.family.c_str(), e.name.c_str(), history::kChangeUndo);
    }
    UpdateDate(true);
    history::FlushHistory(*Database(), m_historyBatch->pending);
    group.Keep();
    return true;
  } catch (CDBException* e) {
    error = e->m_strError;
    error.TrimRight();
    e->Delete();
    return false;
  }
}

bool CVdPatternCatalog::PruneHistory(const wchar_t* before, long long& removed, CString& error) {
  error.Empty();
  removed = 0;
  if (!Database() || !CanWrite()) {
    error = L"The catalog cannot be written.";
    return false;
  }
  if (!HasHistory()) {
    error = !GetHistoryDistrust().IsEmpty() ? GetHistoryDistrust() : L"The catalog keeps no history.";
    return false;
  }
  if (!before || !*before) {
    error = L"A date to prune before is needed.";
    return false;
  }
  try {
    vdpattern::catalog::WriteGroup group(Database());
    history::EnsureChangeTable(*Database(), &m_changeTableKnown);
    removed = history::PruneHistory(*Database(), before);
    group.Keep();
    return true;
  } catch (CDBException* e) {
    error = e->m_strError;
    error.TrimRight();
    e->Delete();
    removed = 0;
    return false;
  }
}
