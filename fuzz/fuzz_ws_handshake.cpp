// The WebSocket opening handshake over any parsed head: an accepted upgrade
// has what the rules demand, checked with a plain reading of them, and the
// permessage-deflate answer we give is itself an offer we would accept alike.
// Whatever follows the head is also read as an extensions header value.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_common.hpp"
#include "http/head_parser.hpp"
#include "ws/codec.hpp"
#include "ws/handshake.hpp"

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool has_token(const kiv::ParsedHead& h, std::string_view name, std::string_view token) {
  for (std::size_t i = 0; i < h.num_headers; ++i) {
    if (!kivfuzz::iequal(h.headers[i].name, name)) continue;
    std::string_view rest = h.headers[i].value;
    while (true) {
      const std::size_t comma = rest.find(',');
      if (kivfuzz::iequal(trim(rest.substr(0, comma)), token)) return true;
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view in = kivfuzz::as_view(data, size);
  const kiv::ws::DeflateOptions opts{true, 9 + int(size % 7), size % 2 == 0};
  kiv::ParsedHead head;
  if (const long n = kiv::parse_head(in, head); n > 0) {
    const auto up = kiv::ws::check_upgrade(head, opts);
    FUZZ_CHECK((up.kind == kiv::ws::Upgrade::kNotWebSocket) ==
               !has_token(head, "upgrade", "websocket"));
    if (up.kind == kiv::ws::Upgrade::kAccepted) {
      FUZZ_CHECK(head.method == "GET" && head.minor_version == 1);
      FUZZ_CHECK(has_token(head, "connection", "upgrade"));
      std::string_view key;
      int keys = 0;
      for (std::size_t i = 0; i < head.num_headers; ++i) {
        if (kivfuzz::iequal(head.headers[i].name, "sec-websocket-key"))
          key = trim(head.headers[i].value), ++keys;
      }
      FUZZ_CHECK(keys == 1);
      const auto nonce = kiv::ws::base64_decode(key);
      FUZZ_CHECK(nonce && nonce->size() == 16 && up.accept.size() == 28);
      const std::string answer = kiv::ws::accept_response(up);
      FUZZ_CHECK(answer.find("\r\n\r\n") == answer.size() - 4);
    } else if (up.kind == kiv::ws::Upgrade::kRefused) {
      FUZZ_CHECK(up.status == 400 || up.status == 426);
    }
    in.remove_prefix(static_cast<std::size_t>(n));
  }
  const auto offers = kiv::ws::parse_extensions(in);
  for (const auto& o : offers) FUZZ_CHECK(!o.name.empty());
  if (const auto agreed = kiv::ws::negotiate_deflate(offers, opts)) {
    FUZZ_CHECK(agreed->first.server_max_window_bits >= 9 &&
               agreed->first.server_max_window_bits <= opts.max_window_bits);
    const auto again = kiv::ws::negotiate_deflate(kiv::ws::parse_extensions(agreed->second), opts);
    FUZZ_CHECK(again && again->second == agreed->second);
  }
  return 0;
}
