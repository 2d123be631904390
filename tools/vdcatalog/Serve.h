#pragma once
// vdcatalog serve's server, internal to the tool: the HTTP set-up, the checks every request passes and the routes
// are in Serve.cpp, what the page reads in ServeData.cpp, its writes in ServeEdit.cpp.

#include <httplib.h>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Tool.h"

namespace vdcatalog {
namespace serve {

// The largest request body (a pattern's edit) and the largest page of rows one request may ask for.
constexpr std::size_t kMaxBody = 256 * 1024;
constexpr long kMaxPage = 1000;

bool ParseLong(const std::string& text, long& out);
inline bool IsNumeric(Kind kind) { return kind == Kind::kInteger || kind == Kind::kReal; }

// The catalogs given, served to one page. The library is not thread-safe, and one person browses at a time: every
// request takes one lock, and the server's worker threads only parse and send.
class Server {
 public:
  Server(const std::vector<std::string>& files, bool readOnly) : m_readOnly(readOnly), m_files(files) {}

  // Opens the catalogs; false once the reason was said.
  bool Open();
  // Sets `http`'s routes and checks for a server that listens on `port`; `http` must outlive this object's use.
  void Routes(httplib::Server& http, int port);

 private:
  using Handler = void (Server::*)(const httplib::Request&, httplib::Response&);

  static void Reply(httplib::Response& r, int status, const json& body) {
    r.status = status;
    r.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json; charset=utf-8");
  }

  // ---- checks (Serve.cpp)
  httplib::Server::HandlerResponse Guard(const httplib::Request& q, httplib::Response& r);
  httplib::Server::Handler Locked(Handler handler);
  // The reason the library or the tool gave, or `fallback`.
  std::string Why(const std::string& fallback) const { return m_errors.empty() ? fallback : m_errors; }
  CVdPatternCatalog* CatalogOf(const httplib::Request& q, httplib::Response& r);
  // The family as the catalog spells it, or empty with the reply made.
  std::string FamilyOf(CVdPatternCatalog* catalog, const std::string& wanted, httplib::Response& r);
  bool Writable(CVdPatternCatalog* catalog, httplib::Response& r);

  // ---- reads (ServeData.cpp)
  // The names of a family's rows meeting a condition, sorted, with the sort column's values: kept until the next
  // write, or until another family, condition or order is asked for, so that paging through a large family reads
  // it once, and only the columns it is sorted by.
  struct Listing {
    CVdPatternCatalog* catalog = nullptr;  // borrowed from the session
    std::string family, where, sort;
    bool descending = false;
    std::vector<Column> columns;  // all the family's
    std::vector<Row> rows;        // the name and the sort column only
    std::vector<std::size_t> order;
  };

  json ColumnsJson(CVdPatternCatalog* catalog, const std::string& family, const std::vector<Column>& columns);
  void Catalogs(const httplib::Request& q, httplib::Response& r);
  const Listing* List(CVdPatternCatalog* catalog, const std::string& family, const std::string& where,
                      const std::string& sort, bool descending, httplib::Response& r);
  bool PageRows(const Listing& l, std::size_t offset, std::size_t limit, std::vector<const Row*>& page,
                std::vector<Row>& whole);
  void Rows(const httplib::Request& q, httplib::Response& r);
  std::optional<Row> FindRow(CVdPatternCatalog* catalog, const std::string& family, const std::vector<Column>& columns,
                             const std::string& name);
  void Search(const httplib::Request& q, httplib::Response& r);
  void Pattern(const httplib::Request& q, httplib::Response& r);

  // ---- writes (ServeEdit.cpp)
  void Write(const httplib::Request& q, httplib::Response& r);

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

}  // namespace serve
}  // namespace vdcatalog
