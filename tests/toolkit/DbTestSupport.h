#pragma once
// Shared by the database tests: a raw SQLite connection to build and inspect test files independently of the
// library under test, and helpers to run a call that must throw CDBException and look at what it carries.
//
// The engine is loaded with the toolkit library; the raw connection reaches its functions through the
// process's symbol table, so the test program needs no link of its own to it.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>

class RawDb {
 public:
  // Opens (and creates) the file; `busyMs` is how long this connection waits for another's lock.
  explicit RawDb(const std::string& path, int busyMs = 0) {
    if (Api().open(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
      throw std::runtime_error("raw open failed: " + path);
    Api().busy(m_db, busyMs);
  }
  RawDb(const RawDb&) = delete;
  RawDb& operator=(const RawDb&) = delete;
  ~RawDb() { Api().close(m_db); }

  int TryExec(const std::string& sql) { return Api().exec(m_db, sql.c_str(), nullptr, nullptr, nullptr); }
  void Exec(const std::string& sql) {
    if (TryExec(sql) != SQLITE_OK) throw std::runtime_error(std::string("raw exec failed: ") + Api().errmsg(m_db));
  }
  // Every row as texts; NULL reads "<null>".
  std::vector<std::vector<std::string>> Rows(const std::string& sql) {
    std::vector<std::vector<std::string>> rows;
    auto collect = [](void* out, int n, char** values, char**) {
      auto& r = *static_cast<std::vector<std::vector<std::string>>*>(out);
      r.emplace_back();
      for (int k = 0; k < n; ++k) r.back().push_back(values[k] ? values[k] : "<null>");
      return 0;
    };
    if (Api().exec(m_db, sql.c_str(), collect, &rows, nullptr) != SQLITE_OK)
      throw std::runtime_error(std::string("raw query failed: ") + Api().errmsg(m_db));
    return rows;
  }
  std::string One(const std::string& sql) {
    const auto rows = Rows(sql);
    return rows.empty() || rows[0].empty() ? "<none>" : rows[0][0];
  }

 private:
  struct Functions {
    decltype(&sqlite3_open_v2) open;
    decltype(&sqlite3_exec) exec;
    decltype(&sqlite3_close) close;
    decltype(&sqlite3_errmsg) errmsg;
    decltype(&sqlite3_busy_timeout) busy;
  };
  template <typename F>
  static F Find(const char* name) {
    void* f = ::dlsym(RTLD_DEFAULT, name);
    if (!f) throw std::runtime_error(std::string("engine function not loaded: ") + name);
    return reinterpret_cast<F>(f);
  }
  static const Functions& Api() {
    static const Functions f{
        Find<decltype(&sqlite3_open_v2)>("sqlite3_open_v2"), Find<decltype(&sqlite3_exec)>("sqlite3_exec"),
        Find<decltype(&sqlite3_close)>("sqlite3_close"), Find<decltype(&sqlite3_errmsg)>("sqlite3_errmsg"),
        Find<decltype(&sqlite3_busy_timeout)>("sqlite3_busy_timeout")};
    return f;
  }

  sqlite3* m_db = nullptr;
};

// Texts are compared as UTF-8: glibc's vectorised wide compare reads past the end of its blocks, which
// valgrind reports although the result is right; narrow compares do not have that problem.
inline std::string U8(const std::wstring& text) { return VdToUtf8(text); }
inline std::string U8(const wchar_t* text) { return VdToUtf8(text); }
inline std::string U8(const CString& text) { return VdToUtf8(text.str()); }

// What a CDBException carried, copied out (as UTF-8) so the exception can be released at once.
struct DbFailure {
  bool thrown = false;
  RETCODE retCode = 0;
  std::string message;
  std::string stateNativeOrigin;
  CDBException::Category category = CDBException::eOther;

  bool HasState(const char* state) const {
    return stateNativeOrigin.rfind(std::string("State:") + state + ",", 0) == 0;
  }
  bool Mentions(const std::string& text) const { return message.find(text) != std::string::npos; }
};

template <typename F>
DbFailure CatchDb(F&& call) {
  DbFailure failure;
  try {
    call();
  } catch (CDBException* e) {
    failure.thrown = true;
    failure.retCode = e->m_nRetCode;
    failure.message = U8(e->m_strError);
    failure.stateNativeOrigin = U8(e->m_strStateNativeOrigin);
    failure.category = e->GetCategory();
    e->Delete();
  }
  return failure;
}

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The plan of a statement as the toolkit rewrites it, one detail line per step.
inline std::string Plan(CVdDatabase& db, const std::wstring& sql) {
  std::string plan;
  CVdRecordset rs(&db);
  rs.Open(0, (L"EXPLAIN QUERY PLAN " + sql).c_str(), 0);
  for (; !rs.IsEOF(); rs.MoveNext()) {
    CDBVariant v;
    rs.GetFieldValue(L"detail", v);
    plan += VdToUtf8(DBV_BSTRAll(&v).str()) + "\n";
  }
  return plan;
}
