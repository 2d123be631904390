// vdcatalog serve: the catalogs given, browsed and edited from a web page on this machine.
//
// The HTTP side is cpp-httplib (Debian's libcpp-httplib-dev): a small, well-kept library packaged by Debian with
// its security fixes, one header to read, a thread pool and request limits of its own. A local page needs neither
// HTTP/2 nor a framework; Boost.Beast would leave parsing and limits to us, libmicrohttpd a C callback API and
// more code for the same few routes.
//
// The library is not thread-safe, and one person browses at a time: every request takes one lock, and the
// server's worker threads only parse and send.

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <httplib.h>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Tool.h"
#include "WebFiles.h"

namespace vdcatalog {

namespace {

// The largest request body (a pattern's edit) and the largest page of rows one request may ask for.
constexpr std::size_t kMaxBody = 256 * 1024;
constexpr long kMaxPage = 1000;

bool IsLoopback(const std::string& address) {
  in_addr v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return address == "localhost";
}

// A Host header that names this server: "localhost" or an address literal, with our port. A page served from any
// other name (a DNS name rebound to 127.0.0.1) is refused, so a foreign site cannot read or drive the catalogs.
bool HostIsOurs(const std::string& host, int port) {
  const std::size_t colon = host.rfind(':');
  if (colon == std::string::npos || host.substr(colon + 1) != std::to_string(port)) return false;
  std::string name = host.substr(0, colon);
  if (name == "localhost") return true;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
    in6_addr v6{};
    return inet_pton(AF_INET6, name.substr(1, name.size() - 2).c_str(), &v6) == 1;
  }
  in_addr v4{};
  return inet_pton(AF_INET, name.c_str(), &v4) == 1;
}

// A random token for this run of the server, which every write must carry: 128 bits from the kernel.
std::string NewToken() {
  unsigned char bytes[16] = {};
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  const bool read = fd >= 0 && ::read(fd, bytes, sizeof bytes) == static_cast<ssize_t>(sizeof bytes);
  if (fd >= 0) ::close(fd);
  if (!read) return std::string();
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) token += kHex[b >> 4], token += kHex[b & 15];
  return token;
}

bool SameToken(const std::string& a, const std::string& b) {
  if (a.size() != b.size() || a.empty()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

bool ParseLong(const std::string& text, long& out) {
  const auto r = std::from_chars(text.data(), text.data() + text.size(), out);
  return r.ec == std::errc() && r.ptr == text.data() + text.size() && !text.empty();
}

// A value's sort key: numbers by value (a missing one first), anything else naturally by its text.
struct SortKey {
  bool missing = true;
  double number = 0;
  std::wstring text;
};

bool IsNumeric(Kind kind) { return kind == Kind::kInteger || kind == Kind::kReal; }

class Server {
 public:
  Server(const std::vector<std::string>& files, bool readOnly) : m_readOnly(readOnly), m_files(files) {}

  // Opens the catalogs; false once the reason was said.
  bool Open() {
    for (const std::string& file : m_files) {
      CVdPatternCatalog* catalog = m_session.Open(file, true);
      if (!catalog) return false;
      m_catalogs.push_back(catalog);
    }
    m_token = NewToken();
    if (m_token.empty()) {
      Error("no random token could be made for the page's writes (/dev/urandom cannot be read)");
      return false;
    }
    return true;
  }

  void Routes(httplib::Server& http, int port) {
    m_port = port;
    http.set_payload_max_length(kMaxBody);
    http.set_pre_routing_handler([this](const httplib::Request& q, httplib::Response& r) { return Guard(q, r); });
    http.Get("/api/session", [this](const httplib::Request&, httplib::Response& r) {
      Reply(r, 200, {{"token", m_token}, {"read_only", m_readOnly}});
    });
    http.Get("/api/catalogs", Locked(&Server::Catalogs));
    http.Get("/api/rows", Locked(&Server::Rows));
    http.Get("/api/search", Locked(&Server::Search));
    http.Get("/api/pattern", Locked(&Server::Pattern));
    http.Post("/api/set", Locked(&Server::Write));
    http.Post("/api/add", Locked(&Server::Write));
    http.Post("/api/remove", Locked(&Server::Write));
    // Only the page's own files, by exact path: nothing on disk is ever read.
    http.Get(".*", [](const httplib::Request& q, httplib::Response& r) {
      const std::string path = q.path == "/" ? "/index.html" : q.path;
      for (std::size_t i = 0; i < kWebFileCount; ++i) {
        if (path != kWebFiles[i].path) continue;
        r.set_content(reinterpret_cast<const char*>(kWebFiles[i].data), kWebFiles[i].size, kWebFiles[i].type);
        r.set_header("Cache-Control", "no-store");
        return;
      }
      Reply(r, 404, {{"error", "no such page"}});
    });
    http.set_exception_handler([](const httplib::Request&, httplib::Response& r, std::exception_ptr) {
      Reply(r, 500, {{"error", "the server failed on this request"}});
    });
  }

 private:
  using Handler = void (Server::*)(const httplib::Request&, httplib::Response&);

  static void Reply(httplib::Response& r, int status, const json& body) {
    r.status = status;
    r.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json; charset=utf-8");
  }

  // Every request: our Host only, headers that keep the page from being framed or sniffed, and for writes a
  // same-origin request that carries the token. A cross-site form cannot set the token header, and a script of
  // another origin cannot read /api/session to learn it (no CORS headers are ever sent).
  httplib::Server::HandlerResponse Guard(const httplib::Request& q, httplib::Response& r) {
    r.set_header("X-Content-Type-Options", "nosniff");
    r.set_header("X-Frame-Options", "DENY");
    r.set_header("Referrer-Policy", "no-referrer");
    r.set_header("Content-Security-Policy",
                 "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
                 "frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
    const std::string host = q.get_header_value("Host");
    if (!HostIsOurs(host, m_port)) {
      Reply(r, 421, {{"error", "this server answers only as localhost or by its address"}});
      return httplib::Server::HandlerResponse::Handled;
    }
    if (q.method == "GET" || q.method == "HEAD") return httplib::Server::HandlerResponse::Unhandled;
    if (q.method != "POST") {
      Reply(r, 405, {{"error", "only GET and POST are answered"}});
      return httplib::Server::HandlerResponse::Handled;
    }
    const std::string site = q.get_header_value("Sec-Fetch-Site");
    if (q.get_header_value("Origin") != "http://" + host || (!site.empty() && site != "same-origin")) {
      Reply(r, 403, {{"error", "a write must come from this server's own page"}});
      return httplib::Server::HandlerResponse::Handled;
    }
    if (!SameToken(q.get_header_value("X-Vdcatalog-Token"), m_token)) {
      Reply(r, 403, {{"error", "a write needs this session's token (reload the page)"}});
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  }

  // A handler run under the lock, with the library's messages taken for the reply instead of stderr.
  httplib::Server::Handler Locked(Handler handler) {
    return [this, handler](const httplib::Request& q, httplib::Response& r) {
      std::lock_guard<std::mutex> lock(m_lock);
      m_errors.clear();
      CapturedErrors capture(&m_errors);
      m_session.Reported().ClearFailed();
      try {
        (this->*handler)(q, r);
      } catch (CDBException* e) {
        CString text = e->m_strError;
        e->Delete();
        Reply(r, 500, {{"error", "database error: " + Utf8(text.TrimRight())}});
      }
    };
  }

  // The reason the library or the tool gave, or `fallback`.
  std::string Why(const std::string& fallback) const { return m_errors.empty() ? fallback : m_errors; }

  CVdPatternCatalog* CatalogOf(const httplib::Request& q, httplib::Response& r) {
    long index = -1;
    if (!ParseLong(q.get_param_value("catalog"), index) || index < 0 || index >= static_cast<long>(m_catalogs.size())) {
      Reply(r, 400, {{"error", "no catalog " + Shown(q.get_param_value("catalog"))}});
      return nullptr;
    }
    return m_catalogs[static_cast<std::size_t>(index)];
  }

  // The family as the catalog spells it, or empty with the reply made.
  std::string FamilyOf(CVdPatternCatalog* catalog, const std::string& wanted, httplib::Response& r) {
    std::list<std::wstring> families;
    catalog->GetFamilies(families);
    for (const std::wstring& f : families)
      if (VdCompareNoCase(f, Wide(wanted).str()) == 0) return VdToUtf8(f);
    Reply(r, 404, {{"error", "no family \"" + Shown(wanted) + "\" in " + Utf8(catalog->GetName())}});
    return std::string();
  }

  bool Writable(CVdPatternCatalog* catalog, httplib::Response& r) {
    if (m_readOnly) {
      Reply(r, 403, {{"error", "the server was started with --read-only"}});
      return false;
    }
    if (!catalog->CanWrite()) {
      const std::string why = Utf8(m_session.Database(catalog)->GetReadOnlyReason().TrimRight());
      Reply(r, 403, {{"error", "the catalog is read-only" + (why.empty() ? std::string() : ": " + why)}});
      return false;
    }
    return true;
  }

  json ColumnsJson(CVdPatternCatalog* catalog, const std::string& family, const std::vector<Column>& columns) {
    std::wstring upper = Wide(family).str();
    VdFoldUpper(upper);
    const auto units = catalog->GetUnitsMap(upper);
    json out = json::array();
    for (const Column& c : columns) {
      const auto u = units.find(Folded(c.name));
      out.push_back({{"name", VdToUtf8(c.name)},
                     {"type", KindName(c.kind)},
                     {"unit", u == units.end() ? std::string() : Utf8(u->second.unit.GetText())}});
    }
    return out;
  }

  void Catalogs(const httplib::Request&, httplib::Response& r) {
    json out = json::array();
    for (std::size_t i = 0; i < m_catalogs.size(); ++i) {
      CVdPatternCatalog* catalog = m_catalogs[i];
      CVdDatabase* db = m_session.Database(catalog);
      std::list<std::wstring> names;
      catalog->GetFamilies(names);
      SortNaturally(names);
      json families = json::array();
      for (const std::wstring& family : names) {
        wchar_t code[64] = {};
        catalog->GetFamilyCode(family.c_str(), code);
        const long count = CountRows(db, family);
        families.push_back(
            {{"family", VdToUtf8(family)},
             {"code", VdToUtf8(code)},
             {"patterns", count < 0 ? json(nullptr) : json(count)},
             {"columns", ColumnsJson(catalog, VdToUtf8(family), FamilyColumns(m_session, catalog, VdToUtf8(family)))}});
      }
      out.push_back({{"index", i},
                     {"catalog", Utf8(catalog->GetName())},
                     {"path", Masked(Utf8(catalog->GetPath()))},
                     {"read_only", m_readOnly || !catalog->CanWrite()},
                     {"families", families}});
    }
    Reply(r, 200, out);
  }

  // The names of a family's rows meeting a condition, sorted, with the sort column's values: kept until the next
  // write, or until another family, condition or order is asked for, so that paging through a large family reads
  // it once, and only the columns it is sorted by.
  struct Listing {
    CVdPatternCatalog* catalog = nullptr;
    std::string family, where, sort;
    bool descending = false;
    std::vector<Column> columns;  // all the family's
    std::vector<Row> rows;        // the name and the sort column only
    std::vector<std::size_t> order;
  };

  const Listing* List(CVdPatternCatalog* catalog, const std::string& family, const std::string& where,
                      const std::string& sort, bool descending, httplib::Response& r) {
    Listing& l = m_listing;
    if (l.catalog == catalog && l.family == family && l.where == where && l.sort == sort) {
      if (l.descending != descending) std::reverse(l.order.begin(), l.order.end());
      l.descending = descending;
      return &l;
    }
    l = Listing();
    CVdDatabase* db = m_session.Database(catalog);
    l.columns = FamilyColumns(m_session, catalog, family);
    const Column* name = FindColumn(l.columns, L"Name");
    const Column* column = sort.empty() ? name : FindColumn(l.columns, Wide(sort).str());
    if (!m_session.Failed() && !column) {
      Reply(r, 400, {{"error", "no column \"" + Shown(sort) + "\" in the family"}});
      return nullptr;
    }
    // Only the name and the sort column are read, unless a condition needs the others to be checked against.
    std::vector<Column> read;
    if (!where.empty()) {
      read = l.columns;
    } else {
      if (name) read.push_back(*name);
      if (column && column != name) read.push_back(*column);
    }
    if (m_session.Failed() || !ReadRows(db, family, read, "", where, l.rows)) {
      l = Listing();
      Reply(r, m_session.Failed() ? 500 : 400, {{"error", Why("the family cannot be read")}});
      return nullptr;
    }
    l.order.resize(l.rows.size());
    for (std::size_t i = 0; i < l.order.size(); ++i) l.order[i] = i;
    if (column != name) {
      const std::size_t at = static_cast<std::size_t>(FindColumn(read, column->name) - read.data());
      const bool numeric = IsNumeric(column->kind);
      std::vector<SortKey> keys(l.rows.size());
      for (std::size_t i = 0; i < keys.size(); ++i) {
        const COleVariant& v = l.rows[i].values[at];
        keys[i].missing = v.vt == VT_NULL || v.vt == VT_EMPTY;
        if (keys[i].missing) continue;
        if (numeric)
          keys[i].number = VariantToDouble(&v);
        else
          keys[i].text = Wide(Text(&v)).str();
      }
      // Rows already stand in name order: a stable sort keeps it among equal values.
      std::stable_sort(l.order.begin(), l.order.end(), [&](std::size_t a, std::size_t b) {
        const SortKey &x = keys[a], &y = keys[b];
        if (x.missing || y.missing) return x.missing && !y.missing;
        return numeric ? x.number < y.number : VdNaturalLess(x.text, y.text);
      });
    }
    if (descending) std::reverse(l.order.begin(), l.order.end());
    l.catalog = catalog, l.family = family, l.where = where, l.sort = sort, l.descending = descending;
    return &l;
  }

  // The whole rows of one page, read by their names through the condition checker (names are quoted texts).
  bool PageRows(const Listing& l, std::size_t offset, std::size_t limit, std::vector<const Row*>& page,
                std::vector<Row>& whole) {
    std::string names;
    for (std::size_t i = offset; i < l.order.size() && page.size() < limit; ++i) {
      page.push_back(&l.rows[l.order[i]]);
      std::string quoted;
      for (char c : page.back()->name) quoted += c == '\'' ? "''" : std::string(1, c);
      names += (names.empty() ? "'" : ", '") + quoted + "'";
    }
    return page.empty() ||
           ReadRows(m_session.Database(l.catalog), l.family, l.columns, "", "Name IN (" + names + ")", whole);
  }

  void Rows(const httplib::Request& q, httplib::Response& r) {
    CVdPatternCatalog* catalog = CatalogOf(q, r);
    if (!catalog) return;
    const std::string family = FamilyOf(catalog, q.get_param_value("family"), r);
    if (family.empty()) return;
    long offset = 0, limit = 50;
    if ((q.has_param("offset") && !ParseLong(q.get_param_value("offset"), offset)) || offset < 0 ||
        (q.has_param("limit") && !ParseLong(q.get_param_value("limit"), limit)) || limit < 1 || limit > kMaxPage) {
      Reply(r, 400, {{"error", "offset is a whole number from 0, limit one from 1 to " + std::to_string(kMaxPage)}});
      return;
    }
    const std::string order = q.get_param_value("order");
    if (!order.empty() && order != "asc" && order != "desc") {
      Reply(r, 400, {{"error", "order is asc or desc"}});
      return;
    }
    const Listing* l = List(catalog, family, q.get_param_value("where"), q.get_param_value("sort"), order == "desc", r);
    if (!l) return;
    std::vector<const Row*> page;
    std::vector<Row> whole;
    if (!PageRows(*l, static_cast<std::size_t>(offset), static_cast<std::size_t>(limit), page, whole)) {
      Reply(r, 500, {{"error", Why("the family cannot be read")}});
      return;
    }
    std::vector<bool> used(whole.size());
    json rows = json::array();
    for (const Row* wanted : page) {
      json entry = json::object();
      // The row of that name (each used once: a name may be stored twice); a row without a name has only its name.
      const Row* row = nullptr;
      for (std::size_t i = 0; i < whole.size() && !row; ++i)
        if (!used[i] && whole[i].name == wanted->name) used[i] = true, row = &whole[i];
      for (std::size_t c = 0; c < l->columns.size(); ++c)
        entry[VdToUtf8(l->columns[c].name)] = row ? ToJson(&row->values[c], l->columns[c].kind)
                                              : VdCompareNoCase(l->columns[c].name, L"Name") == 0 ? json(wanted->name)
                                                                                                  : json(nullptr);
      rows.push_back(entry);
    }
    Reply(r, 200,
          {{"family", family},
           {"total", l->rows.size()},
           {"offset", offset},
           {"columns", ColumnsJson(catalog, family, l->columns)},
           {"rows", rows}});
  }

  // The stored row of `name` in `family`, found as the catalog finds names (case ignored).
  std::optional<Row> FindRow(CVdPatternCatalog* catalog, const std::string& family, const std::vector<Column>& columns,
                             const std::string& name) {
    std::vector<Row> rows;
    if (!ReadRows(m_session.Database(catalog), family, columns, name, "", rows)) return std::nullopt;
    for (Row& row : rows)  // '%' and '_' in a name match more than itself
      if (VdCompareNoCase(Wide(row.name).str(), Wide(name).str()) == 0) return std::move(row);
    return std::nullopt;
  }

  // Resolves a name as show does: the manager's lookup over every catalog, in the order given.
  void Search(const httplib::Request& q, httplib::Response& r) {
    const std::string name = q.get_param_value("q");
    if (name.empty() || name.size() > 1000) {
      Reply(r, 400, {{"error", "a search needs a name of at most 1000 bytes"}});
      return;
    }
    CVdPattern::enumCheckUserName check = CVdPattern::eCheckUserNameOk;
    std::unique_ptr<CVdPattern> pattern(
        m_session.Manager().GetPattern(Wide(name), CVdPattern::ePatternTypeCatalog, &check));
    CVdPatternCatalog* source = pattern ? m_session.Manager().GetCatalog(pattern->GetCatalog()) : nullptr;
    const auto at = std::find(m_catalogs.begin(), m_catalogs.end(), source);
    if (!pattern || at == m_catalogs.end()) {
      if (m_session.Failed()) {
        Reply(r, 500, {{"error", Why("the search failed")}});
        return;
      }
      const std::string hint = DidYouMean(m_session, m_catalogs, name);
      Reply(r, 404, {{"error", "\"" + name + "\" not found" + hint}});
      return;
    }
    const std::string family = FamilyOf(source, Utf8(pattern->GetFamily()), r);
    if (family.empty()) return;
    const std::vector<Column> columns = FamilyColumns(m_session, source, family);
    const std::optional<Row> row = FindRow(source, family, columns, Utf8(CVdUnit::NormalizedPatternName(Wide(name))));
    Reply(r, 200,
          {{"catalog", at - m_catalogs.begin()},
           {"family", family},
           {"name", row ? row->name : Utf8(pattern->GetUserNameW())}});
  }

  // A pattern's values: as stored ("catalog"), in SI units ("si"), or in host units of `metrics` per metre.
  void Pattern(const httplib::Request& q, httplib::Response& r) {
    CVdPatternCatalog* catalog = CatalogOf(q, r);
    if (!catalog) return;
    const std::string family = FamilyOf(catalog, q.get_param_value("family"), r);
    if (family.empty()) return;
    const std::string metrics = q.has_param("metrics") ? q.get_param_value("metrics") : "catalog";
    double factor = 0;
    if (metrics == "si") {
      factor = 1;
    } else if (metrics != "catalog") {
      char* end = nullptr;
      factor = std::strtod(metrics.c_str(), &end);
      if (metrics.empty() || end != metrics.c_str() + metrics.size() || !(factor >= 1e-12 && factor <= 1e12)) {
        Reply(r, 400, {{"error", "metrics is catalog, si or host units per metre from 1e-12 to 1e12"}});
        return;
      }
    }
    const std::string name = q.get_param_value("name");
    const std::vector<Column> columns = FamilyColumns(m_session, catalog, family);
    const std::optional<Row> row = FindRow(catalog, family, columns, name);
    if (!row) {
      Reply(r, m_session.Failed() ? 500 : 404, {{"error", Why("\"" + name + "\" not found in " + family)}});
      return;
    }
    std::wstring upper = Wide(family).str();
    VdFoldUpper(upper);
    const auto units = catalog->GetUnitsMap(upper);
    CVdUnitManager hostUnits(factor > 0 ? factor : 1.0);
    ToolFactory host(&hostUnits, m_session.Reported());
    wchar_t code[64] = {};
    catalog->GetFamilyCode(Wide(family).GetString(), code);
    json parameters = json::array();
    for (std::size_t i = 0; i < columns.size(); ++i) {
      const Column& column = columns[i];
      if (VdCompareNoCase(column.name, L"Name") == 0) continue;
      const COleVariant& v = row->values[i];
      const auto u = units.find(Folded(column.name));
      json value = ToJson(&v, column.kind);
      const bool missing = v.vt == VT_NULL || v.vt == VT_EMPTY;
      if (factor > 0 && !missing && IsNumeric(column.kind) && u != units.end())
        value = VariantToDouble(&v) * host.GetUnitFactor(u->second.unit);
      parameters.push_back({{"name", VdToUtf8(column.name)},
                            {"type", KindName(column.kind)},
                            {"unit", u == units.end() ? std::string() : Utf8(u->second.unit.GetText())},
                            {"value", value}});
    }
    json reply{{"catalog", Utf8(catalog->GetName())},
               {"family", family},
               {"code", VdToUtf8(code)},
               {"name", row->name},
               {"metrics", metrics},
               {"read_only", m_readOnly || !catalog->CanWrite()},
               {"parameters", parameters}};
    reply.update(SectionCheckJson(catalog, family, columns, *row));  // "findings" and "provenance" (Verify.cpp)
    Reply(r, 200, reply);
  }

  // set, add and remove: each one library write, checked as the set command checks its values.
  void Write(const httplib::Request& q, httplib::Response& r) {
    const json body = json::parse(q.body, nullptr, false);
    if (!body.is_object() || !body.contains("catalog") || !body["catalog"].is_number_unsigned() ||
        !body.value("family", json()).is_string() || !body.value("name", json()).is_string()) {
      Reply(r, 400, {{"error", "a write is a JSON object with catalog (a number), family and name"}});
      return;
    }
    const std::size_t index = body["catalog"].get<std::size_t>();
    if (index >= m_catalogs.size()) {
      Reply(r, 400, {{"error", "no catalog " + std::to_string(index)}});
      return;
    }
    CVdPatternCatalog* catalog = m_catalogs[index];
    if (!Writable(catalog, r)) return;
    const std::string family = FamilyOf(catalog, body["family"].get<std::string>(), r);
    if (family.empty()) return;
    const std::string name = body["name"].get<std::string>();
    if (name.empty() || name.find('\0') != std::string::npos) {
      Reply(r, 400, {{"error", "a pattern needs a name without NUL bytes"}});
      return;
    }
    if (q.path == "/api/remove") {
      if (!catalog->RemovePattern(Wide(name), Wide(family))) {
        Reply(r, m_session.Failed() ? 500 : 404, {{"error", Why("\"" + name + "\" not found in " + family)}});
        return;
      }
      m_listing = Listing();
      Reply(r, 200, {{"removed", name}});
      return;
    }
    const std::vector<Column> columns = FamilyColumns(m_session, catalog, family);
    const json values = body.value("values", json::object());
    if (!values.is_object()) {
      Reply(r, 400, {{"error", "values is an object of column names and values"}});
      return;
    }
    CVdPattern pattern(1, Wide(name), Wide(family));
    for (const auto& [key, given] : values.items()) {
      const Column* column = FindColumn(columns, Wide(key).str());
      std::string error;
      if (!column || VdCompareNoCase(column->name, L"Name") == 0) {
        Reply(r, 400,
              {{"error", column ? "the Name column is the pattern's name; it cannot be set as a value"
                                : "no column \"" + Shown(key) + "\" in the family"}});
        return;
      }
      if (!given.is_string() && !given.is_number() && !given.is_boolean() && !given.is_null()) {
        Reply(r, 400, {{"error", "the value of " + key + " is not a text or a number"}});
        return;
      }
      const std::string text = given.is_string() ? given.get<std::string>() : given.is_null() ? "" : given.dump();
      if (!AssignTo(pattern, *column, Folded(column->name), text, error)) {
        Reply(r, 400, {{"error", error}});
        return;
      }
    }
    // The lookup and the write in one transaction, as the set command does; values are taken as stored.
    const bool hadUnits = catalog->GetHasUnits();
    catalog->SetHasUnits(false);
    bool done = false, existed = false;
    {
      WriteScope scope(m_session.Database(catalog));
      existed = catalog->FindPattern(Wide(name), Wide(family));
      if (!m_session.Failed() && existed == (q.path == "/api/set") && catalog->InsertPattern(&pattern, false)) {
        scope.Keep();
        done = true;
      }
    }
    catalog->SetHasUnits(hadUnits);
    if (!done) {
      if (m_session.Failed())
        Reply(r, 500, {{"error", Why("the catalog could not be written")}});
      else if (existed != (q.path == "/api/set"))
        Reply(r, existed ? 409 : 404,
              {{"error", "\"" + name + (existed ? "\" is already in " : "\" is not in ") + family}});
      else
        Reply(r, 409, {{"error", Why("the catalog refused the pattern (does family " + family + " have a code?)")}});
      return;
    }
    m_listing = Listing();
    Reply(r, 200, {{existed ? "updated" : "added", name}});
  }

  bool m_readOnly;
  std::vector<std::string> m_files;
  Session m_session;
  std::vector<CVdPatternCatalog*> m_catalogs;  // owned by the session
  std::string m_token;
  int m_port = 0;
  std::mutex m_lock;
  std::string m_errors;  // what the tool said during the current request
  Listing m_listing;
};

}  // namespace

int Serve(const std::vector<std::string>& files, int port, const std::string& listen, bool readOnly) {
  if (port < 0 || port > 65535) {
    Error("--port is a number from 0 (any free port) to 65535");
    return kError;
  }
  Server server(files, readOnly);
  if (!server.Open()) return kError;
  if (!IsLoopback(listen))
    std::fprintf(stderr,
                 "vdcatalog: warning: listening on %s: the page has no login, and anyone who reaches this address "
                 "can read%s the catalogs\n",
                 Visible(listen).c_str(), readOnly ? "" : " and change");

  // SIGINT and SIGTERM are taken by a thread of their own (and blocked in every other, the server's workers
  // inherit the mask), which stops the server: no work is done in a signal handler.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGUSR1);  // sent by ourselves when the server ends on its own
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);

  httplib::Server http;
  const std::string bindAddress = listen == "localhost" ? "127.0.0.1" : listen;
  const int bound = port == 0 ? http.bind_to_any_port(bindAddress) : (http.bind_to_port(bindAddress, port) ? port : -1);
  if (bound <= 0) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    Error("cannot listen on " + listen + (port ? ":" + std::to_string(port) : std::string()) + ": " +
          std::strerror(errno));
    return kError;
  }
  server.Routes(http, bound);
  std::atomic<int> stoppedBy{0};
  std::atomic<bool> ended{false};
  std::thread waiter([&] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    if (signal == SIGUSR1) return;
    stoppedBy = signal;
    // A signal that came before the server started listening stops it once it does.
    while (!http.is_running() && !ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    http.stop();
  });
  const std::string shown = bindAddress.find(':') != std::string::npos ? "[" + bindAddress + "]" : bindAddress;
  std::printf("serving http://%s:%d/\n", shown.c_str(), bound);
  const bool announced = std::fflush(stdout) == 0 && !std::ferror(stdout);
  const bool served = announced && http.listen_after_bind();
  ended = true;
  if (stoppedBy == 0) pthread_kill(waiter.native_handle(), SIGUSR1);
  waiter.join();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!announced) {
    Error("standard output cannot be written: the address was not announced");
    return kError;
  }
  if (stoppedBy == SIGINT || stoppedBy == SIGTERM) {
    std::fprintf(stderr, "vdcatalog: stopped by %s\n", stoppedBy == SIGINT ? "SIGINT" : "SIGTERM");
    return kOk;
  }
  Error(served ? "the server stopped unexpectedly" : "the server could not take connections");
  return kError;
}

}  // namespace vdcatalog
