// The connections of an exporter, each served on a thread of its own through a stream that bounds
// every wait on the client; cpp-httplib parses the requests and writes the answers.
//
// Guarantees: an idle connection never delays another one: each has its own thread, up to
// ConnectionLimits::max_connections at once (beyond that, new connections wait in the kernel's
// backlog until one ends). No client holds a connection longer than the limits allow: a request
// (TLS handshake, or request line and headers) must arrive whole within `request` and
// `max_request_bytes`, an answer must be taken within `answer`, the client may stay silent for at
// most `stall` within either and `idle` between requests. With TLS, nothing is answered to a
// client whose handshake fails (a plain-HTTP request included). A request that cannot be read is
// the connection's last. Answers are always whole: a Range header is ignored. Stopping ends idle
// connections at once and lets requests in flight finish.
#ifndef QUILLON_MONITORING_HTTP_CONNECTION_SERVER_HPP
#define QUILLON_MONITORING_HTTP_CONNECTION_SERVER_HPP

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include <httplib.h>

#include "request_parsing.hpp"

namespace Quillon::Core::Monitoring::Http {

/// The bounds within which every connection lives.
struct ConnectionLimits {
  std::size_t max_connections = 256;
  std::size_t max_requests = 100;  // per connection
  std::size_t max_request_bytes = 32 * 1024;
  std::chrono::milliseconds idle{5000};
  std::chrono::milliseconds stall{5000};
  std::chrono::milliseconds request{10'000};
  std::chrono::milliseconds answer{60'000};
};

/// Returns a socket bound to `endpoint` and listening. Throws std::runtime_error("cannot listen
/// on LISTEN: REASON"), LISTEN being the text the endpoint was read from.
[[nodiscard]] int listenOn(const Endpoint& endpoint, const std::string& listen);

/// Returns the port a socket is bound to; 0 when the system cannot say.
[[nodiscard]] std::uint16_t boundPort(int socket) noexcept;

/// Serves HTTP (TLS when given a context) on a listening socket, one thread per connection.
/// Requests go to the handlers set on it as on any httplib::Server, whose own listener and
/// thread pool are not used.
class ConnectionServer final : public httplib::Server {
 public:
  /// Takes over `listening` (non-blocking); `tls` (not owned, may be null for plain HTTP) must
  /// outlive it. Throws std::system_error when it cannot make its stop event.
  ConnectionServer(int listening, SSL_CTX* tls, ConnectionLimits limits);
  ~ConnectionServer() override;
  ConnectionServer(const ConnectionServer&) = delete;
  ConnectionServer& operator=(const ConnectionServer&) = delete;

  /// Accepts and serves until stopServing(), then waits for every connection to end. Call once.
  void serve();

  /// Stops accepting and ends idle connections; serve() returns once the others are done.
  void stopServing() noexcept;

 private:
  void admit(int socket);
  void runConnection(int socket);
  void serveConnection(int socket);

  int listening_;
  SSL_CTX* tls_;
  ConnectionLimits limits_;
  int stop_event_;
  std::atomic<bool> stopping_ = false;
  std::mutex threads_mutex_;
  std::condition_variable threads_changed_;
  std::size_t running_ = 0;
};

}  // namespace Quillon::Core::Monitoring::Http

#endif  // QUILLON_MONITORING_HTTP_CONNECTION_SERVER_HPP
