#include "part_options.hpp"

#include <stdexcept>

namespace Quillon::Tools::State {

std::vector<std::pair<std::string, std::string>> splitParts(const std::vector<std::string>& specs,
                                                            std::string_view value_name) {
  std::vector<std::pair<std::string, std::string>> named;
  for (const std::string& spec : specs) {
    const std::size_t equals = spec.find('=');
    if (equals == 0 || equals == std::string::npos || equals + 1 == spec.size()) {
      throw std::runtime_error("--part: expected ID=" + std::string(value_name) + ": " + spec);
    }
    std::string id = spec.substr(0, equals);
    for (const auto& other : named) {
      if (other.first == id) throw std::runtime_error("--part: part " + id + " given twice");
    }
    named.emplace_back(std::move(id), spec.substr(equals + 1));
  }
  return named;
}

}  // namespace Quillon::Tools::State
