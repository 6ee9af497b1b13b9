#include "pyapi/args.hpp"

#include <cstring>

#include "pyref.hpp"

namespace kiv {

namespace {

std::string type_name(PyObject* obj) {
  PyRef name =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (name) {
    Py_ssize_t n;
    if (const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n)) return std::string(s, n);
  }
  PyErr_Clear();
  return "object";
}

bool type_error(const char* name, const std::string& message) {
  PyErr_Format(PyExc_TypeError, "argument '%s': %s", name, message.c_str());
  return false;
}

bool overflow() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  return false;
}

// Reads a str as UTF-8 without the argument prefix (used for items too).
bool utf8_of(PyObject* obj, std::string& out) {
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (!s) return false;
  out.assign(s, static_cast<std::size_t>(n));
  return true;
}

// An int, or any object with __index__, as a Python int.
PyRef as_index(PyObject* obj, const char* name) {
  PyRef idx = PyRef::steal(PyNumber_Index(obj));
  if (!idx) prefix_type_error(name);
  return idx;
}

}  // namespace

void prefix_type_error(const char* name) {
  if (!PyErr_Occurred()) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, tb);
    return;
  }
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef t = PyRef::steal(type), v = PyRef::steal(value), trace = PyRef::steal(tb);
  PyRef text = PyRef::steal(v ? PyObject_Str(v.get()) : nullptr);
  std::string msg;
  if (!text || !utf8_of(text.get(), msg)) PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "argument '%s': %s", name, msg.c_str());
  if (v) {
    if (PyObject* cause = PyException_GetCause(v.get())) {
      PyObject *nt, *nv, *ntb;
      PyErr_Fetch(&nt, &nv, &ntb);
      PyErr_NormalizeException(&nt, &nv, &ntb);
      PyException_SetCause(nv, cause);  // steals cause
      PyErr_Restore(nt, nv, ntb);
    }
  }
}

bool arg_str(PyObject* obj, const char* name, std::string& out) {
  if (!PyUnicode_Check(obj)) return type_error(name, "expected str, got " + type_name(obj));
  return utf8_of(obj, out);
}

bool arg_str_list(PyObject* obj, const char* name, std::vector<std::string>& out) {
  if (PyUnicode_Check(obj)) return type_error(name, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) return type_error(name, "expected a sequence, got " + type_name(obj));
  Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) {
    prefix_type_error(name);
    return false;
  }
  std::vector<std::string> items;
  items.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(obj, i));
    if (!item) {
      prefix_type_error(name);
      return false;
    }
    if (!PyUnicode_Check(item.get()))
      return type_error(name, "expected str items, got " + type_name(item.get()));
    std::string s;
    if (!utf8_of(item.get(), s)) return false;
    items.push_back(std::move(s));
  }
  out = std::move(items);
  return true;
}

bool arg_bool(PyObject* obj, const char* name, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  // NumPy's boolean scalar is accepted through its __bool__; ints are not.
  PyRef module =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__module__"));
  if (!module) PyErr_Clear();
  std::string mod, tname = type_name(obj);
  if (module && PyUnicode_Check(module.get()) && utf8_of(module.get(), mod) && mod == "numpy" &&
      (tname == "bool_" || tname == "bool")) {
    int v = PyObject_IsTrue(obj);
    if (v < 0) return false;
    out = v != 0;
    return true;
  }
  PyErr_Clear();
  return type_error(name, "expected bool, got " + tname);
}

bool arg_u64(PyObject* obj, const char* name, std::uint64_t& out) {
  PyRef idx = as_index(obj, name);
  if (!idx) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return overflow();
  }
  out = v;
  return true;
}

bool arg_i64(PyObject* obj, const char* name, std::int64_t& out) {
  PyRef idx = as_index(obj, name);
  if (!idx) return false;
  long long v = PyLong_AsLongLong(idx.get());
  if (v == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return overflow();
  }
  out = v;
  return true;
}

bool arg_u16(PyObject* obj, const char* name, std::uint16_t& out) {
  std::int64_t v;
  if (!arg_i64(obj, name, v)) return false;
  if (v < 0 || v > 65535) return overflow();
  out = static_cast<std::uint16_t>(v);
  return true;
}

bool arg_path(PyObject* obj, const char* name, std::string& out) {
  PyRef fs = PyRef::steal(PyOS_FSPath(obj));
  if (!fs) {
    prefix_type_error(name);
    return false;
  }
  if (!PyUnicode_Check(fs.get()))
    return type_error(name, "expected str, got " + type_name(fs.get()));
  PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(fs.get()));
  if (!encoded) return false;
  char* data;
  Py_ssize_t n;
  if (PyBytes_AsStringAndSize(encoded.get(), &data, &n) < 0) return false;
  out.assign(data, static_cast<std::size_t>(n));
  return true;
}

bool arg_header_pairs(PyObject* obj, const char* name,
                      std::vector<std::pair<std::string, std::string>>& out) {
  out.clear();
  if (obj == Py_None) return true;
  if (PyUnicode_Check(obj)) return type_error(name, "Can't extract `str` to `Vec`");
  if (PyDict_Check(obj) || !PySequence_Check(obj))
    return type_error(name, "expected a sequence of (str, str) tuples, got " + type_name(obj));
  Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) {
    prefix_type_error(name);
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(obj, i));
    if (!item) {
      prefix_type_error(name);
      return false;
    }
    if (!PyTuple_Check(item.get()) || PyTuple_Size(item.get()) != 2)
      return type_error(name, "expected (str, str) tuples, got " + type_name(item.get()));
    PyObject* k = PyTuple_GetItem(item.get(), 0);
    PyObject* v = PyTuple_GetItem(item.get(), 1);
    if (!PyUnicode_Check(k) || !PyUnicode_Check(v))
      return type_error(name, "header names and values must be str");
    std::string ks, vs;
    if (!utf8_of(k, ks) || !utf8_of(v, vs)) return false;
    out.emplace_back(std::move(ks), std::move(vs));
  }
  return true;
}

bool arg_byte_seq(PyObject* obj, const char* name, std::string& out) {
  out.clear();
  if (obj == Py_None) return true;
  if (PyBytes_Check(obj)) {
    char* data;
    Py_ssize_t n;
    if (PyBytes_AsStringAndSize(obj, &data, &n) < 0) return false;
    out.assign(data, static_cast<std::size_t>(n));
    return true;
  }
  if (PyUnicode_Check(obj)) return type_error(name, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj))
    return type_error(name, "expected a sequence of ints, got " + type_name(obj));
  Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) {
    prefix_type_error(name);
    return false;
  }
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(obj, i));
    if (!item) {
      prefix_type_error(name);
      return false;
    }
    std::int64_t v;
    if (!arg_i64(item.get(), name, v)) return false;
    if (v < 0 || v > 255) return overflow();
    out.push_back(static_cast<char>(v));
  }
  return true;
}

}  // namespace kiv
