#pragma once
// Output of vdcatalog: aligned tables for people, JSON for programs, messages on stderr, and a progress bar
// that appears only on a terminal and only for work that takes longer than a second.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>
#include <vdpattern/toolkit/String.h>

namespace vdcatalog {

// Exit statuses.
constexpr int kOk = 0;
constexpr int kNotFound = 1;  // not found or refused
constexpr int kError = 2;     // usage or database error

std::string Utf8(const CString& text);
std::string Utf8(const std::wstring& text);

// `text` with the passwords of the server addresses in it replaced by "***", for anything the tool shows.
std::string Masked(std::string text);

// `text` safe to print on a terminal: control characters (C0, DEL and the C1 range, which terminals take for
// commands: colours, cursor moves, titles, bells) become visible escapes, "\n", "\r", "\t" or "\xHH" ("\u0085"
// for C1). Tables and key-value lines show names this way; JSON and CSV outputs keep them exact.
std::string Visible(const std::string& text);

// Prints "vdcatalog: <message>" on stderr, passwords masked, on one line, control characters made visible.
void Error(const std::string& message);

// While one lives, Error() appends its messages (one per line, as printed) to `sink` instead of printing them:
// the web server answers a request with the reasons a command gave. One at a time, on one thread.
class CapturedErrors {
 public:
  explicit CapturedErrors(std::string* sink);  // borrowed; must outlive this object
  ~CapturedErrors();
  CapturedErrors(const CapturedErrors&) = delete;
  CapturedErrors& operator=(const CapturedErrors&) = delete;
};

// A reason without the full stop and spaces it ends with, for joining more to it: "x." + "; nothing was done".
std::string Clause(std::string reason);

// An engine's message without the statement it names, for a failure a user's argument caused: "no such
// column: hh" of 'The statement "SELECT ..." failed on the database "f.mdb": no such column: hh.' Other
// messages are kept whole; either way without the full stop (Clause).
std::string EngineReason(std::string message);

// A count and its noun, in the singular for one: Counted(1, "row") is "1 row", Counted(3, "family", "families")
// "3 families".
std::string Counted(long long count, const char* one, const char* many = nullptr);

// The Levenshtein distance of two texts (std::string or std::wstring), for "did you mean".
template <typename Text>
std::size_t EditDistance(const Text& a, const Text& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

class Table {
 public:
  explicit Table(std::vector<std::string> headers) : m_headers(std::move(headers)) {}
  void Add(std::vector<std::string> row) { m_rows.push_back(std::move(row)); }
  bool IsEmpty() const { return m_rows.empty(); }
  // Columns padded to their widest cell (counted in terminal columns: a wide character takes two); cells are
  // printed Visible().
  void Print(std::FILE* out = stdout) const;

 private:
  std::vector<std::string> m_headers;
  std::vector<std::vector<std::string>> m_rows;
};

// Key-value lines ("Name     IPE 200") aligned on the longest key, printed Visible().
void PrintFields(const std::vector<std::pair<std::string, std::string>>& fields);

// While it lives, SIGINT, SIGTERM and SIGHUP remove the unfinished files registered with it, say so on stderr
// and end the process with status 128 + the signal (130 for Ctrl-C), so a stopped convert or export leaves
// nothing behind and does not die without a word. The work is done in the handler itself (unlink, write and
// _exit are safe there): a long statement cannot delay it. Once Settle() has run, the output is in place and a
// signal is ignored until the command ends. One at a time; the previous handlers are restored at destruction.
class SignalCleanup {
 public:
  // `what` completes "interrupted by SIGINT: ...", e.g. "nothing was converted".
  explicit SignalCleanup(const std::string& what);
  ~SignalCleanup();
  SignalCleanup(const SignalCleanup&) = delete;
  SignalCleanup& operator=(const SignalCleanup&) = delete;

  // `path` is removed by a signal; a path longer than the system's limit is not registered.
  void Add(const std::string& path);
  // Runs `commit` (the rename that puts the output in place) with the signals held back, then forgets the
  // registered files: a signal then finds nothing to undo. Returns what `commit` returned.
  template <typename Commit>
  bool Settle(Commit commit) {
    Block(true);
    const bool done = commit();
    if (done) Forget();
    Block(false);
    return done;
  }

 private:
  static void Block(bool block);
  static void Forget();
};

// Where an export goes: standard output, or a file given by name. A regular file (or a new one) is written to a
// temporary file in the same folder and renamed over the target only after the whole output was written, flushed
// and synced, so a failed or killed export leaves the old file as it was; a symbolic link is followed, so the
// file it names is replaced and the link kept. A device or a pipe given by name (/dev/stdout, a FIFO) cannot be
// replaced and is written in place: a FIFO is opened without waiting, so that one nobody reads is refused at
// once; a folder, a block device or a socket is refused. Every write is checked at Commit. While the temporary
// file exists, a SIGINT, SIGTERM or SIGHUP removes it and ends the tool with a message (SignalCleanup). The catalog
// being read is never a target: an output that is the same file (by a link or another path) is refused.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Removes the temporary file when Commit was not reached.
  ~OutputFile();

  // `path` empty: standard output. `input` is the file being read. False with a message when refused or when
  // the temporary file cannot be made.
  bool Open(const std::string& path, const std::string& input, std::string& error);
  std::FILE* Stream() const { return m_stream; }
  // Checks, flushes, syncs and closes the output and moves it into place; false with the reason.
  bool Commit(std::string& error);

 private:
  std::FILE* m_stream = nullptr;             // owned unless it is stdout
  std::string m_target;                      // the file to replace; empty when writing in place
  std::string m_temporary;                   // the file being written; empty when writing in place
  std::string m_shown;                       // the name given, for messages
  std::unique_ptr<SignalCleanup> m_cleanup;  // owned; while the temporary file exists
};

// Makes `target` from the complete file `temporary` in the same folder without ever replacing a file that
// exists: false with the reason (the temporary file is left for the caller to remove).
bool LinkNew(const std::string& temporary, const std::string& target, std::string& error);

// Syncs the folder holding `path`, so that a rename or link in it survives a crash.
void SyncFolderOf(const std::string& path);

// A text for a message: at most `limit` characters, with "..." when cut.
std::string Shown(const std::string& text, std::size_t limit = 60);

class Progress {
 public:
  Progress(const char* what, std::size_t total);
  // Ends the bar's line, when one was shown, so that what is printed next starts a line of its own.
  ~Progress() { Done(); }
  void Step(std::size_t done);
  void Done();
  // For a total learnt after the work began (rows read before they are written).
  void SetTotal(std::size_t total) { m_total = total; }

 private:
  const char* m_what;
  std::size_t m_total;
  std::chrono::steady_clock::time_point m_start;
  bool m_terminal;
  bool m_shown = false;
  int m_lastPercent = -1;
};

}  // namespace vdcatalog
