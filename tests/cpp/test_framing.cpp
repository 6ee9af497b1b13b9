#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "http/framing.hpp"

namespace kiv {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

// Builds a parsed head over the strings of hs (which must outlive it).
ParsedHead head_of(const Headers& hs, int minor = 1) {
  ParsedHead h{};
  h.method = "POST";
  h.target = "/";
  h.minor_version = minor;
  for (const auto& [n, v] : hs) h.headers[h.num_headers++] = {n, v};
  return h;
}

struct FramingCase {
  const char* label;
  Headers headers;
  int minor;
  BodyFraming::Kind kind;
  std::uint64_t length;
  bool force_close;
};

void PrintTo(const FramingCase& c, std::ostream* os) {
  *os << c.label;
}

class Framing : public ::testing::TestWithParam<FramingCase> {};

TEST_P(Framing, Decides) {
  const FramingCase& c = GetParam();
  const BodyFraming f = decide_framing(head_of(c.headers, c.minor));
  EXPECT_EQ(f.kind, c.kind);
  if (c.kind == BodyFraming::kLength) {
    EXPECT_EQ(f.length, c.length);
  }
  if (c.kind != BodyFraming::kBad) {
    EXPECT_EQ(f.force_close, c.force_close);
  }
}

constexpr auto kNone = BodyFraming::kNone;
constexpr auto kLength = BodyFraming::kLength;
constexpr auto kChunked = BodyFraming::kChunked;
constexpr auto kBad = BodyFraming::kBad;

INSTANTIATE_TEST_SUITE_P(
    ContentLength, Framing,
    ::testing::Values(
        FramingCase{"absent", {{"Host", "x"}}, 1, kNone, 0, false},
        FramingCase{"plain", {{"Content-Length", "5"}}, 1, kLength, 5, false},
        FramingCase{"zero", {{"Content-Length", "0"}}, 1, kLength, 0, false},
        FramingCase{"name_case", {{"CONTENT-length", "7"}}, 1, kLength, 7, false},
        FramingCase{"blanks_trimmed", {{"Content-Length", " \t5\t "}}, 1, kLength, 5, false},
        FramingCase{"leading_zeros", {{"Content-Length", "007"}}, 1, kLength, 7, false},
        FramingCase{"max_u64",
                    {{"Content-Length", "18446744073709551615"}},
                    1,
                    kLength,
                    std::numeric_limits<std::uint64_t>::max(),
                    false},
        FramingCase{"overflow", {{"Content-Length", "18446744073709551616"}}, 1, kBad, 0, true},
        FramingCase{"empty", {{"Content-Length", ""}}, 1, kBad, 0, true},
        FramingCase{"plus", {{"Content-Length", "+5"}}, 1, kBad, 0, true},
        FramingCase{"minus", {{"Content-Length", "-5"}}, 1, kBad, 0, true},
        FramingCase{"trailing_junk", {{"Content-Length", "5a"}}, 1, kBad, 0, true},
        FramingCase{"hex", {{"Content-Length", "0x5"}}, 1, kBad, 0, true},
        FramingCase{"inner_blank", {{"Content-Length", "1 2"}}, 1, kBad, 0, true},
        FramingCase{"list", {{"Content-Length", "5, 5"}}, 1, kBad, 0, true},
        FramingCase{"repeated_same",
                    {{"Content-Length", "5"}, {"content-length", "5"}},
                    1,
                    kLength,
                    5,
                    false},
        FramingCase{"repeated_different",
                    {{"Content-Length", "5"}, {"Content-Length", "6"}},
                    1,
                    kBad,
                    0,
                    true},
        FramingCase{"repeated_one_bad",
                    {{"Content-Length", "5"}, {"Content-Length", "x"}},
                    1,
                    kBad,
                    0,
                    true},
        FramingCase{
            "bad_then_good", {{"Content-Length", "x"}, {"Content-Length", "5"}}, 1, kBad, 0, true},
        FramingCase{"similar_name_ignored", {{"Content-Lengths", "x"}}, 1, kNone, 0, false}),
    [](const auto& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    TransferEncoding, Framing,
    ::testing::Values(
        FramingCase{"chunked", {{"Transfer-Encoding", "chunked"}}, 1, kChunked, 0, false},
        FramingCase{"any_case", {{"transfer-ENCODING", "ChUnKeD"}}, 1, kChunked, 0, false},
        FramingCase{"padded", {{"Transfer-Encoding", " chunked\t"}}, 1, kChunked, 0, false},
        FramingCase{
            "last_is_chunked", {{"Transfer-Encoding", "gzip, chunked"}}, 1, kChunked, 0, false},
        FramingCase{"empty_elements_ignored",
                    {{"Transfer-Encoding", "chunked , ,"}},
                    1,
                    kChunked,
                    0,
                    false},
        FramingCase{"chunked_not_last", {{"Transfer-Encoding", "chunked, gzip"}}, 1, kBad, 0, true},
        FramingCase{"other_coding", {{"Transfer-Encoding", "gzip"}}, 1, kBad, 0, true},
        FramingCase{"empty_value", {{"Transfer-Encoding", ""}}, 1, kBad, 0, true},
        FramingCase{"only_commas", {{"Transfer-Encoding", " , "}}, 1, kBad, 0, true},
        FramingCase{"substring_only", {{"Transfer-Encoding", "xchunked"}}, 1, kBad, 0, true},
        FramingCase{
            "chunked_with_params", {{"Transfer-Encoding", "chunked;q=1"}}, 1, kBad, 0, true},
        FramingCase{"fields_joined",
                    {{"Transfer-Encoding", "gzip"}, {"Transfer-Encoding", "chunked"}},
                    1,
                    kChunked,
                    0,
                    false},
        FramingCase{"fields_joined_last_not_chunked",
                    {{"Transfer-Encoding", "chunked"}, {"Transfer-Encoding", "gzip"}},
                    1,
                    kBad,
                    0,
                    true},
        FramingCase{"with_content_length",
                    {{"Content-Length", "5"}, {"Transfer-Encoding", "chunked"}},
                    1,
                    kChunked,
                    0,
                    true},
        FramingCase{"with_bad_content_length",
                    {{"Transfer-Encoding", "chunked"}, {"Content-Length", "zz"}},
                    1,
                    kChunked,
                    0,
                    true},
        FramingCase{"other_coding_with_content_length",
                    {{"Transfer-Encoding", "gzip"}, {"Content-Length", "5"}},
                    1,
                    kBad,
                    0,
                    true},
        FramingCase{"http10", {{"Transfer-Encoding", "chunked"}}, 0, kChunked, 0, true}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ChunkSize, Table) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::pair<std::string_view, std::optional<std::uint64_t>> cases[] = {
      {"5", 5},
      {"0", 0},
      {"a", 10},
      {"FF", 255},
      {"fF", 255},
      {"+a", 10},
      {"5;ext", 5},
      {"5 ; name=value;x", 5},
      {" \t1f\t ", 31},
      {"0;", 0},
      {"ffffffffffffffff", kMax},
      {"00000000000000000001", 1},
      {"10000000000000000", std::nullopt},  // 2^64
      {"", std::nullopt},
      {" ", std::nullopt},
      {";ext", std::nullopt},
      {"+", std::nullopt},
      {"++5", std::nullopt},
      {"-5", std::nullopt},
      {"0x5", std::nullopt},
      {"5g", std::nullopt},
      {"5 5", std::nullopt},
      {"5\r", std::nullopt},
      {"\xEF\xBC\x95", std::nullopt},  // fullwidth digit five
  };
  for (const auto& [line, want] : cases) {
    SCOPED_TRACE(line);
    EXPECT_EQ(parse_chunk_size(line), want);
  }
}

TEST(AsciiCase, EqualsAndContains) {
  EXPECT_TRUE(iequals_ascii("Content-LENGTH", "content-length"));
  EXPECT_FALSE(iequals_ascii("content-lengt", "content-length"));
  EXPECT_FALSE(iequals_ascii("content_length", "content-length"));
  // Only ASCII letters fold: "\xC3\x89" must not match "\xC3\xA9".
  EXPECT_FALSE(iequals_ascii("\xC3\x89", "\xC3\xA9"));
  EXPECT_TRUE(icontains_ascii("foo, 100-Continue", "100-continue"));
  EXPECT_TRUE(icontains_ascii("CHUNKED", "chunked"));
  EXPECT_FALSE(icontains_ascii("chunke", "chunked"));
  EXPECT_FALSE(icontains_ascii("", "x"));
  EXPECT_TRUE(icontains_ascii("abc", ""));
  EXPECT_TRUE(icontains_ascii("aaab", "aab"));  // overlapping start
}

TEST(FindHeader, FirstMatchIgnoringCase) {
  const Headers hs = {{"Host", "a"}, {"X", "1"}, {"HOST", "b"}};
  const ParsedHead h = head_of(hs);
  const HeaderView* found = find_header(h, "host");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->value, "a");
  EXPECT_EQ(find_header(h, "hos"), nullptr);
  EXPECT_EQ(find_header(head_of({}), "host"), nullptr);
}

}  // namespace
}  // namespace kiv
