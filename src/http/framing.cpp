#include "http/framing.hpp"

#include "percent.hpp"

namespace kiv {

namespace {

inline char lower_ascii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

inline std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// 1*DIGIT within 64 bits.
std::optional<std::uint64_t> parse_decimal(std::string_view s) {
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto d = static_cast<std::uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

// Counts the non-empty elements of a comma-separated list that are "chunked"
// and those that are anything else.
void count_codings(std::string_view list, std::size_t& chunked, std::size_t& other) {
  for (;;) {
    const auto comma = list.find(',');
    const auto elem = trim_blanks(list.substr(0, comma));
    if (!elem.empty()) ++(iequals_ascii(elem, "chunked") ? chunked : other);
    if (comma == std::string_view::npos) return;
    list.remove_prefix(comma + 1);
  }
}

}  // namespace

bool iequals_ascii(std::string_view a, std::string_view lower_b) {
  if (a.size() != lower_b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower_ascii(a[i]) != lower_b[i]) return false;
  }
  return true;
}

bool icontains_ascii(std::string_view hay, std::string_view lower_needle) {
  if (lower_needle.empty()) return true;
  if (hay.size() < lower_needle.size()) return false;
  const std::size_t last = hay.size() - lower_needle.size();
  for (std::size_t i = 0; i <= last; ++i) {
    if (iequals_ascii(hay.substr(i, lower_needle.size()), lower_needle)) return true;
  }
  return false;
}

const HeaderView* find_header(const ParsedHead& head, std::string_view lower_name) {
  for (std::size_t i = 0; i < head.num_headers; ++i) {
    if (iequals_ascii(head.headers[i].name, lower_name)) return &head.headers[i];
  }
  return nullptr;
}

BodyFraming decide_framing(const ParsedHead& head) {
  bool has_te = false;
  std::size_t chunked = 0, other_codings = 0;
  bool has_cl = false;
  bool cl_bad = false;
  std::uint64_t cl = 0;

  for (std::size_t i = 0; i < head.num_headers; ++i) {
    const HeaderView& h = head.headers[i];
    if (iequals_ascii(h.name, "transfer-encoding")) {
      has_te = true;
      // Several fields read as one list joined by "," in order.
      count_codings(h.value, chunked, other_codings);
    } else if (iequals_ascii(h.name, "content-length")) {
      const auto v = parse_decimal(trim_blanks(h.value));
      if (!v || (has_cl && *v != cl)) cl_bad = true;
      if (v) cl = *v;
      has_cl = true;
    }
  }

  if (has_te) {
    // RFC 9112 6.1: an HTTP/1.0 message with Transfer-Encoding may come from
    // an intermediary that did not understand it; refuse rather than guess.
    if (head.minor_version == 0) return {BodyFraming::kBad, 0, true};
    // Any other coding (before chunked or after it) would reach the view
    // still encoded: refuse it as not implemented. Without a final chunked
    // the length cannot be determined either, so the connection ends too.
    if (other_codings > 0) return {BodyFraming::kUnsupported, 0, true};
    // Nothing to decode, or chunked applied twice (RFC 9112 7.1 forbids it).
    if (chunked != 1) return {BodyFraming::kBad, 0, true};
    // A Content-Length beside it may have been read by someone upstream
    // (6.3): serve the request but do not reuse the stream.
    return {BodyFraming::kChunked, 0, has_cl};
  }
  if (cl_bad) return {BodyFraming::kBad, 0, true};
  if (has_cl) return {BodyFraming::kLength, cl, false};
  return {BodyFraming::kNone, 0, false};
}

std::optional<std::uint64_t> parse_chunk_size(std::string_view line) {
  // A bare CR or a NUL anywhere (extensions included) is how framing
  // disagreements between parsers start.
  if (line.find_first_of(std::string_view("\r\0", 2)) != std::string_view::npos) {
    return std::nullopt;
  }
  if (const auto semi = line.find(';'); semi != std::string_view::npos) {
    line = line.substr(0, semi);
  }
  line = trim_blanks(line);
  if (line.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : line) {
    const int h = hex_value(static_cast<unsigned char>(c));
    if (h < 0 || (v >> 60) != 0) return std::nullopt;
    v = (v << 4) | static_cast<std::uint64_t>(h);
  }
  return v;
}

}  // namespace kiv
