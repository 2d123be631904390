// vdcatalog serve: the catalogs given, browsed and edited from a web page on this machine.
//
// The HTTP side is cpp-httplib (Debian's libcpp-httplib-dev): a small, well-kept library packaged by Debian with
// its security fixes, one header to read, a thread pool and request limits of its own. A local page needs neither
// HTTP/2 nor a framework; Boost.Beast would leave parsing and limits to us, libmicrohttpd a C callback API and
// more code for the same few routes.

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "Serve.h"
#include "WebFiles.h"

namespace vdcatalog {
namespace serve {

namespace {

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

}  // namespace

bool ParseLong(const std::string& text, long& out) {
  const auto r = std::from_chars(text.data(), text.data() + text.size(), out);
  return r.ec == std::errc() && r.ptr == text.data() + text.size() && !text.empty();
}

// Opens the catalogs; false once the reason was said.
bool Server::Open() {
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

void Server::Routes(httplib::Server& http, int port) {
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
  http.Get("/api/history", Locked(&Server::RowHistory));
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

// Every request: our Host only, headers that keep the page from being framed or sniffed, and for writes a
// same-origin request that carries the token. A cross-site form cannot set the token header, and a script of
// another origin cannot read /api/session to learn it (no CORS headers are ever sent).
httplib::Server::HandlerResponse Server::Guard(const httplib::Request& q, httplib::Response& r) {
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
httplib::Server::Handler Server::Locked(Handler handler) {
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

CVdPatternCatalog* Server::CatalogOf(const httplib::Request& q, httplib::Response& r) {
  long index = -1;
  if (!ParseLong(q.get_param_value("catalog"), index) || index < 0 || index >= static_cast<long>(m_catalogs.size())) {
    Reply(r, 400, {{"error", "no catalog " + Shown(q.get_param_value("catalog"))}});
    return nullptr;
  }
  return m_catalogs[static_cast<std::size_t>(index)];
}

// The family as the catalog spells it, or empty with the reply made.
std::string Server::FamilyOf(CVdPatternCatalog* catalog, const std::string& wanted, httplib::Response& r) {
  std::list<std::wstring> families;
  catalog->GetFamilies(families);
  for (const std::wstring& f : families)
    if (VdCompareNoCase(f, Wide(wanted).str()) == 0) return VdToUtf8(f);
  Reply(r, 404, {{"error", "no family \"" + Shown(wanted) + "\" in " + Utf8(catalog->GetName())}});
  return std::string();
}

bool Server::Writable(CVdPatternCatalog* catalog, httplib::Response& r) {
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

}  // namespace serve

int Serve(const std::vector<std::string>& files, int port, const std::string& listen, bool readOnly) {
  if (port < 0 || port > 65535) {
    Error("--port is a number from 0 (any free port) to 65535");
    return kError;
  }
  serve::Server server(files, readOnly);
  if (!server.Open()) return kError;
  if (!serve::IsLoopback(listen))
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
  // Set on the listening socket, which the connections inherit: a reply is written as its headers, then its
  // body, and with Nagle's algorithm the body would wait for the browser's delayed acknowledgement, about 40 ms
  // on every request of a kept connection but the first.
  http.set_tcp_nodelay(true);
  // One page keeps its connection for a session's requests rather than connecting again after every fifth.
  http.set_keep_alive_max_count(1000);
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