// HTTP/1.x request-head parser: a pure, allocation-free, single-pass scan over
// the connection buffer. It keeps no state between calls; the connection loop
// parses again from the first byte after each read, gated by may_hold_head_end
// so that a head trickling in byte by byte costs linear work in total.
#pragma once

#include <cstddef>
#include <string_view>

namespace kiv {

// Request limits, all in one place.
// Header lines per head.
inline constexpr std::size_t kMaxHeaders = 100;
// A head still incomplete with more than this buffered is refused (431).
inline constexpr std::size_t kMaxHeadBytes = 65536;
// Target bytes before the first "?" (the path, for origin-form), and the
// whole target; longer ones are refused (414) before the head completes. A
// whole target is too long when it leaves no room in the head for the rest
// of the request line and a Host field, so a long query string is still
// accepted up to the head limit, but a target that would overrun the head
// is named for what it is.
inline constexpr std::size_t kMaxPathBytes = 8192;
inline constexpr std::size_t kMaxTargetBytes = kMaxHeadBytes - 64;

struct HeaderView {
  std::string_view name, value;
};

// Views into the parsed buffer; valid while that buffer is unchanged. Only
// meaningful after parse_head returned a head length.
struct ParsedHead {
  std::string_view method, target;
  int minor_version;  // 0 or 1
  HeaderView headers[kMaxHeaders];
  std::size_t num_headers;
};

inline constexpr long kHeadError = -1, kHeadIncomplete = -2;
// Refusals that get their own status: the target is over its limits (414),
// or a header line beyond kMaxHeaders starts (431).
inline constexpr long kHeadTargetTooLong = -3, kHeadTooManyFields = -4;

// Parses a request head from the start of buf. Returns the head length (bytes
// up to and including the blank line) when complete, kHeadIncomplete when more
// bytes are needed, kHeadError when the bytes can never form a valid head
// (or kHeadTargetTooLong, kHeadTooManyFields, above).
//
// Accepted: empty lines (CRLF or LF) before the request line; CRLF or bare LF
// as line end; "METHOD SP target SP HTTP/1.0|HTTP/1.1"; method and header names
// of tchar (RFC 9110); target bytes 0x21-0x7E and 0x80-0xFF forming valid
// UTF-8; header values of HTAB, 0x20-0x7E and 0x80-0xFF, returned without the
// blanks after the colon and without trailing blanks; at most kMaxHeaders
// header lines (one more is kHeadTooManyFields). Rejected, per RFC 9112's advice to recipients: a CR not
// followed by LF, obs-fold (a header line starting with SP or HTAB), blanks
// between a field name and its colon, a header line without a colon, an empty
// method or target, control bytes anywhere, a second Host line, a Host value
// that is not host[:port] (a missing Host is fine).
long parse_head(std::string_view buf, ParsedHead& out);

// True when buf may now hold the end of a head whose last byte arrived at or
// after from_hint (the buffer size at the previous call; a few bytes before it
// are looked at again). A cheap memchr scan for a blank line that follows a
// non-empty line, so runs of empty lines before a request line never trigger
// a re-parse. Pass 0 for a buffer not seen before (e.g. pipelined leftovers).
// A false answer means parse_head would not report a complete head; it may
// still report an error, which then surfaces once the head ends or the buffer
// limit is reached.
bool may_hold_head_end(std::string_view buf, std::size_t from_hint);

// A trailer line (without its line end) as a field line must be: a tchar name,
// a colon, then only the value bytes a header line may hold.
bool valid_field_line(std::string_view line);

}  // namespace kiv
