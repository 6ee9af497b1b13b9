#include "http/conn.hpp"

#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <asio/experimental/as_tuple.hpp>

#include "http/byte_buffer.hpp"
#include "http/framing.hpp"
#include "http/handler.hpp"
#include "http/head_parser.hpp"
#include "http/query.hpp"
#include "http/read_deadline.hpp"
#include "http/request.hpp"
#include "http/response.hpp"
#include "net.hpp"
#include "percent.hpp"

// GCC 12 reports Asio's coroutine frames, which its own operator new and
// operator delete allocate and free, as mismatched when it inlines the frame
// allocation into a large coroutine (a false positive).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace kiv {

namespace {

using asio::ip::tcp;

constexpr std::size_t kInitialBuffer = 8192;
constexpr std::size_t kMaxRead = 16384;
// Chunk-size and trailer lines: bytes buffered without a line feed.
constexpr std::size_t kChunkLineLimit = 1024;
// All trailer lines of one request together.
constexpr std::size_t kTrailerLimit = 65536;
// Read and write limit of connections refused without a group.
constexpr std::int64_t kReadTimeoutSecs = 60;
// Body bytes read straight into the request body per socket read.
constexpr std::size_t kBodyStep = 65536;
// Announced lengths are reserved up to this; beyond it the body grows as bytes arrive.
constexpr std::size_t kBodyReserveMax = 1 << 20;
// Bodies up to this size are copied behind the head (one contiguous write);
// larger ones go out with a gather write instead of being copied.
constexpr std::size_t kInlineBodyMax = 16384;
constexpr std::size_t kOutKeepCapacity = 65536;
// Pipelined responses held back for one joint write, at most this many bytes.
constexpr std::size_t kHoldBackMax = 32768;
// Bytes per sendfile(2) call, so one large file does not hold a worker thread.
constexpr std::size_t kFileStep = 1 << 20;
// A streamed body is produced at most this far ahead of the socket.
constexpr std::size_t kStreamAhead = 65536;
// After refusing a request, unread input is drained for a while before the
// close, because closing with unread data makes the kernel send a reset that
// can destroy the error page before the client has read it.
constexpr std::int64_t kLingerSecs = 2;
constexpr std::size_t kLingerBytes = 256 * 1024;

// Completion as (error, value) tuples: EOF and resets are routine here, not exceptional.
constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);

// Why a read routine gave up: `respond` when a page may still be sent.
struct ReadFail {
  bool respond;
  std::uint16_t status;
};
using ReadResult = std::optional<ReadFail>;  // empty on success

constexpr ReadFail kPeerGone{false, 0};
constexpr ReadFail kTimedOut{true, 408};

struct LineResult {
  std::string_view line;  // valid until the buffer next changes
  ReadResult fail;
};

bool bytes_pending(int fd) {
  int n = 0;
  return ::ioctl(fd, FIONREAD, &n) == 0 && n > 0;
}

// Path-and-query of a request target, or nullopt when the target is neither
// absolute form nor origin form (e.g. "*").
std::optional<std::string_view> path_and_query(std::string_view target) {
  if ((target.size() >= 7 && target.starts_with("http://")) ||
      (target.size() >= 8 && target.starts_with("https://"))) {
    // The path starts at the first "/" after the authority; the scan starts
    // at offset 8 for both schemes. No path at all means "/".
    const auto slash = target.find('/', 8);
    if (slash == std::string_view::npos) return std::string_view("/");
    return target.substr(slash);
  }
  if (target.empty() || target.front() != '/') return std::nullopt;
  return target;
}

void append_hex(std::string& out, std::size_t v) {
  char digits[20];
  const auto res = std::to_chars(digits, digits + sizeof digits, v, 16);
  out.append(digits, res.ptr);
}

template <typename T>
void append_decimal(std::string& out, T v) {
  char digits[24];
  const auto res = std::to_chars(digits, digits + sizeof digits, v);
  out.append(digits, res.ptr);
}

// One write call per line, so concurrent connections never interleave lines.
void write_stderr(std::string_view line) {
  while (!line.empty()) {
    const ssize_t n = ::write(2, line.data(), line.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    line.remove_prefix(static_cast<std::size_t>(n));
  }
}

class Conn {
 public:
  Conn(tcp::socket socket, HandlerPtr handler, std::string remote_addr,
       std::shared_ptr<ConnGroup> group, std::uint16_t remote_port = 0)
      : socket_(std::move(socket)),
        handler_(std::move(handler)),
        remote_addr_(std::move(remote_addr)),
        remote_port_(remote_port),
        group_(std::move(group)),
        buf_(kInitialBuffer) {
    deadline_.emplace(socket_.native_handle());
    if (group_) {
      idle_timeout_ = group_->idle_timeout;
      head_timeout_ = group_->head_timeout;
      slot_.fd = socket_.native_handle();
      slot_.deadline = &*deadline_;
      group_->enter(&slot_);
    }
  }

  asio::awaitable<void> run();
  asio::awaitable<void> refuse_now(std::uint16_t status) { return refuse(status); }

  // Stops the sweeper from seeing the descriptor before it can be reused,
  // then shuts down the sending direction and closes.
  void close() {
    if (group_) {  // first: the group may reach the deadline and the descriptor
      group_->leave(&slot_);
      group_.reset();
    }
    deadline_.reset();
    asio::error_code ec;
    socket_.shutdown(tcp::socket::shutdown_send, ec);
    socket_.close(ec);
  }

 private:
  // One socket read into `into` under a deadline of limit seconds (or at the
  // coarse time `until` when limit is negative). Returns the bytes read, or the
  // failure: timeout, peer close or I/O error. Held-back responses leave
  // first: the client may be waiting for them before it sends more.
  asio::awaitable<std::pair<std::size_t, ReadResult>> read_some(asio::mutable_buffer into,
                                                                std::int64_t limit,
                                                                std::int64_t until = 0) {
    if (!out_.empty() && !co_await flush()) {
      co_return std::pair{std::size_t{0}, ReadResult(kPeerGone)};
    }
    if (limit >= 0)
      deadline_->arm(limit);
    else
      deadline_->arm_at(until);
    auto [ec, n] = co_await socket_.async_read_some(into, kNoThrow);
    if (deadline_->disarm()) co_return std::pair{std::size_t{0}, ReadResult(kTimedOut)};
    if (ec || n == 0) co_return std::pair{std::size_t{0}, ReadResult(kPeerGone)};
    co_return std::pair{n, ReadResult()};
  }

  // Appends one read to the buffer. Bytes before pos_ are no longer needed
  // (the head has been copied out by then), so they are dropped first.
  // With `until` set, the read is cut at that coarse time instead of after
  // the per-read limit.
  asio::awaitable<ReadResult> fill(std::int64_t until = 0) {
    if (pos_ > 0) {
      buf_.consume(pos_);
      pos_ = 0;
    }
    auto [n, fail] =
        co_await read_some(buf_.spare(kMaxRead), until ? -1 : idle_timeout_, until);
    if (fail) co_return fail;
    buf_.commit(n);
    co_return ReadResult();
  }

  // Before waiting for the first bytes of the next request: a drain shuts
  // the connection down while it waits there, never in the middle of a
  // request. Returns false when a drain has begun and the connection is to
  // close now; sets until when it only gets a short grace.
  bool enter_idle(std::int64_t& until) {
    slot_.state.store(ConnSlot::kIdle);
    if (group_ && group_->draining.load() && !bytes_pending(slot_.fd)) {
      if (!slot_.fresh.load(std::memory_order_relaxed)) return false;
      until = coarse_now() + ConnGroup::kFirstRequestGrace;
    }
    return true;
  }
  // After that wait. If the drain got here first, the bytes read are still
  // served (the answer then closes the connection); further reads see end of
  // stream.
  void leave_idle() {
    int expected = ConnSlot::kIdle;
    slot_.state.compare_exchange_strong(expected, ConnSlot::kBusy);
  }

  // Appends exactly n body bytes to out: first what is buffered, then the rest
  // read straight into out, never past its end (the next request stays in the
  // socket).
  asio::awaitable<ReadResult> read_n(std::string& out, std::uint64_t n) {
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(buf_.size() - pos_, n));
    out.append(buf_.data() + pos_, take);
    pos_ += take;
    n -= take;
    if (n == 0) co_return ReadResult();
    buf_.clear();  // everything buffered was consumed
    pos_ = 0;
    while (n > 0) {
      const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(n, kBodyStep));
      const std::size_t at = out.size();
      out.resize(at + step);
      auto [got, fail] = co_await read_some(asio::buffer(out.data() + at, step), idle_timeout_);
      out.resize(at + got);
      if (fail) co_return fail;
      n -= got;
    }
    co_return ReadResult();
  }

  // The next line after pos_ (without LF and one trailing CR). Fails with 400
  // when more than max bytes are buffered without a line feed.
  asio::awaitable<LineResult> take_line(std::size_t max) {
    std::size_t scanned = 0;  // bytes after pos_ known to hold no LF
    for (;;) {
      const std::size_t have = buf_.size() - pos_;
      const char* start = buf_.data() + pos_;
      if (const void* lf = std::memchr(start + scanned, '\n', have - scanned)) {
        std::string_view line(start,
                              static_cast<std::size_t>(static_cast<const char*>(lf) - start));
        pos_ += line.size() + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        co_return LineResult{line, {}};
      }
      if (have > max) co_return LineResult{{}, ReadFail{true, 400}};
      scanned = have;
      if (auto fail = co_await fill()) co_return LineResult{{}, fail};
    }
  }

  // The CR LF that ends each chunk's data.
  asio::awaitable<bool> take_crlf() {
    while (buf_.size() - pos_ < 2) {
      if (co_await fill()) co_return false;
    }
    const bool ok = buf_.data()[pos_] == '\r' && buf_.data()[pos_ + 1] == '\n';
    pos_ += 2;
    co_return ok;
  }

  // Reads a chunked body into body. Returns 0 on success, else the status of
  // the page to refuse the request with.
  asio::awaitable<std::uint16_t> read_chunked(std::string& body) {
    const std::uint64_t max_body = handler_->max_body;
    for (;;) {
      LineResult size_line = co_await take_line(kChunkLineLimit);
      if (size_line.fail) co_return 400;
      const std::optional<std::uint64_t> size = parse_chunk_size(size_line.line);
      if (!size) co_return 400;
      if (*size == 0) break;
      // body.size() <= max_body holds here, so this cannot wrap.
      if (*size > max_body - body.size()) co_return 413;
      if (co_await read_n(body, *size)) co_return 400;
      // RFC 9112 7.1: chunk-data is followed by CRLF; anything else means the
      // sizes were not what the sender meant, and guessing invites smuggling.
      if (!co_await take_crlf()) co_return 400;
    }
    // Trailer fields are read and ignored, up to the empty line.
    std::size_t trailer_bytes = 0;
    for (;;) {
      LineResult t = co_await take_line(kChunkLineLimit);
      if (t.fail) co_return 400;
      if (t.line.empty()) co_return 0;
      if (!valid_field_line(t.line)) co_return 400;
      trailer_bytes += t.line.size();
      if (trailer_bytes > kTrailerLimit) co_return 431;
    }
  }

  // Writes both parts completely. A client that stops reading must not hold
  // the connection forever: each partial write gets the read time limit, and
  // the sweeper shuts the socket down when one makes no progress in time.
  asio::awaitable<bool> write_all(asio::const_buffer first, asio::const_buffer second = {}) {
    std::array<asio::const_buffer, 2> parts{first, second};
    std::size_t i = parts[0].size() == 0 ? 1 : 0;
    while (i < 2 && parts[i].size() > 0) {
      deadline_->arm_write(idle_timeout_);
      auto [ec, n] = i == 0 ? co_await socket_.async_write_some(parts, kNoThrow)
                            : co_await socket_.async_write_some(parts[1], kNoThrow);
      if (deadline_->disarm() || ec || n == 0) co_return false;
      while (n > 0 && i < 2) {
        const std::size_t take = std::min(n, parts[i].size());
        parts[i] += take;
        n -= take;
        if (parts[i].size() == 0) ++i;
      }
    }
    co_return true;
  }

  // Writes out whatever out_ holds. False on an I/O error or a stalled client.
  asio::awaitable<bool> flush() {
    const bool ok = co_await write_all(asio::buffer(out_));
    out_.clear();
    co_return ok;
  }

  // Sends a whole response behind any held-back ones. With may_defer (more
  // pipelined requests are already buffered) a small response is held back
  // instead, so a pipeline's answers leave in one write rather than one each;
  // the next socket read, or a larger response, sends them. False on an I/O
  // error or a short write.
  asio::awaitable<bool> send(const ResponseOut& resp, const ResponseFraming& framing,
                             bool keep_alive, bool may_defer) {
    const bool gather = framing.send_body && resp.body.size() > kInlineBodyMax;
    serialize_response(resp, framing, keep_alive, !gather, out_);
    if (may_defer && !gather && out_.size() < kHoldBackMax) co_return true;
    const bool ok = co_await write_all(asio::buffer(out_),
                                       gather ? asio::buffer(resp.body) : asio::const_buffer());
    out_.clear();
    // Do not keep a huge head (a view's oversized headers) for the whole connection.
    if (out_.capacity() > kOutKeepCapacity) std::string().swap(out_);
    co_return ok;
  }

  // Sends a response whose body comes from a file: the head, then the file by
  // sendfile(2) in pieces, never read into memory. Exactly the announced
  // length goes out; a file that shrank meanwhile cuts the connection.
  asio::awaitable<bool> send_file(const ResponseOut& resp, const ResponseFraming& framing,
                                  bool keep_alive) {
    serialize_response(resp, framing, keep_alive, false, out_);
    if (framing.send_body && resp.file->length > 0) {
      // Marked as "more to come": the head then leaves in the first full
      // segment with the file's bytes, not as a small packet of its own that
      // wakes the client once more per response. The file's last piece
      // pushes everything out.
      const ssize_t n = ::send(socket_.native_handle(), out_.data(), out_.size(),
                               MSG_MORE | MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) out_.erase(0, static_cast<std::size_t>(n));
    }
    if (!co_await flush()) co_return false;
    if (!framing.send_body) co_return true;
    const FileBody& file = *resp.file;
    off_t at = static_cast<off_t>(file.offset);
    std::uint64_t left = file.length;
    asio::error_code ec;
    socket_.native_non_blocking(true, ec);
    if (ec) co_return false;
    while (left > 0) {
      const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(left, kFileStep));
      const ssize_t n = ::sendfile(socket_.native_handle(), file.fd, &at, step);
      if (n > 0) {
        left -= static_cast<std::uint64_t>(n);
        continue;
      }
      if (n == 0) co_return false;  // the file is shorter than announced
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) co_return false;
      // Same rule as write_all: a client that stops reading is cut after the limit.
      deadline_->arm_write(idle_timeout_);
      auto [wait_ec] = co_await socket_.async_wait(tcp::socket::wait_write, kNoThrow);
      if (deadline_->disarm() || wait_ec) co_return false;
    }
    co_return true;
  }

  // Sends a streamed response: the head, then the body piece by piece as the
  // source produces it. True when the whole body went out as framed; false
  // when the connection has to be cut (I/O error, stalled client, a failed or
  // short body), so the client never takes a cut body for a complete one.
  // The source is closed exactly once, in every case.
  asio::awaitable<bool> send_stream(const ResponseOut& resp, const ResponseFraming& framing,
                                    bool keep_alive, std::uint64_t& sent) {
    BodySource& src = *resp.stream;
    serialize_response(resp, framing, keep_alive, false, out_);
    bool ok = co_await flush();
    if (ok && framing.send_body) ok = co_await pump(src, framing, sent);
    co_await src.close();
    if (out_.capacity() > kOutKeepCapacity) std::string().swap(out_);
    co_return ok;
  }

  asio::awaitable<bool> pump(BodySource& src, const ResponseFraming& framing,
                             std::uint64_t& sent) {
    const bool chunked = framing.kind == ResponseFraming::kChunked;
    const bool counted = framing.kind == ResponseFraming::kLength;
    if (counted && framing.length == 0) co_return true;
    for (;;) {
      BodySource::Piece piece = co_await src.pull(kStreamAhead);
      if (piece.state == BodySource::State::kFailed) co_return false;
      std::string_view data = piece.bytes;
      // Exactly the announced bytes: anything the producer adds is not sent.
      if (counted && data.size() > framing.length - sent)
        data = data.substr(0, static_cast<std::size_t>(framing.length - sent));
      if (!data.empty()) {
        if (chunked) {
          // Each chunk's closing CR LF goes out in front of the next size line.
          if (sent > 0) out_.append("\r\n");
          append_hex(out_, data.size());
          out_.append("\r\n");
        }
        const bool wrote = co_await write_all(asio::buffer(out_), asio::buffer(data));
        out_.clear();
        if (!wrote) co_return false;
        sent += data.size();
      }
      if (counted && sent == framing.length) co_return true;
      if (piece.state == BodySource::State::kEnd) break;
      if (piece.pause_ms > 0) {
        asio::steady_timer pause(socket_.get_executor(),
                                 std::chrono::milliseconds(piece.pause_ms));
        auto [ec] = co_await pause.async_wait(kNoThrow);
        if (ec) co_return false;
      }
    }
    if (counted) co_return false;  // fewer bytes than announced
    if (chunked) {
      out_.append(sent > 0 ? "\r\n0\r\n\r\n" : "0\r\n\r\n");
      co_return co_await flush();
    }
    co_return true;
  }

  // Answers with a fixed page and drains what the client still sends.
  asio::awaitable<void> refuse(std::uint16_t status) {
    // Named, not a temporary inside co_await (see handle.cpp).
    const ResponseOut page = simple(status);
    const ResponseFraming framing = decide_response_framing(page, false, true);
    if (co_await send(page, framing, false, false)) co_await linger();
  }

  asio::awaitable<void> linger() {
    asio::error_code ec;
    socket_.shutdown(tcp::socket::shutdown_send, ec);
    if (ec) co_return;
    const std::int64_t until = coarse_now() + kLingerSecs + 1;
    std::size_t drained = 0;
    buf_.clear();
    pos_ = 0;
    while (drained < kLingerBytes) {
      auto [n, fail] = co_await read_some(buf_.spare(kMaxRead), -1, until);
      if (fail) break;
      drained += n;
    }
  }

  void log_request(std::string_view method, std::string_view target, std::uint16_t status,
                   std::size_t length) {
    std::string line;
    line.reserve(remote_addr_.size() + method.size() + target.size() + 64);
    line += remote_addr_;
    line += " - - [";
    append_http_date_now(line);
    line += "] \"";
    line += method;
    line += ' ';
    line += target;
    line += "\" ";
    append_decimal(line, status);
    line += ' ';
    append_decimal(line, length);
    line += '\n';
    write_stderr(line);
  }

  tcp::socket socket_;
  HandlerPtr handler_;
  std::string remote_addr_;
  std::uint16_t remote_port_ = 0;
  std::shared_ptr<ConnGroup> group_;  // null for a connection refused at accept
  ConnSlot slot_;
  std::int64_t idle_timeout_ = kReadTimeoutSecs;
  std::int64_t head_timeout_ = kReadTimeoutSecs;
  std::optional<ReadDeadline> deadline_;
  ByteBuffer buf_;
  std::size_t pos_ = 0;  // first byte of buf_ not consumed by the current request
  std::string out_;      // serialised responses not yet written, reused
  ParsedHead head_;      // views into buf_, valid until the body is read
};

asio::awaitable<void> Conn::run() {
  const bool log = handler_->log;
  const std::uint64_t max_body = handler_->max_body;

  for (;;) {
    // --- Head. It is parsed again from the first byte whenever the new bytes
    // may have completed it; in between, also whenever the buffer has doubled,
    // so malformed heads are refused early while a head trickling in byte by
    // byte still costs linear work.
    long head_len = kHeadIncomplete;
    std::size_t seen = 0;      // buffer size when last looked at
    std::size_t parse_at = 1;  // parse at least once the buffer reaches this
    // The whole head must arrive within head_timeout_ of its first byte, or
    // a client sending a byte now and then would hold the connection forever.
    std::int64_t head_due = 0;
    for (;;) {
      const std::string_view bytes = buf_.view();
      const bool over = bytes.size() > kMaxHeadBytes;
      if (!bytes.empty() && (over || bytes.size() >= parse_at || may_hold_head_end(bytes, seen))) {
        head_len = parse_head(bytes, head_);
        // The limit must not depend on how the reads were split.
        if (head_len > static_cast<long>(kMaxHeadBytes)) co_return co_await refuse(431);
        if (head_len >= 0) break;
        if (head_len == kHeadError) co_return co_await refuse(400);
        if (head_len == kHeadTargetTooLong) co_return co_await refuse(414);
        if (head_len == kHeadTooManyFields) co_return co_await refuse(431);
        parse_at = bytes.size() * 2;
      }
      if (over) co_return co_await refuse(431);
      seen = bytes.size();
      if (bytes.empty()) {
        // Idle timeout, drain, peer close or error between requests: nothing to say.
        std::int64_t until = 0;
        if (!enter_idle(until)) co_return;
        const ReadResult fail = co_await fill(until);
        leave_idle();
        if (fail) co_return;
        continue;
      }
      if (head_due == 0) head_due = coarse_now() + head_timeout_ + 1;
      if (ReadResult fail = co_await fill(head_due)) {
        if (fail->respond) co_return co_await refuse(408);
        co_return;
      }
    }
    pos_ = static_cast<std::size_t>(head_len);

    // --- Target.
    const std::string_view target = head_.target;
    const std::optional<std::string_view> pq = path_and_query(target);
    if (!pq) co_return co_await refuse(400);
    const std::size_t qmark = pq->find('?');
    const std::string_view path = pq->substr(0, qmark);
    const std::string_view query_string =
        qmark == std::string_view::npos ? std::string_view() : pq->substr(qmark + 1);

    // --- Framing and persistence, decided while the head's views are valid.
    const BodyFraming framing = decide_framing(head_);
    if (framing.kind == BodyFraming::kBad) co_return co_await refuse(400);
    if (framing.kind == BodyFraming::kUnsupported) co_return co_await refuse(501);

    bool keep_alive = head_.minor_version == 1;
    if (const HeaderView* c = find_header(head_, "connection")) {
      // Only a whole value counts; lists keep the version's default.
      if (iequals_ascii(c->value, "close"))
        keep_alive = false;
      else if (iequals_ascii(c->value, "keep-alive"))
        keep_alive = true;
    }
    if (framing.force_close) keep_alive = false;

    // RFC 9110 10.1.1: an HTTP/1.0 client's 100-continue is to be ignored.
    bool send_continue = false;
    if (head_.minor_version == 1) {
      if (const HeaderView* e = find_header(head_, "expect")) {
        send_continue = icontains_ascii(e->value, "100-continue");
      }
    }

    Req req;
    req.method.assign(head_.method);
    req.path.assign(path);
    req.query_string.assign(query_string);
    req.headers.reserve(head_.num_headers);
    for (std::size_t i = 0; i < head_.num_headers; ++i) {
      req.headers.emplace_back(std::string(head_.headers[i].name),
                               utf8_lossy(head_.headers[i].value));
    }
    req.remote_addr = remote_addr_;
    req.remote_port = remote_port_;
    req.minor_version = static_cast<std::uint8_t>(head_.minor_version);
    const bool head_only = req.method == "HEAD";
    const bool http11 = head_.minor_version == 1;
    std::string log_method, log_target;
    if (log) {
      log_method = req.method;
      log_target.assign(target);
    }
    // From here on the buffer may move: head_ and the views above are dead.

    // --- Body. The interim answer goes out before any body byte is read,
    // even when the body is about to be refused.
    if (send_continue) {
      out_.append(kContinue);  // behind any held-back responses
      co_await flush();        // failure ignored
    }
    if (framing.kind == BodyFraming::kLength) {
      if (framing.length > max_body) co_return co_await refuse(413);
      if (framing.length > 0) {
        req.body.reserve(
            static_cast<std::size_t>(std::min<std::uint64_t>(framing.length, kBodyReserveMax)));
        if (ReadResult fail = co_await read_n(req.body, framing.length)) {
          if (fail->respond) co_await refuse(fail->status);
          co_return;
        }
      }
    } else if (framing.kind == BodyFraming::kChunked) {
      if (const std::uint16_t status = co_await read_chunked(req.body)) {
        co_return co_await refuse(status);
      }
    }
    req.query = parse_query(req.query_string);

    // --- Answer.
    auto answer = handler_->handle(std::move(req));
    const ResponseOut resp = co_await std::move(answer);
    if (group_) {
      if (group_->count_requests) group_->served.fetch_add(1, std::memory_order_relaxed);
      // Draining: this answer is the connection's last.
      if (keep_alive && group_->draining.load(std::memory_order_relaxed)) keep_alive = false;
    }
    const ResponseFraming out_framing = decide_response_framing(resp, head_only, http11);
    if (out_framing.kind == ResponseFraming::kClose) keep_alive = false;
    const bool more_buffered = pos_ < buf_.size();
    if (resp.stream) {
      std::uint64_t sent = 0;
      const bool complete = co_await send_stream(resp, out_framing, keep_alive, sent);
      if (log) log_request(log_method, log_target, resp.status, sent);
      if (!complete) co_return;
    } else if (resp.file) {
      if (log)
        log_request(log_method, log_target, resp.status,
                    out_framing.send_body ? out_framing.length : 0);
      if (!co_await send_file(resp, out_framing, keep_alive)) co_return;
    } else {
      if (log)
        log_request(log_method, log_target, resp.status, out_framing.send_body ? out_framing.length : 0);
      if (!co_await send(resp, out_framing, keep_alive, keep_alive && more_buffered)) co_return;
    }
    slot_.fresh.store(false, std::memory_order_relaxed);
    if (!keep_alive) {
      // Pipelined requests after a closing one are never answered; drain
      // them so the reset does not destroy the response in flight.
      if (more_buffered) co_await linger();
      co_return;
    }

    // --- Next request: pipelined bytes move to the front and are parsed
    // before any further read.
    buf_.consume(pos_);
    pos_ = 0;
    buf_.shrink_to(kInitialBuffer);
  }
}

}  // namespace

void ConnGroup::enter(ConnSlot* slot) {
  std::lock_guard lock(mu_);
  slot->next = head_;
  if (head_) head_->prev = slot;
  head_ = slot;
}

void ConnGroup::leave(ConnSlot* slot) {
  {
    std::lock_guard lock(mu_);
    if (slot->prev)
      slot->prev->next = slot->next;
    else
      head_ = slot->next;
    if (slot->next) slot->next->prev = slot->prev;
    slot->prev = slot->next = nullptr;
  }
  release_one();
}

void ConnGroup::release_one() {
  if (live.fetch_sub(1) == 1 && draining.load()) {
    std::lock_guard lock(mu_);
    empty_cv_.notify_all();
  }
}

void ConnGroup::drain() {
  std::lock_guard lock(mu_);
  draining.store(true);
  const std::int64_t grace_end = coarse_now() + kFirstRequestGrace;
  for (ConnSlot* s = head_; s; s = s->next) {
    if (s->fresh.load(std::memory_order_relaxed)) {
      if (s->state.load() == ConnSlot::kIdle) s->deadline->shorten(grace_end);
      continue;
    }
    int expected = ConnSlot::kIdle;
    // Safe under the mutex: a connection leaves the group before its
    // descriptor is closed.
    // A request that has already arrived is answered: its client cannot tell
    // it from one sent a moment before the drain.
    if (s->state.compare_exchange_strong(expected, ConnSlot::kCut) && !bytes_pending(s->fd))
      ::shutdown(s->fd, SHUT_RD);
  }
}

void ConnGroup::cut_all() {
  std::lock_guard lock(mu_);
  for (ConnSlot* s = head_; s; s = s->next) ::shutdown(s->fd, SHUT_RDWR);
}

bool ConnGroup::wait_empty(std::chrono::steady_clock::time_point until) {
  std::unique_lock lock(mu_);
  return empty_cv_.wait_until(lock, until, [this] { return live.load() == 0; });
}

asio::awaitable<void> serve_conn(asio::ip::tcp::socket socket, asio::ip::tcp::endpoint peer,
                                 HandlerPtr handler, std::shared_ptr<ConnGroup> group) {
  // Responses leave as whole writes; Nagle would only delay pipelined answers.
  asio::error_code ec;
  socket.set_option(tcp::no_delay(true), ec);
  std::optional<Conn> conn;
  try {
    conn.emplace(std::move(socket), std::move(handler), ip_text(peer.address()), group,
                 peer.port());
  } catch (...) {
    group->forget();
    co_return;
  }
  try {
    co_await conn->run();
  } catch (...) {
    // An unexpected failure ends this connection only.
  }
  conn->close();
}

asio::awaitable<void> refuse_conn(asio::ip::tcp::socket socket, HandlerPtr handler,
                                  std::uint16_t status) {
  std::optional<Conn> conn;
  try {
    conn.emplace(std::move(socket), std::move(handler), std::string(), nullptr);
    co_await conn->refuse_now(status);
  } catch (...) {
  }
  if (conn) conn->close();
}

}  // namespace kiv
