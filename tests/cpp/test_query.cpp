#include <gtest/gtest.h>

#include <string>

#include "http/query.hpp"

namespace kiv {
namespace {

struct QueryCase {
  const char* label;
  std::string query;
  HeaderList want;
};

void PrintTo(const QueryCase& c, std::ostream* os) {
  *os << c.label;
}

class Query : public ::testing::TestWithParam<QueryCase> {};

TEST_P(Query, Parses) {
  EXPECT_EQ(parse_query(GetParam().query), GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Query,
    ::testing::Values(
        QueryCase{"duplicates_in_order", "a=1&b=2&a=3", {{"a", "1"}, {"b", "2"}, {"a", "3"}}},
        QueryCase{"empty", "", {}}, QueryCase{"only_ampersands", "&&&", {}},
        QueryCase{"empty_pieces_dropped", "&a=1&&b=2&", {{"a", "1"}, {"b", "2"}}},
        QueryCase{"no_equals", "flag", {{"flag", ""}}}, QueryCase{"empty_name", "=x", {{"", "x"}}},
        QueryCase{"lone_equals", "=", {{"", ""}}},
        QueryCase{"later_equals_in_value", "a==b", {{"a", "=b"}}},
        QueryCase{"plus_before_percent", "q=a+b%2Bc", {{"q", "a b+c"}}},
        QueryCase{"plus_in_name", "a+b=1", {{"a b", "1"}}},
        QueryCase{"bad_escape_kept", "q=%zz", {{"q", "%zz"}}},
        QueryCase{"short_escape_kept", "q=%4&r=%", {{"q", "%4"}, {"r", "%"}}},
        QueryCase{"lone_latin1_byte", "q=%E9", {{"q", "\xEF\xBF\xBD"}}},
        QueryCase{"utf8_escapes", "q=%C3%a9t%C3%A9", {{"q", "\xC3\xA9t\xC3\xA9"}}},
        QueryCase{"encoded_ampersand", "x%26y=1", {{"x&y", "1"}}},
        QueryCase{"encoded_equals", "a%3Db=c", {{"a=b", "c"}}},
        QueryCase{"second_question_mark", "b=1?c", {{"b", "1?c"}}},
        QueryCase{"raw_utf8_kept", "k=caf\xC3\xA9", {{"k", "caf\xC3\xA9"}}},
        QueryCase{"nul_escape", "a=%00", {{"a", std::string(1, '\0')}}}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace kiv
