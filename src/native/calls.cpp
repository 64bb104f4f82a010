#include "calls.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace tavrel_saml {

namespace detail {

int next_keyword_set() {
  static std::atomic<int> next{0};
  const int slot = next++;
  if (slot >= kMaxKeywordSets) {
    // Only a build with more keyword sets than the state has room for gets
    // here: caught by the first test that makes such a call.
    PyErr_SetString(PyExc_SystemError, "too many keyword sets");
    throw py::error_already_set();
  }
  return slot;
}

}  // namespace detail

namespace {

// The attribute, or null when it is absent; only AttributeError means so.
py::object optional_attr(py::handle object, py::handle name) {
  PyObject *value;
#if PY_VERSION_HEX >= 0x030D0000
  int found = PyObject_GetOptionalAttr(object.ptr(), name.ptr(), &value);
#else
  int found = _PyObject_LookupAttr(object.ptr(), name.ptr(), &value);
#endif
  if (found < 0) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(found ? value : nullptr);
}

}  // namespace

py::object get_attr_or_none(py::handle object, py::handle name) {
  py::object value = optional_attr(object, name);
  return value ? value : py::none();
}

bool has_attribute(py::handle object, py::handle name) {
  return static_cast<bool>(optional_attr(object, name));
}

void set_error_from_current_exception(PyObject *other) noexcept {
  try {
    throw;
  } catch (py::error_already_set &e) {
    e.restore();
  } catch (const py::builtin_exception &e) {
    e.set_error();
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
  } catch (const std::exception &e) {
    PyErr_SetString(other, e.what());
  } catch (...) {
    PyErr_SetString(other, "unknown C++ exception");
  }
}

double as_double(py::handle value) {
  const double number = PyFloat_AsDouble(value.ptr());
  if (number == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return number;
}

std::pair<py::object, py::object> unpack_pair(py::handle item) {
  if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2) {
    return {
        py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 0)),
        py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 1))};
  }
  py::object values = owned(PyObject_GetIter(item.ptr()));
  py::object unpacked[2];
  int count = 0;
  for (; count < 2; ++count) {
    PyObject *value = PyIter_Next(values.ptr());
    if (value == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      PyErr_Format(PyExc_ValueError,
                   "not enough values to unpack (expected 2, got %d)", count);
      throw py::error_already_set();
    }
    unpacked[count] = py::reinterpret_steal<py::object>(value);
  }
  PyObject *extra = PyIter_Next(values.ptr());
  if (extra != nullptr) {
    Py_DECREF(extra);
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    throw py::error_already_set();
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  return {std::move(unpacked[0]), std::move(unpacked[1])};
}

py::str concat(std::initializer_list<py::handle> parts) {
  Py_ssize_t length = 0;
  Py_UCS4 max_char = 0;
  for (py::handle part : parts) {
    if (!PyUnicode_Check(part.ptr())) {
      PyErr_Format(PyExc_TypeError, "expected str, got %.200s",
                   Py_TYPE(part.ptr())->tp_name);
      throw py::error_already_set();
    }
    length += PyUnicode_GET_LENGTH(part.ptr());
    max_char =
        std::max<Py_UCS4>(max_char, PyUnicode_MAX_CHAR_VALUE(part.ptr()));
  }
  py::object text = owned(PyUnicode_New(length, max_char));
  if (max_char < 0x80) {  // all ASCII: the bytes are the characters
    char *to = static_cast<char *>(PyUnicode_DATA(text.ptr()));
    for (py::handle part : parts) {
      const Py_ssize_t size = PyUnicode_GET_LENGTH(part.ptr());
      std::memcpy(to, PyUnicode_DATA(part.ptr()), size);
      to += size;
    }
    return py::reinterpret_steal<py::str>(text.release());
  }
  Py_ssize_t at = 0;
  for (py::handle part : parts) {
    const Py_ssize_t size = PyUnicode_GET_LENGTH(part.ptr());
    if (PyUnicode_CopyCharacters(text.ptr(), at, part.ptr(), 0, size) < 0) {
      throw py::error_already_set();
    }
    at += size;
  }
  return py::reinterpret_steal<py::str>(text.release());
}

py::str text_form(py::handle value) {
  if (PyUnicode_Check(value.ptr())) {
    return py::reinterpret_borrow<py::str>(value);
  }
  return py::reinterpret_steal<py::str>(
      owned(PyObject_Str(value.ptr())).release());
}

void set_context(py::handle exc, py::handle context) {
  if (!context || exc.is(context) ||
      !PyExceptionInstance_Check(context.ptr())) {
    return;
  }
  // The interpreter's own rule: walk the older contexts and cut the link
  // that leads back to `exc`, so that no chain ever loops. The walk is
  // bounded by a second pointer moving at half speed (a loop built by
  // someone else ends it too).
  PyObject *older = context.ptr();
  PyObject *slow = older;
  bool advance_slow = false;
  while (true) {
    PyObject *next = PyException_GetContext(older);  // new reference
    if (next == nullptr) break;
    Py_DECREF(next);  // kept alive by `older`, which holds it
    if (next == exc.ptr()) {
      PyException_SetContext(older, nullptr);
      break;
    }
    older = next;
    if (advance_slow) {
      PyObject *slow_next = PyException_GetContext(slow);
      Py_XDECREF(slow_next);
      slow = slow_next;
    }
    advance_slow = !advance_slow;
    if (older == slow) break;
  }
  PyException_SetContext(exc.ptr(), Py_NewRef(context.ptr()));
}

void raise_exception(py::object exc, py::handle context, py::handle cause) {
  if (!PyExceptionInstance_Check(exc.ptr())) {
    PyErr_SetString(PyExc_TypeError,
                    "exceptions must derive from BaseException");
    throw py::error_already_set();
  }
  set_context(exc, context);
  if (cause) {
    PyException_SetCause(exc.ptr(), Py_NewRef(cause.ptr()));
  }
  PyErr_SetRaisedException(exc.release().ptr());
  throw py::error_already_set();
}

void raise(py::handle type, py::handle arg, py::handle context) {
  raise_exception(call(type, arg), context);
}

void raise(py::handle type, const char *message, py::handle context) {
  raise(type, py::str(message), context);
}

py::object special_method(py::handle object, py::handle name) {
  PyTypeObject *type = Py_TYPE(object.ptr());
  PyObject *attribute = _PyType_Lookup(type, name.ptr());  // borrowed
  if (attribute == nullptr) {
    PyErr_Format(PyExc_TypeError,
                 "'%.200s' object does not support the context manager "
                 "protocol",
                 type->tp_name);
    throw py::error_already_set();
  }
  // The descriptor's __get__ may run host code that drops the type's last
  // reference to it.
  py::object held = py::reinterpret_borrow<py::object>(attribute);
  descrgetfunc get = Py_TYPE(attribute)->tp_descr_get;
  if (get == nullptr) return held;
  return owned(
      get(attribute, object.ptr(), reinterpret_cast<PyObject *>(type)));
}

}  // namespace tavrel_saml
