// Small byte-level pieces of the WebSocket protocol: SHA-1 and base64 for the
// opening handshake's accept key, an incremental UTF-8 check for text
// messages that arrive in pieces, and payload unmasking.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kiv::ws {

std::array<std::uint8_t, 20> sha1(std::string_view data);

std::string base64_encode(std::string_view bytes);
// Strict: standard alphabet, padding required, no blanks, no bits left over.
std::optional<std::string> base64_decode(std::string_view text);

// Sec-WebSocket-Accept for a client's Sec-WebSocket-Key.
std::string accept_key(std::string_view client_key);

// Well-formed UTF-8 checked a piece at a time: a sequence may be split
// across pieces (and frames), and the first byte that can never be part of a
// well-formed text (overlong forms, surrogates, values past U+10FFFF) fails
// at once, before the rest of the message arrives.
class Utf8Check {
 public:
  // False on the first bad byte; once false it stays false.
  bool feed(const std::uint8_t* p, std::size_t n);
  bool feed(std::string_view s) {
    return feed(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  }
  // True when the text fed so far ends on a sequence boundary.
  bool complete() const { return !bad_ && need_ == 0; }
  void reset() { need_ = 0, lo_ = 0x80, hi_ = 0xBF, bad_ = false; }

 private:
  std::uint8_t need_ = 0, lo_ = 0x80, hi_ = 0xBF;
  bool bad_ = false;
};

inline bool valid_utf8(std::string_view s) {
  Utf8Check c;
  return c.feed(s) && c.complete();
}

// XORs data with the 4-byte key, starting at key byte `offset % 4`.
void unmask(char* data, std::size_t n, const std::uint8_t key[4], std::size_t offset);

}  // namespace kiv::ws
