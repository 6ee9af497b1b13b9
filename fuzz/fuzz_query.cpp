// Query strings: pairs match an independent split of the raw text, every
// text is valid UTF-8, and an "&" inside a name or value can only come from
// an escape, never from the splitting.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.hpp"
#include "http/query.hpp"

namespace {

// Raw (name, value) pieces, split byte by byte.
std::vector<std::pair<std::string_view, std::string_view>> ref_split(std::string_view q) {
  std::vector<std::pair<std::string_view, std::string_view>> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= q.size(); ++i) {
    if (i < q.size() && q[i] != '&') continue;
    const std::string_view piece = q.substr(start, i - start);
    start = i + 1;
    if (piece.empty()) continue;
    std::size_t eq = 0;
    while (eq < piece.size() && piece[eq] != '=') ++eq;
    out.emplace_back(piece.substr(0, eq),
                     eq < piece.size() ? piece.substr(eq + 1) : std::string_view{});
  }
  return out;
}

void check_text(std::string_view raw, const std::string& decoded) {
  FUZZ_CHECK(kivfuzz::ref_valid_utf8(decoded));
  FUZZ_CHECK(decoded.size() <= 3 * raw.size());
  // "&" and "=" are ASCII, so they survive the UTF-8 step unchanged and
  // their count is that of the unescaped bytes.
  const std::string bytes = kivfuzz::ref_unescape(raw, true);
  FUZZ_CHECK(kivfuzz::count_of(decoded, "&") == kivfuzz::count_of(bytes, "&"));
  FUZZ_CHECK(kivfuzz::count_of(decoded, "=") == kivfuzz::count_of(bytes, "="));
  FUZZ_CHECK(kivfuzz::count_of(decoded, "+") == kivfuzz::count_of(bytes, "+"));
  if (raw.find('%') == std::string_view::npos) {
    FUZZ_CHECK(decoded.find('&') == std::string::npos && decoded.find('+') == std::string::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view q = kivfuzz::as_view(data, size);
  const kiv::HeaderList pairs = kiv::parse_query(q);
  const auto raw = ref_split(q);
  FUZZ_CHECK(pairs.size() == raw.size());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const auto& [name, value] = pairs[i];
    check_text(raw[i].first, name);
    check_text(raw[i].second, value);
    FUZZ_CHECK(name == kiv::decode_query_component(raw[i].first));
    FUZZ_CHECK(value == kiv::decode_query_component(raw[i].second));
    if (raw[i].first.find('%') == std::string_view::npos) {
      FUZZ_CHECK(name.find('=') == std::string::npos);
    }
  }
  return 0;
}
