// Basic authentication against bcrypt hashes.
//
// Guarantees: a request is let in only when its Authorization header carries a configured user
// and a password that libcrypt's bcrypt check accepts for that user's hash, the result compared in
// constant time. bcrypt is slow on purpose (tens of milliseconds), so credentials that passed it
// are remembered, as a salted SHA-256 digest of user and password (the salt random per process),
// in a cache of at most kVerifiedCacheSize entries: a scraper that sends the same credentials
// every time pays for bcrypt once. Checks that need bcrypt run one at a time, so a client guessing
// passwords occupies at most one core and never slows the clients the cache already knows.
#ifndef QUILLON_MONITORING_HTTP_BASIC_AUTH_HPP
#define QUILLON_MONITORING_HTTP_BASIC_AUTH_HPP

#include <array>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace Quillon::Core::Monitoring::Http {

/// The most credentials remembered as verified; the oldest is forgotten first.
inline constexpr std::size_t kVerifiedCacheSize = 64;

/// Checks Authorization headers against user names and their bcrypt hashes. Thread-safe.
class BasicAuth {
 public:
  /// Takes the users (name to bcrypt hash) that may come in.
  explicit BasicAuth(std::map<std::string, std::string, std::less<>> users);

  /// Tells whether `authorization`, the value of an Authorization header, is "Basic" and the
  /// base64 of "USER:PASSWORD" for a configured user and that user's password.
  [[nodiscard]] bool allows(std::string_view authorization);

 private:
  using Digest = std::array<unsigned char, 32>;

  [[nodiscard]] Digest digestOf(std::string_view credentials) const;
  [[nodiscard]] bool remembered(const Digest& digest);
  [[nodiscard]] bool bcryptAccepts(const std::string& password, const std::string& hash);

  std::map<std::string, std::string, std::less<>> users_;
  std::array<unsigned char, 16> salt_{};
  std::mutex cache_mutex_;
  std::vector<Digest> verified_;
  std::size_t next_ = 0;
  std::mutex bcrypt_mutex_;
};

}  // namespace Quillon::Core::Monitoring::Http

#endif  // QUILLON_MONITORING_HTTP_BASIC_AUTH_HPP
