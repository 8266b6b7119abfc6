// The --part options of compose, gather and serve: each part of a system named ID=FILE or ID=URL.
//
// Guarantees: a part list is accepted only when every entry has a non-empty id and value and no
// id repeats; otherwise the error names the option and the entry.
#ifndef QUILLON_STATE_PART_OPTIONS_HPP
#define QUILLON_STATE_PART_OPTIONS_HPP

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Quillon::Tools::State {

/// Returns each "ID=VALUE" of `specs` as (ID, VALUE), in order. Throws std::runtime_error
/// ("--part: expected ID=VALUE: SPEC", VALUE being `value_name`) or ("--part: part ID given
/// twice"). Example: splitParts({"a=x.jsonl"}, "FILE") == {{"a", "x.jsonl"}}
[[nodiscard]] std::vector<std::pair<std::string, std::string>> splitParts(
    const std::vector<std::string>& specs, std::string_view value_name);

}  // namespace Quillon::Tools::State

#endif  // QUILLON_STATE_PART_OPTIONS_HPP
