// An HTTP exporter for the state a SnapshotBarrier (or any capture) yields: Prometheus scrapes
// GET /metrics, people and tools fetch GET /snapshot, with TLS and basic authentication configured
// by the web config file every Prometheus exporter reads.
//
// Guarantees: an exporter serves only as configured or not at all: the constructor returns
// listening with its whole configuration (certificate, key, users) loaded, or throws. A request
// without the credentials the configuration asks for never reaches the capture function, nor does
// one whose query is malformed. Captures run one at a time, on an exporter thread. Every wait on
// a client is bounded (request size, idle time, time to send a request or take an answer), so a
// slow or hostile client holds a connection for seconds, never forever. Needs no third-party
// header: the implementation keeps its HTTP, TLS and YAML libraries to itself.
#ifndef QUILLON_MONITORING_HTTP_EXPORTER_HPP
#define QUILLON_MONITORING_HTTP_EXPORTER_HPP

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <quillon/monitoring/snapshot.hpp>

namespace Quillon::Core::Monitoring {

/// What one request asks of a capture: each member is set when the query string names it.
struct BarrierRequest {
  std::optional<std::uint64_t> epoch;             // ?epoch=N
  std::optional<std::uint64_t> barrier_sequence;  // ?barrier_sequence=N
  std::optional<std::int64_t> logical_time;       // ?logical_time=N
  std::optional<std::uint64_t> budget_ns;         // ?budget=DURATION ("250ms", "2s")

  friend bool operator==(const BarrierRequest&, const BarrierRequest&) = default;
};

/// Captures the state a request asks for. May throw anything: a standard exception becomes the
/// answer "500 capture failed: WHAT", any other "500 capture failed: unknown exception".
using CaptureFunction = std::function<RuntimeStateSnapshot(const BarrierRequest&)>;

/// Where and how an exporter serves.
struct HttpExporterOptions {
  std::string listen = "127.0.0.1:9464";  // "ADDRESS:PORT", "[::1]:PORT"; port 0 picks a free port
  std::string web_config_file;            // empty: plain HTTP, no authentication
};

/// Returns the duration written as a whole number followed at once by a unit, "ms", "s" or "m"
/// ("250ms", "2s", "1m"), when it is positive and below 2^63 ns; nothing otherwise (no sign,
/// fraction, space, other unit or overflow). Pure. Example: parseDuration("2s") == 2'000'000'000ns
[[nodiscard]] std::optional<std::chrono::nanoseconds> parseDuration(std::string_view text);

/// Serves GET/HEAD /metrics (OpenMetrics or Prometheus text), /snapshot (the runtime-state
/// document) and / (a page linking both) from a capture per request, on threads of its own.
/// Thread-safe; neither copyable nor movable.
class HttpExporter {
 public:
  /// Reads the web config, binds and starts serving; returns listening. Throws
  /// std::invalid_argument for an empty `capture`, a malformed `listen` or web config
  /// ("FILE:LINE: CAUSE") and std::runtime_error for what the system refuses (an address it
  /// cannot bind, a port in use, a file it cannot read, a certificate or key OpenSSL rejects),
  /// what() naming the cause.
  HttpExporter(HttpExporterOptions options, CaptureFunction capture);

  /// Stops accepting, closes idle connections, and waits for the requests in flight.
  ~HttpExporter();

  HttpExporter(const HttpExporter&) = delete;
  HttpExporter& operator=(const HttpExporter&) = delete;

  /// Returns the port actually bound (the free port chosen for port 0).
  [[nodiscard]] std::uint16_t port() const noexcept;

  /// Tells whether connections speak TLS (the web config has a tls_server_config).
  [[nodiscard]] bool secure() const noexcept;

 private:
  struct Serving;
  std::unique_ptr<Serving> serving_;
};

}  // namespace Quillon::Core::Monitoring

#endif  // QUILLON_MONITORING_HTTP_EXPORTER_HPP
