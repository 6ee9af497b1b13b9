#include "http/static_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "percent.hpp"

namespace kiv {

namespace {

constexpr std::string_view kOctetStream = "application/octet-stream";
// Files this large or larger are not read into memory but sent with sendfile(2).
constexpr std::uint64_t kSendFileMin = 64 * 1024;

struct MimeEntry {
  std::string_view ext;
  std::string_view type;
};

constexpr MimeEntry kMimeTable[] = {
    {"html", "text/html; charset=utf-8"},
    {"htm", "text/html; charset=utf-8"},
    {"css", "text/css; charset=utf-8"},
    {"js", "text/javascript; charset=utf-8"},
    {"mjs", "text/javascript; charset=utf-8"},
    {"json", "application/json"},
    {"map", "application/json"},
    {"txt", "text/plain; charset=utf-8"},
    {"log", "text/plain; charset=utf-8"},
    {"text", "text/plain; charset=utf-8"},
    {"csv", "text/csv; charset=utf-8"},
    {"xml", "application/xml; charset=utf-8"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"svg", "image/svg+xml"},
    {"ico", "image/vnd.microsoft.icon"},
    {"bmp", "image/bmp"},
    {"webp", "image/webp"},
    {"avif", "image/avif"},
    {"woff", "font/woff"},
    {"woff2", "font/woff2"},
    {"ttf", "font/ttf"},
    {"otf", "font/otf"},
    {"pdf", "application/pdf"},
    {"zip", "application/zip"},
    {"gz", "application/gzip"},
    {"wasm", "application/wasm"},
    {"mp3", "audio/mpeg"},
    {"mp4", "video/mp4"},
    {"webm", "video/webm"},
};

constexpr std::size_t kLongestExt = [] {
  std::size_t n = 0;
  for (const auto& e : kMimeTable) n = std::max(n, e.ext.size());
  return n;
}();

// Length in bytes of the Unicode White_Space character (UTF-8) starting at
// s[i], or 0. VT counts too: it is in the Unicode set.
std::size_t white_space_len(std::string_view s, std::size_t i) {
  const auto b = static_cast<unsigned char>(s[i]);
  if (b == ' ' || (b >= 0x09 && b <= 0x0D)) return 1;
  if (b < 0xC2 || b > 0xE3) return 0;
  auto at = [&](std::size_t k) -> unsigned {
    return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
  };
  switch (b) {
    case 0xC2:  // U+0085, U+00A0
      return (at(1) == 0x85 || at(1) == 0xA0) ? 2 : 0;
    case 0xE1:  // U+1680
      return (at(1) == 0x9A && at(2) == 0x80) ? 3 : 0;
    case 0xE2:
      if (at(1) == 0x80) {  // U+2000..U+200A, U+2028, U+2029, U+202F
        const unsigned c = at(2);
        return ((c >= 0x80 && c <= 0x8A) || c == 0xA8 || c == 0xA9 || c == 0xAF) ? 3 : 0;
      }
      return (at(1) == 0x81 && at(2) == 0x9F) ? 3 : 0;  // U+205F
    case 0xE3:                                          // U+3000
      return (at(1) == 0x80 && at(2) == 0x80) ? 3 : 0;
    default:
      return 0;
  }
}

// Decimal with an optional sign; nullopt on anything else or on overflow.
std::optional<std::int64_t> parse_i64(std::string_view s) {
  bool neg = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    neg = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  const std::uint64_t limit =
      neg ? std::uint64_t{1} << 63 : std::uint64_t{std::numeric_limits<std::int64_t>::max()};
  std::uint64_t acc = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const unsigned d = static_cast<unsigned>(c - '0');
    if (acc > (limit - d) / 10) return std::nullopt;
    acc = acc * 10 + d;
  }
  if (!neg) return static_cast<std::int64_t>(acc);
  if (acc == (std::uint64_t{1} << 63)) return std::numeric_limits<std::int64_t>::min();
  return -static_cast<std::int64_t>(acc);
}

int month_number(std::string_view s) {
  static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int i = 0; i < 12; ++i) {
    if (s == kMonths[i]) return i + 1;
  }
  return 0;
}

// 128-bit arithmetic makes every intermediate exact for 64-bit inputs, so
// untrusted header fields can never overflow; the caller checks the range.
using Wide = __int128;

Wide days_from_civil_wide(Wide y, unsigned m, Wide d) {
  y -= (m <= 2) ? 1 : 0;  // the year starts in March so the leap day is last
  const Wide era = (y >= 0 ? y : y - 399) / 400;
  const Wide yoe = y - era * 400;                           // [0, 399]
  const Wide doy = (153 * ((m + 9) % 12) + 2) / 5 + d - 1;  // from 1 March
  const Wide doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool fits_i64(Wide v) {
  return v >= std::numeric_limits<std::int64_t>::min() &&
         v <= std::numeric_limits<std::int64_t>::max();
}

bool iequals_ascii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Next path component; empty pieces (doubled or trailing "/") and "." are
// not components.
bool next_component(std::string_view& rest, std::string_view& out) {
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view piece = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    if (piece.empty() || piece == ".") continue;
    out = piece;
    return true;
  }
  return false;
}

// Both paths absolute. A plain string prefix test would let "/srv/a" contain
// "/srv/ab"; comparing whole components does not.
bool path_within(std::string_view folder, std::string_view path) {
  std::string_view f = folder, p = path, fc, pc;
  while (next_component(f, fc)) {
    if (!next_component(p, pc) || pc != fc) return false;
  }
  return true;
}

bool has_dotdot_piece(std::string_view s) {
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = s.find('/', start);
    const std::size_t end = slash == std::string_view::npos ? s.size() : slash;
    if (s.substr(start, end - start) == "..") return true;
    if (slash == std::string_view::npos) return false;
    start = slash + 1;
  }
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Reads to end of file. size_hint (from fstat) sizes the buffer; a file that
// grew, or one whose size is reported as 0, is still read completely.
bool read_all(int fd, std::size_t size_hint, std::string& out) {
  out.resize(size_hint);
  std::size_t got = 0;
  while (true) {
    if (got < out.size()) {
      const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
      continue;
    }
    // Buffer full: probe on the stack so a file of exactly the expected size
    // costs no reallocation.
    char probe[4096];
    const ssize_t n = ::read(fd, probe, sizeof probe);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    out.resize(std::max(got * 2, got + sizeof probe));
    std::memcpy(out.data() + got, probe, static_cast<std::size_t>(n));
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return true;
}

std::int64_t file_time(const struct stat& st) {
  const std::int64_t secs = st.st_mtim.tv_sec;
  return secs < 0 ? 0 : secs;
}

std::optional<std::int64_t> if_modified_since(const HeaderList& headers) {
  for (const auto& [name, value] : headers) {
    // Only the first such header counts, parsed or not.
    if (iequals_ascii(name, "if-modified-since")) return parse_if_modified_since(value);
  }
  return std::nullopt;
}

const std::string* first_header(const HeaderList& headers, std::string_view name) {
  for (const auto& [n, value] : headers) {
    if (iequals_ascii(n, name)) return &value;
  }
  return nullptr;
}

// A strong validator from size and modification time (nanoseconds included),
// so a file rewritten within the same second still gets a new one.
std::string entity_tag(const struct stat& st) {
  char buf[48];
  char* p = buf;
  *p++ = '"';
  const auto ns = static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000000ULL +
                  static_cast<std::uint64_t>(st.st_mtim.tv_nsec);
  p = std::to_chars(p, buf + sizeof buf, ns, 16).ptr;
  *p++ = '-';
  p = std::to_chars(p, buf + sizeof buf, static_cast<std::uint64_t>(st.st_size), 16).ptr;
  *p++ = '"';
  return std::string(buf, static_cast<std::size_t>(p - buf));
}

std::string_view trim_ows(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// RFC 9110 13.1.2: "*" or a list of entity tags, compared weakly (W/ ignored).
bool none_match(std::string_view list, std::string_view etag) {
  if (trim_ows(list) == "*") return true;
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    std::string_view tag = trim_ows(list.substr(0, comma));
    if (tag.starts_with("W/")) tag.remove_prefix(2);
    if (tag == etag) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

struct ByteRange {
  enum Kind { kWhole, kPart, kUnsatisfiable } kind = kWhole;
  std::uint64_t first = 0, length = 0;
};

std::optional<std::uint64_t> decimal(std::string_view s) {
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  const auto res = std::from_chars(s.data(), s.data() + s.size(), v);
  if (res.ec != std::errc() || res.ptr != s.data() + s.size()) return std::nullopt;
  return v;
}

// RFC 9110 14.1.2, one range only: a list of ranges, another unit or bad syntax
// is answered with the whole file, which 14.2 allows.
ByteRange parse_range(std::string_view value, std::uint64_t size) {
  ByteRange r;
  value = trim_ows(value);
  if (value.size() < 6 || !iequals_ascii(value.substr(0, 6), "bytes=")) return r;
  const std::string_view wanted = trim_ows(value.substr(6));
  const std::size_t dash = wanted.find('-');
  if (dash == std::string_view::npos || wanted.find(',') != std::string_view::npos) return r;
  const std::string_view a = wanted.substr(0, dash), b = wanted.substr(dash + 1);
  if (a.empty()) {  // the last n bytes
    const auto n = decimal(b);
    if (!n) return r;
    if (*n == 0 || size == 0) return ByteRange{ByteRange::kUnsatisfiable};
    const std::uint64_t len = std::min(*n, size);
    return ByteRange{ByteRange::kPart, size - len, len};
  }
  const auto first = decimal(a);
  const auto last = b.empty() ? first : decimal(b);
  if (!first || !last || *last < *first) return r;
  if (*first >= size) return ByteRange{ByteRange::kUnsatisfiable};
  if (b.empty()) return ByteRange{ByteRange::kPart, *first, size - *first};
  return ByteRange{ByteRange::kPart, *first, std::min(*last, size - 1) - *first + 1};
}

// RFC 9110 13.1.5: the range applies only while the validator still matches,
// compared strongly; a date must be the Last-Modified value itself.
bool if_range_holds(const HeaderList& headers, std::string_view etag,
                    std::string_view last_modified) {
  const std::string* v = first_header(headers, "if-range");
  if (!v) return true;
  const std::string_view cond = trim_ows(*v);
  return cond == etag || cond == last_modified;
}

std::optional<ResponseOut> serve(std::string_view folder, std::string_view rel,
                                 const HeaderList& headers, std::int64_t cc_max_age) {
  const std::optional<std::string> path = resolve_static_path(folder, rel);
  if (!path) return std::nullopt;

  // stat first: a 304 then needs no open, and nothing but a regular file is
  // ever opened.
  struct stat st;
  if (::stat(path->c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  {
    // RFC 9110 13.2.2: If-None-Match, when present, decides instead of If-Modified-Since.
    const std::string* inm = first_header(headers, "if-none-match");
    bool not_modified = false;
    if (inm) {
      not_modified = none_match(*inm, entity_tag(st));
    } else if (const auto since = if_modified_since(headers)) {
      not_modified = file_time(st) <= *since;
    }
    if (not_modified) {
      ResponseOut out;
      out.status = 304;
      out.headers.emplace_back("ETag", entity_tag(st));
      return out;
    }
  }

  // The canonical path has no symbolic link in its last component, so
  // O_NOFOLLOW only refuses one swapped in since resolution. O_NONBLOCK keeps
  // a FIFO swapped in from blocking the open; fstat then rejects it.
  Fd fd(::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.get() < 0) return std::nullopt;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;

  const auto size = static_cast<std::uint64_t>(st.st_size);
  std::string last_modified = http_date_from_secs(file_time(st));
  std::string etag = entity_tag(st);
  ByteRange range;
  if (const std::string* r = first_header(headers, "range");
      r && if_range_holds(headers, etag, last_modified)) {
    range = parse_range(*r, size);
  }
  ResponseOut out;
  if (range.kind == ByteRange::kUnsatisfiable) {
    out.status = 416;
    out.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
    return out;
  }
  if (range.kind == ByteRange::kWhole) range.length = size;
  if (size >= kSendFileMin) {
    // Sent from the descriptor in pieces: memory stays flat however large the
    // file, and the length announced is the size seen here.
    out.file = std::make_shared<FileBody>(fd.get(), range.first, range.length);
    fd.release();
  } else {
    if (!read_all(fd.get(), static_cast<std::size_t>(size), out.body)) return std::nullopt;
    if (range.kind == ByteRange::kPart) {
      const auto first = static_cast<std::size_t>(std::min<std::uint64_t>(range.first, out.body.size()));
      out.body = out.body.substr(first, static_cast<std::size_t>(range.length));
    }
  }
  out.status = range.kind == ByteRange::kPart ? 206 : 200;
  out.headers.reserve(6);
  out.headers.emplace_back("Content-Type", mime_type_for(*path));
  out.headers.emplace_back("Last-Modified", std::move(last_modified));
  if (cc_max_age >= 0) {
    out.headers.emplace_back("Cache-Control", "public, max-age=" + std::to_string(cc_max_age));
  }
  out.headers.emplace_back("ETag", std::move(etag));
  out.headers.emplace_back("Accept-Ranges", "bytes");
  if (range.kind == ByteRange::kPart) {
    out.headers.emplace_back("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                                  std::to_string(range.first + range.length - 1) +
                                                  "/" + std::to_string(size));
  }
  return out;
}

}  // namespace

std::string_view mime_type_for(std::string_view resolved_path) {
  const std::size_t slash = resolved_path.rfind('/');
  const std::string_view name =
      slash == std::string_view::npos ? resolved_path : resolved_path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return kOctetStream;
  const std::string_view ext = name.substr(dot + 1);
  // Table extensions are short ASCII, so anything longer (or not UTF-8)
  // cannot match and needs no lower-cased copy at all.
  if (ext.empty() || ext.size() > kLongestExt) return kOctetStream;
  char lower[kLongestExt];
  for (std::size_t i = 0; i < ext.size(); ++i) {
    const char c = ext[i];
    lower[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  const std::string_view key(lower, ext.size());
  for (const auto& e : kMimeTable) {
    if (e.ext == key) return e.type;
  }
  return kOctetStream;
}

std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  const Wide days = days_from_civil_wide(y, m, d);
  if (days > std::numeric_limits<std::int64_t>::max()) {
    return std::numeric_limits<std::int64_t>::max();
  }
  if (days < std::numeric_limits<std::int64_t>::min()) {
    return std::numeric_limits<std::int64_t>::min();
  }
  return static_cast<std::int64_t>(days);
}

std::optional<std::int64_t> parse_if_modified_since(std::string_view value) {
  // Only the first five pieces matter: weekday, day, month, year, time; the
  // zone and anything after it are ignored.
  std::array<std::string_view, 5> pieces;
  std::size_t count = 0;
  std::size_t i = 0;
  while (count < pieces.size()) {
    std::size_t w;
    while (i < value.size() && (w = white_space_len(value, i)) != 0) i += w;
    if (i >= value.size()) break;
    const std::size_t start = i;
    while (i < value.size() && white_space_len(value, i) == 0) ++i;
    pieces[count++] = value.substr(start, i - start);
  }
  if (count < pieces.size()) return std::nullopt;

  const auto day = parse_i64(pieces[1]);
  if (!day) return std::nullopt;
  const int month = month_number(pieces[2]);
  if (month == 0) return std::nullopt;
  const auto year_field = parse_i64(pieces[3]);
  if (!year_field) return std::nullopt;
  Wide year = *year_field;
  if (year <= 69) {
    year += 2000;
  } else if (year <= 99) {
    year += 1900;
  }

  std::array<std::int64_t, 3> hms;
  std::string_view rest = pieces[4];
  for (std::size_t k = 0; k < hms.size(); ++k) {
    const std::size_t colon = rest.find(':');
    const bool last = k + 1 == hms.size();
    if (last != (colon == std::string_view::npos)) return std::nullopt;  // exactly three parts
    const auto field = parse_i64(rest.substr(0, colon));
    if (!field) return std::nullopt;
    hms[k] = *field;
    if (!last) rest.remove_prefix(colon + 1);
  }

  // The day enters exactly (not truncated to 32 bits): the formula is linear
  // in it, so day 0 or day 40 simply roll into the neighbouring months.
  const Wide secs = days_from_civil_wide(year, static_cast<unsigned>(month), *day) * 86400 +
                    Wide{hms[0]} * 3600 + Wide{hms[1]} * 60 + hms[2];
  if (!fits_i64(secs)) return std::nullopt;
  return static_cast<std::int64_t>(secs);
}

std::optional<std::string> resolve_static_path(std::string_view folder, std::string_view rel) {
  // Containment is only meaningful against an absolute folder: a relative
  // (or empty) one would have no components and so "contain" every path.
  if (folder.empty() || folder.front() != '/') return std::nullopt;

  std::string text = percent_decode(rel);
  if (text.find('\0') != std::string::npos) return std::nullopt;
  std::replace(text.begin(), text.end(), '\\', '/');
  // Checked after decoding and the backslash rewrite, so "%2e%2e" and
  // "..%5c" are caught too.
  if (has_dotdot_piece(text)) return std::nullopt;

  std::string joined;
  if (!text.empty() && text.front() == '/') {
    // An absolute remainder replaces the folder; containment decides below.
    joined = std::move(text);
  } else {
    joined.reserve(folder.size() + 1 + text.size());
    joined.append(folder);
    if (joined.back() != '/') joined.push_back('/');
    joined.append(text);
  }

  char resolved[PATH_MAX];
  if (::realpath(joined.c_str(), resolved) == nullptr) return std::nullopt;
  const std::string_view canonical(resolved);
  if (!path_within(folder, canonical)) return std::nullopt;
  return std::string(canonical);
}

std::optional<ResponseOut> serve_static_sync(std::string_view folder, std::string_view rel,
                                             const HeaderList& headers, std::int64_t cc_max_age) {
  // No size limit of our own: a file too large for memory is simply not
  // served rather than letting the exception escape the blocking-pool job.
  try {
    return serve(folder, rel, headers, cc_max_age);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  } catch (const std::length_error&) {
    return std::nullopt;
  }
}

}  // namespace kiv
