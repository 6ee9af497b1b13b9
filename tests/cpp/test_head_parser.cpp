#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "http/head_parser.hpp"

namespace kiv {
namespace {

using namespace std::string_literals;
using Headers = std::vector<std::pair<std::string, std::string>>;

struct Accepted {
  const char* label;
  std::string input;
  std::size_t trailing;  // bytes after the head (a body or the next request)
  std::string method, target;
  int minor;
  Headers headers;
};

void PrintTo(const Accepted& c, std::ostream* os) {
  *os << c.label;
}

class HeadAccepted : public ::testing::TestWithParam<Accepted> {};

TEST_P(HeadAccepted, ParsesFields) {
  const Accepted& c = GetParam();
  ParsedHead h;
  const long n = parse_head(c.input, h);
  ASSERT_EQ(n, static_cast<long>(c.input.size() - c.trailing));
  EXPECT_EQ(h.method, c.method);
  EXPECT_EQ(h.target, c.target);
  EXPECT_EQ(h.minor_version, c.minor);
  ASSERT_EQ(h.num_headers, c.headers.size());
  for (std::size_t i = 0; i < h.num_headers; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(h.headers[i].name, c.headers[i].first);
    EXPECT_EQ(h.headers[i].value, c.headers[i].second);
    // Views into the buffer, not copies.
    EXPECT_GE(h.headers[i].name.data(), c.input.data());
    EXPECT_LT(h.headers[i].name.data(), c.input.data() + c.input.size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, HeadAccepted,
    ::testing::Values(
        Accepted{"crlf",
                 "GET /a?b=1 HTTP/1.1\r\nHost: x\r\nAccept: */*\r\n\r\n",
                 0,
                 "GET",
                 "/a?b=1",
                 1,
                 {{"Host", "x"}, {"Accept", "*/*"}}},
        Accepted{"bare_lf", "GET / HTTP/1.1\nHost: x\n\n", 0, "GET", "/", 1, {{"Host", "x"}}},
        Accepted{"mixed_ends",
                 "GET / HTTP/1.0\r\nA: 1\nB: 2\r\n\n",
                 0,
                 "GET",
                 "/",
                 0,
                 {{"A", "1"}, {"B", "2"}}},
        Accepted{
            "leading_empty_lines", "\r\n\n\r\nPOST /p HTTP/1.1\r\n\r\n", 0, "POST", "/p", 1, {}},
        Accepted{"value_blanks_trimmed",
                 "GET / HTTP/1.1\r\nX: \t a \t b \t\r\nY:\r\nZ:   \r\n\r\n",
                 0,
                 "GET",
                 "/",
                 1,
                 {{"X", "a \t b"}, {"Y", ""}, {"Z", ""}}},
        Accepted{"high_bytes_in_value",
                 "GET / HTTP/1.1\r\nX: caf\xC3\xA9 \xFF\r\n\r\n",
                 0,
                 "GET",
                 "/",
                 1,
                 {{"X", "caf\xC3\xA9 \xFF"}}},
        Accepted{"utf8_target",
                 "GET /caf\xC3\xA9/\xF0\x9F\x98\x80 HTTP/1.1\r\n\r\n",
                 0,
                 "GET",
                 "/caf\xC3\xA9/\xF0\x9F\x98\x80",
                 1,
                 {}},
        Accepted{"absolute_and_star_targets",
                 "OPTIONS http://h:80/x?y HTTP/1.1\r\n\r\n",
                 0,
                 "OPTIONS",
                 "http://h:80/x?y",
                 1,
                 {}},
        Accepted{"tchar_method_and_names",
                 "M-SEARCH! * HTTP/1.1\r\n!#$%&'*+-.^_`|~09aZ: v\r\n\r\n",
                 0,
                 "M-SEARCH!",
                 "*",
                 1,
                 {{"!#$%&'*+-.^_`|~09aZ", "v"}}},
        Accepted{"duplicates_kept_in_order",
                 "GET / HTTP/1.1\r\nA: 1\r\na: 2\r\nA: 3\r\n\r\n",
                 0,
                 "GET",
                 "/",
                 1,
                 {{"A", "1"}, {"a", "2"}, {"A", "3"}}},
        Accepted{"body_after_head",
                 "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello",
                 5,
                 "POST",
                 "/",
                 1,
                 {{"Content-Length", "5"}}},
        Accepted{"pipelined_next_request",
                 "GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\n",
                 19,
                 "GET",
                 "/1",
                 1,
                 {}},
        Accepted{"value_with_colon",
                 "GET / HTTP/1.1\r\nHost: a:8080\r\n\r\n",
                 0,
                 "GET",
                 "/",
                 1,
                 {{"Host", "a:8080"}}}),
    [](const auto& info) { return std::string(info.param.label); });

struct Rejected {
  const char* label;
  std::string input;
};

void PrintTo(const Rejected& c, std::ostream* os) {
  *os << c.label;
}

class HeadRejected : public ::testing::TestWithParam<Rejected> {};

TEST_P(HeadRejected, IsError) {
  ParsedHead h;
  EXPECT_EQ(parse_head(GetParam().input, h), kHeadError);
}

const Rejected kRejected[] = {
    {"http_1_2", "GET / HTTP/1.2\r\n\r\n"},
    {"http_2_0", "GET / HTTP/2.0\r\n\r\n"},
    {"lower_case_http", "GET / http/1.1\r\n\r\n"},
    {"version_suffix", "GET / HTTP/1.10\r\n\r\n"},
    {"blank_after_version", "GET / HTTP/1.1 \r\n\r\n"},
    {"no_version", "GET /\r\n\r\n"},
    {"empty_method", " / HTTP/1.1\r\n\r\n"},
    {"empty_target", "GET  HTTP/1.1\r\n\r\n"},
    {"double_space", "GET  / HTTP/1.1\r\n\r\n"},
    {"bad_tchar_method", "GE(T / HTTP/1.1\r\n\r\n"},
    {"bad_tchar_name", "GET / HTTP/1.1\r\nX(y: 1\r\n\r\n"},
    {"space_in_name", "GET / HTTP/1.1\r\nX y: 1\r\n\r\n"},
    {"space_before_colon", "GET / HTTP/1.1\r\nHost : x\r\n\r\n"},
    {"tab_before_colon", "GET / HTTP/1.1\r\nHost\t: x\r\n\r\n"},
    {"no_colon", "GET / HTTP/1.1\r\nHost\r\n\r\n"},
    {"empty_name", "GET / HTTP/1.1\r\n: x\r\n\r\n"},
    {"obs_fold_space", "GET / HTTP/1.1\r\nX: a\r\n b\r\n\r\n"},
    {"obs_fold_tab", "GET / HTTP/1.1\r\nX: a\r\n\tb\r\n\r\n"},
    {"bare_cr_in_value", "GET / HTTP/1.1\r\nX: a\rb\r\n\r\n"},
    {"bare_cr_after_version", "GET / HTTP/1.1\r\r\n\r\n"},
    {"bare_cr_leading", "\rGET / HTTP/1.1\r\n\r\n"},
    {"bare_cr_after_colon", "GET / HTTP/1.1\r\nX:\rb\r\n\r\n"},
    {"bare_cr_final_line", "GET / HTTP/1.1\r\n\r\r\n"},
    {"nul_in_value", "GET / HTTP/1.1\r\nX: a\0b\r\n\r\n"s},
    {"nul_in_target", "GET /a\0 HTTP/1.1\r\n\r\n"s},
    {"ctrl_in_value", "GET / HTTP/1.1\r\nX: a\x01\r\n\r\n"},
    {"del_in_value", "GET / HTTP/1.1\r\nX: a\x7F\r\n\r\n"},
    {"del_in_target", "GET /\x7F HTTP/1.1\r\n\r\n"},
    {"tab_in_target", "GET /a\tb HTTP/1.1\r\n\r\n"},
    {"target_bad_utf8", "GET /\xC3( HTTP/1.1\r\n\r\n"},
    {"target_surrogate", "GET /\xED\xA0\x80 HTTP/1.1\r\n\r\n"},
    {"target_overlong", "GET /\xC0\xAF HTTP/1.1\r\n\r\n"},
    {"target_truncated_utf8", "GET /\xE2\x82 HTTP/1.1\r\n\r\n"},
    {"target_beyond_10ffff", "GET /\xF4\x90\x80\x80 HTTP/1.1\r\n\r\n"},
    {"response_line", "HTTP/1.1 200 OK\r\n\r\n"},
};

INSTANTIATE_TEST_SUITE_P(Table, HeadRejected, ::testing::ValuesIn(kRejected),
                         [](const auto& info) { return std::string(info.param.label); });

std::string head_with_headers(int count) {
  std::string s = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < count; ++i) s += "H" + std::to_string(i) + ": v\r\n";
  return s + "\r\n";
}

TEST(HeadParser, HeaderLimit) {
  ParsedHead h;
  const std::string hundred = head_with_headers(100);
  ASSERT_EQ(parse_head(hundred, h), static_cast<long>(hundred.size()));
  EXPECT_EQ(h.num_headers, 100u);
  EXPECT_EQ(h.headers[99].name, "H99");
  EXPECT_EQ(parse_head(head_with_headers(101), h), kHeadError);
  // The 101st line is refused as soon as it starts, before the head is complete.
  std::string partial = head_with_headers(100);
  partial.resize(partial.size() - 2);
  EXPECT_EQ(parse_head(partial + "X", h), kHeadError);
  EXPECT_EQ(parse_head(partial + "\r", h), kHeadIncomplete);
}

TEST(HeadParser, EveryProperPrefixIsIncomplete) {
  const std::string heads[] = {
      "GET /x?y=1 HTTP/1.1\r\nHost: example\r\nX-Empty:\r\nX-Pad: \t v \t\r\n\r\n",
      "\r\n\nPUT /caf\xC3\xA9 HTTP/1.0\nA: \xF0\x9F\x98\x80\n\n",
      "OPTIONS * HTTP/1.1\r\n\r\n",
  };
  for (const std::string& full : heads) {
    SCOPED_TRACE(full);
    ParsedHead h;
    for (std::size_t n = 0; n < full.size(); ++n) {
      SCOPED_TRACE(n);
      ASSERT_EQ(parse_head(std::string_view(full).substr(0, n), h), kHeadIncomplete);
    }
    EXPECT_EQ(parse_head(full, h), static_cast<long>(full.size()));
  }
}

TEST(HeadParser, ErrorsSurfaceBeforeTheHeadEnds) {
  for (std::string_view s : {"GET / HTTP/1.2", "GET / HTTP/2", "GE\x01", "GET /\x01",
                             "GET / HTTP/1.1\r\nX\x01", "GET / HTTP/1.1\r\n b", "\r\r"}) {
    SCOPED_TRACE(s);
    ParsedHead h;
    EXPECT_EQ(parse_head(s, h), kHeadError);
  }
}

// Values and targets are scanned a word at a time; a byte must be judged the
// same wherever it falls within or across words.
TEST(HeadParser, BytesJudgedAtEveryOffset) {
  for (std::size_t len = 1; len <= 40; ++len) {
    for (std::size_t at = 0; at < len; ++at) {
      SCOPED_TRACE(::testing::Message() << "len " << len << " at " << at);
      ParsedHead h;
      const std::string filler(len, 'v');
      auto with = [&](char c) {
        std::string v = filler;
        v[at] = c;
        return v;
      };
      for (char bad : {'\x01', '\x1F', '\x7F', '\0', '\r'}) {
        EXPECT_EQ(parse_head("GET / HTTP/1.1\r\nX: " + with(bad) + "z\r\n\r\n", h), kHeadError);
        EXPECT_EQ(parse_head("GET /" + with(bad) + " HTTP/1.1\r\n\r\n", h), kHeadError);
      }
      const std::string tabbed = "GET / HTTP/1.1\r\nX: a" + with('\t') + "z\r\n\r\n";
      ASSERT_EQ(parse_head(tabbed, h), static_cast<long>(tabbed.size()));
      EXPECT_EQ(h.headers[0].value, "a" + with('\t') + "z");
      EXPECT_EQ(parse_head("GET /" + with('\t') + " HTTP/1.1\r\n\r\n", h), kHeadError);
      // One stray non-ASCII byte anywhere in the target must reach the UTF-8 check;
      // valid sequences anywhere pass, and values take any byte above 0x7F.
      EXPECT_EQ(parse_head("GET /" + with('\xFF') + " HTTP/1.1\r\n\r\n", h), kHeadError);
      std::string utf8_target = filler;
      utf8_target.insert(at, "\xC3\xA9");
      const std::string ok =
          "GET /" + utf8_target + " HTTP/1.1\r\nX: a" + with('\xFF') + "\r\n\r\n";
      ASSERT_EQ(parse_head(ok, h), static_cast<long>(ok.size()));
      EXPECT_EQ(h.target, "/" + utf8_target);
    }
  }
}

// Feeds the head one byte at a time as the connection loop does and returns
// the buffer lengths at which the gate allowed a re-parse.
std::vector<std::size_t> gate_openings(std::string_view data) {
  std::vector<std::size_t> at;
  for (std::size_t n = 1; n <= data.size(); ++n) {
    if (may_hold_head_end(data.substr(0, n), n - 1)) at.push_back(n);
  }
  return at;
}

TEST(HeadEndGate, OpensExactlyWhereTheHeadCompletes) {
  const std::string heads[] = {
      "GET / HTTP/1.1\r\nHost: x\r\n\r\n",
      "GET / HTTP/1.1\n\n",
      "GET / HTTP/1.1\r\n\n",
      "GET / HTTP/1.1\nA:\n\r\n",
      "\r\n\r\n\n\nGET / HTTP/1.1\r\nA: b\r\n\r\n",
      head_with_headers(100),
  };
  for (const std::string& full : heads) {
    SCOPED_TRACE(full);
    ParsedHead h;
    ASSERT_EQ(parse_head(full, h), static_cast<long>(full.size()));
    EXPECT_EQ(gate_openings(full), std::vector<std::size_t>{full.size()});
    // Whole buffers arriving at once, and pipelined leftovers scanned from 0.
    EXPECT_TRUE(may_hold_head_end(full, 0));
    EXPECT_TRUE(may_hold_head_end(full + "GET", 0));
  }
}

TEST(HeadEndGate, IgnoresEmptyLinesBeforeTheRequest) {
  std::string junk;
  for (int i = 0; i < 20000; ++i) junk += (i % 3 == 0) ? "\n" : "\r\n";
  EXPECT_TRUE(gate_openings(junk).empty());
  const std::string full = junk + "GET / HTTP/1.1\r\n\r\n";
  const auto openings = gate_openings(full);
  ASSERT_EQ(openings.size(), 1u);
  EXPECT_EQ(openings[0], full.size());
}

TEST(HeadEndGate, OpensOnBlankLineAfterBadCr) {
  // A malformed head must still reach the parser once it looks finished.
  const std::string bad = "GET / HTTP/1.1\r\nX: a\r\r\n\r\n";
  ParsedHead h;
  ASSERT_EQ(parse_head(bad, h), kHeadError);
  EXPECT_FALSE(gate_openings(bad).empty());
}

TEST(HeadEndGate, FindsEndInsideALargeRead) {
  const std::string prefix = "GET / HTTP/1.1\r\nA: b\r\n";
  const std::string full = prefix + "\r\nbody";
  EXPECT_FALSE(may_hold_head_end(prefix, 0));
  EXPECT_TRUE(may_hold_head_end(full, prefix.size()));
  EXPECT_TRUE(may_hold_head_end(full, prefix.size() + 1));  // hint slightly past the LF
  EXPECT_FALSE(may_hold_head_end(full, full.size()));       // nothing new
}

}  // namespace
}  // namespace kiv
