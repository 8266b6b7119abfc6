#include "values.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace Quillon::Core::Monitoring::Python {
namespace {

/// The Python class of one enumeration and its members, indexed by value.
struct EnumClass {
  py::object type;
  std::vector<py::object> members;
};

template <typename Enum>
EnumClass& enumClass() {
  // Filled at import and never destroyed: static destructors run after the interpreter is gone.
  static EnumClass* const table = new EnumClass();
  return *table;
}

template <typename Enum>
void loadEnumeration(const py::module_& base, const char* name, Enum last) {
  EnumClass& table = enumClass<Enum>();
  table.type = base.attr(name);
  const auto count = static_cast<std::size_t>(last) + 1;
  const auto mismatch = [name] {
    raise(PyExc_ImportError, std::string(name) + " does not hold the library's names and values");
  };
  std::size_t value = 0;
  for (const py::handle member : table.type) {
    if (value == count || member.cast<std::size_t>() != value ||
        py::str(member.attr("name")).cast<std::string>() != toString(static_cast<Enum>(value))) {
      mismatch();
    }
    table.members.push_back(py::reinterpret_borrow<py::object>(member));
    ++value;
  }
  if (value != count) mismatch();
}

template <typename Enum>
py::object enumMember(Enum value) {
  const EnumClass& table = enumClass<Enum>();
  const auto index = static_cast<std::size_t>(value);
  // A value outside the table has a name all the same (toString's fallback), and is that member.
  if (index >= table.members.size()) return table.type.attr(py::str(std::string(toString(value))));
  return table.members[index];
}

template <typename Enum>
void assignEnum(Enum& member, py::handle value, const char* name) {
  const EnumClass& table = enumClass<Enum>();
  // Another enumeration's member is an int too; taking it by value would mix up the tables.
  if (!PyObject_TypeCheck(value.ptr(), reinterpret_cast<PyTypeObject*>(table.type.ptr()))) {
    raise(PyExc_TypeError, std::string(name) + " must be " +
                               py::str(table.type.attr("__name__")).cast<std::string>() + ", not " +
                               typeName(value));
  }
  member = static_cast<Enum>(PyLong_AsLong(value.ptr()));
}

[[noreturn]] void outOfRange(const char* name, const char* range) {
  PyErr_Clear();
  raise(PyExc_OverflowError, std::string(name) + " must be an integer from " + range);
}

/// Returns the integer `value` stands for (an int or anything with __index__, never a bool).
py::object integer(py::handle value, const char* name) {
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
    raise(PyExc_TypeError, std::string(name) + " must be int, not " + typeName(value));
  }
  PyObject* index = PyNumber_Index(value.ptr());
  if (index == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(index);
}

void checkStrings(py::handle key, py::handle value, const char* name) {
  if (!PyUnicode_Check(key.ptr()) || !PyUnicode_Check(value.ptr())) {
    raise(PyExc_TypeError, std::string(name) + " must map str to str, not " + typeName(key) +
                               " to " + typeName(value));
  }
}

}  // namespace

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

std::string typeName(py::handle value) {
  return py::str(py::type::handle_of(value).attr("__qualname__")).cast<std::string>();
}

py::str toStr(std::string_view bytes) {
  PyObject* text =
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape");
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

std::string toBytes(py::handle text, const char* name) {
  if (!PyUnicode_Check(text.ptr())) {
    raise(PyExc_TypeError, std::string(name) + " must be str, not " + typeName(text));
  }
  Py_ssize_t size = 0;
  // The UTF-8 form is cached in the str (and is the str itself for ASCII): no encoding at all.
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) {
    return {utf8, static_cast<std::size_t>(size)};
  }
  // Lone surrogates: only the encoder with the error handler turns escaped bytes back.
  PyErr_Clear();
  PyObject* encoded = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogateescape");
  if (encoded == nullptr) throw py::error_already_set();
  const auto bytes = py::reinterpret_steal<py::bytes>(encoded);
  return {PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded))};
}

py::object toPython(const std::string& value) {
  return toStr(value);
}

py::object toPython(std::uint64_t value) {
  return py::reinterpret_steal<py::object>(PyLong_FromUnsignedLongLong(value));
}

py::object toPython(std::int64_t value) {
  return py::reinterpret_steal<py::object>(PyLong_FromLongLong(value));
}

py::object toPython(double value) {
  return py::float_(value);
}
py::object toPython(bool value) {
  return py::bool_(value);
}
py::object toPython(EntityKind value) {
  return enumMember(value);
}
py::object toPython(HealthState value) {
  return enumMember(value);
}
py::object toPython(LifecycleState value) {
  return enumMember(value);
}
py::object toPython(SnapshotStatus value) {
  return enumMember(value);
}
py::object toPython(SubjectStatus value) {
  return enumMember(value);
}

void assign(std::string& member, py::handle value, const char* name) {
  member = toBytes(value, name);
}

void assign(std::uint64_t& member, py::handle value, const char* name) {
  const py::object index = integer(value, name);
  const unsigned long long result = PyLong_AsUnsignedLongLong(index.ptr());
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    outOfRange(name, "0 to 18446744073709551615");
  }
  member = result;
}

void assign(std::int64_t& member, py::handle value, const char* name) {
  const py::object index = integer(value, name);
  const long long result = PyLong_AsLongLong(index.ptr());
  if (result == -1 && PyErr_Occurred() != nullptr) {
    outOfRange(name, "-9223372036854775808 to 9223372036854775807");
  }
  member = result;
}

void assign(double& member, py::handle value, const char* name) {
  const auto refuse = [&] {
    raise(PyExc_TypeError, std::string(name) + " must be float, not " + typeName(value));
  };
  if (PyBool_Check(value.ptr())) refuse();
  const double result = PyFloat_AsDouble(value.ptr());
  if (result == -1.0 && PyErr_Occurred() != nullptr) {
    // An int too large for a double keeps its OverflowError; anything that is no number is refused.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    refuse();
  }
  member = result;
}

void assign(bool& member, py::handle value, const char* name) {
  if (!PyBool_Check(value.ptr())) {
    raise(PyExc_TypeError, std::string(name) + " must be bool, not " + typeName(value));
  }
  member = value.ptr() == Py_True;
}

void assign(EntityKind& member, py::handle value, const char* name) {
  assignEnum(member, value, name);
}
void assign(HealthState& member, py::handle value, const char* name) {
  assignEnum(member, value, name);
}
void assign(LifecycleState& member, py::handle value, const char* name) {
  assignEnum(member, value, name);
}
void assign(SnapshotStatus& member, py::handle value, const char* name) {
  assignEnum(member, value, name);
}
void assign(SubjectStatus& member, py::handle value, const char* name) {
  assignEnum(member, value, name);
}

void checkStringMap(py::handle value, const char* name) {
  if (!PyDict_Check(value.ptr())) {
    raise(PyExc_TypeError, std::string(name) + " must be dict, not " + typeName(value));
  }
  PyObject* key = nullptr;
  PyObject* text = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(value.ptr(), &position, &key, &text))
    checkStrings(key, text, name);
}

py::dict toDict(const AttributeMap& map) {
  py::dict dict;
  for (const auto& [key, value] : map) {
    if (PyDict_SetItem(dict.ptr(), toStr(key).ptr(), toStr(value).ptr()) != 0) {
      throw py::error_already_set();
    }
  }
  return dict;
}

AttributeMap toMap(py::handle dict, const char* name) {
  AttributeMap map;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(dict.ptr(), &position, &key, &value)) {
    checkStrings(key, value, name);
    map.emplace(toBytes(key, name), toBytes(value, name));
  }
  return map;
}

std::shared_ptr<const py::object> sharedCallable(const py::object& callable) {
  return {new py::object(callable), [](const py::object* held) {
            const py::gil_scoped_acquire gil;
            delete held;
          }};
}

py::object callNoArgs(const py::object& callable) {
  PyObject* result = PyObject_CallNoArgs(callable.ptr());
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

Clock toClock(const py::object& clock) {
  if (clock.is_none()) return defaultClock;
  if (PyCallable_Check(clock.ptr()) == 0) {
    raise(PyExc_TypeError, "clock must be callable or None, not " + typeName(clock));
  }
  return [callable = sharedCallable(clock)]() -> std::uint64_t {
    const py::gil_scoped_acquire gil;
    try {
      return converted<std::uint64_t>(callNoArgs(*callable), "clock reading");
    } catch (py::error_already_set& error) {
      throw PythonEscape{std::move(error)};
    }
  };
}

std::string exceptionText(const py::error_already_set& error) {
  PyObject* text = PyObject_Str(error.value().ptr());
  if (text == nullptr) {
    py::error_already_set unprintable;
    if (!unprintable.matches(PyExc_Exception)) throw PythonEscape{std::move(unprintable)};
    // An exception that cannot say what it is still has a type that does.
    return typeName(error.value());
  }
  return toBytes(py::reinterpret_steal<py::str>(text), "diagnostic");
}

void loadEnumerations() {
  const py::module_ base = py::module_::import("quillon_monitoring._base");
  loadEnumeration(base, "EntityKind", EntityKind::unknown);
  loadEnumeration(base, "HealthState", HealthState::unhealthy);
  loadEnumeration(base, "LifecycleState", LifecycleState::unknown);
  loadEnumeration(base, "SnapshotStatus", SnapshotStatus::partial);
  loadEnumeration(base, "SubjectStatus", SubjectStatus::invalid);
}

}  // namespace Quillon::Core::Monitoring::Python
