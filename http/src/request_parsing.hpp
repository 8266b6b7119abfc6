// What the exporter reads from a request before anything is captured: the barrier a query string
// asks for, the listen address, and the Accept and Accept-Encoding choices.
//
// Guarantees: a query is accepted only when every parameter is known, given once and holds a
// plain decimal in range (a duration for budget); otherwise the reason is one line naming the
// parameter, with every byte outside printable ASCII written %XX. Nothing here throws.
#ifndef QUILLON_MONITORING_HTTP_REQUEST_PARSING_HPP
#define QUILLON_MONITORING_HTTP_REQUEST_PARSING_HPP

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <quillon/monitoring/http_exporter.hpp>

namespace Quillon::Core::Monitoring::Http {

/// A query string read: the request, or (when `error` is not empty) why it was refused.
struct ParsedQuery {
  BarrierRequest request;
  std::string error;
};

/// Reads a raw query string (the text after "?", percent-encoded; empty pairs are skipped).
/// Example: parseQuery("epoch=4&budget=2s").request.budget_ns == 2'000'000'000
[[nodiscard]] ParsedQuery parseQuery(std::string_view query);

/// Where to listen: a host name or address (brackets of an IPv6 address removed) and a port.
struct Endpoint {
  std::string host;
  std::uint16_t port = 0;
};

/// Returns the endpoint of "ADDRESS:PORT" ("[::1]:9464" for IPv6), or nothing when the address is
/// empty or the port is not a decimal from 0 to 65535.
[[nodiscard]] std::optional<Endpoint> parseEndpoint(std::string_view text);

/// Tells whether an Accept header asks for OpenMetrics text: it names
/// application/openmetrics-text with a weight above 0 that no entry for plain text (text/plain,
/// text/* or */*) exceeds. Example: prefersOpenMetrics("*/*") == false
[[nodiscard]] bool prefersOpenMetrics(std::string_view accept);

/// Tells whether an Accept-Encoding header accepts gzip ("gzip", "x-gzip" or "*" with a weight
/// above 0).
[[nodiscard]] bool acceptsGzip(std::string_view accept_encoding);

}  // namespace Quillon::Core::Monitoring::Http

#endif  // QUILLON_MONITORING_HTTP_REQUEST_PARSING_HPP
