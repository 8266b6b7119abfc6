#include "web_config.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <stdexcept>
#include <string_view>
#include <vector>

#include <yaml-cpp/yaml.h>

namespace Quillon::Core::Monitoring::Http {

namespace {

constexpr std::string_view kBcryptAlphabet =
    "./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

/// The whole content of `path`; throws std::runtime_error("cannot read WHAT PATH: REASON").
std::string readWhole(const std::string& path, std::string_view what = "web config") {
  // The system would read the name only up to a NUL byte: another file than the one named.
  if (path.find('\0') != std::string::npos) {
    throw std::invalid_argument(std::string(what) + " file name holds a NUL byte");
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    throw std::runtime_error("cannot read " + std::string(what) + " " + path + ": " +
                             std::strerror(errno));
  }
  std::string text;
  std::array<char, 4096> buffer{};
  for (std::size_t got = 0; (got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0;) {
    text.append(buffer.data(), got);
  }
  const int error = std::ferror(file) != 0 ? errno : 0;
  std::fclose(file);
  if (error != 0) {
    throw std::runtime_error("cannot read " + std::string(what) + " " + path + ": " +
                             std::strerror(error));
  }
  return text;
}

/// "$2y$", "$2b$" or "$2a$", a cost from 04 to 31, "$" and 53 characters of bcrypt's base 64.
bool isBcryptHash(std::string_view hash) {
  if (hash.size() != 60 || hash.substr(0, 2) != "$2" || hash.find_first_of("yba") != 2 ||
      hash[3] != '$' || hash[6] != '$') {
    return false;
  }
  const std::string_view cost = hash.substr(4, 2);
  if (cost < "04" || cost > "31" || cost[1] < '0' || cost[1] > '9') return false;
  return hash.find_first_not_of(kBcryptAlphabet, 7) == std::string_view::npos;
}

bool isUserName(std::string_view name) {
  if (name.empty()) return false;
  for (const char byte : name) {
    const auto code = static_cast<unsigned char>(byte);
    if (byte == ':' || code < 0x20 || code == 0x7F) return false;
  }
  return true;
}

/// Reads the nodes of one file, failing with its name and the line of the offending node.
class Reader {
 public:
  explicit Reader(std::string path) : path_(std::move(path)) {
    base_ = std::filesystem::path(path_).parent_path();
  }

  [[noreturn]] void fail(const YAML::Mark& mark, std::string_view cause) const {
    // yaml-cpp counts lines from 0, and has no position for an empty document.
    const int line = mark.line < 0 ? 1 : mark.line + 1;
    throw std::invalid_argument(path_ + ":" + std::to_string(line) + ": " + std::string(cause));
  }

  /// One entry of a mapping: its key, where the key stands, and its value.
  struct Entry {
    std::string key;
    YAML::Mark mark;
    YAML::Node value;
  };

  /// The entries of the mapping `node`, each key checked against `known` (when not empty) and
  /// given once.
  std::vector<Entry> entries(const YAML::Node& node, std::string_view what,
                             const std::vector<std::string>& known,
                             std::string_view expected) const {
    if (!node.IsMap()) fail(node.Mark(), std::string(what) + ": expected a mapping");
    std::vector<Entry> found;
    std::set<std::string, std::less<>> seen;
    for (const auto& entry : node) {
      if (!entry.first.IsScalar()) fail(entry.first.Mark(), std::string(what) + ": expected a key");
      const std::string& key = entry.first.Scalar();
      if (!known.empty() && std::find(known.begin(), known.end(), key) == known.end()) {
        fail(entry.first.Mark(), std::string(what) + ": unknown key \"" + key + "\" (expected " +
                                     std::string(expected) + ")");
      }
      if (!seen.insert(key).second) {
        fail(entry.first.Mark(), std::string(what) + ": key \"" + key + "\" given twice");
      }
      found.push_back({key, entry.first.Mark(), entry.second});
    }
    return found;
  }

  /// The non-empty text of the scalar value of `entry`.
  std::string text(const Entry& entry, std::string_view expected) const {
    if (!entry.value.IsScalar() || entry.value.Scalar().empty()) {
      fail(entry.mark, entry.key + ": expected " + std::string(expected));
    }
    return entry.value.Scalar();
  }

  /// The value of `entry` as a YAML boolean written true or false.
  bool flag(const Entry& entry) const {
    const std::string value = text(entry, "true or false");
    if (value != "true" && value != "false")
      fail(entry.mark, entry.key + ": expected true or false");
    return value == "true";
  }

  /// The one YAML document of the file, or a null node when the file holds none.
  YAML::Node document() const {
    std::vector<YAML::Node> documents;
    try {
      documents = YAML::LoadAll(readWhole(path_));
    } catch (const YAML::Exception& error) {
      fail(error.mark, error.msg);
    }
    if (documents.size() > 1) fail(documents[1].Mark(), "expected one YAML document");
    return documents.empty() ? YAML::Node() : documents.front();
  }

  /// The value of `entry` as a path: absolute as it is, relative to the config file's directory.
  std::string file(const Entry& entry) const {
    const std::string name = text(entry, "a file name");
    // OpenSSL would open the name only up to a NUL byte: another file than the one named.
    if (name.find('\0') != std::string::npos) fail(entry.mark, entry.key + ": holds a NUL byte");
    const std::filesystem::path given(name);
    return given.is_absolute() ? given.string() : (base_ / given).string();
  }

 private:
  std::string path_;
  std::filesystem::path base_;
};

ClientAuth clientAuthOf(const Reader& reader, const Reader::Entry& entry) {
  constexpr std::array<std::string_view, 5> kNames = {
      "NoClientCert", "RequestClientCert", "RequireAnyClientCert", "VerifyClientCertIfGiven",
      "RequireAndVerifyClientCert"};
  const std::string name = reader.text(entry, "a client_auth_type");
  for (std::size_t at = 0; at < kNames.size(); ++at) {
    if (name == kNames[at]) return static_cast<ClientAuth>(at);
  }
  reader.fail(entry.mark,
              "client_auth_type: expected NoClientCert, RequestClientCert, RequireAnyClientCert, "
              "VerifyClientCertIfGiven or RequireAndVerifyClientCert");
}

TlsServerConfig tlsOf(const Reader& reader, const YAML::Node& node) {
  TlsServerConfig tls;
  YAML::Mark auth_type;
  YAML::Mark ca_file;
  for (const Reader::Entry& entry : reader.entries(
           node, "tls_server_config",
           {"cert_file", "key_file", "client_ca_file", "client_auth_type", "min_version"},
           "cert_file, key_file, client_ca_file, client_auth_type or min_version")) {
    if (entry.key == "cert_file") tls.cert_file = reader.file(entry);
    if (entry.key == "key_file") tls.key_file = reader.file(entry);
    if (entry.key == "client_ca_file") {
      tls.client_ca_file = reader.file(entry);
      ca_file = entry.mark;
    }
    if (entry.key == "client_auth_type") {
      tls.client_auth_type = clientAuthOf(reader, entry);
      auth_type = entry.mark;
    }
    if (entry.key == "min_version") {
      const std::string version = reader.text(entry, "TLS12 or TLS13");
      if (version != "TLS12" && version != "TLS13") {
        reader.fail(entry.mark, "min_version: expected TLS12 or TLS13");
      }
      tls.min_version = version == "TLS12" ? TlsVersion::tls12 : TlsVersion::tls13;
    }
  }
  if (tls.cert_file.empty() || tls.key_file.empty()) {
    reader.fail(node.Mark(), "tls_server_config: cert_file and key_file are required");
  }
  const bool verifies = tls.client_auth_type == ClientAuth::verify_client_cert_if_given ||
                        tls.client_auth_type == ClientAuth::require_and_verify_client_cert;
  if (verifies && tls.client_ca_file.empty()) {
    reader.fail(auth_type, "client_auth_type: verifying client certificates needs client_ca_file");
  }
  if (!tls.client_ca_file.empty() && tls.client_auth_type == ClientAuth::no_client_cert) {
    reader.fail(ca_file,
                "client_ca_file: given, but client_auth_type asks for no client certificate");
  }
  return tls;
}

std::map<std::string, std::string, std::less<>> usersOf(const Reader& reader,
                                                        const YAML::Node& node) {
  std::map<std::string, std::string, std::less<>> users;
  for (const Reader::Entry& entry : reader.entries(node, "basic_auth_users", {}, "")) {
    if (!isUserName(entry.key)) {
      reader.fail(entry.mark,
                  "basic_auth_users: a user name is empty or holds \":\" or a "
                  "control character");
    }
    const std::string hash = reader.text(entry, "a bcrypt hash");
    if (!isBcryptHash(hash)) {
      reader.fail(entry.mark, "basic_auth_users: the hash of \"" + entry.key +
                                  "\" is not a bcrypt hash ($2y$, $2b$ or $2a$, cost 04 to 31)");
    }
    users.emplace(entry.key, hash);
  }
  if (users.empty()) reader.fail(node.Mark(), "basic_auth_users: expected at least one user");
  return users;
}

TlsClientConfig tlsClientOf(const Reader& reader, const YAML::Node& node) {
  TlsClientConfig tls;
  for (const Reader::Entry& entry :
       reader.entries(node, "tls_config",
                      {"ca_file", "cert_file", "key_file", "server_name", "insecure_skip_verify"},
                      "ca_file, cert_file, key_file, server_name or insecure_skip_verify")) {
    if (entry.key == "ca_file") tls.ca_file = reader.file(entry);
    if (entry.key == "cert_file") tls.cert_file = reader.file(entry);
    if (entry.key == "key_file") tls.key_file = reader.file(entry);
    if (entry.key == "server_name") tls.server_name = reader.text(entry, "a host name");
    if (entry.key == "insecure_skip_verify") tls.insecure_skip_verify = reader.flag(entry);
  }
  if (tls.cert_file.empty() != tls.key_file.empty()) {
    reader.fail(node.Mark(), "tls_config: cert_file and key_file go together");
  }
  return tls;
}

BasicAuthCredentials basicAuthOf(const Reader& reader, const YAML::Node& node) {
  BasicAuthCredentials credentials;
  std::optional<std::string> password;
  for (const Reader::Entry& entry :
       reader.entries(node, "basic_auth", {"username", "password", "password_file"},
                      "username, password or password_file")) {
    if (entry.key == "username") {
      credentials.username = reader.text(entry, "a user name");
      if (!isUserName(credentials.username)) {
        reader.fail(entry.mark, "username: holds \":\" or a control character");
      }
    }
    if (password && entry.key != "username") {
      reader.fail(entry.mark, "basic_auth: password and password_file exclude each other");
    }
    if (entry.key == "password") password = reader.text(entry, "a password");
    if (entry.key == "password_file") {
      const std::string text = readWhole(reader.file(entry), "password file");
      const std::size_t first = text.find_first_not_of(" \t\r\n");
      const std::size_t last = text.find_last_not_of(" \t\r\n");
      password = first == std::string::npos ? "" : text.substr(first, last + 1 - first);
    }
  }
  if (credentials.username.empty() || !password) {
    reader.fail(node.Mark(), "basic_auth: username and password (or password_file) are required");
  }
  credentials.password = std::move(*password);
  return credentials;
}

}  // namespace

ClientConfig readClientConfig(const std::string& path) {
  const Reader reader(path);
  const YAML::Node document = reader.document();
  ClientConfig config;
  if (document.IsNull()) return config;
  for (const Reader::Entry& entry : reader.entries(
           document, "client config", {"tls_config", "basic_auth"}, "tls_config or basic_auth")) {
    if (entry.key == "tls_config") config.tls_config = tlsClientOf(reader, entry.value);
    if (entry.key == "basic_auth") config.basic_auth = basicAuthOf(reader, entry.value);
  }
  return config;
}

WebConfig readWebConfig(const std::string& path) {
  const Reader reader(path);
  const YAML::Node document = reader.document();
  WebConfig config;
  if (document.IsNull()) return config;
  for (const Reader::Entry& entry :
       reader.entries(document, "web config", {"tls_server_config", "basic_auth_users"},
                      "tls_server_config or basic_auth_users")) {
    if (entry.key == "tls_server_config") config.tls_server_config = tlsOf(reader, entry.value);
    if (entry.key == "basic_auth_users") config.basic_auth_users = usersOf(reader, entry.value);
  }
  return config;
}

}  // namespace Quillon::Core::Monitoring::Http
