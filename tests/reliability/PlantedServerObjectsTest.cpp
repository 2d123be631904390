// Hostile server catalogs: a role that may create objects in a catalog's schema (every writer may: families
// are tables there) plants operators, functions, collations, triggers, rules, policies and look-alike columns.
// None of it may change what another role's statements mean, and none of it may run in that role's session:
// each planted function writes to a log table when it runs, and the log stays empty.

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>

#include "support/TestDb.h"
#include "support/TestFiles.h"

#ifdef VDCATALOG_PATH

namespace {

std::string Quote(const std::string& arg) {
  std::string q = "'";
  for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

class PlantedServerObjects : public ::testing::Test {
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
    m_writer = "vd_writer_" + id;
    m_reader = "vd_reader_" + id;
    Sql("postgres", "CREATE ROLE " + m_writer + " LOGIN; CREATE ROLE " + m_reader + " LOGIN");
    // The catalog, made by the superuser; the writer may create in its schema, and logs to a schema of its own.
    ASSERT_EQ(Tool({"create", Owner(), "--type", "Steel"}), 0) << m_err;
    ASSERT_EQ(Tool({"add-family", Owner(), "IPE", "--code", "I", "--column", "h:DOUBLE:mm"}), 0) << m_err;
    ASSERT_EQ(Tool({"set", Owner(), "IPE", "IPE 200", "h=200"}), 0) << m_err;
    ASSERT_EQ(Tool({"set", Owner(), "IPE", "IPE 220", "h=220"}), 0) << m_err;
    Sql("postgres", "GRANT USAGE, CREATE ON SCHEMA cat TO " + m_writer + "; GRANT USAGE ON SCHEMA cat TO " + m_reader +
                        "; GRANT SELECT ON ALL TABLES IN SCHEMA cat TO PUBLIC; CREATE SCHEMA audit AUTHORIZATION " +
                        m_writer);
    Sql(m_writer,
        "CREATE TABLE audit.log (what text); GRANT USAGE ON SCHEMA audit TO PUBLIC; GRANT INSERT ON audit.log TO "
        "PUBLIC");
  }
  void TearDown() override {
    if (!m_server) return;
    m_server.reset();
    Sql("postgres", "DROP ROLE IF EXISTS " + m_writer + "; DROP ROLE IF EXISTS " + m_reader, false);
  }

  // Runs `sql` as `user` on the test's database (the base one when `user` is the superuser and no database
  // is left). Fails the test on an error when `check`.
  void Sql(const std::string& user, const std::string& sql, bool check = true) {
    const std::string conninfo = "user=" + user + (m_server ? " dbname=" + m_dbName : "");
    PGconn* conn = PQconnectdb(conninfo.c_str());
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
  // The first value of `sql`'s result, as the superuser reads it.
  std::string Value(const std::string& sql) {
    PGconn* conn = PQconnectdb(("user=postgres dbname=" + m_dbName).c_str());
    PGresult* result = PQexec(conn, sql.c_str());
    const std::string value = PQntuples(result) > 0 ? PQgetvalue(result, 0, 0) : "<none>";
    PQclear(result);
    PQfinish(conn);
    return value;
  }
  std::string Ran() { return Value("SELECT count(*) FROM audit.log"); }

  std::string Owner() const { return "postgresql:///" + m_dbName + "?catalog=cat"; }
  std::string As(const std::string& user, const std::string& schema = "cat") const {
    return "postgresql://" + user + "@/" + m_dbName + "?catalog=" + schema;
  }

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

  vdtest::TempDir m_dir;
  std::unique_ptr<vdtest::ServerDatabase> m_server;
  std::string m_dbName, m_writer, m_reader, m_out, m_err;
  static inline int m_count = 0;
};

// A planted function that logs its call and returns `value`.
std::string Spy(const std::string& signature, const std::string& returns, const std::string& value) {
  return "CREATE FUNCTION cat." + signature + " RETURNS " + returns +
         " LANGUAGE sql AS $$ INSERT INTO audit.log VALUES ('ran'); SELECT " + value + " $$;";
}

std::string SpyOperator(const std::string& left, const std::string& right) {
  const std::string function = "spy_eq_" + left + "_" + right;
  return Spy(function + "(" + left + ", " + right + ")", "boolean", "true") +
         "CREATE OPERATOR cat.= (LEFTARG = " + left + ", RIGHTARG = " + right + ", FUNCTION = cat." + function + ");";
}

}  // namespace

TEST_F(PlantedServerObjects, OperatorsAndFunctionsPlantedInTheSchemaNeverRunNorChangeAnAnswer) {
  const std::vector<std::pair<const char*, std::string>> plants = {
      {"=(varchar,varchar)", SpyOperator("varchar", "varchar")},
      {"=(text,text)", SpyOperator("text", "text")},
      {"=(name,name)", SpyOperator("name", "name")},
      {"=(oid,regnamespace)", SpyOperator("oid", "regnamespace")},
      {"=(oid,oid)", SpyOperator("oid", "oid")},
      {"lower(varchar)", Spy("lower(varchar)", "text", "'zzz'::text")},
      {"lower(text)", Spy("lower(text)", "text", "'zzz'::text")},
      {"a view",
       "CREATE VIEW cat.\"Spy\" AS SELECT 'IPE 200'::text AS \"Name\", 1.0::float8 AS h WHERE "
       "cat.lower('x'::text) = 'zzz'; GRANT SELECT ON cat.\"Spy\" TO PUBLIC;"},
  };
  // Each plant is added to those before it; after each the reader's answers are checked again, and after the
  // last the owner's (a superuser here: planted code would run with every right).
  for (std::size_t k = 0; k < plants.size(); ++k) {
    SCOPED_TRACE(plants[k].first);
    Sql(m_writer, plants[k].second);
    std::vector<std::string> addresses = {As(m_reader)};
    if (k + 1 == plants.size()) addresses.push_back(Owner());
    for (const std::string& address : addresses) {
      SCOPED_TRACE(address);
      EXPECT_NE(Tool({"show", address, "NO SUCH PATTERN"}), 0);
      EXPECT_EQ(m_out.find("IPE 200"), std::string::npos) << m_out;
      EXPECT_EQ(Tool({"show", address, "ipe 200"}), 0) << m_err;  // the collation still ignores case
      EXPECT_NE(m_out.find("200"), std::string::npos);
      EXPECT_EQ(Tool({"list", address, "IPE", "--where", "LOWER(Name)='zzz'", "--json"}), 0) << m_err;
      EXPECT_EQ(m_out.find("IPE"), std::string::npos) << m_out;
      EXPECT_EQ(Tool({"list", address, "IPE", "--where", "Name='NO SUCH PATTERN'", "--json"}), 0) << m_err;
      EXPECT_EQ(m_out.find("IPE"), std::string::npos) << m_out;
      EXPECT_EQ(Tool({"list", address, "IPE", "--json"}), 0) << m_err;
      EXPECT_NE(m_out.find("IPE 220"), std::string::npos);
      EXPECT_EQ(Tool({"info", address}), 0) << m_err;
      EXPECT_EQ(m_out.find("Spy"), std::string::npos) << "a view is no family";
    }
    EXPECT_EQ(Ran(), "0");
  }
}

TEST_F(PlantedServerObjects, ACaseBlindCollationTheLibraryDidNotMakeIsRefused) {
  struct Case {
    const char* what;
    bool byWriter;
    const char* definition;  // of vd_nocase; null: none
    bool opens;
  };
  const Case cases[] = {
      {"the library's, by a writer", true, "(provider = icu, locale = 'und-u-ks-level2', deterministic = false)",
       false},
      {"libc", false, "(locale = 'C')", false},
      {"another ICU locale", false, "(provider = icu, locale = 'und-u-ks-level1', deterministic = false)", false},
      {"deterministic", false, "(provider = icu, locale = 'und-u-ks-level2', deterministic = true)", false},
      {"the library's", false, "(provider = icu, locale = 'und-u-ks-level2', deterministic = false)", true},
      {"none", false, nullptr, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sql("postgres", "DROP SCHEMA IF EXISTS hand CASCADE; CREATE SCHEMA hand; GRANT USAGE, CREATE ON SCHEMA hand TO " +
                        m_writer + "; GRANT USAGE ON SCHEMA hand TO " + m_reader);
    if (c.definition)
      Sql(c.byWriter ? m_writer : "postgres", std::string("CREATE COLLATION hand.vd_nocase ") + c.definition);
    for (const std::string& address : {As(m_reader, "hand"), As("postgres", "hand")}) {
      CVdDatabase db;
      try {
        db.Open(CString(VdFromUtf8(address).c_str()));
        EXPECT_TRUE(c.opens);
      } catch (CDBException* e) {
        EXPECT_FALSE(c.opens) << VdToUtf8(e->m_strError.str());
        EXPECT_NE(e->m_strStateNativeOrigin.Find(L"State:08001,"), -1);
        EXPECT_NE(e->m_strError.Find(L"vd_nocase"), -1) << VdToUtf8(e->m_strError.str());
        e->Delete();
      }
    }
  }
}

TEST_F(PlantedServerObjects, AFamilysOwnCodeNeverRunsInAReadersSessionAndBlocksWrites) {
  struct Case {
    const char* what;
    const char* plant;  // on the table cat."T" (Name, h), made by the writer with one row
    bool readable;
    bool writable;
  };
  const Case cases[] = {
      {"nothing", "", true, true},
      {"a trigger",
       "CREATE FUNCTION cat.spy_trigger() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN INSERT INTO audit.log "
       "VALUES ('ran'); RETURN NEW; END $$; CREATE TRIGGER spy BEFORE INSERT OR UPDATE OR DELETE ON cat.\"T\" FOR "
       "EACH ROW EXECUTE FUNCTION cat.spy_trigger();",
       true, false},
      {"a rule", "CREATE RULE spy AS ON INSERT TO cat.\"T\" DO ALSO INSERT INTO audit.log VALUES ('ran');", true,
       false},
      {"a default", "ALTER TABLE cat.\"T\" ADD COLUMN k float8 DEFAULT cat.spy_value();", true, false},
      {"a check", "ALTER TABLE cat.\"T\" ADD CHECK (cat.spy_value() IS NOT NULL) NOT VALID;", true, false},
      {"an index expression",
       "CREATE FUNCTION cat.same(float8) RETURNS float8 IMMUTABLE LANGUAGE sql AS 'SELECT $1'; CREATE INDEX ON "
       "cat.\"T\" (cat.same(h));",
       true, false},
      {"a domain",
       "CREATE DOMAIN cat.spyd AS float8 CHECK (cat.spy_value() IS NOT NULL); ALTER TABLE cat.\"T\" ADD COLUMN k "
       "cat.spyd;",
       true, false},
      {"a row-level policy",
       "ALTER TABLE cat.\"T\" ENABLE ROW LEVEL SECURITY; CREATE POLICY spy ON cat.\"T\" USING (cat.spy_value() IS "
       "NOT NULL);",
       false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sql(m_writer, std::string("DROP TABLE IF EXISTS cat.\"T\"; DROP DOMAIN IF EXISTS cat.spyd; DROP FUNCTION IF EXISTS "
                              "cat.same(float8); DROP FUNCTION IF EXISTS cat.spy_value(); ") +
                      Spy("spy_value()", "float8", "1.0::float8") +
                      "CREATE TABLE cat.\"T\" (\"Name\" varchar(50), h float8, vd_row bigint GENERATED ALWAYS AS "
                      "IDENTITY PRIMARY KEY); INSERT INTO cat.\"T\" (\"Name\", h) VALUES ('a', 1);" +
                      c.plant + "GRANT SELECT, INSERT, UPDATE, DELETE ON cat.\"T\" TO PUBLIC;");
    const std::string ranBefore = Ran();
    CVdDatabase db;
    db.Open(CString(VdFromUtf8(As(m_reader)).c_str()));
    auto refused = [&](auto write, const wchar_t* expected) {
      try {
        write();
        return false;
      } catch (CDBException* e) {
        EXPECT_NE(e->m_strError.Find(expected), -1) << VdToUtf8(e->m_strError.str());
        e->Delete();
        return true;
      }
    };
    CVdRecordset rs(&db);
    EXPECT_EQ(!refused([&] { rs.Open(0, L"SELECT Name, h FROM T", 0); }, L"T"), c.readable);
    if (c.readable) {
      EXPECT_EQ(!refused(
                    [&] {
                      rs.Edit();
                      rs.SetFieldValue(L"h", COleVariant(2.0));
                      rs.Update();
                    },
                    L"is not written"),
                c.writable);
      EXPECT_EQ(!refused([&] { db.ExecuteSQL(L"INSERT INTO T (Name, h) VALUES ('b', 3)"); }, L"is not written"),
                c.writable);
      EXPECT_EQ(!refused([&] { db.ExecuteSQL(L"DELETE FROM T WHERE Name = 'zz'"); }, L"with your rights"), c.writable);
    }
    EXPECT_EQ(Value("SELECT count(*) || ' ' || max(h) FROM cat.\"T\""), c.writable ? "2 3" : "1 1");
    EXPECT_EQ(Ran(), ranBefore);
  }
}

TEST_F(PlantedServerObjects, AFamilyWithColumnsDifferingOnlyInCaseIsRefusedAndLeftAsItWas) {
  const std::vector<std::pair<std::string, std::string>> pairs = {{"h", "H"}, {"Name", "NAME"}, {"Wt", "wT"}};
  for (const auto& [first, second] : pairs) {
    SCOPED_TRACE(first + "/" + second);
    Sql("postgres",
        "DROP TABLE IF EXISTS cat.\"W2\"; CREATE TABLE cat.\"W2\" (\"Name\" varchar(50) COLLATE "
        "cat.vd_nocase, \"" +
            (first == "Name" ? std::string("x") : first) + "\" float8, \"" + second +
            "\" float8, vd_row bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY); INSERT INTO cat.\"W2\" "
            "VALUES ('a', 1, 2)");
    const std::string before = Value("SELECT row_to_json(w)::text FROM cat.\"W2\" w");
    const std::string clash = "\"" + second + "\", whose names differ only in case";
    const std::string column = first == "Name" ? "x" : first;
    // A search by name passes over a family that cannot answer, and its "not found" says which and why; each
    // reason is said once.
    const std::vector<std::pair<std::vector<std::string>, bool>> commands = {
        {{"export", Owner(), "W2", "--format", "csv"}, true},
        {{"list", Owner(), "W2", "--json"}, true},
        {{"set", Owner(), "W2", "a", column + "=7"}, true},
        {{"set", Owner(), "W2", "b", column + "=7"}, true},
        {{"show", Owner(), "a"}, true},
        {{"rm", Owner(), "a"}, true}};
    for (const auto& [args, saysWhy] : commands) {
      SCOPED_TRACE(args[0]);
      EXPECT_NE(Tool(args), 0);
      if (saysWhy) {
        EXPECT_NE(m_err.find(clash), std::string::npos) << m_err;
        EXPECT_EQ(m_err.find(clash), m_err.rfind(clash)) << m_err;
      }
      EXPECT_EQ(m_out.find("7"), std::string::npos) << m_out;
    }
    EXPECT_EQ(Value("SELECT row_to_json(w)::text FROM cat.\"W2\" w"), before);
    EXPECT_EQ(Value("SELECT count(*) FROM cat.\"W2\""), "1");
    // The other families are still read.
    EXPECT_EQ(Tool({"show", Owner(), "IPE 200"}), 0) << m_err;
  }
}

TEST_F(PlantedServerObjects, AWriterAddsHistoryOnlyThroughWritesAndAHistoryTableItMadeIsNotBelieved) {
  // The owner's grants: every table of the catalog, less rewriting or removing the history.
  Sql("postgres", "GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA cat TO " + m_writer +
                      "; REVOKE UPDATE, DELETE, TRUNCATE ON cat.vd_history FROM " + m_writer);
  ASSERT_EQ(Tool({"set", As(m_writer), "IPE", "IPE 200", "h=201"}), 0) << m_err;
  ASSERT_EQ(Tool({"history", As(m_writer), "IPE 200", "--json"}), 0) << m_err;
  EXPECT_NE(m_out.find(m_writer), std::string::npos) << m_out;  // who is the role the server says
  const std::string rows = Value("SELECT count(*) FROM cat.vd_history");
  for (const char* rewrite :
       {"UPDATE cat.vd_history SET who = 'someone else'", "DELETE FROM cat.vd_history", "TRUNCATE cat.vd_history"})
    Sql(m_writer, rewrite, false);
  EXPECT_NE(Tool({"history", As(m_writer), "--prune-before", "2999-01-01"}), 0);  // pruning is the owner's
  EXPECT_EQ(Value("SELECT count(*) FROM cat.vd_history"), rows);
  EXPECT_EQ(Value("SELECT count(*) FROM cat.vd_history WHERE who = 'someone else'"), "0");

  // A history table a writer made in place of the owner's is neither read nor written; the writes go on.
  Sql("postgres", "DROP TABLE cat.vd_history");
  Sql(m_writer,
      "CREATE TABLE cat.vd_history (seq bigint, cset bigint, at text, who text, host text, program text, family "
      "text, name text, kind text, columns text); INSERT INTO cat.vd_history VALUES (1, 1, '2020-01-01T00:00:00Z', "
      "'forged', '', '', 'IPE', 'IPE 220', 'modify', '[]')");
  EXPECT_NE(Tool({"history", Owner()}), 0);
  EXPECT_EQ(m_out.find("forged"), std::string::npos) << m_out;
  ASSERT_EQ(Tool({"set", Owner(), "IPE", "IPE 220", "h=221"}), 0) << m_err;
  EXPECT_EQ(Value("SELECT count(*) FROM cat.vd_history"), "1");
  EXPECT_NE(Tool({"undo", Owner(), "1"}), 0);
  EXPECT_NE(m_err.find("not trusted"), std::string::npos) << m_err;
  EXPECT_EQ(Value("SELECT h FROM cat.\"IPE\" WHERE \"Name\" = 'IPE 220'"), "221");
}

#endif  // VDCATALOG_PATH
