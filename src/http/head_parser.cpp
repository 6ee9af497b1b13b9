#include "http/head_parser.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "percent.hpp"

namespace kiv {

namespace {

enum : unsigned char { kTchar = 1, kTargetByte = 2, kValueByte = 4, kRegName = 8 };

constexpr std::array<unsigned char, 256> make_classes() {
  std::array<unsigned char, 256> t{};
  // tchar = "!" / "#" / "$" / "%" / "&" / "'" / "*" / "+" / "-" / "." /
  //         "^" / "_" / "`" / "|" / "~" / DIGIT / ALPHA
  for (unsigned char c : std::string_view("!#$%&'*+-.^_`|~")) t[c] |= kTchar;
  for (int c = '0'; c <= '9'; ++c) t[c] |= kTchar;
  for (int c = 'a'; c <= 'z'; ++c) t[c] |= kTchar;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] |= kTchar;
  for (int c = 0x21; c <= 0x7E; ++c) t[c] |= kTargetByte | kValueByte;
  for (int c = 0x80; c <= 0xFF; ++c) t[c] |= kTargetByte | kValueByte;
  t[' '] |= kValueByte;
  t['\t'] |= kValueByte;
  // RFC 3986 unreserved and sub-delims: the bytes of a host name.
  for (int c = 'a'; c <= 'z'; ++c) t[c] |= kRegName;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] |= kRegName;
  for (int c = '0'; c <= '9'; ++c) t[c] |= kRegName;
  for (unsigned char c : std::string_view("-._~!$&'()*+,;=")) t[c] |= kRegName;
  return t;
}

constexpr std::array<unsigned char, 256> kClass = make_classes();

using Byte = unsigned char;

// Consumes one line end (CRLF or LF) at p.
enum class Eol { kOk, kIncomplete, kError };
inline Eol eat_eol(const Byte*& p, const Byte* end) {
  if (*p == '\n') {
    ++p;
    return Eol::kOk;
  }
  if (*p != '\r') return Eol::kError;
  if (end - p < 2) return Eol::kIncomplete;
  if (p[1] != '\n') return Eol::kError;
  p += 2;
  return Eol::kOk;
}

// Eight bytes at a time (SWAR): true when some byte of w is below n (n <= 128;
// bytes >= 0x80 never count) or equals 0x7F. Exact as an "any" test.
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
inline bool any_below_or_del(std::uint64_t w, unsigned n) {
  const std::uint64_t below = (w - kOnes * n) & ~w & kHighs;
  const std::uint64_t d = w ^ (kOnes * 0x7F);
  const std::uint64_t del = (d - kOnes) & ~d & kHighs;
  return (below | del) != 0;
}

inline std::uint64_t load8(const Byte* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// Skips the bytes of class cls (kTargetByte: bytes > 0x20 except 0x7F;
// kValueByte: the same plus SP and HTAB), whole words where possible. ORs every
// skipped byte into high so the caller knows whether non-ASCII was seen.
inline const Byte* skip_class(const Byte* p, const Byte* end, unsigned char cls,
                              std::uint64_t& high) {
  const unsigned limit = cls == kTargetByte ? 0x21 : 0x20;  // HTAB falls to the byte loop
  for (;;) {
    while (end - p >= 8) {
      const std::uint64_t w = load8(p);
      if (any_below_or_del(w, limit)) break;
      high |= w;
      p += 8;
    }
    const Byte* const stop = end - p >= 8 ? p + 8 : end;
    while (p != stop && (kClass[*p] & cls)) high |= *p++;
    if (p != stop || p == end) return p;
  }
}

constexpr bool is_hex(Byte c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
constexpr bool all_digits(std::string_view s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// reg-name = *( unreserved / pct-encoded / sub-delims ); may be empty.
bool valid_reg_name(std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<Byte>(s[i]);
    if (kClass[c] & kRegName) continue;
    if (c != '%' || i + 2 >= s.size() || !is_hex(static_cast<Byte>(s[i + 1])) ||
        !is_hex(static_cast<Byte>(s[i + 2]))) {
      return false;
    }
    i += 2;
  }
  return true;
}

// IPv4address: four dec-octets 0-255 without leading zeros.
bool valid_ipv4(std::string_view s) {
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = part < 3 ? s.find('.') : s.size();
    if (dot == std::string_view::npos || dot == 0 || dot > 3) return false;
    const std::string_view octet = s.substr(0, dot);
    if (!all_digits(octet) || (octet.size() > 1 && octet[0] == '0')) return false;
    int v = 0;
    for (char c : octet) v = v * 10 + (c - '0');
    if (v > 255) return false;
    s.remove_prefix(part < 3 ? dot + 1 : dot);
  }
  return true;
}

// IPv6address: eight 16-bit groups of 1-4 hex digits, or fewer around one
// "::"; the last two groups may be written as an IPv4 address.
bool valid_ipv6(std::string_view s) {
  int groups = 0;
  bool compressed = false;
  std::size_t i = 0;
  if (s.starts_with("::")) {
    compressed = true;
    i = 2;
    if (i == s.size()) return true;
  }
  for (;;) {
    const std::size_t end = std::min(s.find(':', i), s.size());
    const std::string_view piece = s.substr(i, end - i);
    if (piece.find('.') != std::string_view::npos) {
      if (end != s.size() || !valid_ipv4(piece)) return false;
      groups += 2;
      break;
    }
    if (piece.empty() || piece.size() > 4) return false;
    for (char c : piece) {
      if (!is_hex(static_cast<Byte>(c))) return false;
    }
    ++groups;
    if (end == s.size()) break;
    i = end + 1;
    if (i < s.size() && s[i] == ':') {
      if (compressed) return false;
      compressed = true;
      if (++i == s.size()) break;
    } else if (i == s.size()) {
      return false;  // a single trailing ":"
    }
  }
  return compressed ? groups <= 7 : groups == 8;
}

// IPvFuture = "v" 1*HEXDIG "." 1*( unreserved / sub-delims / ":" )
bool valid_ipvfuture(std::string_view s) {
  if (s.size() < 4 || (s[0] != 'v' && s[0] != 'V')) return false;
  const std::size_t dot = s.find('.');
  if (dot == std::string_view::npos || dot < 2 || dot + 1 == s.size()) return false;
  for (std::size_t i = 1; i < dot; ++i) {
    if (!is_hex(static_cast<Byte>(s[i]))) return false;
  }
  for (std::size_t i = dot + 1; i < s.size(); ++i) {
    const auto c = static_cast<Byte>(s[i]);
    if (!(kClass[c] & kRegName) && c != ':') return false;
  }
  return true;
}

// RFC 9112 3.2: Host = uri-host [ ":" port ], uri-host being an IP-literal in
// brackets or a reg-name (which covers IPv4address); port = *DIGIT.
bool valid_host_general(std::string_view v) {
  std::string_view port;
  if (!v.empty() && v[0] == '[') {
    const std::size_t close = v.find(']');
    if (close == std::string_view::npos) return false;
    const std::string_view literal = v.substr(1, close - 1);
    if (!valid_ipv6(literal) && !valid_ipvfuture(literal)) return false;
    const std::string_view rest = v.substr(close + 1);
    if (rest.empty()) return true;
    if (rest[0] != ':') return false;
    port = rest.substr(1);
  } else {
    const std::size_t colon = v.find(':');
    if (!valid_reg_name(v.substr(0, colon))) return false;
    if (colon != std::string_view::npos) port = v.substr(colon + 1);
  }
  return all_digits(port);
}

// One pass for the usual name[:port]; escapes and IP literals take the general path.
bool valid_host(std::string_view v) {
  std::size_t i = 0;
  while (i < v.size() && (kClass[static_cast<Byte>(v[i])] & kRegName)) ++i;
  if (i == v.size()) return true;
  if (v[i] != ':') return valid_host_general(v);
  return all_digits(v.substr(i + 1));
}

bool is_host_name(const Byte* name) {
  return (name[0] | 0x20) == 'h' && (name[1] | 0x20) == 'o' && (name[2] | 0x20) == 's' &&
         (name[3] | 0x20) == 't';
}

inline long eol_failure(Eol e) {
  return e == Eol::kIncomplete ? kHeadIncomplete : kHeadError;
}

inline std::string_view view(const Byte* from, const Byte* to) {
  return {reinterpret_cast<const char*>(from), static_cast<std::size_t>(to - from)};
}

}  // namespace

long parse_head(std::string_view buf, ParsedHead& out) {
  const Byte* const begin = reinterpret_cast<const Byte*>(buf.data());
  const Byte* const end = begin + buf.size();
  const Byte* p = begin;
  out.num_headers = 0;

  // RFC 9112 2.2: empty lines before the request line are ignored.
  while (p != end && (*p == '\r' || *p == '\n')) {
    if (Eol e = eat_eol(p, end); e != Eol::kOk) return eol_failure(e);
  }

  // Request line: method SP request-target SP HTTP-version.
  const Byte* const method = p;
  while (p != end && (kClass[*p] & kTchar)) ++p;
  if (p == end) return kHeadIncomplete;
  if (p == method || *p != ' ') return kHeadError;
  out.method = view(method, p);
  ++p;

  const Byte* const target = p;
  std::uint64_t high = 0;  // UTF-8 needs checking only when a byte is above 0x7F
  p = skip_class(p, end, kTargetByte, high);
  // Judged on the bytes so far, so that a long target is refused before it
  // fills the head limit (and the same way however the reads were split).
  const auto target_len = static_cast<std::size_t>(p - target);
  if (target_len > kMaxTargetBytes) return kHeadTargetTooLong;
  // The path limit counts from the path: in absolute form that is the first
  // "/" from offset 8 on, after the scheme and authority.
  const Byte* path = target;
  if (target_len > 8 && (std::memcmp(target, "http://", 7) == 0 ||
                         std::memcmp(target, "https://", 8) == 0)) {
    const void* slash = std::memchr(target + 8, '/', target_len - 8);
    path = slash ? static_cast<const Byte*>(slash) : p;
  }
  const auto path_len = static_cast<std::size_t>(p - path);
  if (path_len > kMaxPathBytes &&
      !std::memchr(path, '?', std::min(path_len, kMaxPathBytes + 1))) {
    return kHeadTargetTooLong;
  }
  if (p == end) return kHeadIncomplete;
  if (p == target || *p != ' ') return kHeadError;
  out.target = view(target, p);
  if ((high & kHighs) && !is_valid_utf8(out.target)) return kHeadError;
  ++p;

  static constexpr std::string_view kVersion = "HTTP/1.";
  for (char c : kVersion) {
    if (p == end) return kHeadIncomplete;
    if (*p != static_cast<Byte>(c)) return kHeadError;
    ++p;
  }
  if (p == end) return kHeadIncomplete;
  if (*p != '0' && *p != '1') return kHeadError;
  out.minor_version = *p - '0';
  ++p;
  if (p == end) return kHeadIncomplete;
  if (Eol e = eat_eol(p, end); e != Eol::kOk) return eol_failure(e);

  // Header lines up to the empty line.
  bool seen_host = false;
  for (;;) {
    if (p == end) return kHeadIncomplete;
    if (*p == '\r' || *p == '\n') {
      if (Eol e = eat_eol(p, end); e != Eol::kOk) return eol_failure(e);
      return static_cast<long>(p - begin);
    }
    if (out.num_headers == kMaxHeaders) return kHeadTooManyFields;

    // field-name ":" OWS field-value OWS. A leading SP/HTAB (obs-fold), a
    // blank before the colon or a missing colon all fail the tchar scan.
    const Byte* const name = p;
    while (p != end && (kClass[*p] & kTchar)) ++p;
    if (p == end) return kHeadIncomplete;
    if (p == name || *p != ':') return kHeadError;
    const Byte* const name_end = p;
    ++p;
    while (p != end && (*p == ' ' || *p == '\t')) ++p;
    const Byte* const value = p;
    std::uint64_t unused = 0;
    p = skip_class(p, end, kValueByte, unused);
    if (p == end) return kHeadIncomplete;
    const Byte* value_end = p;
    while (value_end != value && (value_end[-1] == ' ' || value_end[-1] == '\t')) --value_end;
    if (Eol e = eat_eol(p, end); e != Eol::kOk) return eol_failure(e);
    // RFC 9112 3.2: several Host lines or an invalid one make the request
    // ambiguous; whatever reads the host later would pick differently.
    if (name_end - name == 4 && is_host_name(name)) {
      if (seen_host || !valid_host(view(value, value_end))) return kHeadError;
      seen_host = true;
    }
    out.headers[out.num_headers++] = {view(name, name_end), view(value, value_end)};
  }
}

bool valid_field_line(std::string_view line) {
  const Byte* p = reinterpret_cast<const Byte*>(line.data());
  const Byte* const end = p + line.size();
  const Byte* const name = p;
  while (p != end && (kClass[*p] & kTchar)) ++p;
  if (p == name || p == end || *p != ':') return false;
  ++p;
  std::uint64_t unused = 0;
  return skip_class(p, end, kValueByte, unused) == end;
}

bool may_hold_head_end(std::string_view buf, std::size_t from_hint) {
  const char* const d = buf.data();
  const std::size_t n = buf.size();
  std::size_t i = from_hint > 3 ? from_hint - 3 : 0;
  while (i < n) {
    const void* hit = std::memchr(d + i, '\n', n - i);
    if (hit == nullptr) return false;
    const std::size_t k = static_cast<const char*>(hit) - d;
    i = k + 1;
    // Is the LF at k the end of an empty line? Then j is the LF before it.
    std::size_t j;
    if (k >= 1 && d[k - 1] == '\n') {
      j = k - 1;
    } else if (k >= 2 && d[k - 1] == '\r' && d[k - 2] == '\n') {
      j = k - 2;
    } else {
      continue;
    }
    // The line ended by j must be non-empty: otherwise this is one of the
    // empty lines before a request line (or a later one of several empty
    // lines, whose first was already seen).
    std::size_t b = j;
    if (b >= 1 && d[b - 1] == '\r') --b;
    if (b >= 1 && d[b - 1] != '\n') return true;
  }
  return false;
}

}  // namespace kiv
