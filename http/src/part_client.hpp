// One exchange with one part: GET its /snapshot over HTTP or HTTPS and read the answer, every
// step (name lookup aside) bounded by one deadline and the answer by a byte count.
//
// Guarantees: askPart returns by the deadline (plus the time to check the body it has read, and
// a name lookup the resolver holds longer) and never throws: what a part does, and what our side
// runs out of, become the part's status and diagnostic. Answers are read as HTTP/1.1 with
// Content-Length, chunked or close-delimited bodies; nothing is followed (redirects) or decoded
// (content encodings).
#ifndef QUILLON_MONITORING_HTTP_PART_CLIENT_HPP
#define QUILLON_MONITORING_HTTP_PART_CLIENT_HPP

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <quillon/monitoring/compose.hpp>

#include "tls_context.hpp"

namespace Quillon::Core::Monitoring::Http {

/// A part's base URL taken apart.
struct PartUrl {
  bool tls = false;
  std::string host;       // as connected to and verified: brackets of an IPv6 address removed
  std::string authority;  // HOST[:PORT] as written, for the Host header
  std::uint16_t port = 0;
  std::string path;      // PREFIX/snapshot, as asked for
  std::string snapshot;  // SCHEME://AUTHORITY/PREFIX/snapshot, what diagnostics name
};

/// Returns the parts of "http://HOST[:PORT][/PREFIX]" or "https://...", or nothing when the text
/// is not such a URL (user information, query, fragment, a byte outside a URL path's, a port
/// that is not a decimal from 1 to 65535). A trailing "/" of PREFIX is dropped.
/// Example: parsePartUrl("http://[::1]:9464/")->snapshot == "http://[::1]:9464/snapshot"
[[nodiscard]] std::optional<PartUrl> parsePartUrl(std::string_view url);

/// What every exchange of a gatherer shares: loaded once, read by all its threads.
struct ClientSetup {
  TlsContext tls;             // null until an https:// part needs one
  std::string server_name;    // the name checked against certificates; empty: each URL's host
  std::string authorization;  // "Basic ..." or empty
  std::size_t max_answer_bytes = 0;
};

/// Asks `url` for PREFIX/snapshot?`query` and returns the part `id` it gives, reading until
/// `deadline` at the latest.
[[nodiscard]] SnapshotPart askPart(const std::string& id, const PartUrl& url,
                                   std::string_view query, const ClientSetup& setup,
                                   std::chrono::steady_clock::time_point deadline);

}  // namespace Quillon::Core::Monitoring::Http

#endif  // QUILLON_MONITORING_HTTP_PART_CLIENT_HPP
