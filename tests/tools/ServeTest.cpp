// vdcatalog serve through its JSON API, as the page and scripts use it: the real tool on 127.0.0.1.

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/TestDb.h"

namespace {

using nlohmann::json;

int Tool(const std::string& args) { return std::system((std::string(VDCATALOG_PATH) + " " + args).c_str()); }

// `text` as one word of a shell command (a server catalog's address holds '?' and '&').
std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// A running `vdcatalog serve`, stopped by SIGTERM at the end of the test.
class Served {
 public:
  explicit Served(const std::vector<std::string>& args) {
    int out[2];
    if (pipe(out) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      dup2(out[1], 1);
      close(out[0]);
      std::vector<const char*> argv{VDCATALOG_PATH, "serve", "--port", "0"};
      for (const std::string& a : args) argv.push_back(a.c_str());
      argv.push_back(nullptr);
      execv(VDCATALOG_PATH, const_cast<char* const*>(argv.data()));
      _exit(127);
    }
    close(out[1]);
    std::FILE* in = fdopen(out[0], "r");
    char line[256] = {};
    if (in && std::fgets(line, sizeof line, in)) m_line = line;
    if (in) std::fclose(in);
    const std::size_t colon = m_line.rfind(':');
    if (m_line.rfind("serving http://127.0.0.1:", 0) == 0 && colon != std::string::npos)
      m_port = std::atoi(m_line.c_str() + colon + 1);
  }
  ~Served() { Stop(); }
  // The tool's exit status after SIGTERM.
  int Stop() {
    if (m_pid <= 0) return -1;
    kill(m_pid, SIGTERM);
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int Port() const { return m_port; }
  std::string Origin() const { return "http://127.0.0.1:" + std::to_string(m_port); }

 private:
  pid_t m_pid = -1;
  int m_port = 0;
  std::string m_line;
};

// A catalog file, or a catalog on the server when the suite runs there (CTest runs it on both engines).
class Serve : public vdtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    m_catalog = NewDbAddress("steel.vdcat");
    ASSERT_EQ(Tool("create " + Quoted(m_catalog) + " --type Steel >/dev/null"), 0);
    ASSERT_EQ(Tool("add-family " + Quoted(m_catalog) +
                   " HEB --code HB --column h:DOUBLE:mm --column b:DOUBLE:mm --column tw:DOUBLE:mm "
                   "--column tf:DOUBLE:mm --column r:DOUBLE:mm --column A:DOUBLE:cm2 --column n:INTEGER >/dev/null"),
              0);
    for (const char* row :
         {"'HEB 300' h=300 b=300 tw=11 tf=19 r=27 A=149.1 n=3", "'HEB 1000' h=1000 b=300 tw=19 tf=36 r=30 A=400 n=10",
          "'HEB 80' h=80 b=80 tw=5 tf=8 r=8 A=20 n=1", "'HEB 90' h=90 n=2"})
      ASSERT_EQ(Tool("set " + Quoted(m_catalog) + " HEB " + row + " >/dev/null"), 0);
  }

  static json Get(httplib::Client& client, const std::string& path, int status = 200) {
    const auto r = client.Get(path.c_str());
    EXPECT_TRUE(r) << path;
    if (!r) return json();
    EXPECT_EQ(r->status, status) << path << ": " << r->body;
    return json::parse(r->body, nullptr, false);
  }

  static std::string Token(httplib::Client& client) { return Get(client, "/api/session").value("token", ""); }

  // A write as the page makes it; `origin` and `token` empty: left out.
  static httplib::Result Post(httplib::Client& client, const std::string& path, const json& body,
                              const std::string& origin, const std::string& token) {
    httplib::Headers headers;
    if (!origin.empty()) headers.emplace("Origin", origin);
    if (!token.empty()) headers.emplace("X-Vdcatalog-Token", token);
    return client.Post(path.c_str(), headers, body.dump(), "application/json");
  }

  std::vector<std::string> Names(httplib::Client& client, const std::string& query) {
    std::vector<std::string> names;
    const json got = Get(client, "/api/rows?catalog=0&family=heb&" + query);
    for (const json& row : got["rows"]) names.push_back(row["Name"]);
    return names;
  }

  std::string m_catalog;
};

TEST_F(Serve, ListsPagesSortsFiltersAndFinds) {
  ASSERT_EQ(
      Tool("add-family " + Quoted(m_catalog) + " CHS --code C --column d:DOUBLE:mm --column Standard:TEXT >/dev/null"),
      0);
  Served server({m_catalog});
  ASSERT_GT(server.Port(), 0);
  httplib::Client client("127.0.0.1", server.Port());

  const json catalogs = Get(client, "/api/catalogs");
  ASSERT_EQ(catalogs.size(), 1u);
  const json& family = catalogs[0]["families"][1];
  EXPECT_EQ(family["family"], "HEB");
  EXPECT_EQ(family["code"], "HB");
  EXPECT_EQ(family["patterns"], 4);
  EXPECT_EQ(family["columns"][1]["unit"], "mm");

  // Names in natural order, numbers by value with a missing one first, pages, a condition.
  struct Case {
    std::string query;
    std::vector<std::string> names;
  } cases[] = {
      {"", {"HEB 80", "HEB 90", "HEB 300", "HEB 1000"}},
      {"sort=Name&order=desc", {"HEB 1000", "HEB 300", "HEB 90", "HEB 80"}},
      {"sort=b", {"HEB 90", "HEB 80", "HEB 300", "HEB 1000"}},
      {"sort=n&order=desc&offset=1&limit=2", {"HEB 300", "HEB 90"}},
      {"where=h%20%3E%20100", {"HEB 300", "HEB 1000"}},
      {"where=h%20%3E%20100&offset=5", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(Names(client, c.query), c.names) << c.query;
  EXPECT_EQ(Get(client, "/api/rows?catalog=0&family=HEB&limit=1")["total"], 4);

  // A family's sources are its Standard column's values, a few of them; a family without the column has none.
  EXPECT_TRUE(family["provenance"].is_null());
  auto sources = [&] {
    const json all = Get(client, "/api/catalogs");
    for (const json& f : all[0]["families"])
      if (f["family"] == "CHS") return f["provenance"];
    return json();
  };
  for (const char* row :
       {"'CHS 1' 'Standard=EN 1'", "'CHS 2' 'Standard=EN 2'", "'CHS 3' d=3", "'CHS 4' 'Standard=EN 1'"})
    ASSERT_EQ(Tool("set " + Quoted(m_catalog) + " CHS " + row + " >/dev/null"), 0);
  json got = sources();
  std::vector<std::string> values = got["values"];
  std::sort(values.begin(), values.end());
  EXPECT_EQ(values, (std::vector<std::string>{"EN 1", "EN 2"})) << got.dump();
  EXPECT_EQ(got["more"], false);
  for (const char* row : {"'CHS 5' 'Standard=EN 3'", "'CHS 6' 'Standard=EN 4'"})
    ASSERT_EQ(Tool("set " + Quoted(m_catalog) + " CHS " + row + " >/dev/null"), 0);
  got = sources();
  EXPECT_EQ(got["values"].size(), 3u) << got.dump();
  EXPECT_EQ(got["more"], true);

  // What the tool refuses is said, with the checker's reason.
  EXPECT_NE(
      Get(client, "/api/rows?catalog=0&family=HEB&where=1;DROP%20TABLE%20HEB", 400)["error"].get<std::string>().find(
          "not allowed"),
      std::string::npos);
  Get(client, "/api/rows?catalog=0&family=HEB&sort=nothing", 400);
  Get(client, "/api/rows?catalog=0&family=HEB&limit=100000", 400);
  Get(client, "/api/rows?catalog=7&family=HEB", 400);
  Get(client, "/api/rows?catalog=0&family=IPE", 404);

  // A search finds a name as show does; a miss suggests the closest.
  const json found = Get(client, "/api/search?q=heb%20300");
  EXPECT_EQ(found["name"], "HEB 300");
  EXPECT_EQ(found["family"], "HEB");
  EXPECT_NE(Get(client, "/api/search?q=HEB%20301", 404)["error"].get<std::string>().find("HEB 300"), std::string::npos);

  // Values as stored, in SI units, in millimetres; a missing one stays missing.
  auto value = [&](const std::string& metrics, const std::string& name, const std::string& pattern = "HEB%20300") {
    const json got = Get(client, "/api/pattern?catalog=0&family=HEB&name=" + pattern + "&metrics=" + metrics);
    for (const json& p : got["parameters"])
      if (p["name"] == name) return p["value"];
    return json("absent");
  };
  EXPECT_DOUBLE_EQ(value("catalog", "h").get<double>(), 300);
  EXPECT_DOUBLE_EQ(value("si", "h").get<double>(), 0.3);
  EXPECT_NEAR(value("si", "A").get<double>(), 149.1e-4, 1e-12);
  EXPECT_DOUBLE_EQ(value("1000", "h").get<double>(), 300);
  EXPECT_TRUE(value("si", "b", "HEB%2090").is_null());
  Get(client, "/api/pattern?catalog=0&family=HEB&name=HEB%20300&metrics=furlongs", 400);
  EXPECT_EQ(server.Stop(), 0);
}

// A family's order is kept between pages, and read again once anyone, this server or another program, has
// written to the catalog; names sort as people read them whatever digits, case and signs they hold.
TEST_F(Serve, OrderIsKeptUntilTheCatalogChanges) {
  Served server({m_catalog});
  ASSERT_GT(server.Port(), 0);
  httplib::Client client("127.0.0.1", server.Port());
  EXPECT_EQ(Names(client, "limit=2"), (std::vector<std::string>{"HEB 80", "HEB 90"}));
  EXPECT_EQ(Names(client, "sort=h&order=desc&limit=1"), (std::vector<std::string>{"HEB 1000"}));
  for (const char* row : {"'HEB 0300a' h=2000", "'HEB !' h=1", "'HEB-5'", "'heb a' h=300"})
    ASSERT_EQ(Tool("set " + Quoted(m_catalog) + " HEB " + row + " >/dev/null"), 0);
  EXPECT_EQ(Names(client, ""), (std::vector<std::string>{"HEB !", "HEB 80", "HEB 90", "HEB 300", "HEB 0300a",
                                                         "HEB 1000", "heb a", "HEB-5"}));
  // Equal values stand in name order (turned round with the rest when descending); a missing value comes first.
  EXPECT_EQ(Names(client, "sort=h&limit=5"),
            (std::vector<std::string>{"HEB-5", "HEB !", "HEB 80", "HEB 90", "HEB 300"}));
  EXPECT_EQ(Names(client, "sort=h&order=desc&limit=3"), (std::vector<std::string>{"HEB 0300a", "HEB 1000", "heb a"}));
  ASSERT_EQ(Tool("rm " + Quoted(m_catalog) + " 'HEB 0300a' >/dev/null"), 0);
  EXPECT_EQ(Names(client, "sort=h&order=desc&limit=1"), (std::vector<std::string>{"HEB 1000"}));
  EXPECT_EQ(Get(client, "/api/rows?catalog=0&family=HEB&where=h%20%3E%3D%20300")["total"], 3);
}

// A search finds a name as show does: as given, else by an alias or an equivalent spelling when one row only
// answers; the pattern's page says which name led there and lists the row's aliases.
TEST_F(Serve, SearchFindsAliasesAndSpellings) {
  ASSERT_EQ(Tool("alias " + Quoted(m_catalog) + " add 'HE 300 B' 'HEB 300' >/dev/null"), 0);
  // set would update HEB 90, which this spelling reaches: a second row of the same spelling comes by import.
  ASSERT_EQ(Tool("import " + Quoted(m_catalog) + " HEB /dev/stdin <<'EOF' >/dev/null\nName\nheb90\nEOF"), 0);
  Served server({m_catalog});
  ASSERT_GT(server.Port(), 0);
  httplib::Client client("127.0.0.1", server.Port());
  struct Case {
    std::string q, name;
    json via, shown;  // the alias as stored, the spelling as given
  } cases[] = {{"heb%20300", "HEB 300", nullptr, nullptr},
               {"he%20300%20b", "HEB 300", "alias", "HE 300 B"},
               {"HEB300", "HEB 300", "spelling", "HEB300"}};
  for (const Case& c : cases) {
    const json found = Get(client, "/api/search?q=" + c.q);
    EXPECT_EQ(found["name"], c.name) << c.q;
    EXPECT_EQ(found["via"], c.via) << c.q;
    json page = Get(client, "/api/pattern?catalog=0&family=HEB&name=HEB%20300&asked=" + c.q);
    const json names = page["names"];
    // The search's answer is the pattern's page, but for the history, which comes by a request of its own.
    json given = found["pattern"];
    EXPECT_EQ(given["history_later"], true) << c.q;
    EXPECT_EQ(Get(client, "/api/history?catalog=0&family=HEB&name=HEB%20300"),
              (json{{"history", page["history"]}, {"history_more", page["history_more"]}}));
    given.erase("history_later");
    page.erase("history");
    page.erase("history_more");
    EXPECT_EQ(given, page) << c.q;
    EXPECT_EQ(names["aliases"], json::array({"HE 300 B"})) << c.q;
    EXPECT_EQ(names["via"], c.via) << c.q;
    EXPECT_EQ(names["asked"], c.shown) << c.q;
  }
  EXPECT_EQ(Get(client, "/api/pattern?catalog=0&family=HEB&name=HEB%2080")["names"],
            (json{{"aliases", json::array()}, {"via", nullptr}, {"asked", nullptr}}));
  // Two rows of one spelling: neither is picked, both are named.
  const std::string both = Get(client, "/api/search?q=Heb%20%2090", 409)["error"];
  EXPECT_NE(both.find("HEB 90"), std::string::npos) << both;
  EXPECT_NE(both.find("heb90"), std::string::npos) << both;
}

TEST_F(Serve, WritesAreCheckedSameOriginAndKept) {
  Served server({m_catalog});
  ASSERT_GT(server.Port(), 0);
  httplib::Client client("127.0.0.1", server.Port());
  const std::string token = Token(client), origin = server.Origin();
  ASSERT_EQ(token.size(), 32u);
  const json edit = {{"catalog", 0}, {"family", "HEB"}, {"name", "HEB 300"}, {"values", {{"h", "301.5"}}}};

  // Refused before anything is read: no token, a wrong one, another origin, no origin.
  for (const auto& [o, t] : std::vector<std::pair<std::string, std::string>>{
           {origin, ""}, {origin, std::string(32, '0')}, {"http://evil.example", token}, {"", token}}) {
    const auto r = Post(client, "/api/set", edit, o, t);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403) << o << " " << t;
  }
  auto h = [&](const std::string& name) {
    const json got = Get(client, "/api/pattern?catalog=0&family=HEB&name=" + name);
    for (const json& p : got["parameters"])
      if (p["name"] == "h") return p["value"];
    return json();
  };
  EXPECT_EQ(h("HEB%20300"), 300.0);

  // Values the family's types, columns or state refuse change nothing and say why.
  struct Refused {
    std::string path;
    json body;
    int status;
    std::string why;
  } refused[] = {
      {"/api/set",
       {{"catalog", 0}, {"family", "HEB"}, {"name", "HEB 300"}, {"values", {{"h", "tall"}}}},
       400,
       "does not fit"},
      {"/api/set", {{"catalog", 0}, {"family", "HEB"}, {"name", "HEB 300"}, {"values", {{"n", "1.5"}}}}, 400, "n"},
      {"/api/set",
       {{"catalog", 0}, {"family", "HEB"}, {"name", "HEB 300"}, {"values", {{"zz", "1"}}}},
       400,
       "no column"},
      {"/api/set", {{"catalog", 0}, {"family", "HEB"}, {"name", "HEB 300"}, {"values", {{"Name", "x"}}}}, 400, "Name"},
      {"/api/set", {{"catalog", 0}, {"family", "HEB"}, {"name", "HEB 999"}, {"values", {{"h", "1"}}}}, 404, "not in"},
      {"/api/add", {{"catalog", 0}, {"family", "HEB"}, {"name", "heb 300"}}, 409, "already"},
      {"/api/remove", {{"catalog", 0}, {"family", "HEB"}, {"name", "HEB 999"}}, 404, "not found"},
      {"/api/set", {{"catalog", "0"}, {"family", "HEB"}, {"name", "HEB 300"}}, 400, "catalog"},
  };
  for (const Refused& c : refused) {
    const auto r = Post(client, c.path, c.body, origin, token);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status) << c.body.dump() << ": " << r->body;
    EXPECT_NE(json::parse(r->body)["error"].get<std::string>().find(c.why), std::string::npos) << r->body;
  }
  EXPECT_EQ(h("HEB%20300"), 300.0);
  EXPECT_EQ(Get(client, "/api/rows?catalog=0&family=HEB")["total"], 4);

  // Accepted writes reach the catalog file, as another process reads it.
  ASSERT_EQ(Post(client, "/api/set", edit, origin, token)->status, 200);
  EXPECT_EQ(h("HEB%20300"), 301.5);
  const json add = {{"catalog", 0}, {"family", "HEB"}, {"name", "HEB 120"}, {"values", {{"h", 120}, {"n", 4}}}};
  ASSERT_EQ(Post(client, "/api/add", add, origin, token)->status, 200);
  EXPECT_EQ(Get(client, "/api/rows?catalog=0&family=HEB")["total"], 5);
  ASSERT_EQ(Post(client, "/api/remove", {{"catalog", 0}, {"family", "HEB"}, {"name", "HEB 80"}}, origin, token)->status,
            200);
  EXPECT_EQ(Names(client, "limit=2"), (std::vector<std::string>{"HEB 90", "HEB 120"}));
  EXPECT_EQ(Tool("list " + Quoted(m_catalog) + " HEB --where 'h > 301' --like 'HEB 300' | grep -q 'HEB 300'"), 0);
  EXPECT_EQ(server.Stop(), 0);

  // A read-only server refuses every write.
  Served readOnly({m_catalog, "--read-only"});
  httplib::Client second("127.0.0.1", readOnly.Port());
  EXPECT_EQ(Get(second, "/api/catalogs")[0]["read_only"], true);
  const auto r = Post(second, "/api/set", edit, readOnly.Origin(), Token(second));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 403);
}

// A pattern's page lists the row's newest changes, the page's own saves among them, with each value before and
// after; a long history is cut to the newest with a flag, and a catalog that keeps none shows none.
TEST_F(Serve, PatternShowsItsHistory) {
  Served server({m_catalog});
  ASSERT_GT(server.Port(), 0);
  httplib::Client client("127.0.0.1", server.Port());
  const std::string token = Token(client);
  auto history = [&] { return Get(client, "/api/pattern?catalog=0&family=HEB&name=heb%20300"); };
  auto set = [&](const json& values) {
    const auto r =
        Post(client, "/api/set", {{"catalog", 0}, {"family", "HEB"}, {"name", "HEB 300"}, {"values", values}},
             server.Origin(), token);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
  };
  json got = history();
  ASSERT_EQ(got["history"].size(), 1u) << got.dump();
  EXPECT_EQ(got["history"][0]["kind"], "insert");
  EXPECT_EQ(got["history_more"], false);

  set({{"h", "301.5"}, {"n", "4"}});
  got = history();
  ASSERT_EQ(got["history"].size(), 2u);
  const json& edit = got["history"][0];
  EXPECT_EQ(edit["kind"], "modify");
  EXPECT_FALSE(edit["who"].get<std::string>().empty());
  EXPECT_GT(edit["id"].get<long long>(), got["history"][1]["id"].get<long long>());
  EXPECT_EQ(edit["columns"], (json::array({{{"column", "h"}, {"before", 300.0}, {"after", 301.5}},
                                           {{"column", "n"}, {"before", 3}, {"after", 4}}})))
      << edit.dump();
  // Another row's changes are not this one's.
  ASSERT_EQ(Tool("set " + Quoted(m_catalog) + " HEB 'HEB 80' h=81 >/dev/null"), 0);
  EXPECT_EQ(history()["history"].size(), 2u);

  for (int i = 0; i < 20; ++i) set({{"tw", std::to_string(12 + i)}});
  got = history();
  ASSERT_EQ(got["history"].size(), 20u);
  EXPECT_EQ(got["history_more"], true);
  EXPECT_EQ(got["history"][0]["columns"][0]["after"], 31.0);
  EXPECT_EQ(server.Stop(), 0);

  if (OnServer()) return;  // the table is dropped by hand below, as an older file lacks it
  vdtest::ExecSql(m_catalog, "DROP TABLE vd_history");
  Served older({m_catalog});
  httplib::Client second("127.0.0.1", older.Port());
  got = Get(second, "/api/pattern?catalog=0&family=HEB&name=HEB%20300");
  EXPECT_FALSE(got.contains("history") || got.contains("history_more") || got.contains("history_error")) << got.dump();
}

TEST_F(Serve, AnswersOnlyItsOwnHostAndFiles) {
  Served server({m_catalog});
  ASSERT_GT(server.Port(), 0);
  httplib::Client client("127.0.0.1", server.Port());
  const std::string port = std::to_string(server.Port());
  // A rebound DNS name, another port, or no Host at all are refused; the loopback names are not.
  for (const auto& [host, status] : std::vector<std::pair<std::string, int>>{
           {"evil.example:" + port, 421}, {"127.0.0.1:1", 421}, {"localhost:" + port, 200}, {"[::1]:" + port, 200}}) {
    const auto r = client.Get("/api/catalogs", {{"Host", host}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, status) << host;
  }
  // The page's own files and nothing else.
  const auto page = client.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("data-role=\"family-list\""), std::string::npos);
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("script-src 'self'"), std::string::npos);
  EXPECT_EQ(client.Get("/app.js")->status, 200);
  for (const char* path :
       {"/../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/web/app.js", "/CMakeLists.txt", "/steel.vdcat"})
    EXPECT_EQ(client.Get(path)->status, 404) << path;
  // A body beyond the limit is refused unread.
  const auto big =
      Post(client, "/api/set", json{{"name", std::string(300 * 1024, 'x')}}, server.Origin(), Token(client));
  ASSERT_TRUE(big);
  EXPECT_EQ(big->status, 413);
  EXPECT_EQ(client.Delete("/api/set")->status, 405);
}

}  // namespace
