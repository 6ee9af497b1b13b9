#include "http/response.hpp"

#include <charconv>
#include <chrono>
#include <cstring>
#include <mutex>

#include <unistd.h>

namespace kiv {

std::string_view reason_phrase(std::uint16_t status) {
  switch (status) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 204:
      return "No Content";
    case 206:
      return "Partial Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 406:
      return "Not Acceptable";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 410:
      return "Gone";
    case 411:
      return "Length Required";
    case 413:
      return "Content Too Large";
    case 414:
      return "URI Too Long";
    case 415:
      return "Unsupported Media Type";
    case 416:
      return "Range Not Satisfiable";
    case 417:
      return "Expectation Failed";
    case 418:
      return "I'm a Teapot";
    case 422:
      return "Unprocessable Content";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "Unknown";
  }
}

namespace {

constexpr std::string_view kPage400 =
    "<!doctype html>\n"
    "<html lang=en>\n"
    "<title>400 Bad Request</title>\n"
    "<h1>Bad Request</h1>\n"
    "<p>The browser (or proxy) sent a request that this server could not understand.</p>\n";

constexpr std::string_view kPage413 =
    "<!doctype html>\n"
    "<html lang=en>\n"
    "<title>413 Content Too Large</title>\n"
    "<h1>Content Too Large</h1>\n"
    "<p>The request body is too large.</p>\n";

constexpr std::string_view kPage414 =
    "<!doctype html>\n"
    "<html lang=en>\n"
    "<title>414 URI Too Long</title>\n"
    "<h1>URI Too Long</h1>\n"
    "<p>The requested URL is too long.</p>\n";

constexpr std::string_view kPage431 =
    "<!doctype html>\n"
    "<html lang=en>\n"
    "<title>431 Request Header Fields Too Large</title>\n"
    "<h1>Request Header Fields Too Large</h1>\n"
    "<p>The request header fields are too large.</p>\n";

constexpr std::string_view kPage501 =
    "<!doctype html>\n"
    "<html lang=en>\n"
    "<title>501 Not Implemented</title>\n"
    "<h1>Not Implemented</h1>\n"
    "<p>The request uses a transfer coding this server does not implement.</p>\n";

constexpr std::string_view kPageGeneric =
    "<!doctype html>\n"
    "<html lang=en>\n"
    "<title>500 Internal Server Error</title>\n"
    "<h1>Internal Server Error</h1>\n"
    "<p>The server encountered an internal error and was unable to complete your request.</p>\n";

}  // namespace

ResponseOut simple(std::uint16_t status) {
  std::string_view page;
  switch (status) {
    case 400:
      page = kPage400;
      break;
    case 413:
      page = kPage413;
      break;
    case 414:
      page = kPage414;
      break;
    case 431:
      page = kPage431;
      break;
    case 501:
      page = kPage501;
      break;
    default:
      page = kPageGeneric;
      break;
  }
  ResponseOut r;
  r.headers.emplace_back("Content-Type", kHtmlType);
  r.body.assign(page);
  r.status = status;
  return r;
}

namespace {

constexpr char kWeekdays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

inline char* put2(char* p, unsigned v) {
  *p++ = static_cast<char>('0' + v / 10);
  *p++ = static_cast<char>('0' + v % 10);
  return p;
}

// Longest text: a 12-digit negative year, well under this.
constexpr std::size_t kDateMax = 48;

// Formats the IMF-fixdate of secs into p, returns its length.
std::size_t format_date(std::int64_t secs, char* p) {
  std::int64_t days = secs / 86400;
  std::int64_t sod = secs % 86400;
  if (sod < 0) {
    sod += 86400;
    --days;
  }
  const auto weekday = static_cast<unsigned>((days % 7 + 11) % 7);  // day 0 was a Thursday

  // Proleptic Gregorian civil date from days since 1970-01-01, in 400-year
  // eras of 146097 days counted from 0000-03-01 so leap days fall last.
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;                                       // [0, 146096]
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // [0, 365]
  const std::int64_t mp = (5 * doy + 2) / 153;                                     // [0, 11]
  const auto mday = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  const auto month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);

  char* const start = p;
  std::memcpy(p, kWeekdays[weekday], 3);
  p += 3;
  *p++ = ',';
  *p++ = ' ';
  p = put2(p, mday);
  *p++ = ' ';
  std::memcpy(p, kMonths[month - 1], 3);
  p += 3;
  *p++ = ' ';
  if (year < 0) *p++ = '-';
  // At least four digits; the magnitude of a negative year fits since |year|
  // is far below 2^63 for any 64-bit second count.
  const std::uint64_t ay = year < 0 ? static_cast<std::uint64_t>(-year) : year;
  char digits[24];
  const auto res = std::to_chars(digits, digits + sizeof digits, ay);
  for (auto n = res.ptr - digits; n < 4; ++n) *p++ = '0';
  std::memcpy(p, digits, static_cast<std::size_t>(res.ptr - digits));
  p += res.ptr - digits;
  *p++ = ' ';
  p = put2(p, static_cast<unsigned>(sod / 3600));
  *p++ = ':';
  p = put2(p, static_cast<unsigned>(sod % 3600 / 60));
  *p++ = ':';
  p = put2(p, static_cast<unsigned>(sod % 60));
  std::memcpy(p, " GMT", 4);
  p += 4;
  return static_cast<std::size_t>(p - start);
}

std::int64_t now_secs() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const auto s = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  return s < 0 ? 0 : static_cast<std::int64_t>(s);
}

// The process-wide (second, text) pair. The text of a second never changes, so
// a per-thread copy of the last pair answers most calls without the lock and
// still gives every caller in one second the same text.
struct DateCache {
  std::mutex mu;
  bool filled = false;
  std::int64_t secs = 0;
  char text[kDateMax];
  std::size_t len = 0;
};
DateCache DATE_CACHE;

struct ThreadDate {
  std::int64_t secs = -1;  // now_secs() is never negative
  char text[kDateMax];
  std::size_t len = 0;
};
thread_local ThreadDate tls_date;

const ThreadDate& current_date() {
  const std::int64_t now = now_secs();
  ThreadDate& mine = tls_date;
  if (mine.secs == now) return mine;
  std::lock_guard<std::mutex> lock(DATE_CACHE.mu);
  if (!DATE_CACHE.filled || DATE_CACHE.secs != now) {
    DATE_CACHE.len = format_date(now, DATE_CACHE.text);
    DATE_CACHE.secs = now;
    DATE_CACHE.filled = true;
  }
  std::memcpy(mine.text, DATE_CACHE.text, DATE_CACHE.len);
  mine.len = DATE_CACHE.len;
  mine.secs = now;
  return mine;
}

// Names the engine writes itself; a producer's copy is dropped.
bool engine_owned(std::string_view name) {
  static constexpr std::string_view kOwned[] = {
      "date", "server", "connection", "keep-alive", "content-length", "transfer-encoding"};
  for (std::string_view owned : kOwned) {
    if (name.size() != owned.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      char c = name[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
      same = c == owned[i];
    }
    if (same) return true;
  }
  return false;
}

// Appends s with CR, LF and NUL written as SP (as RFC 9110 5.5 lets a
// recipient do), so a header cannot end early and smuggle further lines.
void append_field_text(std::string& out, std::string_view s) {
  const std::size_t at = out.size();
  out.append(s);
  for (std::size_t i = at; i < out.size(); ++i) {
    const char c = out[i];
    if (c == '\r' || c == '\n' || c == '\0') out[i] = ' ';
  }
}

template <typename T>
void append_decimal(std::string& out, T v) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

}  // namespace

std::string http_date_from_secs(std::int64_t secs) {
  char buf[kDateMax];
  return std::string(buf, format_date(secs, buf));
}

std::string http_date_now() {
  const ThreadDate& d = current_date();
  return std::string(d.text, d.len);
}

void append_http_date_now(std::string& out) {
  const ThreadDate& d = current_date();
  out.append(d.text, d.len);
}

namespace {

// A Content-Length a streamed body's producer announced: the last one, when
// it is plain decimal digits. Anything else is ignored and the body is chunked.
std::optional<std::uint64_t> announced_length(const HeaderList& headers) {
  std::optional<std::uint64_t> found;
  for (const auto& [name, value] : headers) {
    // The only engine-owned name of this length.
    if (name.size() != 14 || !engine_owned(name)) continue;
    std::uint64_t v = 0;
    const auto res = std::from_chars(value.data(), value.data() + value.size(), v);
    if (value.empty() || res.ec != std::errc() || res.ptr != value.data() + value.size())
      found.reset();
    else
      found = v;
  }
  return found;
}

}  // namespace

FileBody::~FileBody() {
  if (fd >= 0) ::close(fd);
}

ResponseFraming decide_response_framing(const ResponseOut& resp, bool head_only, bool http11) {
  ResponseFraming f;
  const std::uint16_t s = resp.status;
  // RFC 9110 15.2, 15.3.5: 1xx and 204 never carry content, nor a
  // Content-Length.
  if ((s >= 100 && s < 200) || s == 204) {
    f.kind = ResponseFraming::kNoBody;
    f.content_length = false;
    f.send_body = false;
    return f;
  }
  if (!resp.stream) {
    f.length = resp.file ? resp.file->length : resp.body.size();
    // RFC 9110 15.4.5: a 304 carries no content; its Content-Length is that
    // of the representation, which is what a producer's body stands for here.
    if (s == 304) {
      f.kind = ResponseFraming::kNoBody;
      f.send_body = false;
    } else {
      f.send_body = !head_only;
    }
    return f;
  }
  const std::optional<std::uint64_t> announced = announced_length(resp.headers);
  if (s == 304) {
    f.kind = ResponseFraming::kNoBody;
    f.content_length = announced.has_value();
    f.length = announced.value_or(0);
    f.send_body = false;
    return f;
  }
  f.send_body = !head_only;
  if (announced) {
    f.kind = ResponseFraming::kLength;
    f.length = *announced;
  } else if (http11) {
    // RFC 9112 6.1: chunked is understood by every HTTP/1.1 recipient.
    f.kind = ResponseFraming::kChunked;
    f.content_length = false;
  } else {
    // RFC 9112 6.3 rule 8: an HTTP/1.0 client reads to the close.
    f.kind = ResponseFraming::kClose;
    f.content_length = false;
  }
  return f;
}

void serialize_response(const ResponseOut& resp, const ResponseFraming& framing, bool keep_alive,
                        bool with_body, std::string& out) {
  with_body = with_body && framing.send_body && !resp.stream && !resp.file;
  // One allocation for head and body: the body goes into the same string.
  out.reserve(out.size() + 256 + 48 * resp.headers.size() + (with_body ? resp.body.size() : 0));
  out.append("HTTP/1.1 ");
  append_decimal(out, resp.status);
  out.push_back(' ');
  out.append(reason_phrase(resp.status));
  out.append("\r\nServer: ");
  out.append(kServerHeader);
  out.append("\r\nDate: ");
  append_http_date_now(out);
  if (framing.content_length) {
    out.append("\r\nContent-Length: ");
    append_decimal(out, framing.length);
  } else if (framing.kind == ResponseFraming::kChunked) {
    out.append("\r\nTransfer-Encoding: chunked");
  }
  out.append(keep_alive ? "\r\nConnection: keep-alive\r\n" : "\r\nConnection: close\r\n");
  for (const auto& [name, value] : resp.headers) {
    if (engine_owned(name)) continue;
    append_field_text(out, name);
    out.append(": ");
    append_field_text(out, value);
    out.append("\r\n");
  }
  out.append("\r\n");
  if (with_body) out.append(resp.body);
}

void serialize_response(const ResponseOut& resp, bool keep_alive, bool head_only,
                        std::string& out) {
  serialize_response(resp, decide_response_framing(resp, head_only, true), keep_alive, true, out);
}

}  // namespace kiv
