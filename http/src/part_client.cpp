#include "part_client.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <quillon/monitoring/reader.hpp>

#include "retry_io.hpp"

namespace Quillon::Core::Monitoring::Http {

namespace {

using SteadyClock = std::chrono::steady_clock;

// An answer's status line and headers; a snapshot's head is a few hundred bytes.
constexpr std::size_t kMaxHeadBytes = 64 * 1024;
// How much of an error answer's text a diagnostic quotes.
constexpr std::size_t kQuotedBytes = 200;
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::string_view kPathBytes =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~/%!$&'()*+,;=:@";
constexpr std::string_view kHostBytes =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._";

/// Why an exchange gave no snapshot: the part's status and the cause, after the URL.
class PartFailure : public std::runtime_error {
 public:
  PartFailure(SubjectStatus status, const std::string& cause)
      : std::runtime_error(cause), status_(status) {}
  [[nodiscard]] SubjectStatus status() const noexcept { return status_; }

 private:
  SubjectStatus status_;
};

[[noreturn]] void refuse(const std::string& cause) {
  throw PartFailure(SubjectStatus::invalid, cause);
}

[[noreturn]] void tooLarge(std::size_t max_bytes) {
  refuse("answer larger than " + std::to_string(max_bytes) + " bytes");
}

/// Bytes a part sent, fit for a one-line diagnostic: printable ASCII as it is, other bytes %XX,
/// at most `limit` of them.
std::string printable(std::string_view bytes, std::size_t limit = kQuotedBytes) {
  constexpr std::string_view kHex = "0123456789ABCDEF";
  std::string text;
  for (const char byte : bytes.substr(0, limit)) {
    const auto code = static_cast<unsigned char>(byte);
    if (code >= 0x20 && code < 0x7F && byte != '%') {
      text += byte;
    } else {
      text.append(1, '%').append(1, kHex[code >> 4U]).append(1, kHex[code & 0xFU]);
    }
  }
  return text;
}

bool equalsIgnoringCase(std::string_view left, std::string_view right) {
  return std::equal(left.begin(), left.end(), right.begin(), right.end(), [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? a + 32 : a) == (b >= 'A' && b <= 'Z' ? b + 32 : b);
  });
}

std::string_view trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

/// What the head of an answer says.
struct Head {
  int status = 0;
  std::string reason;
  std::optional<std::uint64_t> content_length;
  bool chunked = false;
  std::string content_encoding;
  bool text = false;
};

/// Reads a status line and headers (each line ending "\r\n" or "\n"); throws PartFailure
/// (`invalid`) when they are not HTTP/1.x.
Head readHead(std::string_view head) {
  Head read;
  const std::string_view line = head.substr(0, head.find('\n'));
  const std::string_view status = line.substr(0, line.find_last_not_of('\r') + 1);
  if (status.size() < 12 || !status.starts_with("HTTP/1.") || status[8] != ' ' ||
      (status.size() > 12 && status[12] != ' ') ||
      std::from_chars(status.data() + 9, status.data() + 12, read.status).ptr !=
          status.data() + 12 ||
      read.status < 100) {
    refuse("not an HTTP answer: " + printable(status));
  }
  read.reason = printable(status.substr(std::min<std::size_t>(13, status.size())));
  for (std::size_t at = line.size() + 1; at < head.size();) {
    std::string_view field = head.substr(at, head.find('\n', at) - at);
    at += field.size() + 1;
    if (!field.empty() && field.back() == '\r') field.remove_suffix(1);
    if (field.empty()) break;
    const std::size_t colon = field.find(':');
    if (colon == 0 || colon == std::string_view::npos || field[0] == ' ' || field[0] == '\t') {
      refuse("malformed header line: " + printable(field));
    }
    const std::string_view name = field.substr(0, colon);
    const std::string_view value = trimmed(field.substr(colon + 1));
    if (equalsIgnoringCase(name, "Content-Length")) {
      std::uint64_t length = 0;
      const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
      if (value.empty() || error != std::errc{} || end != value.data() + value.size() ||
          (read.content_length && *read.content_length != length)) {
        refuse("malformed Content-Length: " + printable(value));
      }
      read.content_length = length;
    } else if (equalsIgnoringCase(name, "Transfer-Encoding")) {
      if (!equalsIgnoringCase(value, "chunked")) {
        refuse("transfer coding not supported: " + printable(value));
      }
      read.chunked = true;
    } else if (equalsIgnoringCase(name, "Content-Encoding")) {
      read.content_encoding = printable(value);
    } else if (equalsIgnoringCase(name, "Content-Type")) {
      read.text = equalsIgnoringCase(value.substr(0, 10), "text/plain");
    }
  }
  return read;
}

/// One connection to a part, every wait on it bounded by the deadline.
class Exchange {
 public:
  Exchange(const ClientSetup& setup, SteadyClock::time_point deadline)
      : setup_(setup), deadline_(deadline) {}

  ~Exchange() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    if (socket_ >= 0) ::close(socket_);
  }

  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  void connect(const PartUrl& url) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(url.port);
    const int resolved = ::getaddrinfo(url.host.c_str(), port.c_str(), &hints, &found);
    if (resolved != 0) {
      throw PartFailure(SubjectStatus::missing,
                        "cannot resolve " + url.host + ": " + ::gai_strerror(resolved));
    }
    const std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, ::freeaddrinfo);
    int error = 0;
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
      socket_ = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                         address->ai_protocol);
      if (socket_ < 0) {
        error = errno;
        continue;
      }
      if (::connect(socket_, address->ai_addr, address->ai_addrlen) == 0) return;
      error = errno;
      if (error == EINPROGRESS) {
        waitFor(POLLOUT);
        socklen_t length = sizeof error;
        if (::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        if (error == 0) return;
      }
      ::close(socket_);
      socket_ = -1;
    }
    throw PartFailure(SubjectStatus::missing,
                      std::string("cannot connect: ") + std::strerror(error));
  }

  /// Completes a TLS handshake that checks the part's certificate for the configured server
  /// name, or else the URL's host (an address as an IP address, a name as a DNS name).
  void secure(const PartUrl& url) {
    stage_ = "TLS handshake unfinished";
    ssl_ = SSL_new(setup_.tls.get());
    if (ssl_ == nullptr || SSL_set_fd(ssl_, socket_) != 1) fail(-1, "cannot start TLS");
    const std::string& name = setup_.server_name.empty() ? url.host : setup_.server_name;
    std::array<unsigned char, sizeof(in6_addr)> address{};
    if (::inet_pton(AF_INET, name.c_str(), address.data()) == 1 ||
        ::inet_pton(AF_INET6, name.c_str(), address.data()) == 1) {
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), name.c_str());
    } else {
      SSL_set_tlsext_host_name(ssl_, name.c_str());
      SSL_set1_host(ssl_, name.c_str());
    }
    const ssize_t done = retry([this] { return SSL_connect(ssl_); }, POLLOUT);
    const long verified = SSL_get_verify_result(ssl_);
    if (done <= 0 && verified != X509_V_OK) {
      throw PartFailure(SubjectStatus::missing, std::string("TLS handshake failed: ") +
                                                    X509_verify_cert_error_string(verified));
    }
    fail(done <= 0 ? -1 : done, "TLS handshake failed");
  }

  void send(std::string_view request) {
    stage_ = "request unsent";
    while (!request.empty()) {
      const std::size_t chunk = std::min<std::size_t>(request.size(), INT_MAX);
      const ssize_t sent = retry(
          [&] {
            return ssl_ != nullptr ? SSL_write(ssl_, request.data(), static_cast<int>(chunk))
                                   : ::send(socket_, request.data(), chunk, MSG_NOSIGNAL);
          },
          POLLOUT);
      fail(sent, "cannot send the request");
      request.remove_prefix(static_cast<std::size_t>(sent));
    }
    stage_.clear();
  }

  /// Appends what arrives next to the answer; false at the end of the stream.
  bool receive() {
    const std::size_t before = answer_.size();
    if (before >= setup_.max_answer_bytes) {
      tooLarge(setup_.max_answer_bytes);
    }
    const std::size_t room = std::min(kReadChunk, setup_.max_answer_bytes - before);
    answer_.resize(before + room);
    char* const into = answer_.data() + before;
    const ssize_t got = retry(
        [&] {
          return ssl_ != nullptr ? SSL_read(ssl_, into, static_cast<int>(room))
                                 : ::recv(socket_, into, room, 0);
        },
        POLLIN);
    received_ = before + static_cast<std::size_t>(std::max<ssize_t>(got, 0));
    answer_.resize(received_);
    fail(got, "cannot read the answer");
    return got > 0;
  }

  /// Makes sure `count` bytes of the answer from `at` on have arrived.
  void need(std::size_t at, std::size_t count) {
    while (answer_.size() - at < count) {
      if (!receive()) {
        throw PartFailure(SubjectStatus::missing, "connection closed after " +
                                                      std::to_string(answer_.size()) +
                                                      " bytes, before the whole answer");
      }
    }
  }

  /// The bytes received so far; grows with receive().
  [[nodiscard]] std::string& answer() noexcept { return answer_; }

 private:
  /// Throws PartFailure(`deadline_exceeded`) once the deadline has passed; returns when the
  /// socket is ready for `events` (an error or hang-up counts as ready: the next call reports it).
  void waitFor(short events) {
    pollfd watched{socket_, events, 0};
    for (;;) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline_ - SteadyClock::now());
      if (left.count() <= 0) {
        throw PartFailure(
            SubjectStatus::deadline_exceeded,
            "no whole answer within the budget (" +
                (stage_.empty() ? std::to_string(received_) + " bytes received" : stage_) + ")");
      }
      const int ready =
          ::poll(&watched, 1, static_cast<int>(std::min<std::int64_t>(left.count(), INT_MAX)));
      if (ready > 0) return;
      if (ready < 0 && errno != EINTR) fail(-1, "cannot wait for the part");
    }
  }

  /// retryIo waiting for the socket until the deadline (then throwing); -1 keeps the error's
  /// cause for fail().
  template <typename Attempt>
  ssize_t retry(Attempt attempt, short events) {
    return retryIo(ssl_, attempt, events, [this](short wanted) {
      waitFor(wanted);
      return true;
    });
  }

  /// Throws PartFailure(`missing`, "WHAT: REASON") when `done` is negative, REASON what OpenSSL
  /// or the system said.
  static void fail(ssize_t done, std::string_view what) {
    if (done >= 0) return;
    const unsigned long error = ERR_peek_error();
    const char* reason = error != 0   ? ERR_reason_error_string(error)
                         : errno != 0 ? std::strerror(errno)
                                      : "connection closed";
    throw PartFailure(SubjectStatus::missing,
                      std::string(what) + ": " + (reason != nullptr ? reason : "unknown"));
  }

  const ClientSetup& setup_;
  SteadyClock::time_point deadline_;
  int socket_ = -1;
  SSL* ssl_ = nullptr;
  std::string stage_ = "not connected";
  std::string answer_;
  // What answer_ holds of the answer: it is made longer while a read waits.
  std::size_t received_ = 0;
};

/// The body of a chunked answer from `at` on (chunk extensions and trailers skipped).
std::string unchunked(Exchange& exchange, std::size_t at, std::size_t max_bytes) {
  std::string body;
  const auto line = [&] {
    std::size_t end = 0;
    while ((end = exchange.answer().find('\n', at)) == std::string::npos) {
      if (exchange.answer().size() - at > kMaxHeadBytes) refuse("malformed chunked body");
      exchange.need(at, exchange.answer().size() - at + 1);
    }
    std::string_view text = std::string_view(exchange.answer()).substr(at, end - at);
    at = end + 1;
    return std::string(text.substr(0, text.find_last_not_of('\r') + 1));
  };
  for (;;) {
    const std::string size_line = line();
    std::size_t size = 0;
    const char* const end = size_line.data() + size_line.size();
    const auto [stop, error] = std::from_chars(size_line.data(), end, size, 16);
    if (error != std::errc{} || stop == size_line.data() ||
        (stop != end && *stop != ';' && *stop != ' ' && *stop != '\t')) {
      refuse("malformed chunked body");
    }
    if (size == 0) break;
    if (size > max_bytes) tooLarge(max_bytes);
    exchange.need(at, size + 2);
    body.append(exchange.answer(), at, size);
    if (exchange.answer().compare(at + size, 2, "\r\n") != 0) refuse("malformed chunked body");
    at += size + 2;
  }
  while (!line().empty()) {
  }
  return body;
}

SnapshotPart exchanged(const std::string& id, const PartUrl& url, std::string_view query,
                       const ClientSetup& setup, SteadyClock::time_point deadline) {
  Exchange exchange(setup, deadline);
  exchange.connect(url);
  if (url.tls) exchange.secure(url);
  std::string request = "GET " + url.path + "?" + std::string(query) +
                        " HTTP/1.1\r\nHost: " + url.authority +
                        "\r\nAccept: application/json\r\nAccept-Encoding: identity\r\n";
  if (url.tls && !setup.authorization.empty()) {
    request += "Authorization: " + setup.authorization + "\r\n";
  }
  exchange.send(request + "Connection: close\r\n\r\n");

  // Interim answers (100 Continue and the like) come before the one that counts.
  std::string& answer = exchange.answer();
  Head head;
  std::size_t body_at = 0;
  // The head ends at the first empty line, "\r\n" or "\n" (the earlier of the two).
  const auto head_end = [&] {
    return std::min(answer.find("\n\r\n", body_at), answer.find("\n\n", body_at));
  };
  do {
    std::size_t end = std::string::npos;
    while ((end = head_end()) == std::string::npos) {
      if (answer.size() - body_at > kMaxHeadBytes) {
        refuse("answer head larger than " + std::to_string(kMaxHeadBytes) + " bytes");
      }
      exchange.need(body_at, answer.size() - body_at + 1);
    }
    head = readHead(std::string_view(answer).substr(body_at, end + 1 - body_at));
    body_at = end + (answer[end + 1] == '\r' ? 3 : 2);
  } while (head.status < 200);

  if (head.status != 200) {
    std::string cause = "HTTP " + std::to_string(head.status);
    if (!head.reason.empty()) cause += " " + head.reason;
    // The first line of a short text the part explains itself with, when it arrives in time.
    if (head.text && !head.chunked && head.content_length.value_or(kMaxHeadBytes) < kMaxHeadBytes) {
      try {
        exchange.need(body_at, static_cast<std::size_t>(*head.content_length));
        const std::string_view said = std::string_view(answer).substr(body_at);
        const std::string_view first = trimmed(said.substr(0, said.find_first_of("\r\n")));
        if (!first.empty()) cause += ": " + printable(first);
      } catch (const PartFailure&) {
        // The status says enough.
      }
    }
    throw PartFailure(SubjectStatus::missing, cause);
  }
  if (!head.content_encoding.empty() && !equalsIgnoringCase(head.content_encoding, "identity")) {
    refuse("answer in content encoding " + head.content_encoding + ", which was not asked for");
  }
  std::string chunked_body;
  std::string_view body;
  if (head.chunked) {
    chunked_body = unchunked(exchange, body_at, setup.max_answer_bytes);
    body = chunked_body;
  } else if (head.content_length) {
    if (*head.content_length > setup.max_answer_bytes) {
      tooLarge(setup.max_answer_bytes);
    }
    const auto length = static_cast<std::size_t>(*head.content_length);
    answer.reserve(body_at + length);
    exchange.need(body_at, length);
    body = std::string_view(answer).substr(body_at, length);
  } else {
    while (exchange.receive()) {
    }
    body = std::string_view(answer).substr(body_at);
  }
  try {
    return {id, readRuntimeState(body), SubjectStatus::missing, ""};
  } catch (const DocumentError& error) {
    std::string_view reason = error.what();
    reason.remove_prefix(std::min(reason.find(": ") + 2, reason.size()));
    refuse("byte " + std::to_string(error.offset()) + ": " + std::string(reason));
  }
}

}  // namespace

std::optional<PartUrl> parsePartUrl(std::string_view url) {
  PartUrl parsed;
  std::string_view rest = url;
  if (rest.starts_with("https://")) {
    parsed.tls = true;
    rest.remove_prefix(8);
  } else if (rest.starts_with("http://")) {
    rest.remove_prefix(7);
  } else {
    return std::nullopt;
  }
  const std::string_view authority = rest.substr(0, rest.find('/'));
  std::string_view prefix = rest.substr(authority.size());
  while (prefix.ends_with('/'))
    prefix.remove_suffix(1);
  if (prefix.find_first_not_of(kPathBytes) != std::string_view::npos) return std::nullopt;
  std::string_view host = authority;
  std::string_view port;
  if (authority.starts_with('[')) {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(1, close - 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty() && !after.starts_with(':')) return std::nullopt;
    if (!after.empty()) port = after.substr(1);
    std::array<unsigned char, sizeof(in6_addr)> address{};
    if (::inet_pton(AF_INET6, std::string(host).c_str(), address.data()) != 1) {
      return std::nullopt;
    }
  } else {
    const std::size_t colon = authority.find(':');
    if (colon != std::string_view::npos) {
      host = authority.substr(0, colon);
      port = authority.substr(colon + 1);
    }
    if (host.find_first_not_of(kHostBytes) != std::string_view::npos) return std::nullopt;
  }
  parsed.port = parsed.tls ? 443 : 80;
  if (port.data() != nullptr) {
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), parsed.port);
    if (port.empty() || error != std::errc{} || end != port.data() + port.size() ||
        parsed.port == 0) {
      return std::nullopt;
    }
  }
  if (host.empty()) return std::nullopt;
  parsed.host = host;
  parsed.authority = authority;
  parsed.path = std::string(prefix) + "/snapshot";
  parsed.snapshot =
      std::string(parsed.tls ? "https://" : "http://") + std::string(authority) + parsed.path;
  return parsed;
}

SnapshotPart askPart(const std::string& id, const PartUrl& url, std::string_view query,
                     const ClientSetup& setup, SteadyClock::time_point deadline) {
  try {
    return exchanged(id, url, query, setup, deadline);
  } catch (const PartFailure& failure) {
    return {id, std::nullopt, failure.status(), url.snapshot + ": " + failure.what()};
  } catch (const std::exception& error) {
    // Out of memory or resources on our side: the part is not to blame, but it gave nothing.
    return {id, std::nullopt, SubjectStatus::missing, url.snapshot + ": " + error.what()};
  }
}

}  // namespace Quillon::Core::Monitoring::Http
