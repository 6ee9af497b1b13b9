// The interpreter is started by the global environment of test_json.cpp.
#include <gtest/gtest.h>

#include <Python.h>

#include <string>
#include <vector>

#include "py/convert.hpp"
#include "pyref.hpp"

namespace {

using kiv::HeaderList;
using kiv::PyRef;

constexpr const char* kHelpers = R"PY(
import enum

class Status(enum.IntEnum):
    CREATED = 201

class Idx:
    def __init__(self, v): self.v = v
    def __index__(self): return self.v

class Resp:
    def __init__(self, *fast): self.fast = fast
    def _fast(self): return self.fast

class RawFast:
    # _fast() returns whatever it was given, tuple or not.
    def __init__(self, result): self.result = result
    def _fast(self): return self.result

class NotCallableFast:
    _fast = 5

class ToList:
    def __init__(self, inner): self.inner = inner
    def to_list(self): return self.inner

class Loop:
    def to_list(self): return self

class RaisingToList:
    def to_list(self): raise KeyError('gone')

class BrokenFast:
    def _fast(self): raise LookupError('fast failed')

def chain(n, inner):
    v = inner
    for _ in range(n):
        v = ToList(v)
    return v

slow_calls = []

def convert_slow(v):
    slow_calls.append(v)
    if isinstance(v, int):
        return Resp(200, [('Content-Type', 'text/plain')], str(v))
    if isinstance(v, NotCallableFast):
        return Resp(202, {}, b'slow')
    if isinstance(v, tuple) and v and v[0] == 'ok':
        return Resp(201, [('X-Slow', '1')], 'from slow')
    if isinstance(v, tuple) and v and v[0] == 'inject':
        return Resp(201, [('X-Slow', 'a\nb')], 'from slow')
    raise TypeError('cannot convert ' + type(v).__name__)
)PY";

PyObject* conv_namespace() {
  static PyObject* ns = [] {
    PyObject* d = PyDict_New();
    PyDict_SetItemString(d, "__builtins__", PyEval_GetBuiltins());
    PyRef code = PyRef::steal(Py_CompileString(kHelpers, "<convert-test>", Py_file_input));
    if (!code) PyErr_Print();
    PyRef r = PyRef::steal(PyEval_EvalCode(code.get(), d, d));
    if (!r) PyErr_Print();
    return d;
  }();
  return ns;
}

PyRef eval(const std::string& expr) {
  PyRef code = PyRef::steal(Py_CompileString(expr.c_str(), "<expr>", Py_eval_input));
  if (!code) {
    PyErr_Print();
    return code;
  }
  PyRef r = PyRef::steal(PyEval_EvalCode(code.get(), conv_namespace(), conv_namespace()));
  if (!r) PyErr_Print();
  return r;
}

PyObject* slow() {
  return PyDict_GetItemString(conv_namespace(), "convert_slow");
}

long slow_call_count() {
  return static_cast<long>(PyList_Size(PyDict_GetItemString(conv_namespace(), "slow_calls")));
}

// "TypeName: message" of the pending error, which is cleared; "" when none.
std::string take_error() {
  PyObject* t = nullptr;
  PyObject* v = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&t, &v, &tb);
  if (!t) return "";
  PyErr_NormalizeException(&t, &v, &tb);
  PyRef type = PyRef::steal(t), value = PyRef::steal(v), trace = PyRef::steal(tb);
  PyRef name = PyRef::steal(PyObject_GetAttrString(type.get(), "__name__"));
  PyRef text = PyRef::steal(PyObject_Str(value.get()));
  std::string out = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
  out += ": ";
  out += PyUnicode_AsUTF8AndSize(text.get(), nullptr);
  return out;
}

long refcount(PyObject* obj) {
  PyRef sys = PyRef::steal(PyImport_ImportModule("sys"));
  PyRef fn = PyRef::steal(PyObject_GetAttrString(sys.get(), "getrefcount"));
  PyRef n = PyRef::steal(PyObject_CallFunctionObjArgs(fn.get(), obj, nullptr));
  return n ? PyLong_AsLong(n.get()) : -1;
}

class WithGil {
 protected:
  kiv::AcquireGil gil_;
};

const std::string kHtml = "text/html; charset=utf-8";

struct ConvertCase {
  const char* expr;
  int status;
  HeaderList headers;
  std::string body;
};

class ConvertOk : public WithGil, public ::testing::TestWithParam<ConvertCase> {};

TEST_P(ConvertOk, BuildsResponse) {
  const ConvertCase& c = GetParam();
  PyRef v = eval(c.expr);
  ASSERT_TRUE(v) << c.expr;
  auto r = kiv::convert(v.get(), slow());
  ASSERT_TRUE(r) << take_error();
  EXPECT_EQ(r->status, c.status);
  EXPECT_EQ(r->headers, c.headers);
  EXPECT_EQ(r->body, c.body);
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ConvertOk,
    ::testing::Values(
        ConvertCase{"'hi'", 200, {{"Content-Type", kHtml}}, "hi"},
        ConvertCase{"'caf\\u00e9'", 200, {{"Content-Type", kHtml}}, "caf\xc3\xa9"},
        ConvertCase{"b'\\x00\\xff'",
                    200,
                    {{"Content-Type", "application/octet-stream"}},
                    std::string("\0\xff", 2)},
        ConvertCase{"{}", 200, {{"Content-Type", "application/json"}}, "{}"},
        ConvertCase{"[]", 200, {{"Content-Type", "application/json"}}, "[]"},
        ConvertCase{"{'b': [1, 'x'], 'a': None}",
                    200,
                    {{"Content-Type", "application/json"}},
                    R"({"a":null,"b":[1,"x"]})"},
        ConvertCase{"('hi', 201)", 201, {{"Content-Type", kHtml}}, "hi"},
        ConvertCase{"('hi', '404 NOT FOUND')", 404, {{"Content-Type", kHtml}}, "hi"},
        ConvertCase{"('hi', '0000404')", 404, {{"Content-Type", kHtml}}, "hi"},
        ConvertCase{"('hi', 'abc')", 200, {{"Content-Type", kHtml}}, "hi"},
        ConvertCase{"('hi', '65536')", 200, {{"Content-Type", kHtml}}, "hi"},
        ConvertCase{"('hi', '65535')", 65535, {{"Content-Type", kHtml}}, "hi"},
        ConvertCase{"('hi', '\\ud800')", 200, {{"Content-Type", kHtml}}, "hi"},
        ConvertCase{"('hi', 2.5)", 200, {{"Content-Type", kHtml}}, "hi"},
        ConvertCase{"('hi', 65536 + 404)", 404, {{"Content-Type", kHtml}}, "hi"},
        ConvertCase{"('hi', -1)", 65535, {{"Content-Type", kHtml}}, "hi"},
        ConvertCase{"('hi', 2**70)", 200, {{"Content-Type", kHtml}}, "hi"},
        ConvertCase{"('hi', Status.CREATED)", 201, {{"Content-Type", kHtml}}, "hi"},
        ConvertCase{"('hi', Idx(202))", 202, {{"Content-Type", kHtml}}, "hi"},
        ConvertCase{"('hi', {'X': '1'})", 200, {{"Content-Type", kHtml}}, "hi"},
        ConvertCase{"('hi', 200, [('Content-Type', 'text/plain')])",
                    200,
                    {{"Content-Type", "text/plain"}},
                    "hi"},
        ConvertCase{"('hi', 200, [('content-type', 'a'), ('Content-Type', 'b')])",
                    200,
                    {{"Content-Type", "b"}},
                    "hi"},
        ConvertCase{"('hi', 200, {'X-B': '2', 'X-A': '1'})",
                    200,
                    {{"Content-Type", kHtml}, {"X-B", "2"}, {"X-A", "1"}},
                    "hi"},
        ConvertCase{"('hi', 200, (('X', '1', 'ignored'),))",
                    200,
                    {{"Content-Type", kHtml}, {"X", "1"}},
                    "hi"},
        ConvertCase{"('hi', 200, chain(8, [('X', '1')]))",
                    200,
                    {{"Content-Type", kHtml}, {"X", "1"}},
                    "hi"},
        ConvertCase{"('hi', 200, None)", 200, {{"Content-Type", kHtml}}, "hi"},
        ConvertCase{"('hi', 200, 5)", 200, {{"Content-Type", kHtml}}, "hi"},
        ConvertCase{"(b'x', 202)", 202, {{"Content-Type", "application/octet-stream"}}, "x"},
        ConvertCase{"({'a': 1}, 201)", 201, {{"Content-Type", "application/json"}}, R"({"a":1})"},
        // A response object as a tuple's body: its own status, then element 1's.
        ConvertCase{"(Resp(203, [('X', 'y')], 'body'), 200)", 200, {{"X", "y"}}, "body"},
        ConvertCase{"(Resp(203, [('X', 'y')], 'body'), 'x')", 203, {{"X", "y"}}, "body"},
        ConvertCase{"(('ok', 201), 200)", 200, {{"X-Slow", "1"}}, "from slow"},
        ConvertCase{"Resp(201, {'A': 'b'}, b'raw')", 201, {{"A", "b"}}, "raw"},
        ConvertCase{"Resp(Idx(204), [], None)", 204, {}, ""},
        ConvertCase{"Resp(200, [], bytearray(b'ab'))", 200, {}, "ab"},
        ConvertCase{"Resp(200, [], memoryview(b'cd'))", 200, {}, "cd"},
        ConvertCase{"Resp(200, [('A', '1'), ('A', '2')], 'x')", 200, {{"A", "1"}, {"A", "2"}}, "x"},
        ConvertCase{"Resp(0, ToList(ToList([('A', '1')])), 'x')", 0, {{"A", "1"}}, "x"},
        ConvertCase{"Resp(65535, (), '')", 65535, {}, ""},
        ConvertCase{"42", 200, {{"Content-Type", "text/plain"}}, "42"},
        ConvertCase{"NotCallableFast()", 202, {}, "slow"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

struct ErrorCase {
  const char* expr;
  const char* error;  // "TypeName: message"
};

class ConvertError : public WithGil, public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ConvertError, RaisesAndKeepsNoResponse) {
  const ErrorCase& c = GetParam();
  PyRef v = eval(c.expr);
  ASSERT_TRUE(v) << c.expr;
  auto r = kiv::convert(v.get(), slow());
  EXPECT_FALSE(r);
  EXPECT_EQ(take_error(), c.error);
}

constexpr const char* kUnsafe = "ValueError: header name or value contains CR, LF or NUL";
constexpr const char* kBadBody = "TypeError: invalid response body element in tuple";

INSTANTIATE_TEST_SUITE_P(
    Values, ConvertError,
    ::testing::Values(
        ErrorCase{"None",
                  "TypeError: The view function did not return a valid response. The function "
                  "either returned None or ended without a return statement."},
        ErrorCase{"('hi',)", "TypeError: The view function did not return a valid response tuple"},
        ErrorCase{"()", "TypeError: The view function did not return a valid response tuple"},
        ErrorCase{"('hi', 200, [], 1)",
                  "TypeError: The view function did not return a valid response tuple"},
        ErrorCase{"((1.5, 201), 200)", kBadBody}, ErrorCase{"(None, 200)", kBadBody},
        ErrorCase{"(BrokenFast(), 200)", kBadBody},
        ErrorCase{"(RawFast([200, [], '']), 200)", kBadBody},
        ErrorCase{"(Resp(200, [('X', 1)], ''), 200)", kBadBody},
        ErrorCase{"('\\ud800', 200)",
                  "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in "
                  "position 0: surrogates not allowed"},
        ErrorCase{"({'a': object()}, 200)", "ValueError: unsupported type object"},
        ErrorCase{"Resp(200, [], '\\ud800')",
                  "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in "
                  "position 0: surrogates not allowed"},
        ErrorCase{"Resp(200, [], 12)",
                  "TypeError: response body must be str, bytes or an iterable, not int"},
        ErrorCase{"'\\ud800'",
                  "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in "
                  "position 0: surrogates not allowed"},
        ErrorCase{"{'a': object()}", "ValueError: unsupported type object"},
        ErrorCase{"[float('nan'), 2**64]", "ValueError: unsupported type int"},
        ErrorCase{"{1: 2}", "ValueError: non-str dict key"},
        ErrorCase{"RawFast([200, [], ''])", "TypeError: _fast() must return a tuple"},
        ErrorCase{"BrokenFast()", "LookupError: fast failed"},
        ErrorCase{"Resp(70000, [], '')", "OverflowError: _fast() status 70000 is outside 0..65535"},
        ErrorCase{"Resp(-1, [], '')", "OverflowError: _fast() status -1 is outside 0..65535"},
        ErrorCase{"Resp(2.5, [], '')",
                  "TypeError: 'float' object cannot be interpreted as an integer"},
        ErrorCase{"Resp('200', [], '')",
                  "TypeError: 'str' object cannot be interpreted as an integer"},
        ErrorCase{"Resp()", "IndexError: tuple index out of range"},
        ErrorCase{"Resp(200, [])", "IndexError: tuple index out of range"},
        ErrorCase{"('hi', 200, [['X', '1']])",
                  "TypeError: response headers must be a list of (name, value) tuples"},
        ErrorCase{"('hi', 200, [('X',)])", "IndexError: tuple index out of range"},
        ErrorCase{"('hi', 200, [('X', 1)])",
                  "TypeError: header name and value must be str, not int"},
        ErrorCase{"('hi', 200, {b'X': '1'})",
                  "TypeError: header name and value must be str, not bytes"},
        ErrorCase{"('hi', 200, RaisingToList())", "KeyError: 'gone'"},
        ErrorCase{"object()", "TypeError: cannot convert object"},
        // Header injection, from every source of headers.
        ErrorCase{"('hi', 200, [('X', 'a\\r\\nSet-Cookie: x=1')])", kUnsafe},
        ErrorCase{"('hi', 200, [('X\\nY', 'a')])", kUnsafe},
        ErrorCase{"('hi', 200, {'X': 'a\\x00b'})", kUnsafe},
        ErrorCase{"('hi', 200, ToList([('X', 'a\\rb')]))", kUnsafe},
        ErrorCase{"Resp(200, [('X', '\\n')], 'x')", kUnsafe},
        ErrorCase{"Resp(200, {'\\r': 'v'}, 'x')", kUnsafe},
        // Not masked by the tuple-body rule: the failure must stay visible.
        ErrorCase{"(Resp(200, [('X', 'a\\nb')], 'x'), 200)", kUnsafe},
        ErrorCase{"(('inject', 1), 200)", kUnsafe},
        // Bounded to_list() chains.
        ErrorCase{"('hi', 200, chain(9, []))",
                  "ValueError: header container to_list() chain deeper than 8 levels"},
        ErrorCase{"('hi', 200, Loop())",
                  "ValueError: header container to_list() chain deeper than 8 levels"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

class ConvertSlow : public WithGil, public ::testing::Test {};

TEST_F(ConvertSlow, SlowResultWithoutFastIsAnAttributeError) {
  PyRef obj = eval("type('Plain', (), {})()");
  ASSERT_TRUE(obj);
  PyRef bad_slow = eval("lambda v: object()");
  ASSERT_TRUE(bad_slow);
  EXPECT_FALSE(kiv::convert(obj.get(), bad_slow.get()));
  EXPECT_EQ(take_error(), "AttributeError: 'object' object has no attribute '_fast'");
}

TEST_F(ConvertSlow, CalledOnlyForOtherObjects) {
  struct {
    const char* expr;
    long calls;
  } cases[] = {{"'s'", 0},
               {"b'b'", 0},
               {"[1]", 0},
               {"('s', 200)", 0},
               {"Resp(200, [], '')", 0},
               {"(Resp(200, [], ''), 200)", 0},
               {"7", 1},
               {"NotCallableFast()", 1},
               {"(('ok', 1), 200)", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expr);
    PyRef v = eval(c.expr);
    ASSERT_TRUE(v);
    const long before = slow_call_count();
    ASSERT_TRUE(kiv::convert(v.get(), slow())) << take_error();
    EXPECT_EQ(slow_call_count() - before, c.calls);
  }
}

TEST_F(ConvertSlow, PartOfTupleBodyUsesSameRules) {
  // convert_part on a str/bytes/dict/list is exactly convert, errors included.
  PyRef d = eval("{'k': {1, 2}}");
  ASSERT_TRUE(d);
  EXPECT_FALSE(kiv::convert_part(d.get(), slow()));
  EXPECT_EQ(take_error(), "ValueError: unsupported type set");
  PyRef t = eval("('a', 'b')");
  ASSERT_TRUE(t);
  EXPECT_FALSE(kiv::convert_part(t.get(), slow()));
  EXPECT_EQ(take_error(), "TypeError: invalid response body element in tuple");
}

TEST_F(ConvertSlow, ParseFastTupleWithoutFastAttribute) {
  PyRef v = eval("object()");
  ASSERT_TRUE(v);
  EXPECT_FALSE(kiv::parse_fast_tuple(v.get()));
  EXPECT_EQ(take_error(), "AttributeError: 'object' object has no attribute '_fast'");
}

TEST_F(ConvertSlow, RefcountsUnchangedAfterManyConversions) {
  PyRef body = eval("'body-' + str(99)");
  PyRef name = eval("'X-' + 'Name'");
  PyRef value = eval("'v' * 3");
  PyRef bad = eval("object()");
  ASSERT_TRUE(body && name && value && bad);
  std::vector<PyRef> inputs;
  const char* exprs[] = {
      "lambda b, n, v, bad: (b, 201, [(n, v)])",
      "lambda b, n, v, bad: (Resp(200, ToList({n: v}), b), '404')",
      "lambda b, n, v, bad: Resp(200, [(n, v)], b)",
      "lambda b, n, v, bad: {n: [b, v, Idx(3)]}",
      "lambda b, n, v, bad: 7",
      // Failing paths.
      "lambda b, n, v, bad: {n: [b, bad]}",
      "lambda b, n, v, bad: (b, 200, [(n, v), (n, bad)])",
      "lambda b, n, v, bad: (Resp(200, [(n, 1)], b), 200)",
      "lambda b, n, v, bad: (b, 200, chain(9, [(n, v)]))",
      "lambda b, n, v, bad: Resp(200, [(n, v + '\\n')], b)",
      "lambda b, n, v, bad: bad",
  };
  for (const char* e : exprs) {
    PyRef fn = eval(e);
    ASSERT_TRUE(fn) << e;
    PyRef built = PyRef::steal(PyObject_CallFunctionObjArgs(fn.get(), body.get(), name.get(),
                                                            value.get(), bad.get(), nullptr));
    ASSERT_TRUE(built) << e;
    inputs.push_back(std::move(built));
  }
  // convert_slow keeps every argument in slow_calls; empty it after each round.
  PyRef calls = PyRef::borrow(PyDict_GetItemString(conv_namespace(), "slow_calls"));
  ASSERT_EQ(PyList_SetSlice(calls.get(), 0, PyList_Size(calls.get()), nullptr), 0);

  PyObject* watched[] = {body.get(), name.get(), value.get(), bad.get()};
  std::vector<long> before;
  for (PyObject* o : watched) before.push_back(refcount(o));
  for (const PyRef& in : inputs) before.push_back(refcount(in.get()));

  for (int round = 0; round < 100; ++round) {
    for (const PyRef& in : inputs) {
      if (!kiv::convert(in.get(), slow())) PyErr_Clear();
    }
    ASSERT_EQ(PyList_SetSlice(calls.get(), 0, PyList_Size(calls.get()), nullptr), 0);
  }

  std::vector<long> after;
  for (PyObject* o : watched) after.push_back(refcount(o));
  for (const PyRef& in : inputs) after.push_back(refcount(in.get()));
  EXPECT_EQ(before, after);
}

}  // namespace
