#pragma once
// One library call's writes, kept only when the call reaches Keep: undone on every other way out, a thrown
// failure included. Beginning it takes the write lock (or a savepoint inside the host's transaction) and may
// throw CDBException*. The database is borrowed.

#include <vdpattern/toolkit/VdDatabase.h>

namespace vdpattern::catalog {

class WriteGroup {
 public:
  explicit WriteGroup(CVdDatabase* database) : m_database(database) { database->BeginWriteGroup(); }
  ~WriteGroup() {
    if (!m_open) return;
    try {
      m_database->EndWriteGroup(FALSE);
    } catch (CDBException* e) {
      e->Delete();  // an undo that fails leaves the writes undone with the transaction
    }
  }
  // Throws CDBException* when the writes cannot be kept (a failed COMMIT); they are undone then.
  void Keep() {
    m_open = false;
    m_database->EndWriteGroup(TRUE);
  }
  WriteGroup(const WriteGroup&) = delete;
  WriteGroup& operator=(const WriteGroup&) = delete;

 private:
  CVdDatabase* m_database;
  bool m_open = true;
};

}  // namespace vdpattern::catalog
