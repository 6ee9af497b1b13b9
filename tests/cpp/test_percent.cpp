#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "percent.hpp"

namespace kiv {
namespace {

constexpr std::string_view kFFFD = "\xEF\xBF\xBD";

std::string rep(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += kFFFD;
  return s;
}

// Expected values are those of Python's bytes.decode("utf-8", "replace"):
// one U+FFFD per maximal subpart of an ill-formed sequence.
TEST(Utf8Lossy, MatchesMaximalSubpartReplacement) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"plain ascii", "plain ascii"},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80 \xE2\x82\xAC", "caf\xC3\xA9 \xF0\x9F\x98\x80 \xE2\x82\xAC"},
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},  // U+10FFFF, the last code point
      {"\xEF\xBF\xBD", "\xEF\xBF\xBD"},          // a real U+FFFD passes
      {"\xC0\x80", rep(2)},                      // overlong NUL
      {"\xC1\xBF", rep(2)},                      // overlong, C1 never valid
      {"\xE0\x80\x80", rep(3)},                  // overlong 3-byte
      {"\xF0\x80\x80\x80", rep(4)},              // overlong 4-byte
      {"\xED\xA0\x80", rep(3)},                  // surrogate U+D800
      {"\xED\xBF\xBF", rep(3)},                  // surrogate U+DFFF
      {"\xED\x9F\xBF", "\xED\x9F\xBF"},          // U+D7FF, just below
      {"\xF4\x90\x80\x80", rep(4)},              // beyond U+10FFFF
      {"\xF5\x80\x80\x80", rep(4)},
      {"\xFF\xFE", rep(2)},
      {"\x80", rep(1)},      // lone continuation
      {"\xE2\x82", rep(1)},  // truncated at end: one
      {"\xF0\x9F\x98", rep(1)},
      {"\xE2\x82"
       "A",
       rep(1) + "A"},  // truncated before ASCII
      {"\xF0\x9F"
       "\xF0\x9F\x98\x80",
       rep(1) + "\xF0\x9F\x98\x80"},
      {"a\xC3", "a" + rep(1)},
      {"\xC3\xC3\xA9", rep(1) + "\xC3\xA9"},
      {std::string("\0\xFF", 2), std::string("\0", 1) + rep(1)},
  };
  for (const auto& [in, want] : cases) {
    SCOPED_TRACE(::testing::PrintToString(in));
    EXPECT_EQ(utf8_lossy(in), want);
    EXPECT_EQ(is_valid_utf8(in), in == want);
  }
}

TEST(PercentDecode, Table) {
  struct Case {
    std::string in;
    bool plus;
    std::string want;
  };
  const Case cases[] = {
      {"/a%20b", false, "/a b"},
      {"%2f%2F", false, "//"},
      {"a+b", false, "a+b"},  // "+" is literal outside query components
      {"a+b", true, "a b"},
      {"%2B", true, "+"},
      {"%", false, "%"},
      {"%4", false, "%4"},
      {"%4g", false, "%4g"},
      {"%%41", false, "%A"},  // the second "%" still starts an escape
      {"100%", false, "100%"},
      {"%zz%41", false, "%zzA"},
      {"%C3%A9", false, "\xC3\xA9"},
      {"%c3%a9", false, "\xC3\xA9"},
      {"%C3", false, rep(1)},
      {"%ED%A0%80", false, rep(3)},
      {"%C0%AF", false, rep(2)},  // overlong "/" must not become a slash
      {"%00", false, std::string(1, '\0')},
      {"caf\xC3\xA9", false, "caf\xC3\xA9"},
      {"\xE9%41", false, rep(1) + "A"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in + (c.plus ? " (plus)" : ""));
    EXPECT_EQ(percent_decode(c.in, c.plus), c.want);
  }
}

}  // namespace
}  // namespace kiv
