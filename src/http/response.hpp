// The response record and everything that turns one into bytes: reason
// phrases, the fixed error pages, HTTP dates and the serialised head.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "http/request.hpp"

namespace kiv {

class BodySource;  // http/handler.hpp

// A body sent from an open file with sendfile(2): `length` bytes from
// `offset`, announced before the first byte goes out. Owns the descriptor.
struct FileBody {
  int fd = -1;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;

  FileBody(int fd, std::uint64_t offset, std::uint64_t length)
      : fd(fd), offset(offset), length(length) {}
  FileBody(const FileBody&) = delete;
  FileBody& operator=(const FileBody&) = delete;
  ~FileBody();
};

struct ResponseOut {
  HeaderList headers;  // extra header lines, in order
  std::string body;    // the whole body, unless `stream` is set
  std::uint16_t status = 200;
  // A body produced while it is sent; `body` is then unused. Its length is
  // unknown unless the producer's headers announce a Content-Length.
  std::shared_ptr<BodySource> stream;
  // A body sent from a file; `body` is then unused.
  std::shared_ptr<FileBody> file;
};

// How one response's body is delimited on the wire. Decided in one place,
// from status, request method, protocol version and body kind.
struct ResponseFraming {
  enum Kind {
    kNoBody,   // nothing follows the head (1xx, 204, 304)
    kLength,   // exactly `length` bytes
    kChunked,  // chunked transfer coding
    kClose,    // the body ends when the connection closes
  };
  Kind kind = kLength;
  std::uint64_t length = 0;
  bool content_length = true;  // write a Content-Length line with `length`
  bool send_body = true;       // false for HEAD and for kNoBody
};

ResponseFraming decide_response_framing(const ResponseOut& resp, bool head_only, bool http11);

inline constexpr std::string_view kServerHeader = "kiv/0.1.0";
inline constexpr std::string_view kHtmlType = "text/html; charset=utf-8";

// Interim answer to "Expect: 100-continue", sent before the body is read.
inline constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

// "Unknown" for unlisted codes.
std::string_view reason_phrase(std::uint16_t status);

// Fixed HTML page for 400, 413, 431, and the generic page for any other code.
ResponseOut simple(std::uint16_t status);

// IMF-fixdate of a Unix time, e.g. "Sun, 06 Nov 1994 08:49:37 GMT".
std::string http_date_from_secs(std::int64_t secs);

// The current date through the process-wide per-second cache.
std::string http_date_now();

// Appends http_date_now() to out without a temporary string.
void append_http_date_now(std::string& out);

// Appends the head, and a whole body when `framing` sends one and `with_body`
// is set, to out: status line, Server, Date, Content-Length or
// Transfer-Encoding as framed, Connection, then the extra headers minus the
// six the engine owns. CR, LF and NUL inside an extra header's name or value
// are written as spaces, so no producer can split the response.
void serialize_response(const ResponseOut& resp, const ResponseFraming& framing, bool keep_alive,
                        bool with_body, std::string& out);

// The framing of a whole-body response, for callers without a request version.
void serialize_response(const ResponseOut& resp, bool keep_alive, bool head_only, std::string& out);

}  // namespace kiv
