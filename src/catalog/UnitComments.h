#pragma once
// Units as column comments: a server catalog's family columns carry their units as comments too, so that SQL
// tools that show comments show each column's unit beside it. "Units" stays what the library reads; the
// comments follow it and are written in the same transaction as the change that calls for them. A file keeps
// no column comments: there nothing is written.

#include <string>
#include <vector>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/String.h>

class CVdDatabase;

namespace vdpattern::catalog {

// The comments giving each of `columns` of `family` (name and unit pairs) its unit; none for a column without.
template <typename Columns>
std::vector<VdColumnComment> UnitCommentsOf(const CString& family, const Columns& columns) {
  std::vector<VdColumnComment> comments;
  for (const auto& c : columns)
    if (!c.unit.IsEmpty()) comments.push_back({family, c.name, c.unit});
  return comments;
}

// The comments that the rows of "Units" call for and the columns do not carry yet (a unit whose family or
// column is not there is passed over), and the families they fall in, in the order of "Units". False on an
// engine that keeps no comments (a file). Database failures pass to the caller (CDBException*).
bool MissingUnitComments(CVdDatabase& db, std::vector<VdColumnComment>& missing, std::vector<std::wstring>& families);

}  // namespace vdpattern::catalog
