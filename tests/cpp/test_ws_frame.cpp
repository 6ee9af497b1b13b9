// The frame reader over client bytes (fed whole and a byte at a time), the
// failures it closes with, and compression both ways.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ws/frame.hpp"

namespace kiv::ws {
namespace {

const std::uint8_t kKey[4] = {0x37, 0xfa, 0x21, 0x3d};
using K = FrameReader::Kind;

std::string masked(Opcode op, std::string_view payload, bool fin = true, bool rsv1 = false) {
  return make_frame(op, payload, fin, rsv1, kKey);
}

std::string ev(K kind, std::uint16_t code, std::string_view payload = {}) {
  return std::to_string(int(kind)) + ":" + std::to_string(code) + ":" + std::string(payload);
}

std::vector<std::string> err(std::uint16_t code) { return {ev(K::kError, code)}; }

// Every event until the input runs out or an error.
std::vector<std::string> events(FrameReader& r, std::string_view in, std::size_t step) {
  std::vector<std::string> out;
  while (!in.empty()) {
    std::string_view piece = in.substr(0, step);
    in.remove_prefix(piece.size());
    for (;;) {
      const auto e = r.next(piece);
      if (e.kind == K::kNeedMore) break;
      out.push_back(ev(e.kind, e.code, e.kind == K::kError ? "" : e.payload));
      if (e.kind == K::kError) return out;
    }
  }
  return out;
}

struct ReadCase {
  const char* name;
  std::string bytes;
  std::vector<std::string> want;
  bool deflate = false;
};
class Read : public ::testing::TestWithParam<ReadCase> {};

TEST_P(Read, SameEventsWholeAndBytewise) {
  const ReadCase& c = GetParam();
  for (std::size_t step : {std::size_t(1), std::size_t(3), c.bytes.size()}) {
    FrameReader r({1000, 3000}, c.deflate);
    EXPECT_EQ(events(r, c.bytes, step), c.want) << c.name << " step " << step;
  }
}

std::string big(std::size_t n) { return std::string(n, 'x'); }
std::string raw(std::initializer_list<int> b) { return std::string(b.begin(), b.end()); }

INSTANTIATE_TEST_SUITE_P(
    Ws, Read,
    ::testing::Values(
        // The RFC's examples: masked "Hello", and fragments with a ping between.
        ReadCase{"hello", raw({0x81, 0x85, 0x37, 0xfa, 0x21, 0x3d, 0x7f, 0x9f, 0x4d, 0x51, 0x58}),
                 {ev(K::kText, 0, "Hello")}},
        ReadCase{"fragments", masked(Opcode::kText, "Hel", false) + masked(Opcode::kPing, "p") +
                                  masked(Opcode::kContinuation, "", false) +
                                  masked(Opcode::kContinuation, "lo"),
                 {ev(K::kPing, 0, "p"), ev(K::kText, 0, "Hello")}},
        ReadCase{"lengths", masked(Opcode::kBinary, big(126)) + masked(Opcode::kBinary, big(999)),
                 {ev(K::kBinary, 0, big(126)), ev(K::kBinary, 0, big(999))}},
        ReadCase{"close",
                 masked(Opcode::kClose, raw({0x03, 0xe8}) + "bye") + masked(Opcode::kClose, ""),
                 {ev(K::kClose, 1000, "bye"), ev(K::kClose, 1005)}},
        ReadCase{"compressed",
                 masked(Opcode::kText, raw({0xf2, 0x48, 0xcd, 0xc9, 0xc9, 0x07, 0x00}), true, true),
                 {ev(K::kText, 0, "Hello")}, true},
        ReadCase{"unmasked", raw({0x81, 0x05}) + "Hello", err(1002)},
        ReadCase{"rsv2", masked(Opcode::kText, "a").replace(0, 1, 1, char(0xA1)), err(1002)},
        ReadCase{"rsv1 undeflated", masked(Opcode::kText, "a", true, true), err(1002)},
        ReadCase{"rsv1 continuation", masked(Opcode::kText, "a", false, true) +
                                          masked(Opcode::kContinuation, "b", true, true),
                 err(1002), true},
        ReadCase{"opcode 3", masked(Opcode(3), "a"), err(1002)},
        ReadCase{"opcode B", masked(Opcode(0xB), "a"), err(1002)},
        ReadCase{"lone continuation", masked(Opcode::kContinuation, "a"), err(1002)},
        ReadCase{"interrupted message",
                 masked(Opcode::kText, "a", false) + masked(Opcode::kText, "b"),
                 err(1002)},
        ReadCase{"fragmented ping", masked(Opcode::kPing, "a", false), err(1002)},
        ReadCase{"long ping", masked(Opcode::kPing, big(126)), err(1002)},
        ReadCase{"64-bit high bit", raw({0x82, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 1, 1, 2, 3, 4}),
                 err(1002)},
        ReadCase{"frame limit", masked(Opcode::kBinary, big(1001)), err(1009)},
        ReadCase{"message limit", masked(Opcode::kBinary, big(1000), false) +
                                      masked(Opcode::kContinuation, big(1000), false) +
                                      masked(Opcode::kContinuation, big(1000), false) +
                                      masked(Opcode::kContinuation, "x"),
                 err(1009)},
        ReadCase{"close of one byte", masked(Opcode::kClose, "\x03"), err(1002)},
        ReadCase{"close 1005 sent", masked(Opcode::kClose, raw({0x03, 0xed})), err(1002)},
        ReadCase{"close 1015 sent", masked(Opcode::kClose, raw({0x03, 0xf7})), err(1002)},
        ReadCase{"close 5000", masked(Opcode::kClose, raw({0x13, 0x88})), err(1002)},
        ReadCase{"close 4999", masked(Opcode::kClose, raw({0x13, 0x87})), {ev(K::kClose, 4999)}},
        ReadCase{"close bad reason", masked(Opcode::kClose, raw({0x03, 0xe8, 0xff})), err(1007)},
        ReadCase{"utf-8 across fragments",
                 masked(Opcode::kText, "a\xe2\x82", false) + masked(Opcode::kContinuation, "\xac"),
                 {ev(K::kText, 0, "a\xe2\x82\xac")}},
        ReadCase{"text ends mid-character", masked(Opcode::kText, "a\xe2\x82"), err(1007)},
        ReadCase{"corrupt deflate", masked(Opcode::kBinary, raw({0xff, 0xff, 0xff}), true, true),
                 err(1007), true},
        // A bad byte fails the frame that carries it, before the message ends.
        ReadCase{"bad text fails early", masked(Opcode::kText, "ok\xc0", false), err(1007)}));

// Our own compressor's frames read back, message after message, with and
// without context takeover, whole and fragmented.
TEST(WsFrame, CompressedRoundTrip) {
  for (bool reset : {false, true}) {
    for (std::size_t fragment : {std::size_t(0), std::size_t(7)}) {
      Deflater d(15, reset);
      FrameReader r({1u << 20, 1u << 20}, true, reset, false);
      std::string wire;
      std::vector<std::string> want;
      for (int i = 0; i < 4; ++i) {
        const std::string msg = "message " + std::string(100, char('a' + i)) + " message";
        append_message(wire, Opcode::kText, msg, &d, fragment);
        want.push_back(ev(K::kText, 0, msg));
      }
      append_message(wire, Opcode::kBinary, "", &d);
      want.push_back(ev(K::kBinary, 0, ""));
      EXPECT_EQ(events(r, wire, wire.size()), want) << reset << fragment;
    }
  }
}

TEST(WsFrame, InflatedSizeIsBounded) {
  Deflater d(15, false);
  std::string wire;
  append_message(wire, Opcode::kBinary, std::string(10u << 20, '\0'), &d);
  ASSERT_LT(wire.size(), 20000u);  // a bomb: small on the wire
  for (std::size_t limit : {std::size_t(1) << 20, (std::size_t(10) << 20) - 1}) {
    FrameReader r({1u << 20, limit}, true, false, false);
    EXPECT_EQ(events(r, wire, wire.size()), err(1009));
  }
}

TEST(WsFrame, CloseReasonIsCutAtACharacter) {
  const std::string reason = std::string(122, 'r') + "\xc3\xa9\xc3\xa9";
  FrameReader r({}, false, false, false);
  EXPECT_EQ(events(r, make_close(1001, reason), 1),
            std::vector<std::string>{ev(K::kClose, 1001, std::string(122, 'r'))});
}

}  // namespace
}  // namespace kiv::ws
