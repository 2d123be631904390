#pragma once
// A relay on 127.0.0.1 in front of a PostgreSQL server, for counting what a conversation costs on a network: it
// accepts clients on a port of its own, connects each to the server (its Unix socket, or host and port), and
// forwards every chunk either way after a set delay, as a slow office network or VPN would.
//
// It counts, over all its connections since the last Reset():
// - round trips: the client's turns, each counted when the server answers it. A turn begins with a chunk the
//   client sends while it has nothing unanswered (the start, or after the server's ReadyForQuery to all it had
//   synced). Messages the client sends on without a Sync, or while a Sync is still unanswered, belong to the
//   turn under way (a pipeline), however many chunks they take and however the server's early answers fall
//   between them; a message that gets no answer (the closing Terminate) is no trip;
// - bytes each way.
// The turns are told from the protocol's messages (the startup packets, Sync, Query, ReadyForQuery, the
// authentication requests that want an answer), not from the timing of chunks, so the counts are deterministic
// for a given conversation whatever the delay and the machine's load. A client that waits on a Flush without a
// Sync is not seen waiting; the library never does. An encrypted conversation cannot be read: it is counted by
// its chunks, a turn each time the client sends after the server did.
// One thread accepts, one per connection forwards (poll on both sockets). A chunk waits the delay before it is
// forwarded; the connection's thread sleeps meanwhile, so chunks of one connection keep their order.
//
// SetDown(true) plays a server that went away: every relayed connection is cut and new clients are accepted and
// closed at once, until SetDown(false) brings it back (a restart), on the same port.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace benchrelay {

struct Counts {
  std::int64_t roundTrips = 0;
  std::int64_t sent = 0;      // bytes client -> server
  std::int64_t received = 0;  // bytes server -> client
};

// Splits one direction's bytes into protocol messages, across chunks, and hands on each message's type (0 for
// an untyped startup packet) and the first four bytes of its body as a number (-1 when it is shorter): the
// startup packet's code, or the kind of an authentication request.
class MessageReader {
 public:
  explicit MessageReader(bool typed) : m_typed(typed) {}
  void SetTyped() { m_typed = true; }
  // The next `n` bytes are single-byte answers (to an encryption request), handed on with type 1.
  void ExpectLoneBytes(int n) { m_lone += n; }
  // False when the bytes are not the protocol (a length below its own size): the reader stops.
  template <typename On>
  bool Feed(const char* data, std::size_t n, On&& on) {
    while (n > 0 && m_good) {
      if (m_skip > 0) {
        const std::size_t k = std::min(m_skip, n);
        m_skip -= k, data += k, n -= k;
        continue;
      }
      if (m_lone > 0 && m_head.empty()) {
        --m_lone;
        on('\1', static_cast<unsigned char>(*data));
        ++data, --n;
        continue;
      }
      m_head += *data++;
      --n;
      const std::size_t at = m_typed ? 1 : 0;
      if (m_head.size() < at + 4) continue;
      const std::int64_t length = Number(at);
      if (length < 4) return m_good = false;
      const std::size_t code = std::min<std::int64_t>(4, length - 4);
      if (m_head.size() < at + 4 + code) continue;
      on(m_typed ? m_head[0] : '\0', code == 4 ? Number(at + 4) : -1);
      m_skip = static_cast<std::size_t>(length - 4 - static_cast<std::int64_t>(code));
      m_head.clear();
    }
    return m_good;
  }

 private:
  std::int64_t Number(std::size_t at) const {
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k) v = v << 8 | static_cast<unsigned char>(m_head[at + k]);
    return v;
  }
  bool m_typed;
  bool m_good = true;
  int m_lone = 0;
  std::size_t m_skip = 0;
  std::string m_head;
};

// Follows one connection's conversation: what the client has sent that the server has still to answer.
class Conversation {
 public:
  // Reads a client chunk; true when it begins a turn (the client had nothing unanswered).
  bool Client(const char* data, std::size_t n) {
    const bool begins = m_opaque ? !m_clientLast : m_unanswered == 0 && !m_unsynced;
    m_clientLast = true;
    if (!m_opaque && !m_client.Feed(data, n, [&](char type, std::int64_t code) { FromClient(type, code); }))
      m_opaque = true;
    return begins;
  }
  void Server(const char* data, std::size_t n) {
    m_clientLast = false;
    if (!m_opaque && !m_server.Feed(data, n, [&](char type, std::int64_t code) { FromServer(type, code); }))
      m_opaque = true;
  }

 private:
  static constexpr std::int64_t kProtocol3 = 196608, kSslRequest = 80877103, kGssRequest = 80877104;
  void FromClient(char type, std::int64_t code) {
    if (type == '\0') {  // a startup packet: each but a cancel request is answered
      if (code == kSslRequest || code == kGssRequest) m_server.ExpectLoneBytes(1);
      if (code == kProtocol3) m_client.SetTyped();
      if (code == kSslRequest || code == kGssRequest || code == kProtocol3) ++m_unanswered;
      return;
    }
    switch (type) {
      case 'S':  // Sync
      case 'Q':  // Query
      case 'F':  // FunctionCall
      case 'c':  // CopyDone
      case 'f':  // CopyFail
      case 'p':  // an answer to an authentication request
        ++m_unanswered;
        m_unsynced = false;
        break;
      case 'X':  // Terminate: no answer comes
        break;
      default:  // Parse, Bind, Execute, Describe, Close, CopyData: answered at the next Sync
        m_unsynced = true;
    }
  }
  void FromServer(char type, std::int64_t code) {
    // What ends a wait of the client: ReadyForQuery, the answer to an encryption request, an authentication
    // request (but AuthenticationOk and SASLFinal, which want none), the start of a copy.
    const bool wantsAnswer = type == 'R' && code != 0 && code != 12;
    if (type == 'Z' || type == '\1' || wantsAnswer || type == 'G' || type == 'W')
      m_unanswered = std::max(0, m_unanswered - 1);
    if (type == '\1' && (code == 'S' || code == 'G')) m_opaque = true;  // encrypted from here: counted by chunks
  }
  MessageReader m_client{false}, m_server{true};
  int m_unanswered = 0;     // startup packets, Syncs, Queries... the server has not answered yet
  bool m_unsynced = false;  // messages sent since the last Sync
  bool m_opaque = false;
  bool m_clientLast = false;
};

class Relay {
 public:
  // `unixSocket`: the server's socket path (e.g. "/tmp/x/.s.PGSQL.5432"); when empty, `host` and `port` (a
  // loopback address).
  Relay(std::string unixSocket, std::string host, int port, std::chrono::microseconds delay)
      : m_unixSocket(std::move(unixSocket)), m_host(std::move(host)), m_serverPort(port), m_delay(delay) {
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_listener < 0) throw std::runtime_error("relay: no socket");
    const int on = 1;
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 64) != 0) {
      ::close(m_listener);
      throw std::runtime_error("relay: cannot listen on 127.0.0.1");
    }
    socklen_t length = sizeof address;
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { Accept(); });
  }
  ~Relay() {
    m_stop = true;
    ::shutdown(m_listener, SHUT_RDWR);
    ::close(m_listener);
    m_acceptor.join();
    std::vector<std::thread> threads;
    {
      const std::lock_guard<std::mutex> lock(m_mutex);
      threads.swap(m_threads);
    }
    for (std::thread& t : threads) t.join();
  }
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  int port() const { return m_port; }
  void Reset() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_counts = Counts{};
  }
  Counts Get() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_counts;
  }
  void SetDown(bool down) {
    m_down = down;
    if (!down) return;
    // Shut down, not closed: each connection's thread closes its own sockets when it sees the end.
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (const int fd : m_open) ::shutdown(fd, SHUT_RDWR);
  }

 private:
  void Accept() {
    while (!m_stop) {
      pollfd p{m_listener, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const int client = ::accept(m_listener, nullptr, nullptr);
      if (client < 0) continue;
      if (m_down) {
        ::close(client);
        continue;
      }
      const int server = ConnectServer();
      if (server < 0) {
        ::close(client);
        continue;
      }
      const std::lock_guard<std::mutex> lock(m_mutex);
      m_threads.emplace_back([this, client, server] { Forward(client, server); });
    }
  }

  int ConnectServer() const {
    if (!m_unixSocket.empty()) {
      const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strncpy(address.sun_path, m_unixSocket.c_str(), sizeof address.sun_path - 1);
      if (s >= 0 && ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return s;
      if (s >= 0) ::close(s);
      return -1;
    }
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(m_serverPort));
    ::inet_pton(AF_INET, m_host.c_str(), &address.sin_addr);
    if (s >= 0 && ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return s;
    if (s >= 0) ::close(s);
    return -1;
  }

  // Writes all of `n` bytes; false when the peer is gone.
  static bool WriteAll(int fd, const char* data, ssize_t n) {
    while (n > 0) {
      const ssize_t w = ::send(fd, data, static_cast<std::size_t>(n), MSG_NOSIGNAL);
      if (w <= 0) return false;
      data += w;
      n -= w;
    }
    return true;
  }

  // With VDPATTERN_BENCH_TRACE set, each round trip's first chunk is printed (its readable text, shortened), so
  // that a count can be told apart statement by statement.
  void Trace(const char* data, ssize_t n) const {
    std::string text;
    for (ssize_t i = 0; i < n && text.size() < 160; ++i) text += data[i] >= 32 && data[i] < 127 ? data[i] : '.';
    std::fprintf(stderr, "relay: round trip %lld, %zd bytes: %s\n", static_cast<long long>(m_counts.roundTrips), n,
                 text.c_str());
  }

  void Forward(int client, int server) {
    const int on = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Conversation conversation;
    bool turn = false;  // a turn of the client waits for its answer
    std::vector<char> buffer(1 << 16);
    std::string opening;  // the first chunk of the round trip under way, for the trace
    {
      const std::lock_guard<std::mutex> lock(m_mutex);
      m_open.insert(m_open.end(), {client, server});
    }
    while (!m_stop) {
      pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      const int ready = ::poll(p, 2, 100);
      if (ready < 0) break;
      if (ready == 0) continue;
      bool done = false;
      for (int side = 0; side < 2 && !done; ++side) {
        if (!(p[side].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const int from = side == 0 ? client : server, to = side == 0 ? server : client;
        const ssize_t n = ::recv(from, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
          done = true;
          break;
        }
        {
          const std::lock_guard<std::mutex> lock(m_mutex);
          if (side == 0) {
            if (conversation.Client(buffer.data(), static_cast<std::size_t>(n))) {
              turn = true;
              if (m_trace) opening.assign(buffer.data(), static_cast<std::size_t>(n));
            }
            m_counts.sent += n;
          } else {
            conversation.Server(buffer.data(), static_cast<std::size_t>(n));
            if (turn) {
              ++m_counts.roundTrips;
              if (m_trace) Trace(opening.data(), static_cast<ssize_t>(opening.size()));
            }
            turn = false;
            m_counts.received += n;
          }
        }
        if (m_delay.count() > 0) std::this_thread::sleep_for(m_delay);
        if (!WriteAll(to, buffer.data(), n)) done = true;
      }
      if (done) break;
    }
    {
      const std::lock_guard<std::mutex> lock(m_mutex);
      m_open.erase(std::remove_if(m_open.begin(), m_open.end(), [&](int fd) { return fd == client || fd == server; }),
                   m_open.end());
    }
    ::close(client);
    ::close(server);
  }

  std::string m_unixSocket, m_host;
  int m_serverPort = 0;
  std::chrono::microseconds m_delay;
  int m_listener = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_down{false};
  const bool m_trace = std::getenv("VDPATTERN_BENCH_TRACE") != nullptr;
  std::thread m_acceptor;
  mutable std::mutex m_mutex;
  std::vector<std::thread> m_threads;
  std::vector<int> m_open;  // the sockets of the connections being relayed
  Counts m_counts;
};

}  // namespace benchrelay
