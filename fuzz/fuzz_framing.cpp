// Body framing and chunk-size lines, each compared with a plain reading of
// the rules: the input is parsed as a request head first, and whatever
// follows the head (or the whole input when it holds none) is taken as
// chunk-size lines.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_common.hpp"
#include "http/framing.hpp"
#include "http/head_parser.hpp"

using kiv::BodyFraming;

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// 1*DIGIT in 64 bits: at most 20 significant digits, and 20 only up to
// 18446744073709551615, compared as text.
std::optional<std::uint64_t> ref_decimal(std::string_view s) {
  if (s.empty()) return std::nullopt;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  std::string_view sig = s.substr(std::min(s.find_first_not_of('0'), s.size()));
  if (sig.size() > 20 || (sig.size() == 20 && sig > "18446744073709551615")) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : sig) v = v * 10 + static_cast<std::uint64_t>(c - '0');
  return v;
}

// Hex digits only, no sign; a CR or NUL anywhere on the line (extensions
// included) refuses it.
std::optional<std::uint64_t> ref_chunk_size(std::string_view line) {
  for (char c : line) {
    if (c == '\r' || c == '\0') return std::nullopt;
  }
  line = trim(line.substr(0, line.find(';')));
  if (line.empty()) return std::nullopt;
  for (char c : line) {
    if (kivfuzz::ref_hex(c) < 0) return std::nullopt;
  }
  std::string_view sig = line.substr(std::min(line.find_first_not_of('0'), line.size()));
  if (sig.size() > 16) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : sig) v = v * 16 + static_cast<std::uint64_t>(kivfuzz::ref_hex(c));
  return v;
}

// The framing rules read off the whole header list at once: every
// Transfer-Encoding value joined into one list, every Content-Length value
// checked on its own.
BodyFraming ref_framing(const kiv::ParsedHead& h) {
  bool te = false, cl = false, cl_bad = false;
  std::string codings;
  std::optional<std::uint64_t> len;
  for (std::size_t i = 0; i < h.num_headers; ++i) {
    if (kivfuzz::iequal(h.headers[i].name, "Transfer-Encoding")) {
      te = true;
      codings.append(",").append(h.headers[i].value);
    } else if (kivfuzz::iequal(h.headers[i].name, "Content-Length")) {
      const auto v = ref_decimal(trim(h.headers[i].value));
      if (!v || (len && *len != *v)) cl_bad = true;
      if (!len) len = v;
      cl = true;
    }
  }
  if (te) {
    int chunked = 0, other = 0;
    std::string_view rest = codings;
    while (!rest.empty()) {
      const std::size_t comma = rest.find(',');
      const std::string_view elem = trim(rest.substr(0, comma));
      if (!elem.empty()) ++(kivfuzz::iequal(elem, "chunked") ? chunked : other);
      rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    }
    // An HTTP/1.0 message may not use a coding; only one "chunked" is decoded,
    // any other coding is not implemented.
    if (h.minor_version == 0) return {BodyFraming::kBad, 0, true};
    if (other > 0) return {BodyFraming::kUnsupported, 0, true};
    if (chunked != 1) return {BodyFraming::kBad, 0, true};
    return {BodyFraming::kChunked, 0, cl};
  }
  if (cl_bad) return {BodyFraming::kBad, 0, true};
  if (cl) return {BodyFraming::kLength, *len, false};
  return {BodyFraming::kNone, 0, false};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest = kivfuzz::as_view(data, size);
  kiv::ParsedHead head;
  if (const long n = kiv::parse_head(rest, head); n > 0) {
    const BodyFraming got = kiv::decide_framing(head);
    const BodyFraming want = ref_framing(head);
    FUZZ_CHECK(got.kind == want.kind);
    FUZZ_CHECK(got.length == want.length);
    FUZZ_CHECK(got.force_close == want.force_close);
    // Framing that cannot be trusted or decoded always ends the connection.
    FUZZ_CHECK((got.kind != BodyFraming::kBad && got.kind != BodyFraming::kUnsupported) ||
               got.force_close);

    const auto* te = kiv::find_header(head, "transfer-encoding");
    // Any Transfer-Encoding decides alone: chunked or refused.
    FUZZ_CHECK(te == nullptr ? got.kind != BodyFraming::kChunked &&
                                   got.kind != BodyFraming::kUnsupported
                             : got.kind == BodyFraming::kChunked || got.kind == BodyFraming::kBad ||
                                   got.kind == BodyFraming::kUnsupported);
    rest.remove_prefix(static_cast<std::size_t>(n));
  }

  while (!rest.empty()) {
    const std::size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view{} : rest.substr(lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto got = kiv::parse_chunk_size(line);
    const auto want = ref_chunk_size(line);
    FUZZ_CHECK(got.has_value() == want.has_value());
    if (got) FUZZ_CHECK(*got == *want);
  }
  return 0;
}
