#include "ws/codec.hpp"

#include <cstring>

namespace kiv::ws {

namespace {

inline std::uint32_t rotl(std::uint32_t v, int s) {
  return (v << s) | (v >> (32 - s));
}

void sha1_block(std::uint32_t h[5], const std::uint8_t* block) {
  std::uint32_t w[80];
  for (int i = 0; i < 16; ++i) {
    w[i] = std::uint32_t(block[4 * i]) << 24 | std::uint32_t(block[4 * i + 1]) << 16 |
           std::uint32_t(block[4 * i + 2]) << 8 | std::uint32_t(block[4 * i + 3]);
  }
  for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  for (int i = 0; i < 80; ++i) {
    std::uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d), k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d, k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d, k = 0xCA62C1D6;
    }
    const std::uint32_t t = rotl(a, 5) + f + e + k + w[i];
    e = d, d = c, c = rotl(b, 30), b = a, a = t;
  }
  h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
}

constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int b64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::array<std::uint8_t, 20> sha1(std::string_view data) {
  std::uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  const auto* p = reinterpret_cast<const std::uint8_t*>(data.data());
  std::size_t n = data.size();
  for (; n >= 64; p += 64, n -= 64) sha1_block(h, p);
  std::uint8_t tail[128] = {};
  std::memcpy(tail, p, n);
  tail[n] = 0x80;
  const std::size_t tail_len = n + 9 <= 64 ? 64 : 128;
  const std::uint64_t bits = std::uint64_t(data.size()) * 8;
  for (int i = 0; i < 8; ++i) tail[tail_len - 1 - i] = std::uint8_t(bits >> (8 * i));
  sha1_block(h, tail);
  if (tail_len == 128) sha1_block(h, tail + 64);
  std::array<std::uint8_t, 20> out;
  for (int i = 0; i < 20; ++i) out[i] = std::uint8_t(h[i / 4] >> (24 - 8 * (i % 4)));
  return out;
}

std::string base64_encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = p[i] << 16 | p[i + 1] << 8 | p[i + 2];
    out += kB64[v >> 18];
    out += kB64[(v >> 12) & 63];
    out += kB64[(v >> 6) & 63];
    out += kB64[v & 63];
  }
  if (const std::size_t left = bytes.size() - i; left > 0) {
    const std::uint32_t v = p[i] << 16 | (left == 2 ? p[i + 1] << 8 : 0);
    out += kB64[v >> 18];
    out += kB64[(v >> 12) & 63];
    out += left == 2 ? kB64[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=' && last && k >= 2) {
        v[k] = 0;
        ++pad;
        continue;
      }
      if (pad > 0) return std::nullopt;  // data after padding
      v[k] = b64_value(c);
      if (v[k] < 0) return std::nullopt;
    }
    const std::uint32_t w = v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3];
    // Bits the padding drops must be zero, or two texts would decode alike.
    if ((pad == 1 && (w & 0xFF)) || (pad == 2 && (w & 0xFFFF))) return std::nullopt;
    out += char(w >> 16);
    if (pad < 2) out += char((w >> 8) & 0xFF);
    if (pad < 1) out += char(w & 0xFF);
  }
  return out;
}

std::string accept_key(std::string_view client_key) {
  std::string joined(client_key);
  joined += "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  const auto digest = sha1(joined);
  return base64_encode({reinterpret_cast<const char*>(digest.data()), digest.size()});
}

bool Utf8Check::feed(const std::uint8_t* p, std::size_t n) {
  if (bad_) return false;
  std::size_t i = 0;
  while (i < n) {
    if (need_ == 0) {
      // ASCII runs go eight bytes at a time.
      while (i + 8 <= n) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w & 0x8080808080808080ull) break;
        i += 8;
      }
      if (i == n) break;
      const std::uint8_t b = p[i++];
      if (b < 0x80) continue;
      if (b >= 0xC2 && b <= 0xDF) {
        need_ = 1, lo_ = 0x80, hi_ = 0xBF;
      } else if (b == 0xE0) {
        need_ = 2, lo_ = 0xA0, hi_ = 0xBF;
      } else if (b == 0xED) {
        need_ = 2, lo_ = 0x80, hi_ = 0x9F;  // no surrogates
      } else if (b >= 0xE1 && b <= 0xEF) {
        need_ = 2, lo_ = 0x80, hi_ = 0xBF;
      } else if (b == 0xF0) {
        need_ = 3, lo_ = 0x90, hi_ = 0xBF;
      } else if (b >= 0xF1 && b <= 0xF3) {
        need_ = 3, lo_ = 0x80, hi_ = 0xBF;
      } else if (b == 0xF4) {
        need_ = 3, lo_ = 0x80, hi_ = 0x8F;  // nothing past U+10FFFF
      } else {
        bad_ = true;
        return false;
      }
    } else {
      const std::uint8_t b = p[i++];
      if (b < lo_ || b > hi_) {
        bad_ = true;
        return false;
      }
      --need_;
      lo_ = 0x80, hi_ = 0xBF;
    }
  }
  return true;
}

void unmask(char* data, std::size_t n, const std::uint8_t key[4], std::size_t offset) {
  std::uint8_t k[8];
  for (int i = 0; i < 8; ++i) k[i] = key[(offset + i) & 3];
  std::uint64_t wide;
  std::memcpy(&wide, k, 8);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, data + i, 8);
    w ^= wide;
    std::memcpy(data + i, &w, 8);
  }
  for (; i < n; ++i) data[i] = char(std::uint8_t(data[i]) ^ k[i & 7]);
}

}  // namespace kiv::ws
