#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "http/head_parser.hpp"

namespace kiv {
namespace {

using namespace std::string_literals;
// One-line summary of a parse: "error", "incomplete", or
// "METHOD TARGET 1.x|Name=value|...", plus "|+N" when N bytes follow the head.
std::string describe(std::string_view buf) {
  ParsedHead h;
  const long n = parse_head(buf, h);
  if (n == kHeadError) return "error";
  if (n == kHeadIncomplete) return "incomplete";
  if (n == kHeadTargetTooLong) return "414";
  if (n == kHeadTooManyFields) return "431";
  std::string s =
      std::string(h.method) + " " + std::string(h.target) + " 1." + std::to_string(h.minor_version);
  for (std::size_t i = 0; i < h.num_headers; ++i) {
    s += "|" + std::string(h.headers[i].name) + "=" + std::string(h.headers[i].value);
  }
  if (static_cast<std::size_t>(n) < buf.size()) s += "|+" + std::to_string(buf.size() - n);
  return s;
}

TEST(HeadParser, Table) {
  const std::pair<std::string, std::string_view> cases[] = {
      // Accepted forms.
      {"GET /a?b=1 HTTP/1.1\r\nHost: x\r\nAccept: */*\r\n\r\n", "GET /a?b=1 1.1|Host=x|Accept=*/*"},
      {"GET / HTTP/1.1\nHost: x\n\n", "GET / 1.1|Host=x"},
      {"GET / HTTP/1.0\r\nA: 1\nB: 2\r\n\n", "GET / 1.0|A=1|B=2"},
      {"\r\n\n\r\nPOST /p HTTP/1.1\r\n\r\n", "POST /p 1.1"},
      {"GET / HTTP/1.1\r\nX: \t a \t b \t\r\nY:\r\nZ:   \r\n\r\n", "GET / 1.1|X=a \t b|Y=|Z="},
      {"GET / HTTP/1.1\r\nX: caf\xC3\xA9 \xFF\r\n\r\n", "GET / 1.1|X=caf\xC3\xA9 \xFF"},
      {"GET /caf\xC3\xA9/\xF0\x9F\x98\x80 HTTP/1.1\r\n\r\n",
       "GET /caf\xC3\xA9/\xF0\x9F\x98\x80 1.1"},
      {"OPTIONS http://h:80/x?y HTTP/1.1\r\n\r\n", "OPTIONS http://h:80/x?y 1.1"},
      {"M-SEARCH! * HTTP/1.1\r\n!#$%&'*+-.^_`|~09aZ: v\r\n\r\n",
       "M-SEARCH! * 1.1|!#$%&'*+-.^_`|~09aZ=v"},
      {"GET / HTTP/1.1\r\nA: 1\r\na: 2\r\nA: 3\r\n\r\n", "GET / 1.1|A=1|a=2|A=3"},
      {"GET / HTTP/1.1\r\nHost: a:8080\r\n\r\n", "GET / 1.1|Host=a:8080"},
      {"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", "POST / 1.1|Content-Length=5|+5"},
      {"GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\n", "GET /1 1.1|+19"},
      // Versions.
      {"GET / HTTP/1.2\r\n\r\n", "error"},
      {"GET / HTTP/2.0\r\n\r\n", "error"},
      {"GET / http/1.1\r\n\r\n", "error"},
      {"GET / HTTP/1.10\r\n\r\n", "error"},
      {"GET / HTTP/1.1 \r\n\r\n", "error"},
      {"GET /\r\n\r\n", "error"},
      {"HTTP/1.1 200 OK\r\n\r\n", "error"},
      // Request line shape and tchar.
      {" / HTTP/1.1\r\n\r\n", "error"},
      {"GET  HTTP/1.1\r\n\r\n", "error"},
      {"GET  / HTTP/1.1\r\n\r\n", "error"},
      {"GE(T / HTTP/1.1\r\n\r\n", "error"},
      // Header lines.
      {"GET / HTTP/1.1\r\nX(y: 1\r\n\r\n", "error"},
      {"GET / HTTP/1.1\r\nX y: 1\r\n\r\n", "error"},
      {"GET / HTTP/1.1\r\nHost : x\r\n\r\n", "error"},
      {"GET / HTTP/1.1\r\nHost\t: x\r\n\r\n", "error"},
      {"GET / HTTP/1.1\r\nHost\r\n\r\n", "error"},
      {"GET / HTTP/1.1\r\n: x\r\n\r\n", "error"},
      {"GET / HTTP/1.1\r\nX: a\r\n b\r\n\r\n", "error"},   // obs-fold
      {"GET / HTTP/1.1\r\nX: a\r\n\tb\r\n\r\n", "error"},  // obs-fold
      // Bare CR, NUL and other control bytes.
      {"GET / HTTP/1.1\r\nX: a\rb\r\n\r\n", "error"},
      {"GET / HTTP/1.1\r\nX:\rb\r\n\r\n", "error"},
      {"GET / HTTP/1.1\r\r\n\r\n", "error"},
      {"\rGET / HTTP/1.1\r\n\r\n", "error"},
      {"GET / HTTP/1.1\r\n\r\r\n", "error"},
      {"GET / HTTP/1.1\r\nX: a\0b\r\n\r\n"s, "error"},
      {"GET /a\0 HTTP/1.1\r\n\r\n"s, "error"},
      {"GET / HTTP/1.1\r\nX: a\x01\r\n\r\n", "error"},
      {"GET / HTTP/1.1\r\nX: a\x7F\r\n\r\n", "error"},
      {"GET /\x7F HTTP/1.1\r\n\r\n", "error"},
      {"GET /a\tb HTTP/1.1\r\n\r\n", "error"},
      // Targets that are not UTF-8.
      {"GET /\xC3( HTTP/1.1\r\n\r\n", "error"},
      {"GET /\xED\xA0\x80 HTTP/1.1\r\n\r\n", "error"},
      {"GET /\xC0\xAF HTTP/1.1\r\n\r\n", "error"},
      {"GET /\xE2\x82 HTTP/1.1\r\n\r\n", "error"},
      {"GET /\xF4\x90\x80\x80 HTTP/1.1\r\n\r\n", "error"},
      // Errors are reported before the head is complete.
      {"GET / HTTP/1.2", "error"},
      {"GE\x01", "error"},
      {"GET / HTTP/1.1\r\n b", "error"},
      {"\r\r", "error"},
      {"GET / HTTP/1.", "incomplete"},
      {"GET / HTTP/1.1\r\nX: a\r", "incomplete"},
      // Target limits, judged before the line ends: the part before "?", and the whole.
      {"GET /" + std::string(kMaxPathBytes, 'a'), "414"},
      {"GET http://h/" + std::string(kMaxPathBytes - 1, 'a'), "incomplete"},
      {"GET http://h/" + std::string(kMaxPathBytes, 'a'), "414"},
      {"GET /" + std::string(kMaxPathBytes - 1, 'a') + "?" + std::string(9000, 'q'), "incomplete"},
      {"GET /?" + std::string(kMaxTargetBytes - 1, 'q'), "414"},
      {"GET /?" + std::string(kMaxTargetBytes - 2, 'q'), "incomplete"},
  };
  for (const auto& [input, want] : cases) {
    SCOPED_TRACE(::testing::PrintToString(input));
    EXPECT_EQ(describe(input), want);
  }
}

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
  EXPECT_EQ(parse_head(head_with_headers(101), h), kHeadTooManyFields);
  // The 101st line is refused as soon as it starts, before the head is complete.
  std::string partial = head_with_headers(100);
  partial.resize(partial.size() - 2);
  EXPECT_EQ(parse_head(partial + "X", h), kHeadTooManyFields);
  EXPECT_EQ(parse_head(partial + "\r", h), kHeadIncomplete);
}

// RFC 9112 3.2: one Host line at most, holding host[:port].
TEST(HeadParser, HostLine) {
  const std::vector<std::string> good = {
      "X: no host", "hOsT: a.b:", "Host: Ex-a_m~ple.COM.:8080", "Host: 999.1.1.1", "Host: [::]",
      "Host: a%41!$&'()*+,;=", "Host: [::1]:80", "Host: [1::]", "Host: [1:2::3]", "Host: [v1F.a:b]",
      "Host: [1:2:3:4:5:6:7:8]", "Host: [::ffff:1.2.3.4]", "Host: [1:2:3:4:5:6:255.255.0.0]",
      "Hosts: a b\r\nHos: c d\r\nX-Host: e f"};
  const std::vector<std::string> bad = {
      "Host: a\r\nX: 1\r\nHOST: b", "Host: a/b", "Host: a:8x", "Host: a:1:2", "Host: %4",
      "Host: %4g", "Host: caf\xC3\xA9", "Host: a\tb", "Host: [::1", "Host: []", "Host: [:::]",
      "Host: [1:::2]", "Host: [1::2::3]", "Host: [1:2:3:4:5:6:7]", "Host: [1:2:3:4:5:6:7:8:9]",
      "Host: [1:]", "Host: [1:2:3:4:5:6:7::8]", "Host: [:1::]", "Host: [12345::]", "Host: [::g]",
      "Host: [v1.]", "Host: [1.2.3.4]", "Host: [::1.2.3]", "Host: [::1.2.3.04]",
      "Host: [::1.2.3.256]", "Host: [::1.2.3.4:5]", "Host: [::1%25eth0]", "Host: [v.a]",
      "Host: [v1.a/b]"};
  for (const auto* list : {&good, &bad}) {
    for (const std::string& lines : *list) {
      const std::string head = "GET / HTTP/1.1\r\n" + lines + "\r\n\r\n";
      ParsedHead h;
      const long want = list == &good ? static_cast<long>(head.size()) : kHeadError;
      EXPECT_EQ(parse_head(head, h), want) << lines;
    }
  }
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
      for (char bad : {'\x01', '\x0B', '\x1F', '\x7F', '\0', '\r'}) {
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

// Randomly damaged heads: whatever the verdict on a buffer, more bytes must not
// change an error or a complete head, and a complete head is the same head when
// parsed alone. Run under the sanitizers, this also checks no read goes past the
// buffer.
TEST(HeadParser, VerdictsAreStableAsBytesArrive) {
  const std::string seeds[] = {
      "GET /a?b=c HTTP/1.1\r\nHost: h\r\nX-Y:  v \r\n\r\nbody",
      "\r\nPOST /caf\xC3\xA9 HTTP/1.0\nA:\n\nGET / HTTP/1.1\n\n",
  };
  const char alphabet[] = {'\r', '\n', ' ', '\t', ':', '/', 'a', '\0', '\x7F', '\xC3', '\xA9', 'H'};
  std::mt19937 rng(12345);
  for (int round = 0; round < 3000; ++round) {
    std::string buf = seeds[round % 2];
    for (int edits = 1 + static_cast<int>(rng() % 3); edits > 0; --edits) {
      const std::size_t at = rng() % buf.size();
      const char c = alphabet[rng() % sizeof alphabet];
      switch (rng() % 3) {
        case 0:
          buf[at] = c;
          break;
        case 1:
          buf.insert(buf.begin() + static_cast<long>(at), c);
          break;
        default:
          buf.erase(at, 1);
          break;
      }
    }
    SCOPED_TRACE(::testing::PrintToString(buf));
    long settled = kHeadIncomplete;
    for (std::size_t n = 0; n <= buf.size(); ++n) {
      // Exact-size copies so the sanitizers see any over-read.
      const std::string prefix = buf.substr(0, n);
      ParsedHead h;
      const long r = parse_head(prefix, h);
      if (settled != kHeadIncomplete) {
        ASSERT_EQ(r, settled) << "at length " << n;
        continue;
      }
      settled = r;
      if (r >= 0) {
        ASSERT_EQ(static_cast<std::size_t>(r), n);
        ASSERT_LE(h.num_headers, kMaxHeaders);
      }
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
