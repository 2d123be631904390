#pragma once
// The library's tables of names, "vd_name" (every row's name with its normal form) and "vd_alias", made with
// their indexes in one place for the catalog that keeps them and for a whole-catalog copy; and the statement
// that read a spelling's candidates and a missing name's neighbours through them.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>
#include <vdpattern/VdPatternExport.h>

class CVdDatabase;

namespace vdpattern::catalog {

// Makes `table`, when it is "vd_name" or "vd_alias" (in any case), with its indexes in `db` and returns true;
// false, and nothing done, for any other name. Database failures pass to the caller (CDBException*).
bool MakeNameTable(CVdDatabase& db, const wchar_t* table);

// A family and its name column, both as the schema spells them; neither holds ']'.
using NameColumn = std::pair<std::wstring, std::wstring>;

// The one statement that reads a spelling's candidates and checks them: the rows of "vd_alias" (when `aliases`)
// and of "vd_name" whose normal form is `normal`, as [family], [name], [alias] (empty for a name's own entry)
// and [vd_here], 1 when the candidate's row is in its family and 0 when it is not there or its family is not
// among `families` (which the caller then checks itself). Each family's check reads that family's name index,
// and only for the candidates that name it. Exported for the tests, which assert its plan.
VDPATTERN_EXPORT std::wstring CheckedCandidatesStatement(const std::wstring& normal, bool aliases,
                                                         const std::vector<NameColumn>& families);

// The one statement of CVdPatternCatalog::GetNearNames, as [k] (the index in `families` of a family's row, -1
// for an entry of the tables of names), [family], [name], [alias] and [exact]: the entries of "vd_name" (when
// `names`) and of "vd_alias" (when `aliases`) whose normal forms sort next to `name`'s, `around` on either side,
// within `family` when not empty; and each of `families`' rows whose name sorts next to `name` as written and in
// capitals, those rows shared among the families (at least 8 each side). Every part reads one range of an index
// where there is one. Empty when there is nothing to read. Exported for the tests, which assert its plan.
VDPATTERN_EXPORT std::wstring NearNamesStatement(const std::wstring& name, const std::wstring& family,
                                                 std::size_t around, bool names, bool aliases,
                                                 const std::vector<NameColumn>& families);

}  // namespace vdpattern::catalog
