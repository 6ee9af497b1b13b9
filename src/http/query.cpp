#include "http/query.hpp"

#include <algorithm>

#include "percent.hpp"

namespace kiv {

std::string decode_query_component(std::string_view piece) {
  return percent_decode(piece, /*plus_as_space=*/true);
}

HeaderList parse_query(std::string_view query_string) {
  HeaderList out;
  if (query_string.empty()) return out;
  out.reserve(static_cast<std::size_t>(std::count(query_string.begin(), query_string.end(), '&')) +
              1);
  std::size_t start = 0;
  while (start <= query_string.size()) {
    std::size_t amp = query_string.find('&', start);
    if (amp == std::string_view::npos) amp = query_string.size();
    const std::string_view piece = query_string.substr(start, amp - start);
    start = amp + 1;
    if (piece.empty()) continue;
    const std::size_t eq = piece.find('=');
    if (eq == std::string_view::npos) {
      out.emplace_back(decode_query_component(piece), std::string());
    } else {
      out.emplace_back(decode_query_component(piece.substr(0, eq)),
                       decode_query_component(piece.substr(eq + 1)));
    }
  }
  return out;
}

}  // namespace kiv
