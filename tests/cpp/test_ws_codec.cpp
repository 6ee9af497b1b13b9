// SHA-1, base64 and the piecewise UTF-8 check behind the WebSocket engine.
#include <gtest/gtest.h>

#include <string>

#include "ws/codec.hpp"

namespace kiv::ws {
namespace {

std::string hex(const std::array<std::uint8_t, 20>& d) {
  static const char* k = "0123456789abcdef";
  std::string out;
  for (auto b : d) out += {k[b >> 4], k[b & 15]};
  return out;
}

class Sha1 : public ::testing::TestWithParam<std::pair<std::string, const char*>> {};
TEST_P(Sha1, KnownDigests) { EXPECT_EQ(hex(sha1(GetParam().first)), GetParam().second); }
INSTANTIATE_TEST_SUITE_P(
    Ws, Sha1,
    ::testing::Values(
        std::make_pair(std::string(), "da39a3ee5e6b4b0d3255bfef95601890afd80709"),
        std::make_pair(std::string("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d"),
        // 56 bytes: the length no longer fits the first padded block.
        std::make_pair(std::string("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
                       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"),
        std::make_pair(std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f")));

class Base64 : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};
TEST_P(Base64, DecodesStrictly) {
  const auto [text, bytes] = GetParam();
  const auto got = base64_decode(text);
  if (bytes == nullptr) {
    EXPECT_FALSE(got.has_value()) << text;
  } else {
    ASSERT_TRUE(got.has_value()) << text;
    EXPECT_EQ(*got, bytes);
    EXPECT_EQ(base64_encode(*got), text);
  }
}
using P = std::pair<const char*, const char*>;
INSTANTIATE_TEST_SUITE_P(
    Ws, Base64,
    ::testing::Values(P{"", ""}, P{"Zg==", "f"}, P{"Zm8=", "fo"}, P{"Zm9v", "foo"},
                      P{"Zm9vYmE=", "fooba"}, P{"Zh==", nullptr}, P{"Zm9=", nullptr},  // stray bits
                      P{"Zg=", nullptr}, P{"Z===", nullptr}, P{"Zg==Zg==", nullptr},
                      P{"Zm 9", nullptr}, P{"Zm-_", nullptr}));  // URL alphabet

struct Utf8Case {
  std::string text;
  long first_bad;  // -1: valid; size(): valid so far but cut inside a character
};
class Utf8 : public ::testing::TestWithParam<Utf8Case> {};

// Every split into two pieces gives the same answer, and a bad byte fails
// the piece that holds it, not a later one.
TEST_P(Utf8, SameAnswerAtEverySplit) {
  const Utf8Case& c = GetParam();
  for (std::size_t cut = 0; cut <= c.text.size(); ++cut) {
    Utf8Check check;
    const bool first = check.feed(std::string_view(c.text).substr(0, cut));
    EXPECT_EQ(first, c.first_bad < 0 || static_cast<std::size_t>(c.first_bad) >= cut) << cut;
    const bool second = check.feed(std::string_view(c.text).substr(cut));
    EXPECT_EQ(second, c.first_bad < 0 || c.first_bad == long(c.text.size())) << cut;
    EXPECT_EQ(check.complete(), c.first_bad < 0) << cut;
  }
}
INSTANTIATE_TEST_SUITE_P(
    Ws, Utf8,
    ::testing::Values(Utf8Case{"plain ascii text, longer than a word", -1},
                      Utf8Case{"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf", -1},
                      Utf8Case{"abc\xc0\xaf", 3}, Utf8Case{"abc\xe0\x80\xaf", 4},  // overlong
                      Utf8Case{"ab\xed\xa0\x80", 3},                               // surrogate
                      Utf8Case{"\xf4\x90\x80\x80", 1},                            // > U+10FFFF
                      Utf8Case{"\xf5", 0}, Utf8Case{"abcdefghij\xff", 10},
                      Utf8Case{"\xe2\x28\xa1", 1}, Utf8Case{"x\xe2\x82", 3}));  // cut short

}  // namespace
}  // namespace kiv::ws
