#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "http/framing.hpp"

namespace kiv {
namespace {

// Header lines "Name:value" joined by "|" (the value is taken raw, blanks kept).
struct Head {
  explicit Head(std::string_view lines, int minor = 1) : text(lines) {
    parsed.minor_version = minor;
    std::string_view rest = text;
    while (!rest.empty()) {
      const auto bar = rest.find('|');
      const std::string_view line = rest.substr(0, bar);
      const auto colon = line.find(':');
      parsed.headers[parsed.num_headers++] = {line.substr(0, colon), line.substr(colon + 1)};
      rest = bar == std::string_view::npos ? std::string_view() : rest.substr(bar + 1);
    }
  }
  Head(const Head&) = delete;  // the views point into text
  std::string text;
  ParsedHead parsed{};
};

std::string verdict(const BodyFraming& f) {
  switch (f.kind) {
    case BodyFraming::kNone:
      return f.force_close ? "none close" : "none";
    case BodyFraming::kLength:
      return "len " + std::to_string(f.length) + (f.force_close ? " close" : "");
    case BodyFraming::kChunked:
      return f.force_close ? "chunked close" : "chunked";
    case BodyFraming::kBad:
      return f.force_close ? "bad" : "bad open";
    case BodyFraming::kUnsupported:
      return f.force_close ? "501" : "501 open";
  }
  return "?";
}

TEST(Framing, Table) {
  struct Case {
    const char* headers;
    int minor;
    const char* want;
  };
  const Case cases[] = {
      {"", 1, "none"},
      {"Host:x|Content-Lengths:x", 1, "none"},
      // Content-Length: plain digits after trimming blanks, agreeing when repeated.
      {"Content-Length:5", 1, "len 5"},
      {"Content-Length:0", 1, "len 0"},
      {"CONTENT-length:007", 1, "len 7"},
      {"Content-Length: \t5\t ", 1, "len 5"},
      {"Content-Length:18446744073709551615", 1, "len 18446744073709551615"},
      {"Content-Length:18446744073709551616", 1, "bad"},
      {"Content-Length:", 1, "bad"},
      {"Content-Length:+5", 1, "bad"},
      {"Content-Length:-5", 1, "bad"},
      {"Content-Length:5a", 1, "bad"},
      {"Content-Length:0x5", 1, "bad"},
      {"Content-Length:1 2", 1, "bad"},
      {"Content-Length:5, 5", 1, "bad"},
      {"Content-Length:5|content-length:5", 1, "len 5"},
      {"Content-Length:5|Content-Length:6", 1, "bad"},
      {"Content-Length:5|Content-Length:x", 1, "bad"},
      {"Content-Length:x|Content-Length:5", 1, "bad"},
      // Transfer-Encoding: only a lone "chunked" is honoured; other codings are not implemented.
      {"Transfer-Encoding:chunked", 1, "chunked"},
      {"transfer-ENCODING: ChUnKeD\t", 1, "chunked"},
      {"Transfer-Encoding:gzip, chunked", 1, "501"},
      {"Transfer-Encoding:chunked , ,", 1, "chunked"},
      {"Transfer-Encoding:gzip|Transfer-Encoding:chunked", 1, "501"},
      {"Transfer-Encoding:chunked, chunked", 1, "bad"},
      {"Transfer-Encoding:chunked|Transfer-Encoding:", 1, "chunked"},
      {"Transfer-Encoding:chunked|Transfer-Encoding:gzip", 1, "501"},
      {"Transfer-Encoding:chunked, gzip", 1, "501"},
      {"Transfer-Encoding:gzip", 1, "501"},
      {"Transfer-Encoding:", 1, "bad"},
      {"Transfer-Encoding: , ", 1, "bad"},
      {"Transfer-Encoding:xchunked", 1, "501"},
      {"Transfer-Encoding:chunked;q=1", 1, "501"},
      // Both: served as chunked, never reused. HTTP/1.0 with a coding: refused.
      {"Content-Length:5|Transfer-Encoding:chunked", 1, "chunked close"},
      {"Transfer-Encoding:chunked|Content-Length:zz", 1, "chunked close"},
      {"Transfer-Encoding:gzip|Content-Length:5", 1, "501"},
      {"Transfer-Encoding:chunked", 0, "bad"},
      {"Content-Length:5", 0, "len 5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.headers << " HTTP/1." << c.minor);
    const Head h(c.headers, c.minor);
    EXPECT_EQ(verdict(decide_framing(h.parsed)), c.want);
  }
}

TEST(ChunkSize, Table) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::pair<std::string_view, std::optional<std::uint64_t>> cases[] = {
      {"5", 5},
      {"0", 0},
      {"fF", 255},
      {"+a", std::nullopt},
      {"5;a\rb", std::nullopt},
      {std::string_view("5;a\0b", 5), std::nullopt},
      {"5;ext", 5},
      {"5 ; name=value;x", 5},
      {" \t1f\t ", 31},
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

TEST(AsciiCase, EqualsContainsFind) {
  EXPECT_TRUE(iequals_ascii("Content-LENGTH", "content-length"));
  EXPECT_FALSE(iequals_ascii("content-lengt", "content-length"));
  EXPECT_FALSE(iequals_ascii("\xC3\x89", "\xC3\xA9"));  // only ASCII letters fold
  EXPECT_TRUE(icontains_ascii("foo, 100-Continue", "100-continue"));
  EXPECT_FALSE(icontains_ascii("chunke", "chunked"));
  EXPECT_TRUE(icontains_ascii("aaab", "aab"));  // match after a false start

  const Head h("Host:a|X:1|HOST:b");
  const HeaderView* found = find_header(h.parsed, "host");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->value, "a");
  EXPECT_EQ(find_header(h.parsed, "hos"), nullptr);
}

}  // namespace
}  // namespace kiv
