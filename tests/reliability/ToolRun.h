#pragma once
// Shared by the vdcatalog runs of vdstress: the tool started as a process of its own with its output captured,
// catalogs written with plain SQL (so that they can hold what the tool itself would never write), and what the
// checks compare: a file's bytes, a database's content table by table, a folder's listing.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "reliability/Stress.h"

namespace vdstress {

// How one run of the tool ended.
struct ToolResult {
  int status = -1;    // the exit status, when it exited
  int signal = 0;     // the signal that ended it
  bool hung = false;  // still running at the time limit, then killed
  std::string out;    // standard output, when it was captured
  std::string err;    // standard error

  bool Exited() const { return !hung && signal == 0; }
  // Ended by itself with one of the tool's statuses: 0 ok, 1 not found or refused, 2 error.
  bool Clean() const { return Exited() && status >= 0 && status <= 2; }
  std::string Describe() const {
    std::string text = hung            ? std::string("hung (killed after the time limit)")
                       : signal != 0   ? "killed by signal " + std::to_string(signal)
                       : status == 134 ? std::string("exited with status 134 (an abort)")
                                       : "exited with status " + std::to_string(status);
    std::string first = err.substr(0, err.find('\n'));
    if (first.size() > 200) first = first.substr(0, 200) + "...";
    return first.empty() ? text : text + ": " + first;
  }
};

inline std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

inline bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) Fail("cannot write " + path);
}

inline void CopyFile(const std::string& from, const std::string& to) { WriteFile(to, ReadFile(from)); }

// The names in a folder, without "." and "..".
inline std::set<std::string> Listing(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.insert(e->d_name);
    ::closedir(d);
  }
  return names;
}

// Removes every file in a folder (the folders made here hold files only).
inline void EmptyFolder(const std::string& dir) {
  for (const std::string& name : Listing(dir)) ::unlink((dir + "/" + name).c_str());
}

inline std::string MakeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) Fail("cannot make the folder " + path);
  return path;
}

// The names in `after` that are not in `before`, joined for a message.
inline std::string Added(const std::set<std::string>& before, const std::set<std::string>& after) {
  std::string text;
  for (const std::string& name : after)
    if (!before.count(name)) text += (text.empty() ? "" : ", ") + name;
  return text;
}

inline void Pause(double seconds) {
  const long ns = static_cast<long>(seconds * 1e9);
  const timespec pause{ns / 1000000000L, ns % 1000000000L};
  ::nanosleep(&pause, nullptr);
}

// vdcatalog as a separate process. Standard input is /dev/null; standard output goes to a file of the caller's
// or is captured; standard error is captured. Each start gets files of its own, so that runs may overlap.
class Tool {
 public:
  struct Started {
    pid_t pid = -1;
    std::string outPath, errPath;
    bool captured = true;
    std::chrono::steady_clock::time_point start;
  };

  // The program's path is made absolute: a run may start in a folder of its own.
  Tool(const std::string& program, const std::string& scratch)
      : m_program(std::filesystem::absolute(program).string()), m_scratch(MakeFolder(scratch)) {}

  // `stdoutPath` empty: captured. `gate`, when given, is a pipe read to its end before the program starts, so
  // that several starts are let go at the same moment when the caller closes its end. `cwd` is the folder it
  // runs in.
  Started Start(const std::vector<std::string>& args, const std::string& stdoutPath = "", const int* gate = nullptr,
                const std::string& cwd = "") {
    Started s;
    const std::string base = m_scratch + "/run-" + std::to_string(++m_serial);
    s.captured = stdoutPath.empty();
    s.outPath = s.captured ? base + ".out" : stdoutPath;
    s.errPath = base + ".err";
    std::vector<std::string> all{m_program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::fflush(nullptr);
    s.start = std::chrono::steady_clock::now();
    s.pid = ::fork();
    if (s.pid < 0) Fail("fork failed");
    if (s.pid == 0) {
      if (gate) {
        ::close(gate[1]);
        char c;
        while (::read(gate[0], &c, 1) > 0) {
        }
        ::close(gate[0]);
      }
      const int in = ::open("/dev/null", O_RDONLY);
      const int out = ::open(s.outPath.c_str(), O_WRONLY | O_CREAT | (s.captured ? O_TRUNC : 0), 0644);
      const int err = ::open(s.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(120);
      if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(121);
      ::execv(argv[0], argv.data());
      ::_exit(122);
    }
    ++runs;
    return s;
  }

  // Waits for a started run; one still running after `limit` seconds is killed and counted as hung.
  ToolResult Wait(const Started& s, double limit = 60) {
    ToolResult r;
    int status = 0;
    for (;;) {
      const pid_t done = ::waitpid(s.pid, &status, WNOHANG);
      if (done == s.pid) break;
      if (done < 0) Fail("waitpid failed");
      if (std::chrono::duration<double>(std::chrono::steady_clock::now() - s.start).count() > limit) {
        ::kill(s.pid, SIGKILL);
        ::waitpid(s.pid, &status, 0);
        r.hung = true;
        break;
      }
      Pause(0.002);
    }
    if (!r.hung) {
      if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
      if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
    }
    if (s.captured) r.out = ReadFile(s.outPath);
    r.err = ReadFile(s.errPath);
    if (s.captured) ::unlink(s.outPath.c_str());
    ::unlink(s.errPath.c_str());
    if (r.Exited() && r.status >= 120 && r.status <= 122) Fail("cannot start " + m_program);
    return r;
  }

  ToolResult Run(const std::vector<std::string>& args, const std::string& stdoutPath = "", double limit = 60) {
    return Wait(Start(args, stdoutPath), limit);
  }

  long runs = 0;

 private:
  std::string m_program;
  std::string m_scratch;
  long m_serial = 0;
};

// Folders that messages name by a short alias ("DIR" for the run's folder), so that a fault's first line
// shows the command rather than a temporary path.
inline std::vector<std::pair<std::string, std::string>>& Aliases() {
  static std::vector<std::pair<std::string, std::string>> aliases;
  return aliases;
}

// A command line as a person would type it, for messages.
inline std::string Shown(const std::vector<std::string>& args) {
  std::string text = "vdcatalog";
  for (std::string a : args) {
    for (const auto& [folder, alias] : Aliases())
      for (std::size_t at; !folder.empty() && (at = a.find(folder)) != std::string::npos;)
        a.replace(at, folder.size(), alias);
    const bool plain = !a.empty() && a.find_first_of(" '\"\\\t\n;*$") == std::string::npos;
    text += " " + (plain ? a : "'" + a + "'");
  }
  return text;
}

// ---------------------------------------------------------------- catalogs in plain SQL

inline std::string Ident(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

inline std::string Literal(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

inline void ExecSql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    Fail("sqlite3 cannot open " + path);
  }
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  const std::string message = error ? error : "";
  sqlite3_free(error);
  sqlite3_close(db);
  if (rc != SQLITE_OK) Fail("SQL failed on " + path + ": " + message);
}

// The tables every catalog has, with one Definition row, and a table "Victim" that no command is asked to
// touch: its rows tell whether a statement ran that nobody asked for.
inline std::string CatalogSql() {
  return "CREATE TABLE Definition (def_name TEXT, def_version INTEGER, def_lastUpdate TEXT, def_editorName TEXT);\n"
         "INSERT INTO Definition VALUES ('Tool', 3, '2001/01/01', 'vdstress');\n"
         "CREATE TABLE FamilyDescription (Name TEXT, FamilyCode TEXT, Description TEXT);\n"
         "CREATE TABLE Units (Family TEXT, h TEXT);\n"
         "CREATE TABLE Victim (Name TEXT, V INTEGER);\n"
         "INSERT INTO Victim VALUES ('kept 1', 1), ('kept 2', 2), ('kept 3', 3);\n";
}

// A family table (Name, h in mm, Note) with its description and units rows; `rows` value tuples or empty.
inline std::string FamilySql(const std::string& family, const std::string& code, const std::string& rows) {
  std::string sql = "CREATE TABLE " + Ident(family) + " (Name TEXT, h DOUBLE, Note TEXT);\n";
  if (!rows.empty()) sql += "INSERT INTO " + Ident(family) + " VALUES " + rows + ";\n";
  sql += "INSERT INTO FamilyDescription VALUES (" + Literal(family) + ", " + Literal(code) + ", 'made by vdstress');\n";
  return sql + "INSERT INTO Units VALUES (" + Literal(family) + ", 'mm');\n";
}

// A catalog with the family "Items" of `rows` patterns ("IT 0", "IT 1", ...) whose notes vary in length.
inline void MakeItemsCatalog(const std::string& path, int rows) {
  std::string sql = "PRAGMA page_size=4096;\nBEGIN;\n" + CatalogSql() + FamilySql("Items", "IT", "");
  sql += "WITH RECURSIVE k(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM k WHERE n + 1 < " + std::to_string(rows) +
         ") INSERT INTO Items SELECT 'IT ' || n, n * 0.5, substr(replace(hex(zeroblob(150)), '0', 'n'), 1, n % 151) "
         "FROM k;\n"
         "CREATE INDEX ix_Items_Name ON Items (Name COLLATE NOCASE);\nCOMMIT;\n";
  ::unlink(path.c_str());
  ExecSql(path, sql);
}

// ---------------------------------------------------------------- content

inline std::uint64_t Fnv(std::uint64_t hash, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
  return hash;
}

inline std::uint64_t Hash(const std::string& bytes) { return Fnv(14695981039346656037ull, bytes.data(), bytes.size()); }

// A database's content as the checks compare it: its schema, and every table's rows in rowid order with their
// types. Reading it opens the file for writing, so that a journal left by a killed writer is rolled back first,
// as any later user of the file would.
struct Content {
  bool readable = false;
  std::string problem;                          // why it is not
  std::map<std::string, std::uint64_t> tables;  // by name: a hash of its rows
  std::map<std::string, long> rows;             // by name: its row count
  std::uint64_t schema = 0;                     // a hash of sqlite_master

  bool operator==(const Content& other) const {
    return readable == other.readable && tables == other.tables && rows == other.rows && schema == other.schema;
  }
  bool operator!=(const Content& other) const { return !(*this == other); }
  long Rows(const std::string& table) const {
    const auto it = rows.find(table);
    return it == rows.end() ? -1 : it->second;
  }
  std::string Describe() const {
    if (!readable) return "unreadable (" + problem + ")";
    std::string text;
    for (const auto& [name, count] : rows) text += (text.empty() ? "" : ", ") + name + " " + std::to_string(count);
    return text.empty() ? "no tables" : text;
  }
};

inline Content ReadContent(const std::string& path) {
  Content c;
  if (!Exists(path)) {
    c.problem = "no such file";
    return c;
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    c.problem = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return c;
  }
  sqlite3_busy_timeout(db, 10000);
  auto hashQuery = [&](const std::string& sql, std::uint64_t& hash, long& count) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      c.problem = sqlite3_errmsg(db);
      return false;
    }
    hash = 14695981039346656037ull;
    count = 0;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      ++count;
      for (int k = 0; k < sqlite3_column_count(stmt); ++k) {
        const int type = sqlite3_column_type(stmt, k);
        hash = Fnv(hash, &type, sizeof type);
        if (type == SQLITE_INTEGER) {
          const sqlite3_int64 v = sqlite3_column_int64(stmt, k);
          hash = Fnv(hash, &v, sizeof v);
        } else if (type == SQLITE_FLOAT) {
          const double v = sqlite3_column_double(stmt, k);
          hash = Fnv(hash, &v, sizeof v);
        } else if (type != SQLITE_NULL) {
          const void* v = sqlite3_column_blob(stmt, k);
          hash = Fnv(hash, v, static_cast<std::size_t>(sqlite3_column_bytes(stmt, k)));
        }
      }
    }
    if (rc != SQLITE_DONE) c.problem = sqlite3_errmsg(db);
    sqlite3_finalize(stmt);
    return rc == SQLITE_DONE;
  };
  long ignored = 0;
  bool ok = hashQuery("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY type, name", c.schema, ignored);
  std::vector<std::string> tables;
  if (ok) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'table'", -1, &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW)
      tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    sqlite3_finalize(stmt);
  }
  for (const std::string& table : tables) {
    std::uint64_t hash = 0;
    long count = 0;
    // Two runs of one command record the same changes at different times: a history compares without its clock.
    const std::string columns =
        table == "vd_history" ? "seq, cset, who, host, program, family, name, kind, columns" : "*";
    if (!(ok = hashQuery("SELECT " + columns + " FROM " + Ident(table) + " ORDER BY rowid", hash, count))) break;
    c.tables[table] = hash;
    c.rows[table] = count;
  }
  sqlite3_close(db);
  c.readable = ok;
  return c;
}

// The rows of `table` whose Name is `name` (compared as the catalog compares names, without case).
inline long CountNamed(const std::string& path, const std::string& table, const std::string& name) {
  sqlite3* db = nullptr;
  long count = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 10000);
    sqlite3_stmt* stmt = nullptr;
    const std::string sql = "SELECT count(*) FROM " + Ident(table) + " WHERE Name = ?1 COLLATE NOCASE";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
      sqlite3_bind_text(stmt, 1, name.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(stmt) == SQLITE_ROW) count = static_cast<long>(sqlite3_column_int64(stmt, 0));
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return count;
}

// Faults met by a run: every one is kept for the report, the first few are printed as they come.
class Faults {
 public:
  explicit Faults(std::string area) : m_area(std::move(area)) {}
  void Add(const std::string& what) {
    if (m_list.size() < 40 || std::getenv("VDSTRESS_VERBOSE"))
      std::fprintf(stderr, "%s: %s\n", m_area.c_str(), what.c_str());
    m_list.push_back(what);
  }
  std::size_t Count() const { return m_list.size(); }
  bool Empty() const { return m_list.empty(); }
  // "no fault", or the count with the first one.
  std::string Summary() const {
    if (m_list.empty()) return "no fault";
    std::string first = m_list.front();
    if (first.size() > 160) first = first.substr(0, 160) + "...";
    return std::to_string(m_list.size()) + (m_list.size() == 1 ? " fault" : " faults") + ", first: " + first;
  }

 private:
  std::string m_area;
  std::vector<std::string> m_list;
};

}  // namespace vdstress
