// The OpenSSL server context of an exporter's tls_server_config.
//
// Guarantees: the context is returned whole (certificate chain, matching private key, client CA
// list and verification mode) or not at all; TLS below 1.2 and renegotiation are never offered.
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

}  // namespace Quillon::Core::Monitoring::Http

#endif  // QUILLON_MONITORING_HTTP_TLS_CONTEXT_HPP
