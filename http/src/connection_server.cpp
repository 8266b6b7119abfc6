#include "connection_server.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "retry_io.hpp"

namespace Quillon::Core::Monitoring::Http {

namespace {

using Clock = std::chrono::steady_clock;

// How long the listener rests when the process is out of descriptors or memory.
constexpr std::chrono::milliseconds kResourceBackoff{100};

/// One accepted (non-blocking) connection as the stream cpp-httplib reads requests from and writes
/// answers to. Every wait on the client is bounded by the limits; whatever fails marks the stream
/// broken, and a broken stream serves no further request.
class Connection final : public httplib::Stream {
 public:
  Connection(int socket, const ConnectionLimits& limits, int stop_event)
      : socket_(socket), limits_(limits), stop_event_(stop_event) {}

  ~Connection() override {
    if (ssl_ != nullptr) {
      // One attempt at a close_notify, only on a session still in order.
      if (secured_ && !broken_) {
        ERR_clear_error();
        SSL_shutdown(ssl_);
      }
      SSL_free(ssl_);
    }
    ::close(socket_);
  }

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  /// Turns off delayed small writes and completes the TLS handshake when `tls` is given. False
  /// when the client does not get that far in time.
  bool open(SSL_CTX* tls) {
    const int yes = 1;
    // An answer goes out as headers, then body: Nagle's algorithm would hold the body back until
    // the client acknowledges the headers.
    ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    if (tls == nullptr) return true;
    ssl_ = SSL_new(tls);
    if (ssl_ == nullptr || SSL_set_fd(ssl_, socket_) != 1) return false;
    secured_ = retry([this] { return SSL_accept(ssl_); }, POLLIN, Clock::now() + limits_.request,
                     true) > 0;
    return secured_;
  }

  /// Waits for the next request; true when it begins (or data is already buffered) within the
  /// idle limit, false on silence, stop or a broken stream. Starts the request's bounds.
  bool awaitRequest() {
    if (broken_) return false;
    const bool buffered = begin_ != end_ || (ssl_ != nullptr && SSL_pending(ssl_) > 0);
    if (!buffered && !waitFor(POLLIN, Clock::now() + limits_.idle, true)) return false;
    request_deadline_ = Clock::now() + limits_.request;
    request_bytes_ = 0;
    answering_ = false;
    return true;
  }

  [[nodiscard]] SSL* ssl() const noexcept { return ssl_; }
  [[nodiscard]] bool broken() const noexcept { return broken_; }

  bool is_readable() const override {
    return begin_ != end_ || (ssl_ != nullptr && SSL_pending(ssl_) > 0) ||
           waitFor(POLLIN, stallBound(request_deadline_), false);
  }

  bool is_writable() const override {
    return waitFor(POLLOUT, stallBound(answering_ ? answer_deadline_ : Clock::time_point::max()),
                   false);
  }

  ssize_t read(char* data, size_t size) override {
    if (begin_ == end_) {
      if (request_bytes_ >= limits_.max_request_bytes) return fail();
      const ssize_t got = retry(
          [this] {
            return ssl_ != nullptr
                       ? SSL_read(ssl_, buffer_.data(), static_cast<int>(buffer_.size()))
                       : ::recv(socket_, buffer_.data(), buffer_.size(), 0);
          },
          POLLIN, request_deadline_, false);
      if (got <= 0) return fail();  // the end of the stream ends the connection as well
      begin_ = 0;
      end_ = static_cast<std::size_t>(got);
    }
    const std::size_t taken = std::min(size, end_ - begin_);
    std::memcpy(data, buffer_.data() + begin_, taken);
    begin_ += taken;
    request_bytes_ += taken;
    return static_cast<ssize_t>(taken);
  }

  ssize_t write(const char* data, size_t size) override {
    if (!answering_) {
      answering_ = true;
      answer_deadline_ = Clock::now() + limits_.answer;
    }
    if (size == 0) return 0;
    const std::size_t chunk = std::min<std::size_t>(size, INT_MAX);
    const ssize_t sent = retry(
        [&] {
          return ssl_ != nullptr ? SSL_write(ssl_, data, static_cast<int>(chunk))
                                 : ::send(socket_, data, chunk, MSG_NOSIGNAL);
        },
        POLLOUT, answer_deadline_, false);
    return sent > 0 ? sent : fail();
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    address(::getpeername, ip, port);
  }

  void get_local_ip_and_port(std::string& ip, int& port) const override {
    address(::getsockname, ip, port);
  }

  socket_t socket() const override { return socket_; }

 private:
  ssize_t fail() noexcept {
    broken_ = true;
    return -1;
  }

  /// The sooner of `deadline` and the longest silence allowed from now.
  [[nodiscard]] Clock::time_point stallBound(Clock::time_point deadline) const {
    return std::min(deadline, Clock::now() + limits_.stall);
  }

  /// Waits until the socket is ready for `events` (an error or hang-up counts as ready: the next
  /// call reports it); false at `until` or, when `stoppable`, once the exporter stops.
  bool waitFor(short events, Clock::time_point until, bool stoppable) const {
    std::array<pollfd, 2> watched{{{socket_, events, 0}, {stop_event_, POLLIN, 0}}};
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
      if (left.count() <= 0) return false;
      const int ready = ::poll(watched.data(), stoppable ? 2 : 1,
                               static_cast<int>(std::min<std::int64_t>(left.count(), INT_MAX)));
      if (ready < 0 && errno == EINTR) continue;
      return ready > 0 && watched[1].revents == 0;
    }
  }

  /// retryIo with each wait bounded by `deadline` and the stall limit.
  template <typename Attempt>
  ssize_t retry(Attempt attempt, short events, Clock::time_point deadline, bool stoppable) {
    return retryIo(ssl_, attempt, events,
                   [&](short wanted) { return waitFor(wanted, stallBound(deadline), stoppable); });
  }

  using NameOf = int (*)(int, sockaddr*, socklen_t*);

  void address(NameOf name_of, std::string& ip, int& port) const {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    std::array<char, NI_MAXHOST> host{};
    std::array<char, NI_MAXSERV> service{};
    if (name_of(socket_, reinterpret_cast<sockaddr*>(&storage), &length) != 0 ||
        ::getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, host.data(), host.size(),
                      service.data(), service.size(), NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
      return;
    }
    ip = host.data();
    port = std::atoi(service.data());
  }

  int socket_;
  const ConnectionLimits& limits_;
  int stop_event_;
  SSL* ssl_ = nullptr;
  bool secured_ = false;
  bool broken_ = false;
  bool answering_ = false;
  std::array<char, 4096> buffer_{};
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::size_t request_bytes_ = 0;
  Clock::time_point request_deadline_{};
  Clock::time_point answer_deadline_{};
};

/// A request whose headers announce a body. Scrapes have none, and the exporter answers before
/// reading one, so its connection cannot carry another request.
bool announcesBody(const httplib::Request& request) {
  return request.has_header("Transfer-Encoding") ||
         (request.has_header("Content-Length") &&
          request.get_header_value("Content-Length") != "0");
}

}  // namespace

int listenOn(const Endpoint& endpoint, const std::string& listen) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(endpoint.port);
  const int resolved = ::getaddrinfo(endpoint.host.c_str(), port.c_str(), &hints, &found);
  if (resolved != 0) {
    throw std::runtime_error("cannot listen on " + listen + ": " + ::gai_strerror(resolved));
  }
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, ::freeaddrinfo);
  int error = 0;
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    const int socket =
        ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                 address->ai_protocol);
    if (socket < 0) {
      error = errno;
      continue;
    }
    // SO_REUSEADDR only: SO_REUSEPORT would let a second exporter bind the same port and
    // silently take half the scrapes.
    const int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(socket, address->ai_addr, address->ai_addrlen) == 0 &&
        ::listen(socket, SOMAXCONN) == 0) {
      return socket;
    }
    error = errno;
    ::close(socket);
  }
  throw std::runtime_error("cannot listen on " + listen + ": " + std::strerror(error));
}

std::uint16_t boundPort(int socket) noexcept {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return 0;
  if (storage.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
  }
  return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
}

ConnectionServer::ConnectionServer(int listening, SSL_CTX* tls, ConnectionLimits limits)
    : listening_(listening),
      tls_(tls),
      limits_(limits),
      stop_event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (stop_event_ < 0) {
    const int error = errno;
    ::close(listening_);
    throw std::system_error(error, std::generic_category(), "cannot make a stop event");
  }
  // cpp-httplib sends a content provider's body only while its own listening socket is set.
  svr_sock_ = listening_;
  // What the Keep-Alive header announces.
  set_keep_alive_max_count(limits_.max_requests);
  set_keep_alive_timeout(std::chrono::duration_cast<std::chrono::seconds>(limits_.idle).count());
}

ConnectionServer::~ConnectionServer() {
  ::close(listening_);
  ::close(stop_event_);
}

void ConnectionServer::serve() {
  std::array<pollfd, 2> watched{{{listening_, POLLIN, 0}, {stop_event_, POLLIN, 0}}};
  while (!stopping_) {
    const int ready = ::poll(watched.data(), watched.size(), -1);
    if (ready < 0 || watched[1].revents != 0) continue;  // EINTR, or stopping
    const int socket = ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (socket >= 0) {
      admit(socket);
      continue;
    }
    // A connection that went away before it was accepted is no reason to stop listening. Out of
    // descriptors or memory, the pending connection waits in the backlog while others end.
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      ::poll(&watched[1], 1, static_cast<int>(kResourceBackoff.count()));
    }
  }
  std::unique_lock lock(threads_mutex_);
  threads_changed_.wait(lock, [this] { return running_ == 0; });
}

void ConnectionServer::stopServing() noexcept {
  stopping_ = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(stop_event_, &one, sizeof one);
  const std::lock_guard lock(threads_mutex_);
  threads_changed_.notify_all();
}

void ConnectionServer::admit(int socket) {
  std::unique_lock lock(threads_mutex_);
  threads_changed_.wait(lock, [this] { return running_ < limits_.max_connections || stopping_; });
  if (stopping_) {
    lock.unlock();
    ::close(socket);
    return;
  }
  ++running_;
  lock.unlock();
  try {
    std::thread(&ConnectionServer::runConnection, this, socket).detach();
  } catch (const std::system_error&) {
    // No thread to be had: the client is refused, and may try again.
    ::close(socket);
    const std::lock_guard relock(threads_mutex_);
    --running_;
  }
}

void ConnectionServer::runConnection(int socket) {
  // The thread's own writes to a vanished client fail with EPIPE instead of raising SIGPIPE,
  // whatever the process does with the signal; a blocked SIGPIPE dies with the thread.
  sigset_t pipe{};
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  serveConnection(socket);
  const std::lock_guard lock(threads_mutex_);
  --running_;
  // Notified under the lock: once serve() sees zero, this thread touches nothing of the server.
  threads_changed_.notify_all();
}

void ConnectionServer::serveConnection(int socket) {
  Connection connection(socket, limits_, stop_event_);
  if (stopping_ || !connection.open(tls_)) return;
  for (std::size_t served = 0; served < limits_.max_requests; ++served) {
    if (stopping_ || !connection.awaitRequest()) break;
    bool close_asked = false;
    bool parsed = false;
    bool body_announced = false;
    const bool answered = process_request(connection, served + 1 == limits_.max_requests,
                                          close_asked, [&](httplib::Request& request) {
                                            parsed = true;
                                            request.ssl = connection.ssl();
                                            body_announced = announcesBody(request);
                                            // Answers are whole: cpp-httplib's byte ranges get
                                            // lengths and totals wrong.
                                            request.ranges.clear();
                                          });
    // After a request it could not read, where the next one begins is anyone's guess.
    if (!answered || !parsed || close_asked || body_announced || connection.broken()) break;
  }
}

}  // namespace Quillon::Core::Monitoring::Http
