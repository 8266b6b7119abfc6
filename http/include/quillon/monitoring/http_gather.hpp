// Asking the parts of one system, each served over HTTP or HTTPS by an exporter, for their
// snapshots of one barrier, all at once, so that compose() can make the system's snapshot of them.
//
// Guarantees: a gather never waits past its budget plus kGatherGraceNs, whatever a part does
// (refuses, never answers, trickles bytes, sends an endless body, stalls a TLS handshake): the
// whole exchange with each part, from name lookup to the last byte, is bounded by one deadline,
// and the parts are asked on threads of their own at the same time. Every part gives exactly one
// SnapshotPart: its snapshot when it answered 200 with a valid runtime-state document in time;
// otherwise `deadline_exceeded`, `missing` or `invalid` with a one-line diagnostic naming the URL
// asked. Nothing a part sends throws. Credentials travel only over TLS. Needs no third-party
// header: the implementation keeps its TLS and YAML libraries to itself.
#ifndef QUILLON_MONITORING_HTTP_GATHER_HPP
#define QUILLON_MONITORING_HTTP_GATHER_HPP

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <quillon/monitoring/compose.hpp>
#include <quillon/monitoring/http_exporter.hpp>

namespace Quillon::Core::Monitoring {

/// The budget of a gather whose request names none: one second.
inline constexpr std::uint64_t kDefaultGatherBudgetNs = 1'000'000'000;

/// How long past its budget a gather may take to collect what its parts gave: 50 ms.
inline constexpr std::uint64_t kGatherGraceNs = 50'000'000;

/// One part of a system as a gatherer reaches it: the id it is composed under, and the base URL
/// of its exporter, "http://HOST[:PORT][/PREFIX]" or "https://..." (HOST a name, an IPv4 address
/// or a bracketed IPv6 one); the gatherer asks PREFIX + "/snapshot".
struct PartSource {
  std::string id;
  std::string url;

  friend bool operator==(const PartSource&, const PartSource&) = default;
};

/// How a gatherer talks to its parts.
struct HttpClientOptions {
  /// The client config: tls_config and basic_auth as a Prometheus scrape job writes them;
  /// empty: the system's trusted CAs and no credentials.
  std::string web_config_file;
  /// The largest answer read from one part, head and body; a larger one makes the part
  /// `invalid`.
  std::size_t max_answer_bytes = std::size_t{64} * 1024 * 1024;
};

/// Asks a fixed set of parts for their snapshots of the barriers it is given.
/// Thread-safe: gathers may run at once. Neither copyable nor movable.
class HttpGatherer {
 public:
  /// Checks the parts and reads the client config and the files it names. Throws
  /// std::invalid_argument for no part, an empty or repeated id ("part ID given twice"), a URL
  /// that is not one ("part ID: expected http://HOST[:PORT][/PREFIX] or https://...: URL"),
  /// credentials that would cross plain HTTP ("part ID: basic_auth is sent over https:// only:
  /// URL") or a malformed config ("FILE:LINE: CAUSE"), and std::runtime_error for a file it
  /// cannot read or a certificate or key OpenSSL rejects.
  HttpGatherer(std::vector<PartSource> parts, HttpClientOptions options);

  /// Waits for the exchanges that a gather left behind past its grace (a name lookup stalled in
  /// the resolver): they end at their deadline, a lookup when the resolver gives up.
  ~HttpGatherer();

  HttpGatherer(const HttpGatherer&) = delete;
  HttpGatherer& operator=(const HttpGatherer&) = delete;

  /// Asks every part's /snapshot for `request` at once: the query names the request's epoch,
  /// barrier_sequence and logical_time when set, and budget always (the request's, or
  /// kDefaultGatherBudgetNs, in whole milliseconds). Returns one part per source, in the order
  /// given, within the budget plus kGatherGraceNs: a part whose whole answer has not been read
  /// and checked by then is `deadline_exceeded`; one that cannot be reached, refuses TLS or
  /// answers a status other than 200 `missing`; one whose answer is not HTTP, is larger than
  /// max_answer_bytes or whose body is not a valid runtime-state document `invalid`. Example
  /// diagnostic: "http://10.0.0.7:9464/snapshot: cannot connect: Connection refused"
  [[nodiscard]] std::vector<SnapshotPart> gather(const BarrierRequest& request) const;

 private:
  struct Reaching;
  std::unique_ptr<Reaching> reaching_;
};

}  // namespace Quillon::Core::Monitoring

#endif  // QUILLON_MONITORING_HTTP_GATHER_HPP
