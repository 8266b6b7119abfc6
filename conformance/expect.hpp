// The one check every scenario makes: a false condition ends the scenario with its message.
#ifndef QUILLON_CONFORMANCE_EXPECT_HPP
#define QUILLON_CONFORMANCE_EXPECT_HPP

#include <stdexcept>

namespace Quillon::Core::Monitoring::Conformance {

/// Returns when `condition` holds; otherwise throws std::runtime_error whose what() is exactly
/// `message`. Prints nothing, counts nothing.
inline void expect(bool condition, const char* message) {
  if (!condition) throw std::runtime_error(message);
}

}  // namespace Quillon::Core::Monitoring::Conformance

#endif  // QUILLON_CONFORMANCE_EXPECT_HPP
