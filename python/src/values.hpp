// Single values crossing between Python objects and the core's members.
//
// Guarantees: strings cross as UTF-8 with the surrogateescape error handler both ways, so every
// byte string the core holds comes back to the same bytes; integers are checked against their
// member's range and never wrap; a bool is never taken for a number; an enumeration member is
// accepted only from its own class. Every refusal is a Python TypeError or OverflowError naming
// the member, raised as py::error_already_set. Everything here needs the GIL.
#ifndef QUILLON_PYTHON_VALUES_HPP
#define QUILLON_PYTHON_VALUES_HPP

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>
#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/snapshot.hpp>

namespace Quillon::Core::Monitoring::Python {

namespace py = pybind11;

/// A Python error on its way through the core, which catches standard exceptions as a probe's
/// failure: deliberately not a std::exception, so that it leaves capture. The module's exception
/// translator gives the error back to Python.
struct PythonEscape {
  py::error_already_set error;
};

/// Sets the Python error `type` with `message` and throws py::error_already_set.
[[noreturn]] void raise(PyObject* type, const std::string& message);

/// Returns the name of `value`'s type, as messages name it: "int", "NoneType".
[[nodiscard]] std::string typeName(py::handle value);

/// Returns `bytes` as a str, bytes that are not UTF-8 as lone surrogates (surrogateescape).
[[nodiscard]] py::str toStr(std::string_view bytes);

/// Returns the UTF-8 bytes of the str `text`, lone surrogates U+DC80 to U+DCFF as the bytes they
/// stand for. Raises TypeError naming `name` for anything but a str, UnicodeEncodeError for a
/// surrogate that stands for no byte.
[[nodiscard]] std::string toBytes(py::handle text, const char* name);

/// A member's value as a Python object: str, int, float, bool, None or an enumeration member.
[[nodiscard]] py::object toPython(const std::string& value);
[[nodiscard]] py::object toPython(std::uint64_t value);
[[nodiscard]] py::object toPython(std::int64_t value);
[[nodiscard]] py::object toPython(double value);
[[nodiscard]] py::object toPython(bool value);
[[nodiscard]] py::object toPython(EntityKind value);
[[nodiscard]] py::object toPython(HealthState value);
[[nodiscard]] py::object toPython(LifecycleState value);
[[nodiscard]] py::object toPython(SnapshotStatus value);
[[nodiscard]] py::object toPython(SubjectStatus value);

/// Stores `value` in `member` when it has the member's type and range; raises otherwise,
/// leaving `member` as it was. `name` names the member in the message.
void assign(std::string& member, py::handle value, const char* name);
void assign(std::uint64_t& member, py::handle value, const char* name);
void assign(std::int64_t& member, py::handle value, const char* name);
void assign(double& member, py::handle value, const char* name);
void assign(bool& member, py::handle value, const char* name);
void assign(EntityKind& member, py::handle value, const char* name);
void assign(HealthState& member, py::handle value, const char* name);
void assign(LifecycleState& member, py::handle value, const char* name);
void assign(SnapshotStatus& member, py::handle value, const char* name);
void assign(SubjectStatus& member, py::handle value, const char* name);

/// An optional member: None for an empty one, otherwise as its value.
template <typename Value>
[[nodiscard]] py::object toPython(const std::optional<Value>& value) {
  return value ? toPython(*value) : py::none();
}
template <typename Value>
void assign(std::optional<Value>& member, py::handle value, const char* name) {
  if (value.is_none()) {
    member.reset();
    return;
  }
  Value result{};
  assign(result, value, name);
  member = std::move(result);
}

/// Returns `value` as the member `name` holds it: a checked copy for an integer or a string.
template <typename Value>
[[nodiscard]] Value converted(py::handle value, const char* name) {
  Value result{};
  assign(result, value, name);
  return result;
}

/// Returns a new dict of `map`'s entries.
[[nodiscard]] py::dict toDict(const AttributeMap& map);

/// Raises TypeError naming `name` unless `value` is a dict that maps str to str.
void checkStringMap(py::handle value, const char* name);

/// Returns the entries of the dict `dict` as UTF-8 bytes. Raises TypeError naming `name` for a
/// key or value that is not a str.
[[nodiscard]] AttributeMap toMap(py::handle dict, const char* name);

/// Returns `callable` shared by the copies of a std::function, which may be copied and destroyed
/// without the GIL: only the last owner touches the reference count, holding the GIL.
[[nodiscard]] std::shared_ptr<const py::object> sharedCallable(const py::object& callable);

/// Returns what `callable` returns, called without arguments; throws py::error_already_set.
[[nodiscard]] py::object callNoArgs(const py::object& callable);

/// Returns the core's clock over the Python callable `clock` (defaultClock for None). Each
/// reading takes the GIL; anything the callable raises, and a reading that is not an unsigned
/// 64-bit int, leaves the core as a PythonEscape. Raises TypeError for a `clock` that cannot be
/// called.
[[nodiscard]] Clock toClock(const py::object& clock);

/// Returns str() of the exception `error` holds, as UTF-8 bytes, or the name of its type when
/// str() raises an Exception of its own. Throws PythonEscape when str() raises another
/// BaseException, py::error_already_set when the text holds a surrogate that stands for no byte.
[[nodiscard]] std::string exceptionText(const py::error_already_set& error);

/// Loads the enumeration classes of quillon_monitoring._base and checks that each holds exactly
/// the library's names and values; raises ImportError when one does not. Called once, at import.
void loadEnumerations();

}  // namespace Quillon::Core::Monitoring::Python

#endif  // QUILLON_PYTHON_VALUES_HPP
