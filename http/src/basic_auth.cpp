#include "basic_auth.hpp"

#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <strings.h>

namespace Quillon::Core::Monitoring::Http {

namespace {

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

/// The bytes of padded base64 `text`, or nothing when it is anything else.
std::optional<std::string> base64Decoded(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0 || text.size() > 4096) return std::nullopt;
  const std::size_t padding = text.size() - (text.find_last_not_of('=') + 1);
  const std::size_t stray = text.find_first_not_of(kBase64Alphabet);
  if (padding > 2 || (stray != std::string_view::npos && stray != text.size() - padding)) {
    return std::nullopt;
  }
  std::string bytes(text.size() / 4 * 3, '\0');
  const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                      reinterpret_cast<const unsigned char*>(text.data()),
                                      static_cast<int>(text.size()));
  if (decoded < 0) return std::nullopt;
  // EVP_DecodeBlock counts the bytes that padding stands for as zeros.
  bytes.resize(static_cast<std::size_t>(decoded) - padding);
  return bytes;
}

}  // namespace

BasicAuth::BasicAuth(std::map<std::string, std::string, std::less<>> users)
    : users_(std::move(users)) {
  if (RAND_bytes(salt_.data(), static_cast<int>(salt_.size())) != 1) {
    throw std::runtime_error("cannot draw a random salt for the credentials cache");
  }
  verified_.reserve(kVerifiedCacheSize);
}

bool BasicAuth::allows(std::string_view authorization) {
  constexpr std::string_view kScheme = "basic ";
  if (users_.empty() || authorization.size() <= kScheme.size() ||
      ::strncasecmp(authorization.data(), kScheme.data(), kScheme.size()) != 0) {
    return false;
  }
  authorization.remove_prefix(kScheme.size());
  authorization.remove_prefix(std::min(authorization.find_first_not_of(' '), authorization.size()));
  const std::optional<std::string> credentials = base64Decoded(authorization);
  const std::size_t colon = credentials ? credentials->find(':') : std::string::npos;
  if (colon == std::string::npos) return false;
  const std::string password = credentials->substr(colon + 1);
  if (password.find('\0') != std::string::npos) return false;
  const auto user = users_.find(std::string_view(*credentials).substr(0, colon));
  const Digest digest = digestOf(*credentials);
  if (user != users_.end() && remembered(digest)) return true;
  // An unknown user costs a bcrypt check all the same, so that timing does not tell which user
  // names exist.
  const bool accepted =
      bcryptAccepts(password, user != users_.end() ? user->second : users_.begin()->second) &&
      user != users_.end();
  if (accepted) {
    const std::lock_guard lock(cache_mutex_);
    if (verified_.size() < kVerifiedCacheSize) {
      verified_.push_back(digest);
    } else {
      verified_[next_] = digest;
      next_ = (next_ + 1) % kVerifiedCacheSize;
    }
  }
  return accepted;
}

BasicAuth::Digest BasicAuth::digestOf(std::string_view credentials) const {
  std::string salted(reinterpret_cast<const char*>(salt_.data()), salt_.size());
  salted += credentials;
  Digest digest{};
  SHA256(reinterpret_cast<const unsigned char*>(salted.data()), salted.size(), digest.data());
  OPENSSL_cleanse(salted.data(), salted.size());
  return digest;
}

bool BasicAuth::remembered(const Digest& digest) {
  const std::lock_guard lock(cache_mutex_);
  bool found = false;
  for (const Digest& known : verified_) {
    found = CRYPTO_memcmp(known.data(), digest.data(), digest.size()) == 0 || found;
  }
  return found;
}

bool BasicAuth::bcryptAccepts(const std::string& password, const std::string& hash) {
  const std::lock_guard lock(bcrypt_mutex_);
  // crypt_data is tens of kilobytes: too much for a connection thread's stack.
  const auto data = std::make_unique<crypt_data>();
  const char* const result =
      ::crypt_rn(password.c_str(), hash.c_str(), data.get(), static_cast<int>(sizeof(crypt_data)));
  return result != nullptr && std::strlen(result) == hash.size() &&
         CRYPTO_memcmp(result, hash.data(), hash.size()) == 0;
}

}  // namespace Quillon::Core::Monitoring::Http
