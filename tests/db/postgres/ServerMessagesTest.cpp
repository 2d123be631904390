// What vdcatalog says when a server catalog cannot be used: whether the server answered and what it said,
// what a role may do, and what to add to an address. Run against the throwaway server, with roles made here.

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/TestDb.h"
#include "support/TestFiles.h"

#ifdef VDCATALOG_PATH

namespace {

std::string Quote(const std::string& arg) {
  std::string q = "'";
  for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

class ServerMessages : public ::testing::Test {
 protected:
  void SetUp() override {
    if (vdtest::ServerBase().empty()) {
      const char* ci = std::getenv("CI");
      if (ci && std::string(ci) == "true") FAIL() << "no PostgreSQL server (set VDPATTERN_TEST_PG)";
      GTEST_SKIP() << "no PostgreSQL server configured (VDPATTERN_TEST_PG)";
    }
    m_server = std::make_unique<vdtest::ServerDatabase>();
    const std::string address = m_server->Address("cat");
    m_dbName = address.substr(14, address.find('?') - 14);
    const std::string id = std::to_string(::getpid()) + "_" + std::to_string(++m_count);
    m_reader = "vd_reader_" + id;
    m_writer = "vd_writer_" + id;
    m_stranger = "vd_stranger_" + id;
    Sql("CREATE ROLE " + m_reader + " LOGIN; CREATE ROLE " + m_writer + " LOGIN; CREATE ROLE " + m_stranger + " LOGIN");
    ASSERT_EQ(Tool({"create", Owner(), "--type", "Steel"}), 0) << m_err;
    ASSERT_EQ(Tool({"add-family", Owner(), "IPE", "--code", "I", "--column", "h:DOUBLE:mm"}), 0) << m_err;
    ASSERT_EQ(Tool({"set", Owner(), "IPE", "IPE 200", "h=200"}), 0) << m_err;
  }
  void TearDown() override {
    if (!m_server) return;
    m_server.reset();
    for (const std::string& role : {m_reader, m_writer, m_stranger}) Sql("DROP ROLE IF EXISTS " + role, false);
  }

  // Runs `sql` as the superuser on the test's database (the base one once it is dropped).
  void Sql(const std::string& sql, bool check = true) {
    PGconn* conn = PQconnectdb(("user=postgres" + (m_server ? " dbname=" + m_dbName : std::string())).c_str());
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    PGresult* result = PQexec(conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    if (check) {
      EXPECT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) << sql << ": " << PQerrorMessage(conn);
    }
    PQclear(result);
    PQfinish(conn);
  }
  std::string Owner() const { return "postgresql:///" + m_dbName + "?catalog=cat"; }
  std::string As(const std::string& user) const { return "postgresql://" + user + "@/" + m_dbName + "?catalog=cat"; }

  // Runs vdcatalog; returns its status, with its output in m_out and its messages in m_err.
  int Tool(const std::vector<std::string>& args) {
    std::string command = Quote(VDCATALOG_PATH);
    for (const auto& a : args) command += " " + Quote(a);
    command += " >" + Quote(m_dir.File("out")) + " 2>" + Quote(m_dir.File("err")) + " </dev/null";
    const int raw = std::system(command.c_str());
    m_out = vdtest::ReadBytes(m_dir.File("out"));
    m_err = vdtest::ReadBytes(m_dir.File("err"));
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }

  // The value of the field `name` in the output of info ("Read-only   yes..."), without the padding.
  std::string Field(const std::string& name) const {
    const std::size_t at = m_out.find(name);
    if (at == std::string::npos) return "<none>";
    const std::size_t begin = m_out.find_first_not_of(' ', at + name.size());
    return m_out.substr(begin, m_out.find('\n', begin) - begin);
  }

  vdtest::TempDir m_dir;
  std::unique_ptr<vdtest::ServerDatabase> m_server;
  std::string m_dbName, m_reader, m_writer, m_stranger, m_out, m_err;
  static inline int m_count = 0;
};

}  // namespace

// "Cannot be reached" only when nothing answered; otherwise what the server said and what to do. An address
// without a catalog is told what to add and which catalogs are there; link exits 1 for a catalog that is not
// there and 2 for a database failure, writing nothing either way.
TEST_F(ServerMessages, SayWhatTheServerAnsweredAndWhatToDo) {
  const std::string link = m_dir.File("steel.link");
  const struct {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> said;
  } cases[] = {
      {{"info", "host=/nonexistent-vd-socket-dir dbname=x catalog=c"}, 2, {"the server cannot be reached ("}},
      {{"info", "postgresql:///vd_no_such_db?catalog=cat"},
       2,
       {"the server has no database \"vd_no_such_db\"", "createdb"}},
      {{"info", As("vd_no_such_role")}, 2, {"the server has no role \"vd_no_such_role\"", "CREATE ROLE"}},
      {{"info", "postgresql:///" + m_dbName}, 2, {"holds no catalog", "add ?catalog=NAME", "(catalogs there: cat)"}},
      {{"link", link, "postgresql:///" + m_dbName + "?catalog=nothing"},
       1,
       {"the catalog \"nothing\" does not exist on the server", "no link was written"}},
      {{"link", link, "host=/nonexistent-vd-socket-dir dbname=x catalog=c"},
       2,
       {"the server cannot be reached", "no link was written"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Tool(c.args), c.status) << c.args[0] << " " << c.args.back() << ": " << m_err;
    for (const std::string& text : c.said) EXPECT_NE(m_err.find(text), std::string::npos) << text << " in " << m_err;
    if (c.said[0].find("cannot be reached") == std::string::npos) {
      EXPECT_EQ(m_err.find("cannot be reached"), std::string::npos) << m_err;
    }
  }
  EXPECT_NE(::access(link.c_str(), F_OK), 0);
  EXPECT_EQ(Tool({"link", link, Owner()}), 0) << m_err;
  EXPECT_EQ(Tool({"info", link}), 0) << m_err;
}

// The roles of the README's team: a reader is shown read-only and refused a write in words, a writer
// without CREATE changes rows, and a role with no grant is told it has none, not that nothing is there.
TEST_F(ServerMessages, RolesAreToldWhatTheyMayDo) {
  Sql("REVOKE ALL ON SCHEMA cat FROM PUBLIC; GRANT USAGE ON SCHEMA cat TO " + m_reader + ", " + m_writer +
      "; GRANT SELECT ON ALL TABLES IN SCHEMA cat TO " + m_reader +
      "; GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA cat TO " + m_writer +
      "; GRANT USAGE ON ALL SEQUENCES IN SCHEMA cat TO " + m_writer);
  EXPECT_EQ(Tool({"info", As(m_reader)}), 0) << m_err;
  EXPECT_EQ(Field("Read-only").substr(0, 3), "yes") << m_out;
  EXPECT_NE(Tool({"set", As(m_reader), "IPE", "IPE 300", "h=300"}), 0);
  EXPECT_NE(m_err.find("\"" + m_reader + "\" may only read"), std::string::npos) << m_err;
  EXPECT_EQ(m_err.find("INSERT INTO"), std::string::npos) << m_err;

  EXPECT_EQ(Tool({"info", As(m_writer)}), 0) << m_err;
  EXPECT_EQ(Field("Read-only"), "no") << m_out;
  EXPECT_EQ(Tool({"set", As(m_writer), "IPE", "IPE 300", "h=300"}), 0) << m_err;
  EXPECT_NE(Tool({"add-family", As(m_writer), "HEA", "--code", "H"}), 0);
  EXPECT_NE(m_err.find("may not add tables to the catalog \"cat\""), std::string::npos) << m_err;

  EXPECT_NE(Tool({"info", As(m_stranger)}), 0);
  EXPECT_NE(m_err.find("\"" + m_stranger + "\" has no access to the catalog \"cat\""), std::string::npos) << m_err;
  EXPECT_EQ(m_err.find("holds no catalog"), std::string::npos) << m_err;
}

// The SQL grant prints, run as it stands by the superuser, gives the team what the README promises, for roles
// whose names hold quotes, spaces and a semicolon: the reader reads and is refused a write in words, the writer
// changes rows but cannot create in the schema nor rewrite the history. Printing needs no server; a file or an
// address without a catalog is refused.
TEST_F(ServerMessages, GrantPrintsWhatGivesEachRoleItsRights) {
  const std::string id = std::to_string(::getpid()) + "_" + std::to_string(m_count);
  const std::string writer = "vd \"w\" x_" + id, reader = "vd r'd; DROP x_" + id;
  const auto quoted = [](const std::string& name) {
    std::string out = "\"";
    for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
  };
  const auto as = [&](const std::string& user) {
    std::string escaped;
    for (char c : user) escaped += c == '\'' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    return "user='" + escaped + "' dbname=" + m_dbName + " catalog=cat";
  };
  Sql("CREATE ROLE " + quoted(writer) + " LOGIN; CREATE ROLE " + quoted(reader) + " LOGIN");

  ASSERT_EQ(Tool({"grant", Owner(), "--owner", "postgres", "--writer", writer, "--reader", reader}), 0) << m_err;
  const std::string sql = m_out;
  EXPECT_NE(sql.find("TO " + quoted(reader) + ";"), std::string::npos) << sql;
  EXPECT_EQ(sql.find("CREATE ON SCHEMA \"cat\" TO"), std::string::npos) << sql;  // never granted
  Sql(sql);

  EXPECT_EQ(Tool({"list", as(reader), "IPE"}), 0) << m_err;
  EXPECT_NE(m_out.find("IPE 200"), std::string::npos) << m_out;
  EXPECT_NE(Tool({"set", as(reader), "IPE", "IPE 300", "h=300"}), 0);
  EXPECT_NE(m_err.find("may only read"), std::string::npos) << m_err;

  EXPECT_EQ(Tool({"set", as(writer), "IPE", "IPE 300", "h=300"}), 0) << m_err;
  EXPECT_NE(Tool({"add-family", as(writer), "HEA", "--code", "H"}), 0);
  EXPECT_NE(m_err.find("may not add tables to the catalog \"cat\""), std::string::npos) << m_err;
  EXPECT_NE(Tool({"history", as(writer), "IPE 300", "--prune-before", "2999-01-01"}), 0);
  EXPECT_EQ(Tool({"history", Owner(), "IPE 300"}), 0) << m_err;
  EXPECT_NE(m_out.find("300"), std::string::npos) << m_out;  // the writer's row, never pruned

  // A file, an address without a catalog, a role twice: refused with a reason. A server not there: printed.
  EXPECT_EQ(Tool({"grant", m_dir.File("steel.db"), "--owner", "o"}), 2);
  EXPECT_NE(m_err.find("do not apply to a catalog file"), std::string::npos) << m_err;
  EXPECT_EQ(Tool({"grant", "postgresql:///" + m_dbName, "--owner", "o"}), 2);
  EXPECT_NE(m_err.find("names no catalog"), std::string::npos) << m_err;
  EXPECT_EQ(Tool({"grant", Owner(), "--owner", "o", "--writer", "a", "--reader", "a"}), 2);
  EXPECT_NE(m_err.find("more than once"), std::string::npos) << m_err;
  EXPECT_EQ(Tool({"grant", "host=/nonexistent-vd-socket-dir dbname=x catalog=SteelTeam", "--owner", "o"}), 0) << m_err;
  EXPECT_NE(m_out.find("ON SCHEMA \"SteelTeam\" FROM PUBLIC"), std::string::npos) << m_out;

  m_server.reset();  // the database goes first: the roles hold grants in it
  for (const std::string& role : {quoted(writer), quoted(reader), m_reader, m_writer, m_stranger})
    Sql("DROP ROLE IF EXISTS " + role, false);
}

#endif  // VDCATALOG_PATH
