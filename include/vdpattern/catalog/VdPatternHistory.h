#pragma once
// Extension: what a catalog's history answers (CVdPatternCatalog::GetHistory, UndoChange, PruneHistory). Plain
// values, owned by whoever holds them; nothing here points into a catalog.

#include <string>
#include <vector>
#include <vdpattern/VdPatternExport.h>

namespace vdpattern {

// Whether two texts of reals (C locale, as the history writes them) are the same number; false when either is not
// one.
VDPATTERN_EXPORT bool SameReal(const std::wstring& a, const std::wstring& b);

// One stored value as the history keeps it: its type and its exact text, so that a value read back compares
// equal to the one written and NULL stays distinct from an empty text or zero.
struct HistoryValue {
  enum eType { eNull, eBool, eInteger, eReal, eText, eDate, eBytes };
  eType type = eNull;
  std::wstring text;  // numbers in the C locale (reals in the shortest digits that read back exactly),
                      // "true"/"false", ISO dates, bytes in hex
  // Reals compare by value: a history written with 17 digits ("0.10000000000000001") still matches the value
  // read back now ("0.1").
  bool operator==(const HistoryValue& other) const {
    return type == other.type && (text == other.text || (type == eReal && SameReal(text, other.text)));
  }
  bool operator!=(const HistoryValue& other) const { return !(*this == other); }
};

// One column a change touched: its value before and after (eNull before for a new row, after for a removed one).
struct HistoryColumn {
  std::wstring column;
  HistoryValue before, after;
};

struct HistoryEntry {
  long long change = 0;  // the change's number, shared with the change records (vd_change); only grows
  long long set = 0;     // the number of the first change of the write it belongs to (an import is one set)
  std::wstring at;       // UTC, "YYYY-MM-DDTHH:MM:SSZ"
  std::wstring who;      // the OS user of the writer; on a server the role it connected as
  std::wstring host, program;
  std::wstring family, name;
  // "insert", "modify", "remove", "family", "undo", "prune", "alias", "convert", "columns" or "units"
  std::wstring kind;
  std::vector<HistoryColumn> columns;
};

// What GetHistory selects; empty members select everything.
struct HistoryFilter {
  std::wstring name;     // the pattern's name (compared ignoring case)
  std::wstring family;   // compared ignoring case
  std::wstring since;    // an ISO date or time: entries at or after it
  std::wstring by;       // the writer, exactly
  long long change = 0;  // > 0: that change and the others of its set
};

}  // namespace vdpattern
