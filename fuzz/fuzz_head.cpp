// Request-head parser: views stay inside the head, every field obeys its
// character rules, and the parse is consistent over prefixes, which is what
// the connection loop relies on when it re-parses a growing buffer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_common.hpp"
#include "http/head_parser.hpp"

using kiv::kHeadError;
using kiv::kHeadIncomplete;
using kiv::parse_head;
using kiv::ParsedHead;

namespace {

bool blank(char c) {
  return c == ' ' || c == '\t';
}

void check_complete(std::string_view buf, long len, const ParsedHead& h) {
  FUZZ_CHECK(len > 0 && static_cast<std::size_t>(len) <= buf.size());
  const std::size_t n = static_cast<std::size_t>(len);
  FUZZ_CHECK(buf[n - 1] == '\n');
  const char* base = buf.data();

  FUZZ_CHECK(!h.method.empty() && kivfuzz::within(h.method, base, n));
  for (char c : h.method) FUZZ_CHECK(kivfuzz::is_tchar(static_cast<unsigned char>(c)));
  FUZZ_CHECK(h.method.data() + h.method.size() < h.target.data());

  FUZZ_CHECK(!h.target.empty() && kivfuzz::within(h.target, base, n));
  for (char c : h.target) {
    const auto b = static_cast<unsigned char>(c);
    FUZZ_CHECK((b >= 0x21 && b <= 0x7E) || b >= 0x80);
  }
  FUZZ_CHECK(kivfuzz::ref_valid_utf8(h.target));
  FUZZ_CHECK(h.minor_version == 0 || h.minor_version == 1);

  FUZZ_CHECK(h.num_headers <= kiv::kMaxHeaders);
  const char* last_end = h.target.data() + h.target.size();
  std::size_t hosts = 0;
  for (std::size_t i = 0; i < h.num_headers; ++i) {
    const auto& [name, value] = h.headers[i];
    if (kivfuzz::iequal(name, "host")) ++hosts;
    FUZZ_CHECK(!name.empty() && kivfuzz::within(name, base, n));
    FUZZ_CHECK(name.data() > last_end);  // in order, one per line
    for (char c : name) FUZZ_CHECK(kivfuzz::is_tchar(static_cast<unsigned char>(c)));
    FUZZ_CHECK(name.data()[name.size()] == ':');
    // An empty value may sit anywhere on its line; a non-empty one must not
    // start or end with a blank and holds no control byte but HTAB.
    FUZZ_CHECK(value.data() >= name.data() + name.size() + 1);
    FUZZ_CHECK(value.data() + value.size() <= base + n);
    if (!value.empty()) {
      FUZZ_CHECK(!blank(value.front()) && !blank(value.back()));
      for (char c : value) {
        const auto b = static_cast<unsigned char>(c);
        FUZZ_CHECK(b == '\t' || (b >= 0x20 && b != 0x7F));
      }
    }
    last_end = std::max(name.data() + name.size(), value.data() + value.size());
  }
  FUZZ_CHECK(hosts <= 1);  // a second Host line makes the request ambiguous
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view buf = kivfuzz::as_view(data, size);
  ParsedHead full;
  const long res = parse_head(buf, full);
  FUZZ_CHECK(res == kHeadError || res == kHeadIncomplete || res == kiv::kHeadTargetTooLong ||
             res == kiv::kHeadTooManyFields || res > 0);
  if (res > 0) {
    check_complete(buf, res, full);
    // An accepted target keeps within the limits.
    FUZZ_CHECK(full.target.size() <= kiv::kMaxTargetBytes);
    FUZZ_CHECK(std::min(full.target.find('?'), full.target.size()) <= kiv::kMaxPathBytes);
  }

  // A decision taken on a prefix must stand once more bytes arrive: a prefix
  // is either still incomplete or gives the very answer of the whole input.
  // Every prefix of short inputs, a spread of them for long ones.
  const std::size_t step = size <= 512 ? 1 : size / 256;
  ParsedHead part;
  for (std::size_t k = 0; k < size; k += step) {
    const long r = parse_head(buf.substr(0, k), part);
    FUZZ_CHECK(r == kHeadIncomplete || r == res);
    if (r > 0) {
      FUZZ_CHECK(part.num_headers == full.num_headers);
      FUZZ_CHECK(part.method == full.method && part.target == full.target);
    }
  }

  if (res > 0) {
    const std::size_t n = static_cast<std::size_t>(res);
    // The head alone parses to the same length.
    FUZZ_CHECK(parse_head(buf.substr(0, n), part) == res);
    FUZZ_CHECK(parse_head(buf.substr(0, n - 1), part) == kHeadIncomplete);

    // The read gate must let through the read that completes the head, for
    // a head arriving in one piece, byte by byte, or in uneven reads.
    FUZZ_CHECK(kiv::may_hold_head_end(buf.substr(0, n), 0));
    FUZZ_CHECK(kiv::may_hold_head_end(buf.substr(0, n), n - 1));
    std::size_t prev = 0;
    for (std::size_t i = 0; prev < n; ++i) {
      const std::size_t chunk = 1 + static_cast<unsigned char>(buf[i % n]) % 13;
      const std::size_t now = std::min(size, prev + chunk);
      if (now >= n) FUZZ_CHECK(kiv::may_hold_head_end(buf.substr(0, now), prev));
      prev = now;
    }
  }
  return 0;
}
