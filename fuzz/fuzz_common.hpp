// Helpers shared by the fuzz targets: a failing-invariant trap and small
// reference decoders written independently of the code under test, so a
// target can compare against them instead of against the code itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace kivfuzz {

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "\n*** invariant failed at %s:%d: %s\n", file, line, what);
  std::fflush(stderr);
  __builtin_trap();
}

#define FUZZ_CHECK(cond)                                     \
  do {                                                       \
    if (!(cond)) ::kivfuzz::fail(#cond, __FILE__, __LINE__); \
  } while (0)

inline std::string_view as_view(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// True when the view lies inside [base, base + size).
inline bool within(std::string_view v, const char* base, std::size_t size) {
  return v.data() >= base && v.data() + v.size() <= base + size;
}

inline int ref_hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(c | 0x20);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The bytes percent-decoding yields before the UTF-8 step: "%XX" is one byte,
// anything else (a lone "%" included) is itself; with plus_as_space "+" is a
// space.
inline std::string ref_unescape(std::string_view s, bool plus_as_space) {
  std::string out;
  std::size_t i = 0;
  while (i < s.size()) {
    if (s[i] == '%' && s.size() - i >= 3 && ref_hex(s[i + 1]) >= 0 && ref_hex(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(ref_hex(s[i + 1]) * 16 + ref_hex(s[i + 2])));
      i += 3;
    } else {
      out.push_back(plus_as_space && s[i] == '+' ? ' ' : s[i]);
      i += 1;
    }
  }
  return out;
}

// Length of the well-formed UTF-8 sequence at s[i] (decoded by value, so
// overlong forms, surrogates and values past U+10FFFF are refused), or 0.
inline std::size_t ref_utf8_len(std::string_view s, std::size_t i, std::uint32_t* cp = nullptr) {
  const auto b = static_cast<unsigned char>(s[i]);
  std::size_t n;
  std::uint32_t v;
  if (b < 0x80) {
    if (cp) *cp = b;
    return 1;
  } else if ((b & 0xE0) == 0xC0) {
    n = 2, v = b & 0x1F;
  } else if ((b & 0xF0) == 0xE0) {
    n = 3, v = b & 0x0F;
  } else if ((b & 0xF8) == 0xF0) {
    n = 4, v = b & 0x07;
  } else {
    return 0;
  }
  if (s.size() - i < n) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    v = (v << 6) | (c & 0x3F);
  }
  static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (v < kMin[n] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  if (cp) *cp = v;
  return n;
}

inline bool ref_valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = ref_utf8_len(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// The well-formed sequences of s in order, without any U+FFFD among them and
// without the bytes that belong to no well-formed sequence. Lossy decoding
// with replacement must agree with this once its own U+FFFD are removed.
inline std::string ref_valid_parts_without_fffd(std::string_view s, std::size_t* bad_bytes) {
  std::string out;
  *bad_bytes = 0;
  for (std::size_t i = 0; i < s.size();) {
    std::uint32_t cp = 0;
    const std::size_t n = ref_utf8_len(s, i, &cp);
    if (n == 0) {
      ++*bad_bytes;
      ++i;
      continue;
    }
    if (cp != 0xFFFD) out.append(s.substr(i, n));
    i += n;
  }
  return out;
}

inline std::size_t count_of(std::string_view hay, std::string_view needle) {
  std::size_t n = 0;
  for (std::size_t at = hay.find(needle); at != std::string_view::npos;
       at = hay.find(needle, at + needle.size())) {
    ++n;
  }
  return n;
}

inline bool is_tchar(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

inline char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

inline bool iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace kivfuzz
