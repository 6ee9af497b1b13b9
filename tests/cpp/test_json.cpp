#include <gtest/gtest.h>

#include <Python.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "json.hpp"
#include "pyref.hpp"

namespace {

// One interpreter for the whole unit-test binary; never finalised, since
// other suites may keep references past their own tests.
class PythonEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!Py_IsInitialized()) Py_Initialize();
  }
};

[[maybe_unused]] ::testing::Environment* const kPythonEnv =
    ::testing::AddGlobalTestEnvironment(new PythonEnvironment);

using kiv::PyRef;

constexpr const char* kHelpers = R"PY(
import datetime, enum

class Status(enum.IntEnum):
    CREATED = 201

class Idx:
    def __init__(self, v): self.v = v
    def __index__(self): return self.v

class RaisingIdx:
    def __init__(self, exc): self.exc = exc
    def __index__(self): raise self.exc

class Outer:
    class Inner(Exception):
        pass

class Unprintable(Exception):
    def __str__(self): raise RuntimeError('no')

class F(float): pass
class S(str): pass
class L(list): pass
class D(dict): pass
class T(tuple): pass

class FloatWithIndex(float):
    def __index__(self): return 7

class Clearer:
    # Empties its container while being written.
    def __init__(self, target): self.target = target
    def __index__(self):
        self.target.clear()
        return 5

def nested(n, inner):
    v = inner
    for _ in range(n):
        v = [v]
    return v

def self_clearing_list():
    lst = []
    lst.extend([Clearer(lst), 1, 2])
    return lst

def self_clearing_dict():
    d = {}
    d['a'] = Clearer(d)
    d['b'] = 'x' * 40
    return d
)PY";

PyObject* json_namespace() {
  static PyObject* ns = [] {
    PyObject* d = PyDict_New();
    PyDict_SetItemString(d, "__builtins__", PyEval_GetBuiltins());
    PyRef code = PyRef::steal(Py_CompileString(kHelpers, "<json-test>", Py_file_input));
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
  PyRef r = PyRef::steal(PyEval_EvalCode(code.get(), json_namespace(), json_namespace()));
  if (!r) PyErr_Print();
  return r;
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

struct JsonCase {
  const char* expr;
  const char* expected;
};

class JsonOutput : public WithGil, public ::testing::TestWithParam<JsonCase> {};

TEST_P(JsonOutput, WritesExactBytes) {
  const JsonCase& c = GetParam();
  PyRef v = eval(c.expr);
  ASSERT_TRUE(v) << c.expr;
  std::string buf = "prefix:";
  auto err = kiv::write_value(v.get(), buf, 0);
  ASSERT_FALSE(err) << *err;
  EXPECT_EQ(buf, std::string("prefix:") + c.expected);
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Values, JsonOutput,
    ::testing::Values(
        JsonCase{"{'b': 1, 'a': [True, None, 1.0]}", R"({"a":[true,null,1.0],"b":1})"},
        JsonCase{"{'\\u00e9': 1, 'z': 2}", R"({"z":2,"\u00e9":1})"},
        JsonCase{"{'ab': 1, 'b': 2, 'a': 3, '': 4}", R"({"":4,"a":3,"ab":1,"b":2})"},
        // Code point order, not UTF-16 order: U+FFFF sorts before U+10000.
        JsonCase{"{'\\U00010000': 1, '\\uffff': 2}", R"({"\uffff":2,"\ud800\udc00":1})"},
        JsonCase{"{f'k{i:02d}': i for i in reversed(range(20))}",
                 R"({"k00":0,"k01":1,"k02":2,"k03":3,"k04":4,"k05":5,"k06":6,"k07":7,)"
                 R"("k08":8,"k09":9,"k10":10,"k11":11,"k12":12,"k13":13,"k14":14,"k15":15,)"
                 R"("k16":16,"k17":17,"k18":18,"k19":19})"},
        // Lone surrogates, escaped as json.dumps does.
        JsonCase{"['\\ud800', 'a\\udfff\\ud83d\\ude00\"\\x01\\u00e9']",
                 R"(["\ud800","a\udfff\ud83d\ude00\"\u0001\u00e9"])"},
        JsonCase{"{'\\ue000': 1, '\\udc00': 2, '\\ud7ff': 3}",
                 R"({"\ud7ff":3,"\udc00":2,"\ue000":1})"},
        JsonCase{"(1, 2)", "[1,2]"}, JsonCase{"[]", "[]"}, JsonCase{"{}", "{}"},
        JsonCase{"((), [[]], {'a': {}})", R"([[],[[]],{"a":{}}])"},
        JsonCase{"2**63", "9223372036854775808"}, JsonCase{"2**64 - 1", "18446744073709551615"},
        JsonCase{"-2**63", "-9223372036854775808"}, JsonCase{"0", "0"},
        JsonCase{"[True, False, None]", "[true,false,null]"}, JsonCase{"Status.CREATED", "201"},
        JsonCase{"Idx(-7)", "-7"}, JsonCase{"Idx(2**63)", "9223372036854775808"},
        JsonCase{"FloatWithIndex(2.5)", "7"},  // integer protocol is tested before float
        JsonCase{"F(2.5)", "2.5"}, JsonCase{"S('x')", R"("x")"}, JsonCase{"L([1])", "[1]"},
        JsonCase{"D(b=1, a=2)", R"({"a":2,"b":1})"}, JsonCase{"T((1,))", "[1]"},
        JsonCase{"1e16", "1e+16"}, JsonCase{"0.00001", "1e-5"}, JsonCase{"1e-4", "0.0001"},
        JsonCase{"[float('nan'), float('inf'), -float('inf')]", "[NaN,Infinity,-Infinity]"},
        JsonCase{"'a\\nb\\tc\\x7f/'", "\"a\\nb\\tc\x7f/\""},
        JsonCase{"'\\U0001F600'", R"("\ud83d\ude00")"}, JsonCase{"self_clearing_list()", "[5]"},
        JsonCase{"self_clearing_dict()",
                 R"({"a":5,"b":"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"})"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

// Deep nesting produces long expected texts; build them instead of spelling.
TEST(JsonDepth, AcceptsDepth200AndRefuses201) {
  kiv::AcquireGil gil;
  // `lists` wraps `inner`; an inner [] is itself one more list, at the
  // deepest level, with no element below it.
  struct {
    int lists;
    const char* inner;
    bool ok;
  } cases[] = {{200, "1", true}, {201, "1", false}, {200, "[]", true}, {201, "[]", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.lists) + " lists around " + c.inner);
    PyRef v = eval("nested(" + std::to_string(c.lists) + ", " + c.inner + ")");
    ASSERT_TRUE(v);
    std::string buf;
    auto err = kiv::write_value(v.get(), buf, 0);
    if (c.ok) {
      ASSERT_FALSE(err) << *err;
      EXPECT_EQ(buf, std::string(c.lists, '[') + c.inner + std::string(c.lists, ']'));
    } else {
      ASSERT_TRUE(err);
      EXPECT_EQ(*err, "JSON nesting too deep");
    }
  }
}

struct JsonErrorCase {
  const char* expr;
  const char* message;
};

class JsonError : public WithGil, public ::testing::TestWithParam<JsonErrorCase> {};

TEST_P(JsonError, FailsWithText) {
  const JsonErrorCase& c = GetParam();
  PyRef v = eval(c.expr);
  ASSERT_TRUE(v) << c.expr;
  std::string buf;
  auto err = kiv::write_value(v.get(), buf, 0);
  ASSERT_TRUE(err) << "wrote " << buf;
  EXPECT_EQ(*err, c.message);
  // The error is handed back as text; nothing may stay pending.
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  PyErr_Clear();
}

INSTANTIATE_TEST_SUITE_P(
    Values, JsonError,
    ::testing::Values(
        JsonErrorCase{"2**64", "unsupported type int"},
        JsonErrorCase{"-2**63 - 1", "unsupported type int"},
        JsonErrorCase{"[1, {'a': [2**70]}]", "unsupported type int"},
        JsonErrorCase{"Idx(2**64)", "unsupported type Idx"},
        JsonErrorCase{"{1: 'a'}", "non-str dict key"},
        // Keys are all checked before any value is written.
        JsonErrorCase{"{'a': object(), 1: 'b'}", "non-str dict key"},
        JsonErrorCase{"object()", "unsupported type object"},
        JsonErrorCase{"[datetime.datetime(2020, 1, 1)]", "unsupported type datetime"},
        JsonErrorCase{"{'a': {1, 2}}", "unsupported type set"},
        JsonErrorCase{"b'x'", "unsupported type bytes"},
        JsonErrorCase{"RaisingIdx(ValueError('bad index'))", "ValueError: bad index"},
        JsonErrorCase{"RaisingIdx(Outer.Inner('deep'))", "Outer.Inner: deep"},
        JsonErrorCase{"RaisingIdx(Unprintable())", "Unprintable: <exception str() failed>"},
        // A TypeError from __index__ only means "not an integer".
        JsonErrorCase{"RaisingIdx(TypeError('x'))", "unsupported type RaisingIdx"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(JsonRefcounts, UnchangedAfterSuccessAndFailure) {
  kiv::AcquireGil gil;
  PyRef leaf = eval("'leaf-' + str(12345)");
  PyRef idx = eval("Idx(3)");
  PyRef bad = eval("object()");
  ASSERT_TRUE(leaf && idx && bad);
  PyRef good = PyRef::steal(
      Py_BuildValue("{s:[O,O,i],s:(O)}", "k", leaf.get(), idx.get(), 1, "z", leaf.get()));
  PyRef failing =
      PyRef::steal(Py_BuildValue("{s:O,s:O,s:O}", "a", leaf.get(), "b", idx.get(), "c", bad.get()));
  ASSERT_TRUE(good && failing);
  const long before[] = {refcount(leaf.get()), refcount(idx.get()), refcount(bad.get()),
                         refcount(good.get()), refcount(failing.get())};
  for (int i = 0; i < 200; ++i) {
    std::string buf;
    ASSERT_FALSE(kiv::write_value(good.get(), buf, 0));
    buf.clear();
    ASSERT_TRUE(kiv::write_value(failing.get(), buf, 0));
  }
  const long after[] = {refcount(leaf.get()), refcount(idx.get()), refcount(bad.get()),
                        refcount(good.get()), refcount(failing.get())};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(before[i], after[i]) << "object " << i;
}

struct FloatCase {
  double value;
  const char* expected;
};

class FloatText : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatText, Formats) {
  std::string buf;
  kiv::write_float(GetParam().value, buf);
  EXPECT_EQ(buf, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FloatText,
    ::testing::Values(
        FloatCase{3.0, "3.0"}, FloatCase{-0.0, "-0.0"}, FloatCase{0.0, "0.0"},
        FloatCase{1e15, "1000000000000000.0"}, FloatCase{9999999999999998.0, "9999999999999998.0"},
        FloatCase{-123456.0, "-123456.0"}, FloatCase{1e16, "1e+16"}, FloatCase{-1e16, "-1e+16"},
        FloatCase{12345678901234567890.0, "1.2345678901234567e+19"}, FloatCase{1e100, "1e+100"},
        FloatCase{1.5e-5, "1.5e-5"}, FloatCase{1e-5, "1e-5"}, FloatCase{-2.5e-7, "-2.5e-7"},
        FloatCase{1e-100, "1e-100"}, FloatCase{0.0001, "0.0001"},
        FloatCase{0.00012345, "0.00012345"}, FloatCase{0.1, "0.1"}, FloatCase{123.456, "123.456"},
        FloatCase{-0.5, "-0.5"}, FloatCase{1234567890123456.5, "1234567890123456.5"},
        FloatCase{1.7976931348623157e308, "1.7976931348623157e+308"}, FloatCase{5e-324, "5e-324"},
        FloatCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
        FloatCase{std::numeric_limits<double>::infinity(), "Infinity"},
        FloatCase{-std::numeric_limits<double>::infinity(), "-Infinity"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

// Every finite double must read back to itself, in the form its range calls for.
TEST(FloatText, RoundTripsRandomDoubles) {
  std::mt19937_64 rng(20240607);
  for (int i = 0; i < 200000; ++i) {
    const double x = std::bit_cast<double>(rng());
    if (!std::isfinite(x)) continue;
    std::string buf;
    kiv::write_float(x, buf);
    SCOPED_TRACE(buf);
    double back = 0;
    auto r = std::from_chars(buf.data(), buf.data() + buf.size(), back);
    ASSERT_EQ(r.ec, std::errc());
    ASSERT_EQ(r.ptr, buf.data() + buf.size());
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(x));
    const double ax = std::fabs(x);
    const bool exp_form = ax >= 1e16 || (ax != 0 && ax < 1e-4);
    const auto e = buf.find('e');
    ASSERT_EQ(e != std::string::npos, exp_form);
    if (exp_form) {
      ASSERT_TRUE(buf[e + 1] == '+' || buf[e + 1] == '-');
      ASSERT_NE(buf[e + 2], '0');
    } else {
      ASSERT_NE(buf.find('.'), std::string::npos);
    }
  }
}

struct StringCase {
  std::string_view utf8;
  const char* expected;
};

class StringText : public ::testing::TestWithParam<StringCase> {};

TEST_P(StringText, Escapes) {
  std::string buf;
  kiv::write_string(GetParam().utf8, buf);
  EXPECT_EQ(buf, GetParam().expected);
}

using namespace std::string_view_literals;

INSTANTIATE_TEST_SUITE_P(
    Values, StringText,
    ::testing::Values(StringCase{""sv, R"("")"}, StringCase{"plain text"sv, R"("plain text")"},
                      StringCase{"a\"b\\c"sv, R"("a\"b\\c")"},
                      StringCase{"\b\t\n\f\r"sv, R"("\b\t\n\f\r")"},
                      StringCase{"\0\x01\x0b\x1f"sv, R"("\u0000\u0001\u000b\u001f")"},
                      StringCase{" ~\x7f/"sv, "\" ~\x7f/\""},
                      StringCase{"caf\xc3\xa9"sv, R"("caf\u00e9")"},
                      StringCase{"\xe2\x82\xac\xef\xbf\xbf"sv, R"("\u20ac\uffff")"},
                      StringCase{"\xf0\x90\x80\x80"sv, R"("\ud800\udc00")"},
                      StringCase{"\xf0\x9f\x98\x80"sv, R"("\ud83d\ude00")"},
                      StringCase{"\xf4\x8f\xbf\xbf"sv, R"("\udbff\udfff")"},
                      // Invalid UTF-8: one U+FFFD per maximal invalid subpart.
                      StringCase{"a\xff"
                                 "b"sv,
                                 R"("a\ufffdb")"},
                      StringCase{"\xe2\x82"
                                 "x"sv,
                                 R"("\ufffdx")"},
                      StringCase{"\xed\xa0\x80"sv, R"("\ufffd\ufffd\ufffd")"},
                      StringCase{"\xf0\x9f\x98"sv, R"("\ufffd")"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

// The bulk copy works eight bytes at a time; put each kind of special byte at
// every offset of a long run, among bytes that sit just beside the thresholds.
TEST(StringText, SpecialByteAtEveryOffset) {
  const std::string filler = "!#[]~ 0A!#[]~ 0A!#[]~ 0A";  // 0x21, 0x23, 0x5b, 0x5d, ...
  const struct {
    std::string_view raw;
    std::string_view escaped;
  } specials[] = {{"\"", "\\\""},      {"\\", "\\\\"},   {"\n", "\\n"},
                  {"\x1f", "\\u001f"}, {"\x7f", "\x7f"}, {"\xc3\xa9", "\\u00e9"},
                  {"\x80", "\\ufffd"}};
  for (const auto& sp : specials) {
    for (std::size_t pos = 0; pos <= filler.size(); ++pos) {
      SCOPED_TRACE("offset " + std::to_string(pos) + " escaped " + std::string(sp.escaped));
      std::string in = filler.substr(0, pos);
      in += sp.raw;
      in += filler.substr(pos);
      std::string buf;
      kiv::write_string(in, buf);
      std::string expected = "\"" + filler.substr(0, pos);
      expected += sp.escaped;
      expected += filler.substr(pos) + "\"";
      ASSERT_EQ(buf, expected);
    }
  }
}

}  // namespace
