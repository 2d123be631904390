// Hostile table names through the whole tool. A catalog may come from anyone, and a family's name is the name
// of a table: names that read as statements (DELETE FROM Victim, ATTACH, VACUUM INTO a file, ANALYZE, BEGIN)
// or as bits of one (Select, 1e5, *, a leading space, quotes and brackets) must be used as names and never
// run. Each name gets a catalog of its own, written with plain SQL, holding that family with two rows and a
// table "Victim"; every command that takes a family runs on it. After each command the Victim rows, the list
// of tables and the files around must be as they were (ATTACH and VACUUM INTO name files in a folder that
// must stay empty, and the tool runs in a folder of its own that must stay empty too); reads must leave the
// whole catalog as it was, and the tool must end with one of its statuses; what it prints for a terminal may
// hold no control character of a name (escape sequences, bells, carriage returns). The first names are plain enough
// for a catalog to hold them in earnest: with those, list and export must also show the family's rows.
//
// add-family with each name on a clean catalog either works all the way (the family takes a pattern, lists
// it, gives it up again) or is refused with the catalog left exactly as it was.

#include <string>
#include <vector>

#include "reliability/StressRuns.h"
#include "reliability/ToolRun.h"

namespace vdstress {

namespace {

struct Name {
  std::string text;
  bool mustRead;  // list and export must show its rows, not just stay harmless
};

// `sink`: the folder the names that write files point into.
std::vector<Name> HostileNames(const std::string& sink) {
  return {
      {"DELETE FROM Victim", true},
      {"ATTACH '" + sink + "/attached.db' AS v", true},
      {"VACUUM INTO '" + sink + "/vacuumed.db'", true},
      {"Drop Table Victim", true},
      {"Analyze", true},
      {"Begin", true},
      {"Select", true},
      {"Values", true},
      {"1e5", true},
      {" x", true},
      {"*", true},
      {"ATTACH 'relative.db' AS r", false},
      {"VACUUM", false},
      {"Update Victim Set V = 0", false},
      {"Insert Into Victim Values ('intruder', 0)", false},
      {"Create Table Intruder (a)", false},
      {"Pragma journal_mode = wal", false},
      {"With t As (Select 1) Delete From Victim", false},
      {"Explain Delete From Victim", false},
      {"Victim; DELETE FROM Victim", false},
      {"Victim WHERE 0; DROP TABLE Victim", false},
      {"x'; DELETE FROM Victim; --", false},
      {"x\"; DELETE FROM Victim; --", false},
      {"x]; DELETE FROM Victim; --", false},
      {"[Victim]", false},
      {"-- DELETE FROM Victim", false},
      {"/* */ DELETE FROM Victim", false},
      {"x\nDELETE FROM Victim", false},
      {"(SELECT 1)", false},
      {"x ", false},
      {"%", false},
      {"?1", false},
      {"Profilé \xC3\xA9\xE2\x82\xAC \xF0\x9D\x94\xB8", false},
      // Terminal commands: blinking text, a cleared screen, a bell, a carriage return over the line, an 8-bit CSI.
      {"T \x1b[5mblink\x07 \x1b[2J", true},
      {"Over\rwritten\x08", true},
      {"C1 \xC2\x9B"
       "31m red \x7F",
       true},
  };
}

class NameRun {
 public:
  NameRun(Tool& tool, Faults& faults, std::string dir) : m_tool(tool), m_faults(faults), m_dir(std::move(dir)) {
    m_sink = MakeFolder(m_dir + "/sink");
    m_cwd = MakeFolder(m_dir + "/cwd");
  }

  const std::string& Sink() const { return m_sink; }

  enum class Kind { kRead, kWrite, kAddFamily };

  // One command on `catalog`, then the checks that hold for every command. A read must leave the whole
  // catalog as it was; a write the Victim rows and the list of tables (add-family adds its own). A catalog
  // found damaged is put back as it was before the command, so that the next command is judged alone.
  ToolResult Command(const std::string& label, const std::string& catalog, const std::vector<std::string>& args,
                     Kind kind, const std::string& family = "") {
    const std::string bytes = ReadFile(catalog);
    const Content before = ReadContent(catalog);
    const std::set<std::string> files = Listing(Folder(catalog));
    const ToolResult r = m_tool.Wait(m_tool.Start(args, "", nullptr, m_cwd));
    ++commands;
    const std::string where = label + ": " + Shown(args);
    if (!r.Clean()) m_faults.Add(where + " " + r.Describe());
    if (IsTable(args) && HasTerminalControl(r.out)) m_faults.Add(where + " printed a control character raw");
    if (r.Exited() && r.status != 0 && r.err.empty()) m_faults.Add(where + " failed without a message");
    const Content after = ReadContent(catalog);
    std::set<std::string> was, now;
    // The library's own tables ("vd_..."), such as its change records, are made by the first write that needs them.
    const auto library = [](const std::string& t) {
      return t.size() > 3 && (t[0] == 'v' || t[0] == 'V') && (t[1] == 'd' || t[1] == 'D') && t[2] == '_';
    };
    for (const auto& t : before.tables)
      if (!library(t.first)) was.insert(t.first);
    for (const auto& t : after.tables)
      if (!library(t.first)) now.insert(t.first);
    if (kind == Kind::kAddFamily && r.status == 0) was.insert(family);
    const auto victim = [](const Content& c) { return c.tables.count("Victim") ? c.tables.at("Victim") : 0; };
    bool damaged = true;
    if (!after.readable)
      m_faults.Add(where + " left the catalog " + after.Describe());
    else if (kind == Kind::kRead && after != before)
      m_faults.Add(where + " changed the catalog it only reads: " + before.Describe() + " -> " + after.Describe());
    else if (!after.tables.count("Victim") || victim(after) != victim(before))
      m_faults.Add(where + " changed the Victim rows: " + before.Describe() + " -> " + after.Describe());
    else if (was != now)
      m_faults.Add(where + " changed the tables: " + before.Describe() + " -> " + after.Describe());
    else
      damaged = false;
    std::set<std::string> allowed = files;
    for (const char* name : {"out.csv", "out.json"}) allowed.insert(name);
    const std::string added = Added(allowed, Listing(Folder(catalog)));
    if (!added.empty()) m_faults.Add(where + " left files beside the catalog: " + added);
    if (!Listing(m_sink).empty()) m_faults.Add(where + " wrote " + Added({}, Listing(m_sink)) + " elsewhere");
    if (!Listing(m_cwd).empty()) m_faults.Add(where + " wrote " + Added({}, Listing(m_cwd)) + " in its folder");
    EmptyFolder(m_sink);
    EmptyFolder(m_cwd);
    if (damaged || !added.empty()) {
      for (const char* suffix : {"-journal", "-wal", "-shm"}) ::unlink((catalog + suffix).c_str());
      WriteFile(catalog, bytes);
    }
    return r;
  }

  // The read commands, on a catalog holding `family` with the rows "R 1" and "R 2".
  void Reads(const std::string& label, const std::string& catalog, const Name& family) {
    const std::string& f = family.text;
    const std::string dir = Folder(catalog);
    const ToolResult info = Command(label, catalog, {"info", catalog}, Kind::kRead);
    Command(label, catalog, {"families", catalog}, Kind::kRead);
    const ToolResult list = Command(label, catalog, {"list", catalog, f}, Kind::kRead);
    Command(label, catalog, {"list", catalog, f, "--json"}, Kind::kRead);
    const ToolResult csv =
        Command(label, catalog, {"export", catalog, f, "--format", "csv", "-o", dir + "/out.csv"}, Kind::kRead);
    const std::string csvText = ReadFile(dir + "/out.csv");
    Command(label, catalog, {"export", catalog, "--format", "json", "-o", dir + "/out.json"}, Kind::kRead);
    Command(label, catalog, {"export", catalog, f, "--format", "json"}, Kind::kRead);
    Command(label, catalog, {"show", "R 1", "--catalog", catalog}, Kind::kRead);
    Command(label, catalog, {"show", "R 2", "--catalog", catalog, "--family", f}, Kind::kRead);
    Command(label, catalog, {"show", "nothing like it", "--catalog", catalog}, Kind::kRead);
    Command(label, catalog, {"max", catalog, f, "h", "Name", "R 1"}, Kind::kRead);
    ::unlink((dir + "/out.csv").c_str());
    ::unlink((dir + "/out.json").c_str());
    if (!family.mustRead) return;
    if (info.status != 0) m_faults.Add(label + ": info cannot describe the catalog (" + info.Describe() + ")");
    if (list.status != 0 || !Contains(list.out, "R 1") || !Contains(list.out, "R 2"))
      m_faults.Add(label + ": list does not show the family's rows (" + list.Describe() + ")");
    if (csv.status != 0 || !Contains(csvText, "R 1") || !Contains(csvText, "R 2"))
      m_faults.Add(label + ": export does not write the family's rows (" + csv.Describe() + ")");
  }

  // The write commands on the same catalog: a new pattern, a changed one, one removed.
  void Writes(const std::string& label, const std::string& catalog, const Name& family) {
    Command(label, catalog, {"set", catalog, family.text, "R 3", "h=3.5"}, Kind::kWrite);
    Command(label, catalog, {"set", catalog, family.text, "R 2", "h=2.75", "Note=changed"}, Kind::kWrite);
    Command(label, catalog, {"rm", catalog, "R 1", "--family", family.text}, Kind::kWrite);
    Command(label, catalog, {"rm", catalog, "R 2"}, Kind::kWrite);
  }

  // add-family with the name on a catalog without families: all the way, or refused with nothing changed.
  void AddFamily(const std::string& label, const std::string& catalog, const Name& family) {
    const std::string& f = family.text;
    const Content clean = ReadContent(catalog);
    const ToolResult add = Command(
        label, catalog, {"add-family", catalog, f, "--code", "HN", "--column", "h:DOUBLE:mm"}, Kind::kAddFamily, f);
    if (add.status != 0) {
      ++refused;
      if (ReadContent(catalog) != clean) m_faults.Add(label + ": add-family was refused but changed the catalog");
      return;
    }
    ++accepted;
    const Content added = ReadContent(catalog);
    if (added.Rows(f) != 0 || CountNamed(catalog, "FamilyDescription", f) != 1) {
      m_faults.Add(label + ": add-family succeeded without a table and one description of that name (" +
                   added.Describe() + ")");
      return;
    }
    const ToolResult set = Command(label, catalog, {"set", catalog, f, "New 1", "h=12.5"}, Kind::kWrite);
    const ToolResult list = Command(label, catalog, {"list", catalog, f, "--json"}, Kind::kRead);
    const long stored = CountNamed(catalog, f, "New 1");
    const ToolResult rm = Command(label, catalog, {"rm", catalog, "New 1", "--family", f}, Kind::kWrite);
    const ToolResult again = Command(label, catalog, {"list", catalog, f, "--json"}, Kind::kRead);
    const long left = CountNamed(catalog, f, "New 1");
    if (set.status != 0 || stored != 1)
      m_faults.Add(label + ": the added family does not take a pattern (" + set.Describe() + ", " +
                   std::to_string(stored) + " rows)");
    else if (list.status != 0 || !Contains(list.out, "New 1"))
      m_faults.Add(label + ": the added family does not list its pattern (" + list.Describe() + ")");
    else if (rm.status != 0 || left != 0)
      m_faults.Add(label + ": the added family does not give its pattern up (" + rm.Describe() + ", " +
                   std::to_string(left) + " rows left)");
    else if (again.status != 0 || Contains(again.out, "New 1"))
      m_faults.Add(label + ": the added family still lists a removed pattern (" + again.Describe() + ")");
  }

  long commands = 0;
  int accepted = 0, refused = 0;

 private:
  static std::string Folder(const std::string& path) { return path.substr(0, path.rfind('/')); }

  // Output meant for a terminal (not JSON, not an export): it may hold no control character but line ends.
  static bool IsTable(const std::vector<std::string>& args) {
    return args[0] != "export" && std::find(args.begin(), args.end(), "--json") == args.end();
  }
  static bool HasTerminalControl(const std::string& out) {
    for (std::size_t i = 0; i < out.size(); ++i) {
      const auto c = static_cast<unsigned char>(out[i]);
      if ((c < 0x20 && c != '\n') || c == 0x7F) return true;
      if (c == 0xC2 && i + 1 < out.size() && (static_cast<unsigned char>(out[i + 1]) & 0xE0) == 0x80) return true;
    }
    return false;
  }

  Tool& m_tool;
  Faults& m_faults;
  std::string m_dir, m_sink, m_cwd;
};

}  // namespace

int RunToolNames(const ToolOptions& options) {
  Faults faults("names");
  Tool tool(options.tool, options.dir + "/io");
  Aliases() = {{options.dir, "DIR"}};
  NameRun run(tool, faults, options.dir);
  const std::vector<Name> names = HostileNames(run.Sink());
  std::string all = "BEGIN;\n" + CatalogSql();
  for (std::size_t k = 0; k < names.size(); ++k) {
    const Name& name = names[k];
    const std::string label = "name " + std::to_string(k + 1) + " \"" + name.text + "\"";
    const std::string dir = MakeFolder(options.dir + "/name-" + std::to_string(k + 1));
    const std::string catalog = dir + "/cat.mdb";
    const std::string family = FamilySql(name.text, "HN", "('R 1', 1.5, 'first'), ('R 2', 2.5, 'second')");
    ExecSql(catalog, "BEGIN;\n" + CatalogSql() + family + "COMMIT;\n");
    all += family;
    run.Reads(label, catalog, name);
    run.Writes(label, catalog, name);

    const std::string clean = dir + "/clean.mdb";
    ExecSql(clean, "BEGIN;\n" + CatalogSql() + "COMMIT;\n");
    run.AddFamily(label, clean, name);
    EmptyFolder(dir);
  }
  // Every name in one catalog: the commands that go through all families at once.
  const std::string dir = MakeFolder(options.dir + "/all");
  const std::string catalog = dir + "/cat.mdb";
  ExecSql(catalog, all + "COMMIT;\n");
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"info", catalog},
                                             {"info", catalog, "--json"},
                                             {"families", catalog, "--json"},
                                             {"export", catalog, "--format", "json", "-o", dir + "/out.json"},
                                             {"show", "R 2", "--catalog", catalog},
                                             {"show", "nothing like it", "--catalog", catalog}})
    run.Command("every name in one catalog", catalog, args, NameRun::Kind::kRead);

  std::printf("names: %zu hostile names tried, %ld commands run, add-family accepted %d and refused %d, %s\n",
              names.size(), run.commands, run.accepted, run.refused, faults.Summary().c_str());
  return faults.Empty() ? 0 : 1;
}

}  // namespace vdstress
