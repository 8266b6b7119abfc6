// Records as Python classes: a Python record holds the core's own record, and one table of fields
// per record gives its attributes, its keyword constructor, its equality, its repr and its
// conversion back to the core, so that no binding restates a member by hand.
//
// Guarantees: an attribute holds only values of its member's type and range (see values.hpp). A
// member that crosses as a Python object (a section, a map, the subjects) stays the core's value
// until Python reads or assigns it, and from then on is that Python object, which assignments
// through it (`o.observed.attributes["queue"] = "4"`) reach: reading a document or capturing makes
// no Python object nobody asks for. Records compare by value; they are mutable and therefore
// unhashable. Everything here needs the GIL.
#ifndef QUILLON_PYTHON_FIELDS_HPP
#define QUILLON_PYTHON_FIELDS_HPP

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <pybind11/pybind11.h>

#include "values.hpp"

namespace Quillon::Core::Monitoring::Python {

/// How many members of `Core` cross as Python objects; specialised beside each record.
template <typename Core>
inline constexpr std::size_t kObjectMembers = 0;

/// Python's record of the core's `Core`. `objects[i]`, once present, is the truth for the i-th
/// member that crosses as an object, and the core's member is then left empty.
template <typename Core>
struct Record {
  Core value;
  std::array<py::object, kObjectMembers<Core>> objects;
};

/// How a member's value crosses as a Python object. This primary template is for a member that
/// is a record of its own; specialisations give the same four for the other kinds: kOptional
/// (whether None stands for an empty value), check(object, name) (raises unless `object` may be
/// assigned), toObject(value) (a new object, None for an empty optional) and toValue(object,
/// name) (the core's copy of an object that passed check).
template <typename Value>
struct Crossing;

/// What a record's Python class looks like; specialised beside each record with kName, kFields
/// (an array of Field) and, when not zero, kPositional (how many leading fields may be given by
/// position) and kRequired (how many leading fields must be given).
template <typename Core>
struct Layout;

/// One attribute of a record.
template <typename Core>
struct Field {
  const char* name;
  py::object (*get)(Record<Core>&);
  void (*set)(Record<Core>&, py::handle, const char*);
  bool (*equal)(Record<Core>&, Record<Core>&);
  /// Copies the member's Python object into the core's record; null for a plain member.
  void (*store)(const Record<Core>&, Core&, const char*);
};

/// Returns a new Python record that takes `value` over.
template <typename Core>
[[nodiscard]] py::object newRecord(Core value) {
  auto owned = std::make_unique<Record<Core>>(Record<Core>{std::move(value), {}});
  py::object object = py::cast(owned.get(), py::return_value_policy::take_ownership);
  owned.release();
  return object;
}

/// Returns the record that `value` holds when it is a Python record of `Core` made by its
/// constructor; null for anything else, including an instance made by __new__ alone.
template <typename Core>
[[nodiscard]] Record<Core>* recordOf(py::handle value) {
  // Found once: pybind11's lookup by C++ type hashes the type's name at every call, which was
  // half of what a capture does per probe. Kept for the life of the process, as the class is.
  static const py::detail::type_info* const type = py::detail::get_type_info(typeid(Record<Core>));
  if (PyObject_TypeCheck(value.ptr(), type->type) == 0) return nullptr;
  const py::detail::value_and_holder held =
      reinterpret_cast<py::detail::instance*>(value.ptr())->get_value_and_holder(type, false);
  return held && held.holder_constructed() ? static_cast<Record<Core>*>(held.value_ptr()) : nullptr;
}

/// Returns the core's copy of `record`. Raises when a member's object holds what its member
/// cannot: a dict entry that is not str, a list item that is not a record of its kind.
template <typename Core>
[[nodiscard]] Core toCore(const Record<Core>& record) {
  Core value = record.value;
  for (const Field<Core>& each : Layout<Core>::kFields) {
    if (each.store != nullptr) each.store(record, value, each.name);
  }
  return value;
}

/// Raises TypeError naming `name` unless `value` is a Python record of `Core` (or None when
/// `optional`).
template <typename Core>
void checkRecord(py::handle value, const char* name, bool optional) {
  if (recordOf<Core>(value) == nullptr) {
    raise(PyExc_TypeError, std::string(name) + " must be " + Layout<Core>::kName +
                               (optional ? " or None" : "") + ", not " + typeName(value));
  }
}

template <typename Value>
struct Crossing {
  static constexpr bool kOptional = false;

  static void check(py::handle value, const char* name) { checkRecord<Value>(value, name, false); }
  static py::object toObject(Value&& value) { return newRecord(std::move(value)); }
  static Value toValue(py::handle value, const char* /*name*/) {
    return toCore(*recordOf<Value>(value));
  }
};

template <typename Value>
struct Crossing<std::optional<Value>> {
  static constexpr bool kOptional = true;

  static void check(py::handle value, const char* name) { checkRecord<Value>(value, name, true); }
  static py::object toObject(std::optional<Value>&& value) {
    return value ? newRecord(std::move(*value)) : py::none();
  }
  static std::optional<Value> toValue(py::handle value, const char* /*name*/) {
    return toCore(*recordOf<Value>(value));
  }
};

template <auto Member>
struct MemberOf;

template <typename Core, typename Value, Value Core::*Member>
struct MemberOf<Member> {
  using Owner = Core;
  using Type = Value;
};

[[nodiscard]] inline bool same(py::handle left, py::handle right) {
  const int equal = PyObject_RichCompareBool(left.ptr(), right.ptr(), Py_EQ);
  if (equal < 0) throw py::error_already_set();
  return equal == 1;
}

/// Returns the field `name` of the plain member `Member`, held in the core's record.
template <auto Member>
[[nodiscard]] constexpr Field<typename MemberOf<Member>::Owner> field(const char* name) {
  using Core = typename MemberOf<Member>::Owner;
  return {name, [](Record<Core>& record) { return toPython(record.value.*Member); },
          [](Record<Core>& record, py::handle value, const char* field) {
            assign(record.value.*Member, value, field);
          },
          [](Record<Core>& left, Record<Core>& right) {
            return left.value.*Member == right.value.*Member;
          },
          nullptr};
}

/// Returns the object of the member `Member`, which crosses as `objects[Index]`, making it from
/// the core's value at the first call; None (never held) for an empty optional.
template <auto Member, std::size_t Index>
[[nodiscard]] py::object heldObject(Record<typename MemberOf<Member>::Owner>& record) {
  using Value = typename MemberOf<Member>::Type;
  py::object& held = record.objects[Index];
  if (held) return held;
  py::object made = Crossing<Value>::toObject(std::move(record.value.*Member));
  if (!made.is_none()) held = made;
  return made;
}

/// Returns the field `name` of the member `Member`, which crosses as the Python object
/// `objects[Index]`.
template <auto Member, std::size_t Index>
[[nodiscard]] constexpr Field<typename MemberOf<Member>::Owner> object(const char* name) {
  using Core = typename MemberOf<Member>::Owner;
  using Value = typename MemberOf<Member>::Type;
  using Cross = Crossing<Value>;
  static_assert(Index < kObjectMembers<Core>);
  return {name, &heldObject<Member, Index>,
          [](Record<Core>& record, py::handle value, const char* field) {
            if (!(Cross::kOptional && value.is_none())) Cross::check(value, field);
            record.objects[Index] =
                value.is_none() ? py::object() : py::reinterpret_borrow<py::object>(value);
            record.value.*Member = Value{};  // what the object replaces is never read again
          },
          [](Record<Core>& left, Record<Core>& right) {
            if (!left.objects[Index] && !right.objects[Index]) {
              return left.value.*Member == right.value.*Member;
            }
            return same(heldObject<Member, Index>(left), heldObject<Member, Index>(right));
          },
          [](const Record<Core>& record, Core& value, const char* field) {
            if (const py::object& held = record.objects[Index]) {
              value.*Member = Cross::toValue(held, field);
            }
          }};
}

/// Returns the position of the field named `key`; the number of fields when there is none.
template <typename Core>
std::size_t fieldAt(py::handle key) {
  constexpr auto& fields = Layout<Core>::kFields;
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

/// Raises TypeError with `message` after the name of the record's constructor.
template <typename Core>
[[noreturn]] void refuseCall(const std::string& message) {
  raise(PyExc_TypeError, std::string(Layout<Core>::kName) + "() " + message);
}

/// Fills `record` from a call's arguments the way a Python function with the record's fields as
/// parameters would: at most kPositional by position, the rest by keyword, kRequired required.
template <typename Core>
void construct(Record<Core>& record, const py::args& args, const py::kwargs& kwargs) {
  using RecordLayout = Layout<Core>;
  constexpr auto& fields = RecordLayout::kFields;
  constexpr std::size_t positional = [] {
    if constexpr (requires { RecordLayout::kPositional; }) return RecordLayout::kPositional;
    return std::size_t{0};
  }();
  if (args.size() > positional) {
    refuseCall<Core>("takes at most " + std::to_string(positional) + " positional arguments (" +
                     std::to_string(args.size()) + " given)");
  }
  std::array<bool, fields.size()> given{};
  for (std::size_t at = 0; at < args.size(); ++at) {
    fields[at].set(record, args[at], fields[at].name);
    given[at] = true;
  }
  for (const auto& [key, value] : kwargs) {
    const std::size_t at = fieldAt<Core>(key);
    if (at == fields.size()) {
      refuseCall<Core>("got an unexpected keyword argument " + std::string(py::repr(key)));
    }
    if (given[at]) {
      refuseCall<Core>("got multiple values for argument '" + std::string(fields[at].name) + "'");
    }
    fields[at].set(record, value, fields[at].name);
    given[at] = true;
  }
  if constexpr (requires { RecordLayout::kRequired; }) {
    for (std::size_t at = 0; at < RecordLayout::kRequired; ++at) {
      if (!given[at]) {
        refuseCall<Core>("missing required argument '" + std::string(fields[at].name) + "'");
      }
    }
  }
}

/// Defines the Python class of `Core`'s record in `module`: the constructor, one attribute per
/// field, ==, != and repr. Its __module__ is the package's, where users import it from.
template <typename Core>
py::class_<Record<Core>> bindRecord(py::module_& module, const char* doc) {
  using RecordLayout = Layout<Core>;
  py::class_<Record<Core>> type(module, RecordLayout::kName, doc);
  type.def(py::init([](const py::args& args, const py::kwargs& kwargs) {
    Record<Core> record;
    construct(record, args, kwargs);
    return record;
  }));
  for (const Field<Core>& each : RecordLayout::kFields) {
    type.def_property(each.name,
                      py::cpp_function([each](Record<Core>& record) { return each.get(record); }),
                      py::cpp_function([each](Record<Core>& record, py::handle value) {
                        each.set(record, value, each.name);
                      }));
  }
  type.def("__eq__", [](Record<Core>& record, py::handle other) -> py::object {
    if (!py::isinstance<Record<Core>>(other)) {
      return py::reinterpret_borrow<py::object>(Py_NotImplemented);
    }
    auto& right = other.cast<Record<Core>&>();
    for (const Field<Core>& each : RecordLayout::kFields) {
      if (!each.equal(record, right)) return py::bool_(false);
    }
    return py::bool_(true);
  });
  type.def("__repr__", [](Record<Core>& record) {
    py::list parts;
    for (const Field<Core>& each : RecordLayout::kFields)
      parts.append(py::str("{}={!r}").format(each.name, each.get(record)));
    return py::str("{}({})").format(RecordLayout::kName, py::str(", ").attr("join")(parts));
  });
  // A copy is a record of its own, deep: shallow copies would share sections, maps and lists.
  const auto copy = [](const Record<Core>& record) { return newRecord(toCore(record)); };
  type.def("__copy__", copy);
  type.def("__deepcopy__", [copy](const Record<Core>& record, py::handle) { return copy(record); });
  type.attr("__hash__") = py::none();
  type.attr("__module__") = "quillon_monitoring";
  return type;
}

}  // namespace Quillon::Core::Monitoring::Python

#endif  // QUILLON_PYTHON_FIELDS_HPP
