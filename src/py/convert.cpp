#include "py/convert.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "json.hpp"
#include "py/iter_body.hpp"
#include "pyref.hpp"

namespace kiv {

namespace {

constexpr char kNoneResult[] =
    "The view function did not return a valid response. The function either returned None or "
    "ended without a return statement.";
constexpr char kBadTuple[] = "The view function did not return a valid response tuple";
constexpr char kBadBodyElement[] = "invalid response body element in tuple";
constexpr char kFastNotTuple[] = "_fast() must return a tuple";
constexpr char kBadHeaderItem[] = "response headers must be a list of (name, value) tuples";
constexpr char kUnsafeHeader[] = "header name or value contains CR, LF or NUL";

constexpr std::string_view kJsonType = "application/json";
constexpr std::string_view kOctetType = "application/octet-stream";

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
    if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
    if (x != y) return false;
  }
  return true;
}

// Raises TypeError naming the offending object's type.
void raise_not_str(PyObject* obj) {
  PyRef name =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (!name) return;  // that error stands
  PyErr_Format(PyExc_TypeError, "header name and value must be str, not %S", name.get());
}

// Copies one header name or value. `unsafe` records that the failure came
// from the CR/LF/NUL rule: such a text would end the header line early and
// let the rest be read as further headers or a second response.
bool header_text(PyObject* obj, std::string& out, bool& unsafe) {
  if (!PyUnicode_Check(obj)) {
    raise_not_str(obj);
    return false;
  }
  Py_ssize_t len = 0;
  const char* p = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!p) return false;
  const std::string_view text(p, static_cast<std::size_t>(len));
  if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    PyErr_SetString(PyExc_ValueError, kUnsafeHeader);
    unsafe = true;
    return false;
  }
  out.assign(text);
  return true;
}

std::optional<HeaderList> headers_from_dict(PyObject* dict, bool& unsafe) {
  HeaderList out;
  out.reserve(static_cast<std::size_t>(PyDict_Size(dict)));
  Py_ssize_t pos = 0;
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  // No Python code runs inside this loop, so the borrowed items stay valid.
  while (PyDict_Next(dict, &pos, &k, &v)) {
    auto& pair = out.emplace_back();
    if (!header_text(k, pair.first, unsafe) || !header_text(v, pair.second, unsafe)) {
      return std::nullopt;
    }
  }
  return out;
}

std::optional<HeaderList> headers_from_sequence(PyObject* seq, bool& unsafe) {
  const bool is_list = PyList_Check(seq);
  const Py_ssize_t n = is_list ? PyList_Size(seq) : PyTuple_Size(seq);
  HeaderList out;
  out.reserve(static_cast<std::size_t>(n));
  // No Python code runs inside this loop, so the sequence cannot change under
  // us and borrowed items stay valid: iterating it is as good as a snapshot.
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = is_list ? PyList_GetItem(seq, i) : PyTuple_GetItem(seq, i);
    if (!item) return std::nullopt;
    if (!PyTuple_Check(item)) {
      PyErr_SetString(PyExc_TypeError, kBadHeaderItem);
      return std::nullopt;
    }
    PyObject* name = PyTuple_GetItem(item, 0);
    if (!name) return std::nullopt;
    PyObject* value = PyTuple_GetItem(item, 1);
    if (!value) return std::nullopt;
    auto& pair = out.emplace_back();
    if (!header_text(name, pair.first, unsafe) || !header_text(value, pair.second, unsafe)) {
      return std::nullopt;
    }
  }
  return out;
}

std::optional<HeaderList> headers_impl(PyObject* container, bool& unsafe) {
  PyRef current = PyRef::borrow(container);
  for (unsigned calls = 0;; ++calls) {
    PyObject* c = current.get();
    if (PyDict_Check(c)) return headers_from_dict(c, unsafe);
    if (PyList_Check(c) || PyTuple_Check(c)) return headers_from_sequence(c, unsafe);
    PyRef to_list = PyRef::steal(PyObject_GetAttrString(c, "to_list"));
    if (!to_list) {
      PyErr_Clear();
      return HeaderList{};
    }
    // A to_list() that returns another such object (or itself) must not keep
    // the worker looping forever.
    if (calls == kMaxToListDepth) {
      PyErr_Format(PyExc_ValueError, "header container to_list() chain deeper than %u levels",
                   kMaxToListDepth);
      return std::nullopt;
    }
    current = PyRef::steal(PyObject_CallNoArgs(to_list.get()));
    if (!current) return std::nullopt;
  }
}

// The object's `_fast` if it is callable; otherwise empty, with any attribute
// error discarded.
PyRef fast_method(PyObject* obj) {
  PyRef fast = PyRef::steal(PyObject_GetAttrString(obj, "_fast"));
  if (!fast) {
    PyErr_Clear();
    return fast;
  }
  if (!PyCallable_Check(fast.get())) return PyRef();
  return fast;
}

// Status element of a fast tuple: an integer 0..65535.
bool fast_status(PyObject* obj, std::uint16_t& status) {
  PyRef num = PyLong_Check(obj) ? PyRef::borrow(obj) : PyRef::steal(PyNumber_Index(obj));
  if (!num) return false;
  const long v = PyLong_AsLong(num.get());
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < 0 || v > 0xFFFF) {
    PyErr_Format(PyExc_OverflowError, "_fast() status %ld is outside 0..65535", v);
    return false;
  }
  status = static_cast<std::uint16_t>(v);
  return true;
}

// A body object that names an open file by `__kiv_file__()` -> (fd, offset,
// length) is sent from that file. The descriptor is duplicated, so Python may
// close its own at once; the length is fixed now and announced, and a file
// that shrinks meanwhile cuts the connection. Returns false with no error set
// when `body` is no such object, and with one set when it is but is unusable.
bool file_body(PyObject* body, ResponseOut& out) {
  PyRef method = PyRef::steal(PyObject_GetAttrString(body, "__kiv_file__"));
  if (!method) {
    PyErr_Clear();
    return false;
  }
  PyRef where = PyRef::steal(PyObject_CallNoArgs(method.get()));
  if (!where) return false;
  long long fd = -1;
  unsigned long long offset = 0;
  unsigned long long length = 0;
  if (!PyArg_ParseTuple(where.get(), "LKK;__kiv_file__() must return (fd, offset, length)", &fd,
                        &offset, &length)) {
    return false;
  }
  if (fd < 0 || fd > INT32_MAX) {
    PyErr_SetString(PyExc_ValueError, "__kiv_file__() returned a bad file descriptor");
    return false;
  }
  const int dup = ::fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0);
  if (dup < 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
  }
  out.file = std::make_shared<FileBody>(dup, offset, length);
  return true;
}

// The body element of a fast tuple. A body that cannot be sent as it is
// fails (and becomes a 500), rather than going out empty as if all were well.
bool fast_body(PyObject* body, ResponseOut& out) {
  if (body == Py_None) return true;
  PyRef bytes;
  if (PyBytes_Check(body)) {
    bytes = PyRef::borrow(body);
  } else if (PyUnicode_Check(body)) {
    Py_ssize_t len = 0;
    const char* data = PyUnicode_AsUTF8AndSize(body, &len);
    if (!data) return false;
    out.body.assign(data, static_cast<std::size_t>(len));
    return true;
  } else if (PyByteArray_Check(body) || PyMemoryView_Check(body)) {
    bytes = PyRef::steal(PyBytes_FromObject(body));
    if (!bytes) return false;
  } else {
    if (file_body(body, out)) return true;
    if (PyErr_Occurred()) return false;
    // Any other iterable is sent as it is produced.
    PyRef iterator = PyRef::steal(PyObject_GetIter(body));
    if (iterator) {
      out.stream = make_iter_body(body, iterator.get());
      return true;
    }
    PyErr_Clear();
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(body)), "__name__"));
    if (name)
      PyErr_Format(PyExc_TypeError, "response body must be str, bytes or an iterable, not %S",
                   name.get());
    return false;
  }
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &len) < 0) return false;
  out.body.assign(data, static_cast<std::size_t>(len));
  return true;
}

std::optional<ResponseOut> fast_from_tuple(PyObject* t, bool& unsafe) {
  if (!PyTuple_Check(t)) {
    PyErr_SetString(PyExc_TypeError, kFastNotTuple);
    return std::nullopt;
  }
  ResponseOut out;
  PyObject* status = PyTuple_GetItem(t, 0);
  if (!status || !fast_status(status, out.status)) return std::nullopt;

  PyObject* headers = PyTuple_GetItem(t, 1);
  if (!headers) return std::nullopt;
  auto pairs = headers_impl(headers, unsafe);
  if (!pairs) return std::nullopt;
  out.headers = std::move(*pairs);

  PyObject* body = PyTuple_GetItem(t, 2);
  if (!body) return std::nullopt;
  if (!fast_body(body, out)) return std::nullopt;
  return out;
}

std::optional<ResponseOut> fast_from_method(PyObject* fast, bool& unsafe) {
  PyRef tuple = PyRef::steal(PyObject_CallNoArgs(fast));
  if (!tuple) return std::nullopt;
  return fast_from_tuple(tuple.get(), unsafe);
}

std::optional<ResponseOut> fast_from_object(PyObject* obj, bool& unsafe) {
  PyRef fast = PyRef::steal(PyObject_GetAttrString(obj, "_fast"));
  if (!fast) return std::nullopt;
  return fast_from_method(fast.get(), unsafe);
}

PyRef call_convert_slow(PyObject* convert_slow, PyObject* value) {
  if (!convert_slow) {
    PyErr_SetString(PyExc_RuntimeError, "no converter for this view result is configured");
    return PyRef();
  }
  return PyRef::steal(PyObject_CallFunctionObjArgs(convert_slow, value, nullptr));
}

// Status from a tuple's element 1: an integer sets its low 16 bits, a str its
// leading decimal digits when they fit; anything else leaves it unchanged.
void apply_tuple_status(PyObject* obj, ResponseOut& resp) {
  if (Py_TYPE(obj) != &PyUnicode_Type) {
    PyRef num;
    if (PyLong_Check(obj)) {
      num = PyRef::borrow(obj);
    } else if (PyIndex_Check(obj)) {
      num = PyRef::steal(PyNumber_Index(obj));
      if (!num) PyErr_Clear();
    }
    if (num) {
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(num.get(), &overflow);
      if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
        resp.status = static_cast<std::uint16_t>(static_cast<std::uint64_t>(v));
        return;
      }
      PyErr_Clear();
    }
  }
  if (!PyUnicode_Check(obj)) return;
  Py_ssize_t len = 0;
  const char* p = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!p) {
    PyErr_Clear();
    return;
  }
  std::uint32_t v = 0;
  Py_ssize_t i = 0;
  for (; i < len && p[i] >= '0' && p[i] <= '9'; ++i) {
    v = v * 10 + static_cast<std::uint32_t>(p[i] - '0');
    if (v > 0xFFFF) return;  // leading zeros aside, the run only grows
  }
  if (i > 0) resp.status = static_cast<std::uint16_t>(v);
}

// The Content-Type of a returned bytes: what convert_slow names as its
// `bytes_content_type` (a framework sends bytes as its default type), else
// application/octet-stream. Looked up only for bytes results.
ResponseOut bytes_body(const char* data, std::size_t len, PyObject* convert_slow);

ResponseOut typed_body(const char* data, std::size_t len, std::string_view type) {
  ResponseOut out;
  out.body.assign(data, len);
  out.headers.emplace_back("Content-Type", type);
  return out;
}

ResponseOut bytes_body(const char* data, std::size_t len, PyObject* convert_slow) {
  PyRef named = convert_slow ? PyRef::steal(PyObject_GetAttrString(convert_slow,
                                                                   "bytes_content_type"))
                             : PyRef();
  if (named && PyUnicode_Check(named.get())) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(named.get(), &n);
    if (p && std::string_view(p, static_cast<std::size_t>(n))
                     .find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos)
      return typed_body(data, len, std::string_view(p, static_cast<std::size_t>(n)));
  }
  PyErr_Clear();
  return typed_body(data, len, kOctetType);
}

}  // namespace

std::optional<HeaderList> headers_from_py(PyObject* container) {
  bool unsafe = false;
  return headers_impl(container, unsafe);
}

std::optional<ResponseOut> response_from_triple(PyObject* triple) {
  bool unsafe = false;
  return fast_from_tuple(triple, unsafe);
}

std::optional<ResponseOut> parse_fast_tuple(PyObject* obj) {
  bool unsafe = false;
  return fast_from_object(obj, unsafe);
}

std::optional<ResponseOut> convert(PyObject* value, PyObject* convert_slow) {
  if (value == Py_None) {
    PyErr_SetString(PyExc_TypeError, kNoneResult);
    return std::nullopt;
  }
  if (PyUnicode_Check(value)) {
    Py_ssize_t len = 0;
    const char* p = PyUnicode_AsUTF8AndSize(value, &len);
    if (!p) return std::nullopt;
    return typed_body(p, static_cast<std::size_t>(len), kHtmlType);
  }
  if (PyBytes_Check(value)) {
    char* p = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(value, &p, &len) < 0) return std::nullopt;
    return bytes_body(p, static_cast<std::size_t>(len), convert_slow);
  }
  if (PyDict_Check(value) || PyList_Check(value)) {
    ResponseOut out;
    out.body.reserve(64);
    if (auto err = write_value(value, out.body, 0)) {
      PyRef msg = PyRef::steal(PyUnicode_FromStringAndSize(err->data(), err->size()));
      if (msg) PyErr_SetObject(PyExc_ValueError, msg.get());
      return std::nullopt;
    }
    out.headers.emplace_back("Content-Type", kJsonType);
    return out;
  }
  if (PyTuple_Check(value)) {
    const Py_ssize_t n = PyTuple_Size(value);
    if (n != 2 && n != 3) {
      PyErr_SetString(PyExc_TypeError, kBadTuple);
      return std::nullopt;
    }
    auto resp = convert_part(PyTuple_GetItem(value, 0), convert_slow);
    if (!resp) return std::nullopt;
    apply_tuple_status(PyTuple_GetItem(value, 1), *resp);
    if (n == 3) {
      auto pairs = headers_from_py(PyTuple_GetItem(value, 2));
      if (!pairs) return std::nullopt;
      for (auto& [name, val] : *pairs) {
        std::erase_if(resp->headers, [&](const auto& h) { return ascii_iequals(h.first, name); });
        resp->headers.emplace_back(std::move(name), std::move(val));
      }
    }
    return resp;
  }
  if (PyIter_Check(value)) {  // a generator or another iterator: streamed
    ResponseOut out;
    out.stream = make_iter_body(value, value);
    out.headers.emplace_back("Content-Type", kHtmlType);
    return out;
  }
  bool unsafe = false;
  if (PyRef fast = fast_method(value)) return fast_from_method(fast.get(), unsafe);
  PyRef converted = call_convert_slow(convert_slow, value);
  if (!converted) return std::nullopt;
  return fast_from_object(converted.get(), unsafe);
}

std::optional<ResponseOut> convert_part(PyObject* value, PyObject* convert_slow) {
  if (PyUnicode_Check(value) || PyBytes_Check(value) || PyDict_Check(value) ||
      PyList_Check(value) || PyIter_Check(value)) {
    return convert(value, convert_slow);
  }
  bool unsafe = false;
  std::optional<ResponseOut> out;
  if (PyRef fast = fast_method(value)) {
    out = fast_from_method(fast.get(), unsafe);
  } else if (PyRef converted = call_convert_slow(convert_slow, value)) {
    out = fast_from_object(converted.get(), unsafe);
  }
  if (out) return out;
  // A header that could split the response keeps its own error; every other
  // failure here means the element was no usable body.
  if (unsafe) return std::nullopt;
  PyErr_Clear();
  PyErr_SetString(PyExc_TypeError, kBadBodyElement);
  return std::nullopt;
}

}  // namespace kiv
