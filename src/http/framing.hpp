// Every request-framing decision in one place (RFC 9112 section 6), so that
// this server and any front proxy cannot read the body boundaries differently:
// whatever is ambiguous is refused rather than guessed.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "http/head_parser.hpp"

namespace kiv {

struct BodyFraming {
  enum Kind {
    kNone,     // no body
    kLength,   // exactly `length` bytes follow (also for Content-Length: 0)
    kChunked,  // chunked transfer coding
    kBad,      // framing cannot be trusted: answer 400 and close
    kUnsupported,  // a transfer coding other than chunked: answer 501 and close
  } kind;
  std::uint64_t length;  // kLength only, else 0
  bool force_close;      // close the connection after this request
};

// Looks at Transfer-Encoding and Content-Length among the parsed headers
// (names ASCII case-insensitive):
//  - Transfer-Encoding (several fields count as one list, in order; empty list
//    elements ignored): exactly one coding, "chunked" -> kChunked; any other
//    coding in the list -> kUnsupported (RFC 9112 6.1: we decode no other);
//    an empty list or "chunked" twice -> kBad. A Content-Length beside it sets
//    force_close (6.3); an HTTP/1.0 request with Transfer-Encoding -> kBad (6.1).
//  - Content-Length values must be plain decimal digits after trimming SP/HTAB
//    and fit 64 bits; several fields must agree -> kLength, otherwise kBad.
//  - neither -> kNone.
BodyFraming decide_framing(const ParsedHead& head);

// Chunk-size line without its line end: a CR or NUL anywhere refuses it;
// anything from the first ";" on (extensions) is ignored, SP/HTAB trimmed, then
// hex digits fitting 64 bits, no sign. nullopt on anything else (empty, "0x"
// prefix, a sign, overflow).
std::optional<std::uint64_t> parse_chunk_size(std::string_view line);

// First header with this lower-case name (ASCII case-insensitive), or null.
const HeaderView* find_header(const ParsedHead& head, std::string_view lower_name);

// a equals lower_b ignoring ASCII case; lower_b must be lower case.
bool iequals_ascii(std::string_view a, std::string_view lower_b);

// hay contains lower_needle ignoring ASCII case; lower_needle must be lower case.
bool icontains_ascii(std::string_view hay, std::string_view lower_needle);

}  // namespace kiv
