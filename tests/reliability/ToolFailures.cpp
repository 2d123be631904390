// vdcatalog when the world fails it: killed or stopped by a signal in the middle of writing a file, a full disk,
// another process holding the write lock, and several copies of itself adding the same name at once. In each case the
// tool must end with status 2 and a message (never a signal), leave the catalog as it was, and leave no output that is
// half written: an output file is either absent or complete.

#include <poll.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <random>
#include <string>
#include <vector>

#include "reliability/StressRuns.h"
#include "reliability/ToolRun.h"

namespace vdstress {

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// A command that writes a file, and what that file is when the command has finished.
struct Output {
  Output(std::string label, std::vector<std::string> args, std::string path, bool database = false)
      : label(std::move(label)), args(std::move(args)), path(std::move(path)), database(database) {}

  std::string label;
  std::vector<std::string> args;
  std::string path;
  bool database = false;  // a catalog (compared by content), else a text (compared byte for byte)
  std::string bytes;
  Content content;
  double seconds = 0;

  // absent, complete, or what is wrong with it
  std::string State() const {
    if (!Exists(path)) return "absent";
    if (database) {
      const Content c = ReadContent(path);
      return c == content ? "complete" : "incomplete: " + c.Describe();
    }
    const std::string text = ReadFile(path);
    return text == bytes
               ? "complete"
               : "incomplete: " + std::to_string(text.size()) + " of " + std::to_string(bytes.size()) + " bytes";
  }
};

// Runs the command in full, twice (the second run meets a warm cache, as the killed runs will), and keeps what
// it writes as the reference and the shorter time as its duration.
void Reference(Tool& tool, Output& output) {
  for (int k = 0; k < 2; ++k) {
    ::unlink(output.path.c_str());
    const auto start = std::chrono::steady_clock::now();
    const ToolResult r = tool.Run(output.args, "", 300);
    output.seconds = k == 0 ? Seconds(start) : std::min(output.seconds, Seconds(start));
    if (r.status != 0) Fail(Shown(output.args) + " " + r.Describe());
  }
  if (output.database)
    output.content = ReadContent(output.path);
  else
    output.bytes = ReadFile(output.path);
  ::unlink(output.path.c_str());
}

std::string Csv(int rows, const std::string& prefix) {
  std::string text = "Name,h,Note\n";
  for (int k = 0; k < rows; ++k)
    text += prefix + std::to_string(k) + "," + std::to_string(k) + ".25,\"imported, row " + std::to_string(k) + "\"\n";
  return text;
}

// The export of a catalog onto the catalog itself, directly and through a symbolic link: refused with the
// catalog as it was, or done whole (the file then holds the export). Returns the refusals.
int ExportOntoInput(Tool& tool, Faults& faults, const std::string& dir, int& whole) {
  int refused = 0;
  const std::string catalog = dir + "/self.mdb", link = dir + "/self-link.mdb", reference = dir + "/self.out";
  for (const std::string format : {"csv", "json"}) {
    for (const bool viaLink : {false, true}) {
      EmptyFolder(dir);
      MakeItemsCatalog(catalog, 300);
      const Content before = ReadContent(catalog);
      if (tool.Run({"export", catalog, "Items", "--format", format, "-o", reference}).status != 0)
        Fail("export of a small catalog failed");
      const std::string expected = ReadFile(reference);
      if (viaLink && ::symlink(catalog.c_str(), link.c_str()) != 0) Fail("symlink failed");
      const std::vector<std::string> args{
          "export", catalog, "Items", "--format", format, "-o", viaLink ? link : catalog};
      const ToolResult r = tool.Run(args);
      if (!r.Clean()) {
        faults.Add(Shown(args) + " " + r.Describe());
      } else if (r.status != 0) {
        ++refused;
        if (r.err.empty()) faults.Add(Shown(args) + " refused without a message");
        if (ReadContent(catalog) != before)
          faults.Add(Shown(args) + " refused, but the catalog is now " + ReadContent(catalog).Describe());
      } else if (ReadFile(viaLink ? link : catalog) == expected) {
        ++whole;
      } else {
        faults.Add(Shown(args) + " ended with status 0, and the catalog is now " + ReadContent(catalog).Describe() +
                   " and the output " + std::to_string(ReadFile(viaLink ? link : catalog).size()) + " bytes");
      }
    }
  }
  EmptyFolder(dir);
  return refused;
}

}  // namespace

// ---------------------------------------------------------------- killed while writing

constexpr int kSignals[] = {SIGKILL, SIGINT, SIGTERM, SIGHUP};

int RunToolKills(const ToolOptions& options) {
  Faults faults("kills");
  Tool tool(options.tool, options.dir + "/io");
  Aliases() = {{options.dir, "DIR"}};
  const std::string dir = MakeFolder(options.dir + "/kill");
  const std::string catalog = dir + "/big.mdb";
  MakeItemsCatalog(catalog, options.rows > 0 ? options.rows : 20000);
  const Content input = ReadContent(catalog);
  std::vector<Output> outputs = {
      {"export csv", {"export", catalog, "Items", "--format", "csv", "-o", dir + "/out.csv"}, dir + "/out.csv"},
      {"export json", {"export", catalog, "--format", "json", "-o", dir + "/out.json"}, dir + "/out.json"},
      {"convert", {"convert", catalog, dir + "/out.mdb"}, dir + "/out.mdb", true},
  };
  for (Output& output : outputs) Reference(tool, output);
  if (ReadContent(catalog) != input) Fail("a run to its end changed the catalog it reads");
  const std::set<std::string> files = Listing(dir);

  std::mt19937 rng(options.seed);
  const int kills = options.rounds > 0 ? options.rounds : 24;
  int killed = 0, stopped = 0, finished = 0, survived = 0, absent = 0, complete = 0, reruns = 0, leftovers = 0;
  for (int k = 0; k < kills; ++k) {
    const Output& output = outputs[static_cast<std::size_t>(k) % outputs.size()];
    const std::string round = output.label + " killed in round " + std::to_string(k + 1);
    // One export in three runs over a complete output of an earlier run, which must stay whole as well.
    const bool over = !output.database && rng() % 3 == 0;
    ::unlink(output.path.c_str());
    if (over) WriteFile(output.path, output.bytes);
    const std::size_t faultsBefore = faults.Count();

    std::uniform_real_distribution<double> moment(0, output.seconds);
    const double delay = moment(rng);
    // SIGKILL leaves what it leaves; the signals a program can catch (Ctrl-C, a shutdown, a closed terminal)
    // must remove the unfinished output and say so, ending with 128 + the signal.
    const int signal = kSignals[static_cast<std::size_t>(k / outputs.size()) % 4];
    const Tool::Started started = tool.Start(output.args);
    Pause(delay);
    ::kill(started.pid, signal);
    const ToolResult r = tool.Wait(started);
    if (r.signal == signal) {
      ++killed;  // SIGKILL, or a catchable signal that came before the tool began to write
    } else if (signal != SIGKILL && r.Exited() && r.status == 128 + signal) {
      ++stopped;
      if (!Contains(r.err, "interrupted by "))
        faults.Add(round + " by signal " + std::to_string(signal) + ": stopped without saying so: " + r.Describe());
    } else {
      ++finished;
      if (r.status != 0)
        faults.Add(round + " by signal " + std::to_string(signal) + " at " + std::to_string(delay) +
                   " s: " + r.Describe());
    }
    if (ReadContent(catalog) != input)
      faults.Add(round + ": the catalog it reads is now " + ReadContent(catalog).Describe());
    const std::string state = output.State();
    if (state == "absent")
      ++absent;
    else if (state == "complete")
      ++complete;
    else
      faults.Add(round + " at " + std::to_string(delay) + " s of " + std::to_string(output.seconds) +
                 ": the output is " + state);
    // What a kill leaves besides (a temporary file of its own) may stay; it must not be taken for the output.
    for (const std::string& name : Listing(dir))
      if (!files.count(name) && dir + "/" + name != output.path) {
        ++leftovers;
        if (signal != SIGKILL) faults.Add(round + " by signal " + std::to_string(signal) + " left " + name);
        ::unlink((dir + "/" + name).c_str());
      }

    // Run again: an export writes its output anew, a convert runs again where it left nothing.
    if (!output.database || state == "absent") {
      if (output.database && Exists(output.path)) ::unlink(output.path.c_str());
      const ToolResult again = tool.Run(output.args, "", 300);
      ++reruns;
      if (again.status != 0)
        faults.Add(round + ": the run after it " + again.Describe());
      else if (output.State() != "complete")
        faults.Add(round + ": the run after it wrote an output that is " + output.State());
    }
    ::unlink(output.path.c_str());
    if (faults.Count() == faultsBefore) ++survived;
  }

  int whole = 0;
  const int refused = ExportOntoInput(tool, faults, MakeFolder(options.dir + "/self"), whole);
  std::printf(
      "kills: %d kills (SIGKILL, SIGINT, SIGTERM, SIGHUP in turn) of export -o and convert on a %ld-pattern "
      "catalog (%d killed, %d stopped cleaning up, %d after the end), %d survived: outputs absent %d, complete %d, "
      "re-runs %d, temporary files left %d; export onto its own catalog refused %d, done whole %d; %s\n",
      kills, input.Rows("Items"), killed, stopped, finished, survived, absent, complete, reruns, leftovers, refused,
      whole, faults.Summary().c_str());
  return faults.Empty() ? 0 : 1;
}

// ---------------------------------------------------------------- a full disk

namespace {

bool IsDevFull(const struct stat& st) {
  return S_ISCHR(st.st_mode) && major(st.st_rdev) == 1 && minor(st.st_rdev) == 7;
}

// Writes to /dev/full, where every write fails with ENOSPC: through -o and through standard output.
int DevFull(Tool& tool, Faults& faults, const std::string& dir) {
  const std::string catalog = dir + "/devfull.mdb";
  MakeItemsCatalog(catalog, 2000);
  struct stat st {};
  if (::stat("/dev/full", &st) != 0 || !IsDevFull(st)) {
    faults.Add("/dev/full is missing or is not the full device");
    return 0;
  }
  const std::vector<std::pair<std::vector<std::string>, std::string>> runs = {
      {{"export", catalog, "Items", "--format", "csv", "-o", "/dev/full"}, ""},
      {{"export", catalog, "--format", "json", "-o", "/dev/full"}, ""},
      {{"export", catalog, "Items", "--format", "csv"}, "/dev/full"},
      {{"export", catalog, "--format", "json"}, "/dev/full"},
      {{"list", catalog, "Items"}, "/dev/full"},
      {{"info", catalog}, "/dev/full"},
      {{"families", catalog, "--json"}, "/dev/full"},
      {{"show", "IT 7", "--catalog", catalog}, "/dev/full"},
  };
  int refused = 0;
  for (const auto& [args, out] : runs) {
    const ToolResult r = tool.Run(args, out);
    const std::string shown = Shown(args) + (out.empty() ? "" : " > " + out);
    if (r.status == 2 && !r.err.empty())
      ++refused;
    else
      faults.Add(shown + " " + r.Describe() + (r.status == 0 ? " (the output was lost)" : ""));
    if (::stat("/dev/full", &st) != 0 || !IsDevFull(st)) {
      faults.Add(shown + " replaced /dev/full; it is made again");
      ::unlink("/dev/full");
      ::mknod("/dev/full", S_IFCHR | 0666, makedev(1, 7));
    }
  }
  ::unlink(catalog.c_str());
  return refused;
}

// Fills the filesystem of `dir` with a file `filler` until `free` bytes are left (or fewer).
void Fill(const std::string& filler, const std::string& dir, long long free) {
  struct statvfs vfs {};
  if (::statvfs(dir.c_str(), &vfs) != 0) Fail("statvfs failed on " + dir);
  long long left = static_cast<long long>(vfs.f_bavail) * static_cast<long long>(vfs.f_frsize) - free;
  const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) Fail("cannot make " + filler);
  static const std::string zeros(1 << 16, '\0');
  while (left > 0) {
    const ssize_t n = ::write(fd, zeros.data(), static_cast<std::size_t>(std::min<long long>(left, 1 << 16)));
    if (n <= 0) break;
    left -= n;
  }
  ::close(fd);
}

}  // namespace

int RunToolDiskFull(const ToolOptions& options) {
  Faults faults("disk-full");
  Tool tool(options.tool, options.dir + "/io");
  Aliases() = {{options.full, "FULL"}, {options.dir, "DIR"}};
  const int devFull = DevFull(tool, faults, options.dir);
  if (options.full.empty()) {
    std::printf("disk-full: rounds on a full filesystem SKIPPED (%s); /dev/full: %d of 8 writes refused, %s\n",
                options.skipped.empty() ? "no small filesystem given" : options.skipped.c_str(), devFull,
                faults.Summary().c_str());
    return faults.Empty() ? 0 : 1;
  }

  // The catalog and its outputs live on the small filesystem; the references are made beside it on a disk with
  // room, with the same file names so that what the files hold may be compared.
  const std::string full = options.full;
  const std::string room = MakeFolder(options.dir + "/room");
  const std::string pristine = options.dir + "/pristine.mdb";
  MakeItemsCatalog(pristine, options.rows > 0 ? options.rows : 3000);
  const Content original = ReadContent(pristine);
  const std::string csv = options.dir + "/new.csv";
  WriteFile(csv, Csv(1500, "NEW "));

  struct Op {
    Op(std::string label, std::vector<std::string> args, std::string output, bool database = false)
        : label(std::move(label)), args(std::move(args)), output(std::move(output)), database(database) {}

    std::string label;
    std::vector<std::string> args;  // with "@" for the folder
    std::string output;             // the file it writes, or empty when it changes the catalog
    bool database = false;
    long long need = 0;  // roughly what it needs on the disk
    std::string bytes;   // the output it writes, when it has room
    Content content;     // the output it writes, or the catalog as it leaves it
  };
  std::vector<Op> ops = {
      {"export csv", {"export", "@/cat.mdb", "Items", "--format", "csv", "-o", "@/out.csv"}, "out.csv"},
      {"export json", {"export", "@/cat.mdb", "--format", "json", "-o", "@/out.json"}, "out.json"},
      {"convert", {"convert", "@/cat.mdb", "@/copy.mdb"}, "copy.mdb", true},
      {"import", {"import", "@/cat.mdb", "Items", csv}, ""},
      {"set", {"set", "@/cat.mdb", "Items", "NEW ONE", "h=1.5", "Note=set on a full disk"}, ""},
  };
  auto in = [](const std::vector<std::string>& args, const std::string& folder) {
    std::vector<std::string> out;
    for (std::string a : args) {
      if (a.rfind("@/", 0) == 0) a = folder + a.substr(1);
      out.push_back(a);
    }
    return out;
  };
  struct stat st {};
  ::stat(pristine.c_str(), &st);
  const long long catalogSize = st.st_size;
  for (Op& op : ops) {
    EmptyFolder(room);
    CopyFile(pristine, room + "/cat.mdb");
    const ToolResult r = tool.Run(in(op.args, room), "", 300);
    if (r.status != 0) Fail(op.label + " with room: " + r.Describe());
    if (op.output.empty()) {
      op.content = ReadContent(room + "/cat.mdb");
      ::stat((room + "/cat.mdb").c_str(), &st);
      op.need = std::max<long long>(st.st_size, 64 << 10);  // the journal may hold every page it changes
    } else if (op.database) {
      op.content = ReadContent(room + "/" + op.output);
      ::stat((room + "/" + op.output).c_str(), &st);
      op.need = st.st_size;
    } else {
      op.bytes = ReadFile(room + "/" + op.output);
      op.need = static_cast<long long>(op.bytes.size());
    }
  }
  EmptyFolder(room);

  std::mt19937 rng(options.seed);
  const int rounds = options.rounds > 0 ? options.rounds : 10;
  int whole = 0, refused = 0, tried = 0;
  std::vector<int> metFull(ops.size(), 0);  // rounds in which the command ran out of room
  for (int k = 0; k < rounds; ++k) {
    for (std::size_t o = 0; o < ops.size(); ++o) {
      const Op& op = ops[o];
      // The first round leaves no room at all; the others some, up to a little more than the command needs.
      const long long free =
          k == 0 ? 0 : std::uniform_int_distribution<long long>(0, op.need + op.need / 4 + 8192)(rng);
      EmptyFolder(full);
      CopyFile(pristine, full + "/cat.mdb");
      Fill(full + "/filler", full, free);
      const std::set<std::string> before = Listing(full);
      const std::vector<std::string> args = in(op.args, full);
      const ToolResult r = tool.Run(args, "", 120);
      ::unlink((full + "/filler").c_str());  // the checks below need room of their own
      ++tried;
      const std::string where = Shown(args) + " with " + std::to_string(free) + " bytes free";
      Content catalog = ReadContent(full + "/cat.mdb");
      const std::string outPath = full + "/" + op.output;
      if (r.status == 0) {
        if (op.output.empty() ? !catalog.readable || catalog.tables["Items"] != op.content.tables.at("Items")
            : op.database     ? ReadContent(outPath) != op.content
                              : ReadFile(outPath) != op.bytes) {
          faults.Add(where + " ended with status 0 but did not do all of its work");
          ++metFull[o];
        } else {
          ++whole;
        }
      } else if (!r.Clean() || r.status != 2 || r.err.empty()) {
        faults.Add(where + " " + r.Describe() + (r.err.empty() ? " (no message)" : ""));
      } else {
        ++refused;
        ++metFull[o];
        if (catalog != original) faults.Add(where + " failed, and the catalog is now " + catalog.Describe());
        if (!op.output.empty() && Exists(outPath))
          faults.Add(where + " failed, and left its output behind (" + std::to_string(ReadFile(outPath).size()) +
                     " bytes)");
        std::set<std::string> allowed = before;
        allowed.insert(op.output);
        allowed.insert("cat.mdb-journal");
        const std::string added = Added(allowed, Listing(full));
        if (!added.empty()) faults.Add(where + " failed, and left files behind: " + added);
      }
    }
  }
  EmptyFolder(full);
  for (std::size_t o = 0; o < ops.size(); ++o)
    if (metFull[o] == 0) faults.Add(ops[o].label + " never ran out of room: its rounds tested nothing");
  std::printf(
      "disk-full: %d commands on a nearly full filesystem (export csv, export json, convert, import, set; "
      "%ld-byte catalog): %d refused with status 2 and nothing changed, %d had room and did all of their work; "
      "/dev/full: %d of 8 writes refused, %s\n",
      tried, static_cast<long>(catalogSize), refused, whole, devFull, faults.Summary().c_str());
  return faults.Empty() ? 0 : 1;
}

// ---------------------------------------------------------------- the write lock held by another process

namespace {

// A child that opens the catalog with SQLite itself and holds `begin` ("BEGIN IMMEDIATE" or "BEGIN EXCLUSIVE")
// until the parent closes `release`; it writes one byte to `ready` once the lock is held.
pid_t HoldLock(const std::string& catalog, const char* begin, int ready, const int release[2]) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) Fail("fork failed");
  if (pid != 0) return pid;
  ::close(release[1]);
  ::alarm(600);  // never outlives a parent that died
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(catalog.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) ::_exit(3);
  if (sqlite3_exec(db, begin, nullptr, nullptr, nullptr) != SQLITE_OK) ::_exit(4);
  // Reading takes the shared lock as well, and shows that the file is a database.
  if (sqlite3_exec(db, "SELECT count(*) FROM Items", nullptr, nullptr, nullptr) != SQLITE_OK) ::_exit(5);
  if (::write(ready, "h", 1) != 1) ::_exit(6);
  char c;
  while (::read(release[0], &c, 1) > 0) {
  }
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  ::_exit(0);
}

// A message a user can act on: it says that another process holds the catalog.
bool NamesTheLock(const std::string& message) {
  const std::string text = Lower(message);
  for (const char* words : {"lock", "busy", "in use", "another process", "another program", "another connection"})
    if (Contains(text, words)) return true;
  return false;
}

}  // namespace

int RunToolLocks(const ToolOptions& options) {
  Faults faults("locks");
  Tool tool(options.tool, options.dir + "/io");
  Aliases() = {{options.dir, "DIR"}};
  const std::string catalog = options.dir + "/locked.mdb";
  MakeItemsCatalog(catalog, 300);
  const std::string csv = options.dir + "/import.csv";
  WriteFile(csv, Csv(50, "LOCKED "));
  const int rounds = options.rounds > 0 ? options.rounds : 2;
  int refused = 0, after = 0;
  double held = 0;
  for (int k = 0; k < rounds; ++k) {
    const bool exclusive = k % 2 == 1;
    const char* begin = exclusive ? "BEGIN EXCLUSIVE" : "BEGIN IMMEDIATE";
    const Content before = ReadContent(catalog);
    int ready[2], release[2];
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(release, O_CLOEXEC) != 0) Fail("pipe failed");
    const pid_t holder = HoldLock(catalog, begin, ready[1], release);
    ::close(release[0]);
    ::close(ready[1]);
    pollfd wait{ready[0], POLLIN, 0};
    char c;
    if (::poll(&wait, 1, 30000) != 1 || ::read(ready[0], &c, 1) != 1)
      Fail(std::string(begin) + ": the lock was not taken");
    ::close(ready[0]);
    const auto start = std::chrono::steady_clock::now();

    // Every writer at once; each waits the busy timeout out and must then give up with a message that names
    // the lock. Under an exclusive lock a reader cannot read either.
    std::vector<std::vector<std::string>> commands = {
        {"import", catalog, "Items", csv},
        {"set", catalog, "Items", "LOCKED ONE", "h=2"},
        {"rm", catalog, "IT 5", "--family", "Items"},
        {"add-family", catalog, "Locked", "--code", "LK", "--column", "h:DOUBLE"},
    };
    if (exclusive) commands.push_back({"list", catalog, "Items"});
    std::vector<Tool::Started> started;
    for (const auto& args : commands) started.push_back(tool.Start(args));
    for (std::size_t i = 0; i < commands.size(); ++i) {
      const ToolResult r = tool.Wait(started[i], 120);
      const std::string where = std::string("under ") + begin + ": " + Shown(commands[i]);
      if (r.status == 2 && NamesTheLock(r.err))
        ++refused;
      else
        faults.Add(where + " " + r.Describe() +
                   (r.Clean() && r.status == 2 ? " (the message does not name the lock)" : ""));
    }
    held += Seconds(start);
    ::close(release[1]);
    int status = 0;
    ::waitpid(holder, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail("the process holding the lock failed");
    if (ReadContent(catalog) != before)
      faults.Add(std::string("under ") + begin + ": the catalog changed from " + before.Describe() + " to " +
                 ReadContent(catalog).Describe());

    // With the lock gone the same write succeeds.
    const std::vector<std::string> set = {"set", catalog, "Items", "AFTER " + std::to_string(k), "h=3"};
    const ToolResult r = tool.Run(set);
    if (r.status == 0 && CountNamed(catalog, "Items", "AFTER " + std::to_string(k)) == 1)
      ++after;
    else
      faults.Add(std::string("after ") + begin + ": " + Shown(set) + " " + r.Describe());
  }
  std::printf(
      "locks: %d rounds with the write lock held by another process (BEGIN IMMEDIATE, BEGIN EXCLUSIVE; %.1f s "
      "each): %d commands refused with status 2 and the lock named, catalog unchanged, %d writes after the release "
      "ok, %s\n",
      rounds, held / rounds, refused, after, faults.Summary().c_str());
  return faults.Empty() ? 0 : 1;
}

// ---------------------------------------------------------------- the same new name set three times at once

int RunToolRace(const ToolOptions& options) {
  Faults faults("race");
  Tool tool(options.tool, options.dir + "/io");
  Aliases() = {{options.dir, "DIR"}};
  const std::string catalog = options.dir + "/race.mdb";
  MakeItemsCatalog(catalog, 200);
  const int rounds = options.rounds > 0 ? options.rounds : 25;
  constexpr int kWriters = 3;
  long duplicates = 0, busy = 0;
  for (int k = 0; k < rounds; ++k) {
    const std::string name = "RACE " + std::to_string(k);
    int gate[2];
    if (::pipe2(gate, O_CLOEXEC) != 0) Fail("pipe failed");
    std::vector<Tool::Started> started;
    for (int w = 0; w < kWriters; ++w)
      started.push_back(tool.Start(
          {"set", catalog, "Items", name, "h=" + std::to_string(w + 1), "Note=writer " + std::to_string(w + 1)}, "",
          gate));
    ::close(gate[0]);
    Pause(0.05);  // every writer is waiting at the gate
    ::close(gate[1]);
    int ok = 0;
    for (const Tool::Started& s : started) {
      const ToolResult r = tool.Wait(s);
      if (r.status == 0)
        ++ok;
      else if (r.status == 2 && !r.err.empty())
        ++busy;
      else
        faults.Add("round " + std::to_string(k + 1) + ": set " + r.Describe());
    }
    const long rows = CountNamed(catalog, "Items", name);
    if (rows != 1) {
      faults.Add("round " + std::to_string(k + 1) + ": \"" + name + "\" is stored " + std::to_string(rows) +
                 " times after " + std::to_string(kWriters) + " parallel set (" + std::to_string(ok) + " succeeded)");
      if (rows > 1) duplicates += rows - 1;
    }
    if (ok == 0) faults.Add("round " + std::to_string(k + 1) + ": no set succeeded");
  }
  std::printf("race: %d rounds of %d parallel set of one new name, %ld duplicates, %ld sets refused, %s\n", rounds,
              kWriters, duplicates, busy, faults.Summary().c_str());
  return faults.Empty() ? 0 : 1;
}

}  // namespace vdstress
