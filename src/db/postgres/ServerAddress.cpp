#include "db/postgres/ServerAddress.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <vdpattern/toolkit/Utf8.h>
#include "db/DbError.h"

namespace vdpattern::db {

namespace {

constexpr std::size_t kMaxLinkFile = 64 * 1024;  // a link is a few lines; anything longer is not one

[[noreturn]] void Refuse(const std::string& what) { ThrowDbError(kStateCannotOpen, CString(VdFromUtf8(what))); }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t k = 0; k < prefix.size(); ++k) {
    char c = text[k];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != prefix[k]) return false;
  }
  return true;
}

bool IsUri(std::string_view text) {
  return StartsWithNoCase(text, "postgresql://") || StartsWithNoCase(text, "postgres://");
}

// The keywords libpq knows, from its own table (parsing an empty string lists every option unset).
const std::set<std::string>& LibpqKeywords() {
  static const std::set<std::string> keywords = [] {
    std::set<std::string> names;
    char* error = nullptr;
    if (PQconninfoOption* options = PQconninfoParse("", &error)) {
      for (PQconninfoOption* o = options; o->keyword; ++o) names.insert(o->keyword);
      PQconninfoFree(options);
    }
    PQfreemem(error);
    return names;
  }();
  return keywords;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecoded(std::string_view text) {
  std::string out;
  for (std::size_t k = 0; k < text.size(); ++k) {
    if (text[k] != '%') {
      out += text[k];
      continue;
    }
    const int high = k + 2 < text.size() ? HexValue(text[k + 1]) : -1;
    const int low = high >= 0 ? HexValue(text[k + 2]) : -1;
    if (low < 0) Refuse("the address has a malformed percent-encoded character");
    out += static_cast<char>(high * 16 + low);
    k += 2;
  }
  return out;
}

void SetCatalog(ServerAddress& address, bool& seen, std::string value) {
  if (seen) Refuse("the address names its catalog twice");
  if (value.empty()) Refuse("the address's catalog key names no catalog");
  if (value.find('\0') != std::string::npos) Refuse("the address's catalog name holds a NUL character");
  seen = true;
  address.catalog = std::move(value);
}

// "postgresql://...?a=1&catalog=beams&b=2" -> "postgresql://...?a=1&b=2" and "beams".
void SplitUri(std::string_view text, ServerAddress& address) {
  const std::size_t query = text.find('?');
  address.conninfo = std::string(text.substr(0, query));
  if (query == std::string_view::npos) return;
  bool seen = false;
  std::string kept;
  std::string_view rest = text.substr(query + 1);
  while (!rest.empty()) {
    const std::size_t amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    const std::size_t eq = pair.find('=');
    if (eq != std::string_view::npos && PercentDecoded(pair.substr(0, eq)) == "catalog") {
      SetCatalog(address, seen, PercentDecoded(pair.substr(eq + 1)));
    } else if (!pair.empty()) {
      kept += kept.empty() ? "" : "&";
      kept += pair;
    }
  }
  if (!kept.empty()) address.conninfo += "?" + kept;
}

// "host=h catalog='my beams' dbname=d" -> "host=h  dbname=d" and "my beams", by libpq's rules for such strings:
// pairs "key = value" apart by blanks; a value in single quotes, or up to the next blank; a backslash takes
// the next character as it is.
void SplitKeyValues(std::string_view text, ServerAddress& address) {
  bool seen = false;
  std::size_t k = 0;
  while (true) {
    while (k < text.size() && IsBlank(text[k])) ++k;
    if (k == text.size()) break;
    const std::size_t start = k;
    while (k < text.size() && text[k] != '=' && !IsBlank(text[k])) ++k;
    const std::string_view key = text.substr(start, k - start);
    while (k < text.size() && IsBlank(text[k])) ++k;
    if (k == text.size() || text[k] != '=')
      Refuse("the connection string has \"" + std::string(key) + "\" without \"=\" and a value");
    ++k;
    while (k < text.size() && IsBlank(text[k])) ++k;
    std::string value;
    const bool quoted = k < text.size() && text[k] == '\'';
    if (quoted) ++k;
    while (k < text.size() && (quoted ? text[k] != '\'' : !IsBlank(text[k]))) {
      if (text[k] == '\\' && k + 1 < text.size()) ++k;
      value += text[k++];
    }
    if (quoted) {
      if (k == text.size()) Refuse("the connection string has a quoted value without its closing quote");
      ++k;
    }
    if (key == "catalog") {
      SetCatalog(address, seen, std::move(value));
    } else {
      address.conninfo += address.conninfo.empty() ? "" : " ";
      address.conninfo += text.substr(start, k - start);
    }
  }
}

// The keys a link file may set: those that say which server, database and user, and three that only bound
// how the connection is made. Any other would let the file's author steer what libpq does on the reader's
// machine: read a file of their choosing (passfile, sslkey, sslrootcert, service files), send settings to the
// server (options), or weaken its security (sslmode=disable, requiressl=0, gssencmode).
bool LinkMayHold(const char* key, const char* value) {
  static const std::set<std::string> kAllowed = {
      "host", "hostaddr", "port", "dbname", "user", "connect_timeout", "application_name"};
  if (kAllowed.count(key)) return true;
  // sslmode only as strict as libpq's own default or stricter: a link never turns encryption off.
  if (std::strcmp(key, "sslmode") == 0)
    for (const char* strict : {"prefer", "require", "verify-ca", "verify-full"})
      if (std::strcmp(value, strict) == 0) return true;
  return false;
}

// libpq's verdict on the rest, and whether it holds a password; with `forLinkFile`, a key a link may not
// hold is refused by its name.
bool CheckedHoldsPassword(const std::string& conninfo, bool forLinkFile) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
  if (!options) {
    std::string why = error ? error : "it cannot be parsed";
    PQfreemem(error);
    while (!why.empty() && IsBlank(why.back())) why.pop_back();
    Refuse("the server address is not valid: " + why);
  }
  bool password = false;
  std::string refused;
  for (PQconninfoOption* o = options; o->keyword; ++o) {
    if (!o->val) continue;  // not given
    if (std::strcmp(o->keyword, "password") == 0) {
      password = password || *o->val;
    } else if (forLinkFile && refused.empty() && !LinkMayHold(o->keyword, o->val)) {
      refused = o->keyword;
      if (std::strcmp(o->keyword, "sslmode") == 0) refused += "=" + std::string(o->val);
    }
  }
  PQconninfoFree(options);
  if (!refused.empty())
    Refuse(
        "a catalog link may name only a server, database, user and catalog (host, hostaddr, port, dbname, "
        "user, catalog; connect_timeout, application_name and sslmode prefer or stricter), not \"" +
        refused + "\": settings of one's own belong in the environment or the service file");
  return password;
}

std::string SystemError(const std::string& what, int error) { return what + " (" + std::strerror(error) + ")"; }

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool IsServerAddress(std::wstring_view text) {
  std::size_t k = 0;
  while (k < text.size() && text[k] < 128 && IsBlank(static_cast<char>(text[k]))) ++k;
  std::string head;
  for (; k < text.size() && head.size() < 16 && text[k] < 128; ++k) head += static_cast<char>(text[k]);
  if (IsUri(head)) return true;
  std::size_t n = 0;
  while (n < head.size() && ((head[n] >= 'a' && head[n] <= 'z') || head[n] == '_')) ++n;
  const std::string key = head.substr(0, n);
  while (n < head.size() && IsBlank(head[n])) ++n;
  if (key.empty() || n == head.size() || head[n] != '=') return false;
  return key == "catalog" || LibpqKeywords().count(key) > 0;
}

ServerAddress ParseServerAddress(std::wstring_view text, bool forLinkFile) {
  std::string utf8 = VdToUtf8(text);
  if (utf8.find('\0') != std::string::npos) Refuse("the server address holds a NUL character");
  std::size_t begin = 0, end = utf8.size();
  while (begin < end && IsBlank(utf8[begin])) ++begin;
  while (end > begin && IsBlank(utf8[end - 1])) --end;
  const std::string_view trimmed(utf8.data() + begin, end - begin);
  ServerAddress address;
  if (IsUri(trimmed))
    SplitUri(trimmed, address);
  else
    SplitKeyValues(trimmed, address);
  if (CheckedHoldsPassword(address.conninfo, forLinkFile) && forLinkFile)
    Refuse(
        "a catalog link never holds a password: keep it in the password file (~/.pgpass), a service file or "
        "the environment (PGPASSWORD)");
  return address;
}

// One short connection, one statement; every name and operator is the server's own (pg_catalog), since
// nothing yet says which schemas may be trusted.
std::vector<std::string> ServerCatalogs(const ServerAddress& address, std::size_t limit) {
  std::vector<std::string> names;
  const char* const keys[] = {"connect_timeout", "dbname", nullptr};
  const char* const values[] = {"10", address.conninfo.c_str(), nullptr};
  PGconn* conn = PQconnectdbParams(keys, values, 1);
  if (conn && PQstatus(conn) == CONNECTION_OK) {
    static const char* const kCatalogs =
        "SELECT n.nspname FROM pg_catalog.pg_namespace n WHERE pg_catalog.has_schema_privilege(n.oid, 'USAGE') AND "
        "(SELECT pg_catalog.count(*) FROM pg_catalog.pg_class c WHERE c.relnamespace OPERATOR(pg_catalog.=) n.oid "
        "AND c.relkind IN ('r', 'p') AND pg_catalog.lower(c.relname::pg_catalog.text) IN ('definition', "
        "'familydescription')) OPERATOR(pg_catalog.=) 2 ORDER BY n.nspname LIMIT $1::pg_catalog.int8";
    const std::string count = std::to_string(limit);
    const char* const params[] = {count.c_str()};
    PGresult* found = PQexecParams(conn, kCatalogs, 1, nullptr, params, nullptr, nullptr, 0);
    if (PQresultStatus(found) == PGRES_TUPLES_OK)
      for (int row = 0; row < PQntuples(found); ++row) names.emplace_back(PQgetvalue(found, row, 0));
    PQclear(found);
  }
  if (conn) PQfinish(conn);
  return names;
}

bool IsLinkFileHeader(const unsigned char* bytes, std::size_t length) {
  const std::size_t n = std::strlen(kLinkFileFirstLine);
  if (length < n || std::memcmp(bytes, kLinkFileFirstLine, n) != 0) return false;
  return length == n || bytes[n] == '\n' || bytes[n] == '\r';
}

ServerAddress ReadLinkFile(const CString& path) {
  const std::string native = VdToUtf8(path.str());
  const std::string name = "the catalog link \"" + native + "\"";
  const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Refuse(SystemError(name + " cannot be read", errno));
  std::string text;
  char buffer[4096];
  while (text.size() <= kMaxLinkFile) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      Refuse(SystemError(name + " cannot be read", error));
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (text.size() > kMaxLinkFile) Refuse(name + " is too long to be one");
  if (!IsLinkFileHeader(reinterpret_cast<const unsigned char*>(text.data()), text.size()))
    Refuse(name + " does not begin with \"" + kLinkFileFirstLine + "\"");

  std::string found;
  std::size_t lines = 0;
  for (std::size_t start = text.find('\n'); start != std::string::npos && start < text.size();) {
    const std::size_t stop = text.find('\n', start + 1);
    std::string line = text.substr(start + 1, (stop == std::string::npos ? text.size() : stop) - start - 1);
    start = stop;
    while (!line.empty() && IsBlank(line.back())) line.pop_back();
    std::size_t first = 0;
    while (first < line.size() && IsBlank(line[first])) ++first;
    if (first == line.size() || line[first] == '#') continue;
    found = line.substr(first);
    ++lines;
  }
  if (lines != 1) Refuse(name + (lines == 0 ? " holds no server address" : " holds more than one server address"));
  try {
    return ParseServerAddress(VdFromUtf8(found), true);
  } catch (CDBException* e) {  // named, so the user knows which file to mend
    const std::string reason = VdToUtf8(e->m_strError.str());
    e->Delete();
    Refuse(name + " is refused: " + reason);
  }
}

void WriteLinkFile(const CString& path, std::wstring_view address) {
  ParseServerAddress(address, true);
  const std::string native = VdToUtf8(path.str());
  const std::string name = "the catalog link \"" + native + "\"";
  if (address.find_first_of(L"\r\n") != std::wstring_view::npos) Refuse("a server address is one line");

  struct stat st {};
  if (::stat(native.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) Refuse(name + " cannot be written: the name is taken by something not a file");
    unsigned char header[64] = {};
    ssize_t got = -1;
    if (const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
      got = ::read(fd, header, sizeof header);
      ::close(fd);
    }
    if (got < 0 || !IsLinkFileHeader(header, static_cast<std::size_t>(got)))
      Refuse(name + " cannot be written: a file that is not a catalog link has that name");
  }

  const std::string text = std::string(kLinkFileFirstLine) +
                           "\n# The catalog is on the database server below. Credentials are not kept here: "
                           "libpq's password file,\n# service file or environment provide them.\n" +
                           VdToUtf8(address) + "\n";
  std::string temporary = FolderOf(native) + "/.vdpattern-link-XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) Refuse(SystemError(name + " cannot be written", errno));
  // A new link gets what the umask gives a new file (mkstemp's own 0600 would hide it from the team it is
  // meant for); a link that is replaced keeps its permissions.
  mode_t mode = st.st_mode & 07777;
  if (!S_ISREG(st.st_mode)) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  const bool written = WriteAll(fd, text) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
  const int error = errno;
  if (::close(fd) != 0 || !written) {
    ::unlink(temporary.c_str());
    Refuse(SystemError(name + " cannot be written", written ? errno : error));
  }
  if (::rename(temporary.c_str(), native.c_str()) != 0) {
    const int renameError = errno;
    ::unlink(temporary.c_str());
    Refuse(SystemError(name + " cannot be written", renameError));
  }
}

}  // namespace vdpattern::db
