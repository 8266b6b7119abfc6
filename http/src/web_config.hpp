// The web config file of an exporter: TLS and basic authentication in the format the exporters of
// the Prometheus ecosystem read (tls_server_config, basic_auth_users); and the client config of a
// gatherer, in the keys a Prometheus scrape job uses for the same (tls_config, basic_auth).
//
// Guarantees: a file is accepted only when every key is known and given once, every value has its
// expected shape and the settings make sense together; a typo never silently turns TLS or
// authentication off. Errors read "FILE:LINE: CAUSE". Relative paths are resolved against the
// directory of the file. Files the config names are not opened here.
#ifndef QUILLON_MONITORING_HTTP_WEB_CONFIG_HPP
#define QUILLON_MONITORING_HTTP_WEB_CONFIG_HPP

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace Quillon::Core::Monitoring::Http {

/// What a TLS server asks of a client's certificate (client_auth_type).
enum class ClientAuth : std::uint32_t {
  no_client_cert = 0,                  // NoClientCert: none asked for
  request_client_cert = 1,             // RequestClientCert: asked for, neither needed nor checked
  require_any_client_cert = 2,         // RequireAnyClientCert: needed, not checked
  verify_client_cert_if_given = 3,     // VerifyClientCertIfGiven: checked when sent
  require_and_verify_client_cert = 4,  // RequireAndVerifyClientCert: needed and checked
};

/// The lowest TLS version a server accepts (min_version).
enum class TlsVersion : std::uint32_t { tls12 = 0, tls13 = 1 };

/// The tls_server_config section, paths already resolved.
struct TlsServerConfig {
  std::string cert_file;
  std::string key_file;
  std::string client_ca_file;  // empty when not given
  ClientAuth client_auth_type = ClientAuth::no_client_cert;
  TlsVersion min_version = TlsVersion::tls12;
};

/// A whole web config. An empty file is plain HTTP without authentication.
struct WebConfig {
  std::optional<TlsServerConfig> tls_server_config;
  /// User name to bcrypt hash; empty when no authentication is asked for.
  std::map<std::string, std::string, std::less<>> basic_auth_users;
};

/// The tls_config section of a client config, paths already resolved; each empty when not given.
struct TlsClientConfig {
  std::string ca_file;    // empty: the system's trusted CAs
  std::string cert_file;  // with key_file: the certificate a client shows
  std::string key_file;
  std::string server_name;  // empty: the host of each URL
  bool insecure_skip_verify = false;
};

/// The basic_auth section of a client config: the password already read from password_file.
struct BasicAuthCredentials {
  std::string username;
  std::string password;
};

/// A whole client config. An empty file asks for nothing: the system's CAs, no credentials.
struct ClientConfig {
  TlsClientConfig tls_config;
  std::optional<BasicAuthCredentials> basic_auth;
};

/// Reads the web config file at `path`. Throws std::runtime_error("cannot read web config FILE:
/// REASON") when it cannot be read and std::invalid_argument("FILE:LINE: CAUSE") when it is not a
/// valid web config (YAML syntax, unknown or repeated key, missing cert_file or key_file, a
/// client_auth_type that verifies without client_ca_file, a user name or hash that is not one).
[[nodiscard]] WebConfig readWebConfig(const std::string& path);

/// Reads the client config file at `path` and the password_file it names (its content with
/// surrounding white space removed, as Prometheus reads it). Throws as readWebConfig does:
/// std::runtime_error for a file it cannot read (the config or the password file),
/// std::invalid_argument("FILE:LINE: CAUSE") for an unknown or repeated key, a value of the wrong
/// shape, cert_file without key_file or the reverse, password with password_file, a user name
/// that is empty or holds ":", or basic_auth without a password.
[[nodiscard]] ClientConfig readClientConfig(const std::string& path);

}  // namespace Quillon::Core::Monitoring::Http

#endif  // QUILLON_MONITORING_HTTP_WEB_CONFIG_HPP
