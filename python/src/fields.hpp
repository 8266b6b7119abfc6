// Records as Python classes: one table of fields per record gives its attributes, its keyword
// constructor, its equality and its repr, so that no binding restates a member by hand.
//
// Guarantees: an attribute holds only values of its member's type and range (see values.hpp);
// a nested record, dict or list, once Python has it, is held as that Python object, so that
// assigning through it (`o.observed.attributes["queue"] = "4"`) changes the record that holds it.
// Records compare by value; they are mutable and therefore unhashable. Everything here needs the
// GIL.
#ifndef QUILLON_PYTHON_FIELDS_HPP
#define QUILLON_PYTHON_FIELDS_HPP

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include <pybind11/pybind11.h>

#include "values.hpp"

namespace Quillon::Core::Monitoring::Python {

/// A member kept as the core's value until Python first reads it, and from then on as the
/// Python object made of it (or assigned to it), which is the truth: assignments through it
/// reach the owner. Reading a document or capturing makes no Python object nobody asks for.
template <typename Value>
struct Lazy {
  /// The truth while `object` is null.
  Value value{};
  py::object object;
};

/// How a Value crosses to Python and back; specialised beside each record with kOptional
/// (whether None stands for an empty std::optional), check(object, name) (raises unless `object`
/// may be assigned), toObject(Value&&) (a new object, or None for an empty optional) and
/// toValue(object, name) (the core's copy of an object that passed check).
template <typename Value>
struct Crossing;

/// Returns the core's copy of what `lazy` holds.
template <typename Value>
[[nodiscard]] Value valueOf(const Lazy<Value>& lazy, const char* name) {
  return lazy.object ? Crossing<Value>::toValue(lazy.object, name) : lazy.value;
}

template <typename Value>
[[nodiscard]] py::object toPython(Lazy<Value>& lazy) {
  if (!lazy.object) {
    py::object made = Crossing<Value>::toObject(std::move(lazy.value));
    lazy.value = Value{};
    if (made.is_none()) return made;
    lazy.object = std::move(made);
  }
  return lazy.object;
}

template <typename Value>
void assign(Lazy<Value>& lazy, py::handle value, const char* name) {
  if (Crossing<Value>::kOptional && value.is_none()) {
    lazy = {};
    return;
  }
  Crossing<Value>::check(value, name);
  lazy.object = py::reinterpret_borrow<py::object>(value);
  lazy.value = Value{};
}

/// What a record's Python class looks like; specialised beside each record with kName, kFields
/// (an array of Field), kPositional (how many leading fields may be given by position) and
/// kRequired (how many leading fields must be given).
template <typename Record>
struct Layout;

/// Returns a new Python object of `Record` that takes `value` over.
template <typename Record>
[[nodiscard]] py::object adopt(Record value) {
  auto owned = std::make_unique<Record>(std::move(value));
  py::object object = py::cast(owned.get(), py::return_value_policy::take_ownership);
  owned.release();
  return object;
}

/// Raises TypeError naming `name` unless `value` is a `Record` (or None when `optional`).
template <typename Record>
void checkType(py::handle value, const char* name, bool optional) {
  if (!py::isinstance<Record>(value)) {
    raise(PyExc_TypeError, std::string(name) + " must be " + Layout<Record>::kName +
                               (optional ? " or None" : "") + ", not " + typeName(value));
  }
}

/// One attribute of a record.
template <typename Record>
struct Field {
  const char* name;
  py::object (*get)(Record&);
  void (*set)(Record&, py::handle, const char*);
  bool (*equal)(Record&, Record&);
};

template <typename Value>
requires(!std::is_base_of_v<py::handle, Value>)
    [[nodiscard]] bool same(const Value& left, const Value& right) {
  return left == right;
}

[[nodiscard]] inline bool same(const py::handle& left, const py::handle& right) {
  const int equal = PyObject_RichCompareBool(left.ptr(), right.ptr(), Py_EQ);
  if (equal < 0) throw py::error_already_set();
  return equal == 1;
}

template <typename Value>
[[nodiscard]] bool same(Lazy<Value>& left, Lazy<Value>& right) {
  if (!left.object && !right.object) return left.value == right.value;
  return same(toPython(left), toPython(right));
}

template <auto Member>
struct MemberOf;

template <typename Record, typename Value, Value Record::*Member>
struct MemberOf<Member> {
  using Owner = Record;
};

/// Returns the field `name` of the member `Member`.
template <auto Member>
[[nodiscard]] constexpr Field<typename MemberOf<Member>::Owner> field(const char* name) {
  using Record = typename MemberOf<Member>::Owner;
  return {name, [](Record& record) -> py::object { return toPython(record.*Member); },
          [](Record& record, py::handle value, const char* field) {
            assign(record.*Member, value, field);
          },
          [](Record& left, Record& right) { return same(left.*Member, right.*Member); }};
}

/// Returns the position of the field named `key`; the number of fields when there is none.
template <typename Record>
std::size_t fieldAt(py::handle key) {
  constexpr auto& fields = Layout<Record>::kFields;
  // Keyword names in a call are interned, so comparing addresses almost always decides. Made at
  // the first call and kept for the life of the process.
  static const auto* const interned = [] {
    auto* names = new std::array<PyObject*, fields.size()>();
    for (std::size_t at = 0; at < fields.size(); ++at)
      (*names)[at] = PyUnicode_InternFromString(fields[at].name);
    return names;
  }();
  for (std::size_t at = 0; at < fields.size(); ++at) {
    if ((*interned)[at] == key.ptr()) return at;
  }
  std::size_t at = 0;
  while (at < fields.size() && PyUnicode_CompareWithASCIIString(key.ptr(), fields[at].name) != 0)
    ++at;
  return at;
}

/// Raises TypeError with `message` after the name of `Record`'s constructor.
template <typename Record>
[[noreturn]] void refuseCall(const std::string& message) {
  raise(PyExc_TypeError, std::string(Layout<Record>::kName) + "() " + message);
}

/// Fills `record` from a call's arguments the way a Python function with the record's fields as
/// parameters would: at most kPositional by position, the rest by keyword, kRequired required.
template <typename Record>
void construct(Record& record, const py::args& args, const py::kwargs& kwargs) {
  using RecordLayout = Layout<Record>;
  constexpr auto& fields = RecordLayout::kFields;
  if (args.size() > RecordLayout::kPositional) {
    refuseCall<Record>("takes at most " + std::to_string(RecordLayout::kPositional) +
                       " positional arguments (" + std::to_string(args.size()) + " given)");
  }
  std::array<bool, fields.size()> given{};
  for (std::size_t at = 0; at < args.size(); ++at) {
    fields[at].set(record, args[at], fields[at].name);
    given[at] = true;
  }
  for (const auto& [key, value] : kwargs) {
    const std::size_t at = fieldAt<Record>(key);
    if (at == fields.size()) {
      refuseCall<Record>("got an unexpected keyword argument " + std::string(py::repr(key)));
    }
    if (given[at]) {
      refuseCall<Record>("got multiple values for argument '" + std::string(fields[at].name) + "'");
    }
    fields[at].set(record, value, fields[at].name);
    given[at] = true;
  }
  for (std::size_t at = 0; at < RecordLayout::kRequired; ++at) {
    if (!given[at]) {
      refuseCall<Record>("missing required argument '" + std::string(fields[at].name) + "'");
    }
  }
}

/// Defines the Python class of `Record` in `module`: the constructor, one attribute per field,
/// ==, != and repr. Its __module__ is the package's, where users import it from.
template <typename Record>
py::class_<Record> bindRecord(py::module_& module, const char* doc) {
  using RecordLayout = Layout<Record>;
  py::class_<Record> type(module, RecordLayout::kName, doc);
  type.def(py::init([](const py::args& args, const py::kwargs& kwargs) {
    Record record;
    construct(record, args, kwargs);
    return record;
  }));
  for (const Field<Record>& each : RecordLayout::kFields) {
    type.def_property(each.name,
                      py::cpp_function([each](Record& record) { return each.get(record); }),
                      py::cpp_function([each](Record& record, py::handle value) {
                        each.set(record, value, each.name);
                      }));
  }
  type.def("__eq__", [](Record& record, py::handle other) -> py::object {
    if (!py::isinstance<Record>(other))
      return py::reinterpret_borrow<py::object>(Py_NotImplemented);
    auto& right = other.cast<Record&>();
    for (const Field<Record>& each : RecordLayout::kFields) {
      if (!each.equal(record, right)) return py::bool_(false);
    }
    return py::bool_(true);
  });
  type.def("__repr__", [](Record& record) {
    py::list parts;
    for (const Field<Record>& each : RecordLayout::kFields)
      parts.append(py::str("{}={!r}").format(each.name, each.get(record)));
    return py::str("{}({})").format(RecordLayout::kName, py::str(", ").attr("join")(parts));
  });
  type.attr("__hash__") = py::none();
  type.attr("__module__") = "quillon_monitoring";
  return type;
}

}  // namespace Quillon::Core::Monitoring::Python

#endif  // QUILLON_PYTHON_FIELDS_HPP
