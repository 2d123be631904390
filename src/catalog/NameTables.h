#pragma once
// The library's tables of names, "vd_name" (every row's name with its normal form) and "vd_alias", made with
// their indexes in one place for the catalog that keeps them and for a whole-catalog copy.

class CVdDatabase;

namespace vdpattern::catalog {

// Makes `table`, when it is "vd_name" or "vd_alias" (in any case), with its indexes in `db` and returns true;
// false, and nothing done, for any other name. Database failures pass to the caller (CDBException*).
bool MakeNameTable(CVdDatabase& db, const wchar_t* table);

}  // namespace vdpattern::catalog
