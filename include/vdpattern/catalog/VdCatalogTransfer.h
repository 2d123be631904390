#pragma once
// Extension: CVdCatalogTransfer copies a whole catalog from one database into a new, empty one: a file into a
// server catalog, an Access file into a catalog file, and back. Every table but the engine's own is made again
// with the same columns and declared types (text columns compare ignoring case, as CVdCatalogSchema makes them),
// a "Name" column gets the name index CVdCatalogSchema::NameIndexName names, and every row is copied with every
// digit (a date's fraction of a second too).
//
// The copy is one write group of `target` (CVdDatabase::BeginWriteGroup): whole or not at all. Before any table
// is made, every table is checked to fit the target (a name that can be bracketed, column names the target's
// engine holds whole); a column name or type found unusable later undoes what was copied. Both databases are
// borrowed: the caller opens them, keeps them alive during the call and closes them. Static functions; no state.

#include <cstddef>
#include <functional>
#include <vdpattern/VdPatternExport.h>
#include <vdpattern/toolkit/String.h>

class CVdDatabase;

class VDPATTERN_EXPORT CVdCatalogTransfer {
 public:
  enum CopyResult {
    eCopied,       // every table copied
    eRefusedName,  // a table or column name cannot be written between brackets, or a type not copied
    eTooLarge      // the target's engine cannot hold a table as it is (names it would cut, too many columns)
  };

  struct Counts {
    std::size_t tables = 0;
    std::size_t rows = 0;
  };

  // Called when a table begins (`copied` 0) and after each of its rows; `total` is the rows the source says it
  // has. The callback must not throw.
  using Progress = std::function<void(const CString& table, std::size_t copied, std::size_t total)>;

  // Copies every table of `source` but its system tables and its change records ("vd_change") into `target`,
  // which should hold no table of those names. The aliases and the index of names ("vd_alias", "vd_name") are
  // made as the catalog makes them, indexes included, and their rows copied. Extension: on a server target each
  // family column whose unit the copied "Units" holds gets that unit as its comment, in the same transaction
  // (CVdCatalogSchema.h); a file keeps no comments. Returns eCopied, or the reason nothing was
  // copied with a message for people in `error`. A database failure throws CDBException* after the copy has been
  // undone; the catcher releases it with Delete().
  static CopyResult CopyCatalog(CVdDatabase& source, CVdDatabase& target, Counts& counts, CString& error,
                                const Progress& progress = Progress());
};
