#include "tls_context.hpp"

#include <stdexcept>
#include <string>

#include <openssl/err.h>

namespace Quillon::Core::Monitoring::Http {

namespace {

/// Throws std::runtime_error("FILE: WHAT: REASON") with the first reason OpenSSL queued.
[[noreturn]] void fail(const std::string& file, const std::string& what) {
  const unsigned long error = ERR_get_error();
  const char* const reason = error == 0 ? nullptr : ERR_reason_error_string(error);
  ERR_clear_error();
  throw std::runtime_error(file + ": " + what + ": " + (reason != nullptr ? reason : "unknown"));
}

/// Accepts whatever certificate a client sends, for the modes that ask for one without checking.
int acceptAny(int /*preverified*/, X509_STORE_CTX* /*store*/) {
  return 1;
}

/// A context of `method` offering TLS `min_version` and later, without renegotiation, that
/// retries a blocked write from wherever its buffer then is.
TlsContext newContext(const SSL_METHOD* method, int min_version, const std::string& named) {
  ERR_clear_error();
  TlsContext context(SSL_CTX_new(method));
  if (!context) fail(named, "cannot make a TLS context");
  SSL_CTX_set_min_proto_version(context.get(), min_version);
  SSL_CTX_set_options(context.get(), SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_mode(context.get(),
                   SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  return context;
}

/// Gives no pass phrase, noting in `asked` (a bool) that one was asked for: OpenSSL would
/// otherwise ask on the terminal, and wait for an answer.
int noPassphrase(char* /*buffer*/, int /*size*/, int /*writing*/, void* asked) {
  *static_cast<bool*>(asked) = true;
  return -1;
}

/// Loads a certificate chain and its private key, checking that they match.
void useCertificate(SSL_CTX* tls, const std::string& cert_file, const std::string& key_file) {
  bool encrypted = false;
  SSL_CTX_set_default_passwd_cb(tls, noPassphrase);
  SSL_CTX_set_default_passwd_cb_userdata(tls, &encrypted);
  const bool certified = SSL_CTX_use_certificate_chain_file(tls, cert_file.c_str()) == 1;
  const bool keyed =
      certified && SSL_CTX_use_PrivateKey_file(tls, key_file.c_str(), SSL_FILETYPE_PEM) == 1;
  SSL_CTX_set_default_passwd_cb_userdata(tls, nullptr);
  SSL_CTX_set_default_passwd_cb(tls, nullptr);
  if (!certified) fail(cert_file, "cannot load certificate");
  if (encrypted) {
    ERR_clear_error();
    throw std::runtime_error(key_file +
                             ": cannot load private key: encrypted keys are not supported");
  }
  if (!keyed) fail(key_file, "cannot load private key");
  if (SSL_CTX_check_private_key(tls) != 1) {
    fail(key_file, "private key does not match the certificate of " + cert_file);
  }
}

}  // namespace

TlsContext makeTlsContext(const TlsServerConfig& config) {
  TlsContext context = newContext(
      TLS_server_method(),
      config.min_version == TlsVersion::tls13 ? TLS1_3_VERSION : TLS1_2_VERSION, config.cert_file);
  SSL_CTX* const tls = context.get();
  SSL_CTX_set_options(tls, SSL_OP_CIPHER_SERVER_PREFERENCE);
  useCertificate(tls, config.cert_file, config.key_file);
  if (config.client_auth_type == ClientAuth::no_client_cert) return context;
  if (!config.client_ca_file.empty()) {
    if (SSL_CTX_load_verify_locations(tls, config.client_ca_file.c_str(), nullptr) != 1) {
      fail(config.client_ca_file, "cannot load client CA certificates");
    }
    // The names a client is told to pick its certificate by; the context owns the list.
    STACK_OF(X509_NAME)* const names = SSL_load_client_CA_file(config.client_ca_file.c_str());
    if (names == nullptr) fail(config.client_ca_file, "cannot load client CA certificates");
    SSL_CTX_set_client_CA_list(tls, names);
  }
  const bool required = config.client_auth_type == ClientAuth::require_any_client_cert ||
                        config.client_auth_type == ClientAuth::require_and_verify_client_cert;
  const bool checked = config.client_auth_type == ClientAuth::verify_client_cert_if_given ||
                       config.client_auth_type == ClientAuth::require_and_verify_client_cert;
  SSL_CTX_set_verify(tls, SSL_VERIFY_PEER | (required ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT : 0),
                     checked ? nullptr : acceptAny);
  // Resuming a session whose client was verified needs a context the session is bound to.
  static constexpr unsigned char kSessionContext[] = "quillon-monitoring";
  SSL_CTX_set_session_id_context(tls, kSessionContext, sizeof kSessionContext - 1);
  return context;
}

TlsContext makeClientTlsContext(const TlsClientConfig& config) {
  TlsContext context = newContext(TLS_client_method(), TLS1_2_VERSION,
                                  config.ca_file.empty() ? config.cert_file : config.ca_file);
  SSL_CTX* const tls = context.get();
  if (!config.cert_file.empty()) useCertificate(tls, config.cert_file, config.key_file);
  if (config.insecure_skip_verify) {
    SSL_CTX_set_verify(tls, SSL_VERIFY_NONE, nullptr);
    return context;
  }
  const int loaded = config.ca_file.empty()
                         ? SSL_CTX_set_default_verify_paths(tls)
                         : SSL_CTX_load_verify_locations(tls, config.ca_file.c_str(), nullptr);
  if (loaded != 1) {
    fail(config.ca_file.empty() ? "the system's CA store" : config.ca_file,
         "cannot load CA certificates");
  }
  SSL_CTX_set_verify(tls, SSL_VERIFY_PEER, nullptr);
  return context;
}

}  // namespace Quillon::Core::Monitoring::Http
