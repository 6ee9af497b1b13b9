// Query-string decoding into ordered (name, value) pairs.
#pragma once

#include <string>
#include <string_view>

#include "http/request.hpp"

namespace kiv {

// "+" becomes a space first (so "%2B" survives as "+"), then percent-decoding
// and UTF-8 with replacement.
std::string decode_query_component(std::string_view piece);

// Splits at every "&" (an encoded "%26" does not split), drops empty pieces,
// splits each piece at its first "=" (none: value empty) and decodes both
// sides. Pairs keep their order; duplicates are kept. Never fails.
HeaderList parse_query(std::string_view query_string);

}  // namespace kiv
