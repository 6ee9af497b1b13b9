#include "json.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "percent.hpp"
#include "pyref.hpp"

namespace kiv {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Bytes that go into a JSON string literal as they are: printable ASCII and
// DEL, minus the quote and the backslash.
constexpr std::array<bool, 256> kPlain = [] {
  std::array<bool, 256> t{};
  for (int c = 0x20; c < 0x80; ++c) t[c] = true;
  t['"'] = false;
  t['\\'] = false;
  return t;
}();

void write_text(std::string_view s, std::string& buf, bool surrogates);

inline void append_u_escape(unsigned unit, std::string& buf) {
  const char esc[6] = {'\\',
                       'u',
                       kHexDigits[(unit >> 12) & 0xF],
                       kHexDigits[(unit >> 8) & 0xF],
                       kHexDigits[(unit >> 4) & 0xF],
                       kHexDigits[unit & 0xF]};
  buf.append(esc, sizeof esc);
}

// True when any of the eight bytes of w needs escaping: below 0x20, a quote,
// a backslash, or non-ASCII. May flag a word falsely only after a real hit in
// the same word, which the byte loop then finds first.
inline bool word_needs_escape(std::uint64_t w) {
  constexpr std::uint64_t ones = 0x0101010101010101ULL;
  constexpr std::uint64_t highs = 0x8080808080808080ULL;
  const std::uint64_t below_space = (w - ones * 0x20) & ~w;
  const std::uint64_t q = w ^ (ones * '"');
  const std::uint64_t b = w ^ (ones * '\\');
  const std::uint64_t quote = (q - ones) & ~q;
  const std::uint64_t bslash = (b - ones) & ~b;
  return ((below_space | quote | bslash | w) & highs) != 0;
}

// Code point of a sequence that utf8_step() accepted as valid.
inline unsigned decode_utf8(const unsigned char* p, std::size_t len) {
  switch (len) {
    case 2:
      return ((p[0] & 0x1Fu) << 6) | (p[1] & 0x3Fu);
    case 3:
      return ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    default:
      return ((p[0] & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) |
             (p[3] & 0x3Fu);
  }
}

// Appends the UTF-8 text of a str object; false with the Python error set when
// it cannot be encoded (lone surrogates).
bool append_str_utf8(PyObject* str, std::string& out) {
  Py_ssize_t len = 0;
  const char* p = PyUnicode_AsUTF8AndSize(str, &len);
  if (!p) return false;
  out.append(p, static_cast<std::size_t>(len));
  return true;
}

// Turns the pending Python error into "QualName: str(value)" and clears it.
std::string take_error_text() {
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_tb = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_tb);
  if (!raw_type) return "unknown error";
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_tb);
  PyRef type = PyRef::steal(raw_type);
  PyRef value = PyRef::steal(raw_value);
  PyRef tb = PyRef::steal(raw_tb);

  std::string out;
  PyRef qualname = PyRef::steal(PyObject_GetAttrString(type.get(), "__qualname__"));
  if (!qualname || !PyUnicode_Check(qualname.get()) || !append_str_utf8(qualname.get(), out)) {
    PyErr_Clear();
    out = "Exception";
  }
  out += ": ";
  PyRef text = value ? PyRef::steal(PyObject_Str(value.get())) : PyRef();
  if (!text || !append_str_utf8(text.get(), out)) {
    PyErr_Clear();
    out += "<exception str() failed>";
  }
  return out;
}

std::string unsupported_type(PyObject* value) {
  PyRef name =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
  if (!name) return take_error_text();
  if (!PyUnicode_Check(name.get())) {
    name = PyRef::steal(PyObject_Str(name.get()));
    if (!name) return take_error_text();
  }
  std::string out = "unsupported type ";
  if (!append_str_utf8(name.get(), out)) return take_error_text();
  return out;
}

enum class IntOutcome { kWritten, kOutOfRange, kError };

// Writes an int object (exact or subclass) that fits in 64 bits, signed or
// unsigned.
IntOutcome write_int(PyObject* num, std::string& buf) {
  char tmp[24];
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(num, &overflow);
  if (overflow == 0) {
    if (v == -1 && PyErr_Occurred()) return IntOutcome::kError;
    auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
    buf.append(tmp, r.ptr);
    return IntOutcome::kWritten;
  }
  if (overflow < 0) return IntOutcome::kOutOfRange;
  const unsigned long long u = PyLong_AsUnsignedLongLong(num);
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return IntOutcome::kError;
    PyErr_Clear();
    return IntOutcome::kOutOfRange;
  }
  auto r = std::to_chars(tmp, tmp + sizeof tmp, u);
  buf.append(tmp, r.ptr);
  return IntOutcome::kWritten;
}

// The UTF-8 text of a str. One holding lone surrogates has none: it is
// encoded with "surrogatepass" into `keep` instead, as json.dumps escapes
// such characters rather than failing. Null with the error set on failure.
const char* str_text(PyObject* str, Py_ssize_t& len, PyRef& keep) {
  if (const char* p = PyUnicode_AsUTF8AndSize(str, &len)) return p;
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
  PyErr_Clear();
  keep = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  char* p = nullptr;
  if (!keep || PyBytes_AsStringAndSize(keep.get(), &p, &len) < 0) return nullptr;
  return p;
}

std::optional<std::string> write_str_value(PyObject* str, std::string& buf) {
  Py_ssize_t len = 0;
  PyRef keep;
  const char* p = str_text(str, len, keep);
  if (!p) return take_error_text();
  write_text(std::string_view(p, static_cast<std::size_t>(len)), buf, true);
  return std::nullopt;
}

std::optional<std::string> write_float_value(PyObject* f, std::string& buf) {
  const double d = PyFloat_AsDouble(f);
  if (d == -1.0 && PyErr_Occurred()) return take_error_text();
  write_float(d, buf);
  return std::nullopt;
}

std::optional<std::string> write_list(PyObject* list, std::string& buf, unsigned depth) {
  buf.push_back('[');
  const Py_ssize_t start_len = PyList_Size(list);
  for (Py_ssize_t i = 0; i < start_len && i < PyList_Size(list); ++i) {
    // Held: writing an element may run __index__, which could shrink the list.
    PyRef item = PyRef::borrow(PyList_GetItem(list, i));
    if (i) buf.push_back(',');
    if (auto err = write_value(item.get(), buf, depth + 1)) return err;
  }
  buf.push_back(']');
  return std::nullopt;
}

std::optional<std::string> write_tuple(PyObject* tuple, std::string& buf, unsigned depth) {
  buf.push_back('[');
  const Py_ssize_t n = PyTuple_Size(tuple);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (i) buf.push_back(',');
    // Borrowed is safe: the tuple is immutable and held by our caller.
    if (auto err = write_value(PyTuple_GetItem(tuple, i), buf, depth + 1)) return err;
  }
  buf.push_back(']');
  return std::nullopt;
}

struct DictPair {
  std::string_view key;  // the key's text (see str_text), alive as long as `k` or kept
  PyObject* k;
  PyObject* v;
};

// The pairs of one dict, with strong references: writing a value may run
// Python code that mutates the dict. Small dicts stay on the stack.
class DictPairs {
 public:
  explicit DictPairs(std::size_t expected) {
    if (expected > kInline) heap_.reserve(expected);
  }
  ~DictPairs() {
    for (std::size_t i = 0; i < size_; ++i) {
      Py_DecRef(data()[i].k);
      Py_DecRef(data()[i].v);
    }
  }
  DictPairs(const DictPairs&) = delete;
  DictPairs& operator=(const DictPairs&) = delete;

  void push(std::string_view key, PyObject* k, PyObject* v) {
    Py_IncRef(k);
    Py_IncRef(v);
    if (heap_.empty() && size_ < kInline) {
      inline_[size_] = {key, k, v};
    } else {
      if (heap_.empty()) heap_.assign(inline_.begin(), inline_.begin() + size_);
      heap_.push_back({key, k, v});
    }
    ++size_;
  }
  DictPair* data() { return heap_.empty() ? inline_.data() : heap_.data(); }
  std::size_t size() const { return size_; }

 private:
  static constexpr std::size_t kInline = 16;
  std::array<DictPair, kInline> inline_;
  std::vector<DictPair> heap_;
  std::size_t size_ = 0;
};

std::optional<std::string> write_dict(PyObject* dict, std::string& buf, unsigned depth) {
  DictPairs pairs(static_cast<std::size_t>(PyDict_Size(dict)));
  std::vector<PyRef> kept;  // the text of keys that have no UTF-8 of their own
  Py_ssize_t pos = 0;
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    if (!PyUnicode_Check(k)) return std::string("non-str dict key");
    Py_ssize_t len = 0;
    PyRef keep;
    const char* p = str_text(k, len, keep);
    if (!p) return take_error_text();
    if (keep) kept.push_back(std::move(keep));
    pairs.push(std::string_view(p, static_cast<std::size_t>(len)), k, v);
  }

  // Byte order of UTF-8 equals code point order; string_view compares as
  // unsigned bytes. Stable so that distinct keys with equal text keep their
  // dict order.
  DictPair* first = pairs.data();
  DictPair* last = first + pairs.size();
  auto less = [](const DictPair& a, const DictPair& b) { return a.key < b.key; };
  if (pairs.size() <= 16) {
    for (DictPair* i = first + 1; i < last; ++i) {
      DictPair cur = *i;
      DictPair* j = i;
      for (; j > first && less(cur, *(j - 1)); --j) *j = *(j - 1);
      *j = cur;
    }
  } else {
    std::stable_sort(first, last, less);
  }

  buf.push_back('{');
  for (DictPair* p = first; p < last; ++p) {
    if (p != first) buf.push_back(',');
    write_text(p->key, buf, true);
    buf.push_back(':');
    if (auto err = write_value(p->v, buf, depth + 1)) return err;
  }
  buf.push_back('}');
  return std::nullopt;
}

// An int (exact or subclass) outside both 64-bit ranges matches no other kind.
std::optional<std::string> write_int_value(PyObject* num, std::string& buf) {
  switch (write_int(num, buf)) {
    case IntOutcome::kWritten:
      return std::nullopt;
    case IntOutcome::kError:
      return take_error_text();
    case IntOutcome::kOutOfRange:
      break;
  }
  return unsupported_type(num);
}

// Everything that is not one of the exact builtin types, tested in the
// documented order so that subclasses and index-protocol objects land right.
std::optional<std::string> write_other(PyObject* value, std::string& buf, unsigned depth) {
  if (PyLong_Check(value)) return write_int_value(value, buf);
  if (PyIndex_Check(value)) {
    PyRef num = PyRef::steal(PyNumber_Index(value));
    if (num) {
      const IntOutcome r = write_int(num.get(), buf);
      if (r == IntOutcome::kWritten) return std::nullopt;
      if (r == IntOutcome::kError) return take_error_text();
    } else if (PyErr_ExceptionMatches(PyExc_TypeError) ||
               PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();  // not usable as an integer: try the other kinds
    } else {
      return take_error_text();
    }
  }
  if (PyFloat_Check(value)) return write_float_value(value, buf);
  if (PyUnicode_Check(value)) return write_str_value(value, buf);
  if (PyList_Check(value)) return write_list(value, buf, depth);
  if (PyTuple_Check(value)) return write_tuple(value, buf, depth);
  if (PyDict_Check(value)) return write_dict(value, buf, depth);
  return unsupported_type(value);
}

}  // namespace

namespace {

// surrogates: s is a str's text encoded with "surrogatepass", where lone
// surrogates stand as ED A0..BF xx; they are written as their own escapes.
void write_text(std::string_view s, std::string& buf, bool surrogates) {
  buf.push_back('"');
  const char* p = s.data();
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    std::size_t run = i;
    while (run + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, p + run, 8);
      if (word_needs_escape(w)) break;
      run += 8;
    }
    while (run < n && kPlain[static_cast<unsigned char>(p[run])]) ++run;
    if (run > i) {
      buf.append(p + i, run - i);
      i = run;
      if (i == n) break;
    }
    const auto c = static_cast<unsigned char>(p[i]);
    if (c < 0x80) {
      switch (c) {
        case '"':
          buf.append("\\\"", 2);
          break;
        case '\\':
          buf.append("\\\\", 2);
          break;
        case '\b':
          buf.append("\\b", 2);
          break;
        case '\t':
          buf.append("\\t", 2);
          break;
        case '\n':
          buf.append("\\n", 2);
          break;
        case '\f':
          buf.append("\\f", 2);
          break;
        case '\r':
          buf.append("\\r", 2);
          break;
        default:
          append_u_escape(c, buf);
      }
      ++i;
      continue;
    }
    const Utf8Step step = utf8_step(s, i);
    if (step.valid == 0) {
      if (surrogates && n - i >= 3 && c == 0xED && (p[i + 1] & 0xE0) == 0xA0 &&
          (p[i + 2] & 0xC0) == 0x80) {
        append_u_escape(decode_utf8(reinterpret_cast<const unsigned char*>(p + i), 3), buf);
        i += 3;
        continue;
      }
      append_u_escape(0xFFFD, buf);
      i += step.skip;
      continue;
    }
    unsigned cp = decode_utf8(reinterpret_cast<const unsigned char*>(p + i), step.valid);
    i += step.valid;
    if (cp < 0x10000) {
      append_u_escape(cp, buf);
    } else {
      cp -= 0x10000;
      append_u_escape(0xD800 + (cp >> 10), buf);
      append_u_escape(0xDC00 + (cp & 0x3FF), buf);
    }
  }
  buf.push_back('"');
}

}  // namespace

void write_string(std::string_view s, std::string& buf) {
  write_text(s, buf, false);
}

void write_float(double x, std::string& buf) {
  if (std::isnan(x)) {
    buf.append("NaN");
    return;
  }
  if (std::isinf(x)) {
    buf.append(x > 0 ? "Infinity" : "-Infinity");
    return;
  }
  char tmp[64];
  const double ax = std::fabs(x);
  if (ax < 1e16 && x == std::trunc(x)) {
    // Exact integer digits; keeps the sign of -0.0.
    auto r = std::to_chars(tmp, tmp + sizeof tmp, x, std::chars_format::fixed);
    buf.append(tmp, r.ptr);
    buf.append(".0", 2);
    return;
  }
  if (ax >= 1e16 || ax < 1e-4) {
    // to_chars gives "d[.ddd]e[+-]dd"; the exponent is written with an
    // explicit sign and without leading zeros.
    auto r = std::to_chars(tmp, tmp + sizeof tmp, x, std::chars_format::scientific);
    const char* end = r.ptr;
    const char* e = std::find(static_cast<const char*>(tmp), end, 'e');
    buf.append(static_cast<const char*>(tmp), e);
    buf.push_back('e');
    const char* q = e + 1;
    if (q < end && (*q == '+' || *q == '-')) {
      buf.push_back(*q);
      ++q;
    } else {
      buf.push_back('+');
    }
    while (q + 1 < end && *q == '0') ++q;
    buf.append(q, end);
    return;
  }
  auto r = std::to_chars(tmp, tmp + sizeof tmp, x, std::chars_format::fixed);
  buf.append(tmp, r.ptr);
}

std::optional<std::string> write_value(PyObject* value, std::string& buf, unsigned depth) {
  if (depth > kJsonMaxDepth) return std::string("JSON nesting too deep");
  // Exact builtin types first: the common case, and none of them can carry
  // __index__ or other Python-level behaviour.
  PyTypeObject* type = Py_TYPE(value);
  if (value == Py_None) {
    buf.append("null", 4);
    return std::nullopt;
  }
  if (type == &PyBool_Type) {
    if (value == Py_True) {
      buf.append("true", 4);
    } else {
      buf.append("false", 5);
    }
    return std::nullopt;
  }
  if (type == &PyLong_Type) return write_int_value(value, buf);
  if (type == &PyFloat_Type) return write_float_value(value, buf);
  if (type == &PyUnicode_Type) return write_str_value(value, buf);
  if (type == &PyList_Type) return write_list(value, buf, depth);
  if (type == &PyTuple_Type) return write_tuple(value, buf, depth);
  if (type == &PyDict_Type) return write_dict(value, buf, depth);
  return write_other(value, buf, depth);
}

}  // namespace kiv
