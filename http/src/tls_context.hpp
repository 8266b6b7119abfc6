// The OpenSSL server context of an exporter's tls_server_config, and the client context of a
// gatherer's tls_config.
//
// Guarantees: a context is returned whole (certificate chain, matching private key, CA list and
// verification mode) or not at all; TLS below 1.2 and renegotiation are never offered.
#ifndef QUILLON_MONITORING_HTTP_TLS_CONTEXT_HPP
#define QUILLON_MONITORING_HTTP_TLS_CONTEXT_HPP

#include <memory>

#include <openssl/ssl.h>

#include "web_config.hpp"

namespace Quillon::Core::Monitoring::Http {

/// Frees an SSL_CTX.
struct TlsContextFree {
  void operator()(SSL_CTX* context) const noexcept { SSL_CTX_free(context); }
};

/// An owned OpenSSL server context.
using TlsContext = std::unique_ptr<SSL_CTX, TlsContextFree>;

/// Returns a server context for `config`, its files read now. Throws std::runtime_error("FILE:
/// cannot load certificate: REASON"), "...cannot load private key...", "...private key does not
/// match the certificate" or "...cannot load client CA certificates..." with OpenSSL's reason.
[[nodiscard]] TlsContext makeTlsContext(const TlsServerConfig& config);

/// Returns a client context for `config`, its files read now: the server's certificate is
/// verified against ca_file (the system's trusted CAs when empty) unless insecure_skip_verify;
/// cert_file and key_file, when given, are shown to servers that ask. The name checked against
/// the certificate is set per connection. Throws std::runtime_error as makeTlsContext does, and
/// "...cannot load CA certificates...".
[[nodiscard]] TlsContext makeClientTlsContext(const TlsClientConfig& config);

}  // namespace Quillon::Core::Monitoring::Http

#endif  // QUILLON_MONITORING_HTTP_TLS_CONTEXT_HPP
