// The retry loop of non-blocking socket and OpenSSL calls, shared by the exporter's connections
// and the gatherer's exchanges, which differ only in how they wait.
//
// Guarantees: an attempt is repeated only after its socket is ready for what the socket or
// OpenSSL asks (reading or writing), and only while the wait allows; OpenSSL's error queue and
// errno are cleared before each attempt, so that a failure reports its own cause.
#ifndef QUILLON_MONITORING_HTTP_RETRY_IO_HPP
#define QUILLON_MONITORING_HTTP_RETRY_IO_HPP

#include <cerrno>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/types.h>

namespace Quillon::Core::Monitoring::Http {

/// Calls `attempt` (a recv, send or OpenSSL call on `ssl`, null for plain sockets) until it makes
/// progress, calling `wait(events)` in between with what the socket or OpenSSL asks (POLLIN or
/// POLLOUT; `events` for plain sockets). Returns what the attempt returned when positive, 0 at
/// the end of the stream, -1 on an error or when `wait` returns false.
template <typename Attempt, typename Wait>
ssize_t retryIo(SSL* ssl, Attempt attempt, short events, Wait wait) {
  for (;;) {
    ERR_clear_error();
    errno = 0;
    const auto done = static_cast<ssize_t>(attempt());
    if (done > 0) return done;
    short wanted = events;
    if (ssl != nullptr) {
      const int error = SSL_get_error(ssl, static_cast<int>(done));
      if (error == SSL_ERROR_ZERO_RETURN) return 0;
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return -1;
      wanted = error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
    } else if (done == 0) {
      return 0;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return -1;
    }
    if (!wait(wanted)) return -1;
  }
}

}  // namespace Quillon::Core::Monitoring::Http

#endif  // QUILLON_MONITORING_HTTP_RETRY_IO_HPP
