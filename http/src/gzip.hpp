// gzip compression of an answer's body, through zlib.
//
// Guarantees: the result is one complete gzip member holding exactly `text`.
#ifndef QUILLON_MONITORING_HTTP_GZIP_HPP
#define QUILLON_MONITORING_HTTP_GZIP_HPP

#include <string>
#include <string_view>

namespace Quillon::Core::Monitoring::Http {

/// Returns `text` gzip-compressed at zlib's fastest level (an exposition's lines repeat so much
/// that level 1 keeps most of the gain at a third of the time of the default level). Throws
/// std::runtime_error("gzip compression failed") when zlib reports an error.
[[nodiscard]] std::string gzipped(std::string_view text);

}  // namespace Quillon::Core::Monitoring::Http

#endif  // QUILLON_MONITORING_HTTP_GZIP_HPP
