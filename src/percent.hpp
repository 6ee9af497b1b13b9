// Percent-decoding and lossy UTF-8 reading, shared by routing, dispatch,
// query strings and static files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kiv {

inline int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Length of the valid UTF-8 sequence starting at s[i], or 0 when the bytes
// there do not start one. The second return value is the length of the
// maximal prefix of a valid sequence (at least 1), which is what one U+FFFD
// replaces (the "maximal subpart" practice of Unicode, as Python's
// errors="replace" does).
struct Utf8Step {
  std::size_t valid;
  std::size_t skip;
};

inline Utf8Step utf8_step(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return {1, 1};
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {0, 1};
  }
  std::size_t k = 1;
  for (; k <= need; ++k) {
    if (i + k >= s.size()) return {0, k};
    const auto b = static_cast<unsigned char>(s[i + k]);
    const unsigned char l = (k == 1) ? lo : 0x80;
    const unsigned char h = (k == 1) ? hi : 0xBF;
    if (b < l || b > h) return {0, k};
  }
  return {need + 1, need + 1};
}

inline bool is_valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    auto st = utf8_step(s, i);
    if (st.valid == 0) return false;
    i += st.valid;
  }
  return true;
}

// Reads bytes as UTF-8, each invalid sequence becoming U+FFFD.
inline std::string utf8_lossy(std::string_view s) {
  if (is_valid_utf8(s)) return std::string(s);
  std::string out;
  out.reserve(s.size() + 8);
  for (std::size_t i = 0; i < s.size();) {
    auto st = utf8_step(s, i);
    if (st.valid) {
      out.append(s.substr(i, st.valid));
      i += st.valid;
    } else {
      out.append("\xEF\xBF\xBD");
      i += st.skip;
    }
  }
  return out;
}

// Appends s to out with every "%XX" (either case) turned into that byte; any
// other "%" stays. With plus_as_space, "+" becomes a space first (query
// components only). No UTF-8 reading: the bytes are exactly what was encoded.
inline void percent_unescape(std::string_view s, std::string& out, bool plus_as_space = false) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '%' && i + 2 < s.size()) {
      int h = hex_value(static_cast<unsigned char>(s[i + 1]));
      int l = hex_value(static_cast<unsigned char>(s[i + 2]));
      if (h >= 0 && l >= 0) {
        out.push_back(static_cast<char>(h * 16 + l));
        i += 2;
        continue;
      }
    } else if (c == '+' && plus_as_space) {
      c = ' ';
    }
    out.push_back(c);
  }
}

// percent_unescape, then read as UTF-8 with replacement.
inline std::string percent_decode(std::string_view s, bool plus_as_space = false) {
  std::string raw;
  raw.reserve(s.size());
  percent_unescape(s, raw, plus_as_space);
  if (is_valid_utf8(raw)) return raw;  // the common case: no second copy
  return utf8_lossy(raw);
}

}  // namespace kiv
