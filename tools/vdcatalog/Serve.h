#pragma once
// vdcatalog serve's server, internal to the tool: the HTTP set-up, the checks every request passes and the routes
// are in Serve.cpp; what the page reads in ServeData.cpp, ServeListing.cpp (a family's rows) and ServeNames.cpp
// (search and aliases); its writes in ServeEdit.cpp.

#include <httplib.h>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
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
  json ColumnsJson(CVdPatternCatalog* catalog, const std::string& family, const std::vector<Column>& columns);
  void Catalogs(const httplib::Request& q, httplib::Response& r);
  std::optional<Row> FindRow(CVdPatternCatalog* catalog, const std::string& family, const std::vector<Column>& columns,
                             const std::string& name);
  void Pattern(const httplib::Request& q, httplib::Response& r);
  void RowHistory(const httplib::Request& q, httplib::Response& r);
  json PatternJson(CVdPatternCatalog* catalog, const std::string& family, const std::vector<Column>& columns,
                   const Row& row, const std::string& metrics, double factor, const std::string& asked);
  json HistoryOf(CVdPatternCatalog* catalog, const std::string& family, const std::string& name);

  // ---- names (ServeNames.cpp)
  void Search(const httplib::Request& q, httplib::Response& r);
  json NamesOf(CVdPatternCatalog* catalog, const std::string& family, const std::string& name,
               const std::string& asked);

  // ---- a family's rows, a page at a time (ServeListing.cpp)
  // The names of a family's rows meeting a condition, in ascending order by one column (a descending page reads
  // them from the end), as of one value of the catalog's change counter.
  struct Listing {
    CVdPatternCatalog* catalog = nullptr;  // borrowed from the session
    std::string family, where, sort;
    long long change = -1;           // the catalog's last change when read; -1 when it keeps none
    std::vector<Column> columns;     // all the family's
    std::wstring text;               // the rows' names one after another, as read
    std::vector<std::size_t> at{0};  // where each row's name begins in `text`, and one more at the end
    std::vector<std::size_t> order;  // the rows, in order
    std::wstring_view Name(std::size_t i) const {
      const std::size_t row = order[i];
      return std::wstring_view(text).substr(at[row], at[row + 1] - at[row]);
    }
  };
  struct SortKeys;
  bool ReadOrder(Listing& l, const Column& name, const Column* sort, SortKeys& keys);
  const Listing* List(CVdPatternCatalog* catalog, const std::string& family, const std::string& where,
                      const std::string& sort, httplib::Response& r);
  void Rows(const httplib::Request& q, httplib::Response& r);

  // ---- writes (ServeEdit.cpp)
  void Write(const httplib::Request& q, httplib::Response& r);

  bool m_readOnly;
  std::vector<std::string> m_files;
  Session m_session;
  std::vector<CVdPatternCatalog*> m_catalogs;  // owned by the session
  std::string m_token;
  int m_port = 0;
  std::mutex m_lock;
  std::string m_errors;           // what the tool said during the current request
  std::list<Listing> m_listings;  // the most recently used first; forgotten at each of the page's writes
};

}  // namespace serve
}  // namespace vdcatalog
