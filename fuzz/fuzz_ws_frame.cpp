// The WebSocket frame reader: the same events whatever the split of the
// input into reads, payloads within the limits and well-formed where the
// protocol demands it, and every message read back alike once written again
// by our own writer, plain and compressed.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.hpp"
#include "ws/frame.hpp"

using kiv::ws::FrameReader;
using kiv::ws::Opcode;

namespace {

constexpr kiv::ws::ReaderLimits kLimits{1u << 16, 1u << 18};

struct Ev {
  FrameReader::Kind kind;
  std::uint16_t code;
  std::string payload;
  bool operator==(const Ev&) const = default;
};

std::vector<Ev> read_all(std::string_view in, std::size_t step, bool deflate, bool nct, bool mask) {
  FrameReader r(kLimits, deflate, nct, mask);
  std::vector<Ev> out;
  while (!in.empty()) {
    std::string_view piece = in.substr(0, step);
    in.remove_prefix(piece.size());
    for (;;) {
      const auto e = r.next(piece);
      if (e.kind == FrameReader::Kind::kNeedMore) break;
      // An error's text may name another of the faults a bad input holds.
      out.push_back(
          {e.kind, e.code, e.kind == FrameReader::Kind::kError ? "" : std::string(e.payload)});
      if (e.kind == FrameReader::Kind::kError) return out;
    }
    FUZZ_CHECK(piece.empty());  // everything is taken unless an event stops it
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t flags = data[0];
  const bool deflate = flags & 1, nct = flags & 2;
  const std::size_t step = 1 + (flags >> 2);
  const std::string_view in = kivfuzz::as_view(data + 1, size - 1);

  const auto whole = read_all(in, in.size() + 1, deflate, nct, true);
  FUZZ_CHECK(read_all(in, step, deflate, nct, true) == whole);

  using K = FrameReader::Kind;
  const std::uint8_t key[4] = {data[0], 0x5a, 0xa5, 0x3c};
  for (const Ev& e : whole) {
    switch (e.kind) {
      case K::kText:
        FUZZ_CHECK(kivfuzz::ref_valid_utf8(e.payload));
        [[fallthrough]];
      case K::kBinary: {
        FUZZ_CHECK(e.payload.size() <= kLimits.max_message);
        const Opcode op = e.kind == K::kText ? Opcode::kText : Opcode::kBinary;
        if (e.payload.size() <= kLimits.max_frame) {
          const auto again = read_all(kiv::ws::make_frame(op, e.payload, true, false, key),
                                      std::size_t(-1), false, false, true);
          FUZZ_CHECK(again.size() == 1 && again[0] == e);
        }
        std::string plain;
        kiv::ws::append_message(plain, op, e.payload, nullptr, kLimits.max_frame);
        FUZZ_CHECK(read_all(plain, std::size_t(-1), false, false, false) == std::vector<Ev>{e});
        kiv::ws::Deflater d(9 + (flags >> 5), false);
        std::string wire;
        kiv::ws::append_message(wire, op, e.payload, &d, step * 16);
        FUZZ_CHECK(read_all(wire, std::size_t(-1), true, false, false) == std::vector<Ev>{e});
        break;
      }
      case K::kPing:
      case K::kPong:
        FUZZ_CHECK(e.payload.size() <= 125);
        break;
      case K::kClose:
        FUZZ_CHECK(e.code == kiv::ws::kCloseNoStatus || kiv::ws::close_code_valid(e.code));
        FUZZ_CHECK(e.payload.size() <= 123 && kivfuzz::ref_valid_utf8(e.payload));
        break;
      case K::kError:
        FUZZ_CHECK(e.code == 1002 || e.code == 1007 || e.code == 1009);
        break;
      case K::kNeedMore:
        FUZZ_CHECK(false);
    }
  }
  return 0;
}
