#include "http/conn.hpp"

#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/concurrent_channel.hpp>

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
#include "ws/handshake.hpp"
#include "ws/session.hpp"

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
// Bodies announced up to this size (or already buffered whole) are read
// before the handler runs, as one string; larger and chunked ones are
// streamed: read only as the application asks for them.
constexpr std::uint64_t kWholeBodyMax = 65536;
// Of a streamed body the application left unread, up to this much is read
// and dropped so the connection can serve its next request; beyond it the
// connection closes after the answer.
constexpr std::uint64_t kDrainMax = 1 << 20;
// Chunked bodies settled by this many bytes (whole, or refused) are read
// before the handler runs.
constexpr std::size_t kChunkedWholeMax = 2 * 65536;
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

// A streamed request body as the application sees it. Pulls come from any
// thread and wait here; the connection's own coroutine serves them, so the
// socket and the receive buffer keep a single user. The handler's answer
// arrives the same way, and one wake-up channel tells the coroutine that
// either is there.
class ConnBody final : public RequestBody {
 public:
  struct Pending {
    asio::mutable_buffer into;
    Done done;
  };

  explicit ConnBody(const asio::any_io_executor& ex) : wake_(ex, 1) {}

  void pull(asio::mutable_buffer into, Done done) override {
    std::unique_lock lock(mu_);
    if (over_ || pending_) {
      lock.unlock();
      done(Result{0, false, true, 0});
      return;
    }
    pending_.emplace(Pending{into, std::move(done)});
    lock.unlock();
    wake();
  }

  // Connection side.
  std::optional<Pending> take_pull() {
    std::lock_guard lock(mu_);
    std::optional<Pending> p = std::move(pending_);
    pending_.reset();
    return p;
  }
  void answered(ResponseOut resp) {
    {
      std::lock_guard lock(mu_);
      answer_.emplace(std::move(resp));
    }
    wake();
  }
  std::optional<ResponseOut> take_answer() {
    std::lock_guard lock(mu_);
    std::optional<ResponseOut> a = std::move(answer_);
    answer_.reset();
    return a;
  }
  // The request is over (or the connection is): a pull still waiting, and
  // every later one, fails.
  void finish() {
    std::optional<Pending> p;
    {
      std::lock_guard lock(mu_);
      over_ = true;
      p = std::move(pending_);
      pending_.reset();
    }
    if (p) p->done(Result{0, false, true, 0});
  }
  // Until a pull or the answer may have come (possibly at once: wake-ups
  // are kept, at most one, so none is lost between a look and the wait).
  asio::awaitable<void> wait() {
    auto [ec, unused] = co_await wake_.async_receive(kNoThrow);
    (void)ec;
    (void)unused;
  }

 private:
  void wake() { wake_.try_send(asio::error_code(), true); }

  std::mutex mu_;
  bool over_ = false;
  std::optional<Pending> pending_;
  std::optional<ResponseOut> answer_;
  asio::experimental::concurrent_channel<void(asio::error_code, bool)> wake_;
};

// Whether the bytes of a chunked body at hand settle it: the whole body is
// there (trailers and all), or enough to tell it will be refused. Only then
// is it read before the handler runs; otherwise it is streamed.
bool chunked_settled(std::string_view b, std::uint64_t max_body) {
  std::size_t i = 0;
  std::uint64_t total = 0;
  auto next_line = [&](std::string_view& line) {
    const std::size_t lf = b.find('\n', i);
    if (lf == std::string_view::npos) return false;
    line = b.substr(i, lf - i);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    i = lf + 1;
    return true;
  };
  for (;;) {
    std::string_view line;
    if (!next_line(line)) return b.size() - i > kChunkLineLimit;
    const std::optional<std::uint64_t> size = parse_chunk_size(line);
    if (!size) return true;
    if (*size == 0) break;
    if (*size > max_body - total) return true;
    total += *size;
    if (*size > b.size() - i || b.size() - i - *size < 2) return false;
    i += static_cast<std::size_t>(*size) + 2;
  }
  std::size_t trailer_bytes = 0;
  for (;;) {
    std::string_view line;
    if (!next_line(line)) return b.size() - i > kChunkLineLimit;
    if (line.empty()) return true;
    trailer_bytes += line.size();
    if (trailer_bytes > kTrailerLimit) return true;
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
        buf_(kInitialBuffer, ByteBuffer::Deferred{}) {
    deadline_.emplace(socket_.native_handle());
    if (group_) {
      idle_timeout_ = group_->idle_timeout;
      head_timeout_ = group_->head_timeout;
      body_timeout_ = group_->body_timeout;
      body_min_rate_ = group_->body_min_rate;
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
    if (body_) {  // a view still reading learns that the request is over
      body_->finish();
      body_.reset();
    }
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
    if (in_body_ && until == 0) {
      auto [n, fail] = co_await body_read_some(buf_.spare(kMaxRead));
      if (fail) co_return fail;
      buf_.commit(n);
      co_return ReadResult();
    }
    if (buf_.size() == 0) {
      // Nothing buffered (a new connection, or between requests): wait until
      // the socket is readable without holding the receive buffer, so an idle
      // connection keeps none. Same system calls as a read that waits.
      if (!out_.empty() && !co_await flush()) co_return ReadResult(kPeerGone);
      for (;;) {
        const asio::mutable_buffer into = buf_.spare(kMaxRead);
        const ssize_t n = ::recv(socket_.native_handle(), into.data(), into.size(), MSG_DONTWAIT);
        if (n > 0) {
          buf_.commit(static_cast<std::size_t>(n));
          co_return ReadResult();
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
          co_return ReadResult(kPeerGone);
        if (errno == EINTR) continue;
        buf_.release();
        if (until)
          deadline_->arm_at(until);
        else
          deadline_->arm(idle_timeout_);
        auto [ec] = co_await socket_.async_wait(tcp::socket::wait_read, kNoThrow);
        if (deadline_->disarm()) co_return ReadResult(kTimedOut);
        if (ec) co_return ReadResult(kPeerGone);
      }
    }
    auto [n, fail] =
        co_await read_some(buf_.spare(kMaxRead), until ? -1 : idle_timeout_, until);
    if (fail) co_return fail;
    buf_.commit(n);
    co_return ReadResult();
  }

  // When a body read is cut: the body may keep the server waiting
  // body_timeout_ seconds in all, plus a second per body_min_rate_ bytes
  // received; each single read still gets at most idle_timeout_.
  std::int64_t body_until() const {
    const std::int64_t now = coarse_now();
    std::int64_t until = now + idle_timeout_ + 1;
    if (body_timeout_ > 0) {
      double allowed = static_cast<double>(body_timeout_);
      if (body_min_rate_ > 0)
        allowed += static_cast<double>(body_got_) / static_cast<double>(body_min_rate_);
      const double left = allowed - std::chrono::duration<double>(body_waited_).count();
      until = std::min(until, now + static_cast<std::int64_t>(std::ceil(std::max(0.0, left))) + 1);
    }
    return until;
  }

  // One socket read of body bytes under the body's deadline; the time spent
  // waiting is charged to the body.
  asio::awaitable<std::pair<std::size_t, ReadResult>> body_read_some(asio::mutable_buffer into) {
    const auto start = std::chrono::steady_clock::now();
    auto result = co_await read_some(into, -1, body_until());
    body_waited_ += std::chrono::steady_clock::now() - start;
    co_return result;
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
      auto [got, fail] = co_await body_read_some(asio::buffer(out.data() + at, step));
      out.resize(at + got);
      if (fail) co_return fail;
      n -= got;
      body_got_ += got;
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

  static asio::awaitable<ResponseOut> ready(ResponseOut resp) { co_return resp; }

  // Failure of a streamed body read: the status of the page to answer with
  // at once, or 0 when the client is gone (nothing to say).
  static RequestBody::Result body_failed(std::uint16_t status) {
    return RequestBody::Result{0, false, true, status};
  }
  static RequestBody::Result body_failed(const ReadFail& fail) {
    return body_failed(fail.respond ? fail.status : 0);
  }

  // Copies or reads up to into.size() bytes, never more than `most`, into
  // `into`: buffered bytes first; else one socket read straight into the
  // reader's memory plus whatever else has already arrived. Never reads past
  // `most`, so the next request stays in the socket.
  asio::awaitable<std::pair<std::size_t, ReadResult>> body_bytes(asio::mutable_buffer into,
                                                                 std::uint64_t most) {
    char* dst = static_cast<char*>(into.data());
    const std::size_t cap =
        static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), most));
    if (const std::size_t buffered = buf_.size() - pos_; buffered > 0) {
      const std::size_t n = std::min(cap, buffered);
      std::memcpy(dst, buf_.data() + pos_, n);
      pos_ += n;
      co_return std::pair{n, ReadResult()};
    }
    buf_.clear();
    pos_ = 0;
    auto [n, fail] = co_await body_read_some(asio::buffer(dst, cap));
    if (fail) co_return std::pair{std::size_t{0}, fail};
    while (n < cap) {
      const ssize_t more =
          ::recv(socket_.native_handle(), dst + n, cap - n, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (more <= 0) break;
      n += static_cast<std::size_t>(more);
    }
    co_return std::pair{n, ReadResult()};
  }

  // Serves one pull of a streamed body. "100 Continue" goes out with the
  // first one: the client is asked for the body only when it is wanted.
  asio::awaitable<RequestBody::Result> body_read(asio::mutable_buffer into) {
    if (continue_due_) {
      continue_due_ = false;
      out_.append(kContinue);  // behind any held-back responses
      co_await flush();        // failure ignored: the read below will tell
    }
    RequestBody::Result r;
    if (!chunked_) {
      if (body_left_ == 0 || into.size() == 0) {
        r.end = body_left_ == 0;
        co_return r;
      }
      auto [n, fail] = co_await body_bytes(into, body_left_);
      if (fail) co_return body_failed(*fail);
      body_left_ -= n;
      body_got_ += n;
      r.n = n;
      r.end = body_left_ == 0;
      co_return r;
    }
    const std::uint64_t max_body = handler_->max_body;
    for (;;) {
      switch (phase_) {
        case ChunkPhase::kDone:
          r.end = true;
          co_return r;
        case ChunkPhase::kSize: {
          LineResult line = co_await take_line(kChunkLineLimit);
          if (line.fail) co_return body_failed(*line.fail);
          const std::optional<std::uint64_t> size = parse_chunk_size(line.line);
          if (!size) co_return body_failed(400);
          if (*size == 0) {
            phase_ = ChunkPhase::kTrailers;
            break;
          }
          // body_got_ <= max_body holds here, so this cannot wrap.
          if (*size > max_body - body_got_) co_return body_failed(413);
          chunk_left_ = *size;
          phase_ = ChunkPhase::kData;
          break;
        }
        case ChunkPhase::kData: {
          if (into.size() == 0) co_return r;
          auto [n, fail] = co_await body_bytes(into, chunk_left_);
          if (fail) co_return body_failed(*fail);
          chunk_left_ -= n;
          body_got_ += n;
          if (chunk_left_ == 0) phase_ = ChunkPhase::kDataEnd;
          r.n = n;
          co_return r;
        }
        case ChunkPhase::kDataEnd:
          // RFC 9112 7.1: chunk-data is followed by CRLF; anything else means
          // the sizes were not what the sender meant, and guessing invites
          // smuggling.
          if (!co_await take_crlf()) co_return body_failed(400);
          phase_ = ChunkPhase::kSize;
          break;
        case ChunkPhase::kTrailers: {
          // Trailer fields are read and ignored, up to the empty line.
          LineResult t = co_await take_line(kChunkLineLimit);
          if (t.fail) co_return body_failed(*t.fail);
          if (t.line.empty()) {
            phase_ = ChunkPhase::kDone;
            r.end = true;
            co_return r;
          }
          if (!valid_field_line(t.line)) co_return body_failed(400);
          trailer_bytes_ += t.line.size();
          if (trailer_bytes_ > kTrailerLimit) co_return body_failed(431);
          break;
        }
      }
    }
  }

  // Runs the handler while serving its body pulls on this coroutine, then
  // reads and drops what the application left unread, up to kDrainMax.
  // Returns the answer; nullopt when the body failed first, in which case the
  // failure has been answered (or the client is gone) and the connection
  // must close without waiting for the handler.
  asio::awaitable<std::optional<ResponseOut>> answer_streamed(Req req, bool& keep_alive,
                                                              bool& unread) {
    auto body = std::make_shared<ConnBody>(socket_.get_executor());
    body->length = chunked_ ? -1 : static_cast<std::int64_t>(body_left_);
    body_ = body;
    req.body_stream = body;
    in_body_ = true;
    auto answer = handler_->handle(std::move(req));
    asio::co_spawn(socket_.get_executor(), std::move(answer),
                   [body](std::exception_ptr e, ResponseOut resp) {
                     body->answered(e ? simple(500) : std::move(resp));
                   });
    std::optional<ResponseOut> resp;
    bool ended = false;
    for (;;) {
      if (std::optional<ConnBody::Pending> p = body->take_pull()) {
        RequestBody::Result r = co_await body_read(p->into);
        if (r.failed) {
          body_->finish();
          body_.reset();
          in_body_ = false;
          p->done(r);
          if (r.status) co_await refuse(r.status);
          co_return std::nullopt;
        }
        ended = ended || r.end;
        p->done(r);
        continue;
      }
      if ((resp = body->take_answer())) break;
      co_await body->wait();
    }
    body_->finish();
    body_.reset();
    if (!ended) {
      if (continue_due_) {
        // The client was never asked for the body; it may or may not send
        // it, so the connection cannot carry another request.
        keep_alive = false;
      } else if (chunked_ || body_left_ <= kDrainMax) {
        std::uint64_t dropped = 0;
        char scratch[16384];
        while (!ended && dropped <= kDrainMax) {
          RequestBody::Result r = co_await body_read(asio::buffer(scratch));
          if (r.failed) break;
          dropped += r.n;
          ended = r.end;
        }
      }
      if (!ended) {
        keep_alive = false;
        unread = true;
      }
    }
    in_body_ = false;
    co_return resp;
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

  // Switches protocols and starts the session, which then runs on its own:
  // this connection object, its buffer and the request are let go, so an
  // idle WebSocket costs only what its session keeps. The application
  // already runs (it accepted), so even when the 101 cannot be written the
  // session starts: it finds the socket dead and tells the handler it closed.
  asio::awaitable<void> serve_websocket(const ws::Upgrade& up, WsAnswer answer) {
    out_ = ws::accept_response(up, answer.subprotocol, answer.headers);
    co_await flush();
    std::string().swap(out_);
    std::string leftover(buf_.data() + pos_, buf_.size() - pos_);
    buf_.clear();
    pos_ = 0;
    ws::SessionOptions opts;
    opts.deflate = up.deflate;
    opts.topics = std::move(answer.topics);
    if (answer.tune) answer.tune(opts);
    auto session = std::make_shared<ws::WsSession>(std::move(socket_), std::move(answer.handler),
                                                   std::move(opts));
    // The group counts the connection until the session ends; its slot moves
    // to a small holder the session keeps. The session has deadlines of its
    // own; the group only closes it on a drain.
    std::unique_ptr<WsTenure> tenure;
    if (group_) {
      tenure = std::make_unique<WsTenure>();
      tenure->group = std::move(group_);
      tenure->group->adopt_ws(&slot_, &tenure->slot, session);
    }
    deadline_.reset();
    session->start(std::move(leftover), [tenure = std::move(tenure)]() mutable {
      if (tenure) tenure->group->leave(&tenure->slot);
    });
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
  std::int64_t body_timeout_ = kReadTimeoutSecs;
  std::uint64_t body_min_rate_ = 0;
  std::optional<ReadDeadline> deadline_;
  ByteBuffer buf_;
  std::size_t pos_ = 0;  // first byte of buf_ not consumed by the current request
  std::string out_;      // serialised responses not yet written, reused

  // The current request's body.
  enum class ChunkPhase { kSize, kData, kDataEnd, kTrailers, kDone };
  bool in_body_ = false;       // reads are body reads (deadline, accounting)
  bool chunked_ = false;
  bool continue_due_ = false;  // "100 Continue" is to go out with the first pull
  std::uint64_t body_left_ = 0;   // by Content-Length: bytes not yet read
  ChunkPhase phase_ = ChunkPhase::kSize;
  std::uint64_t chunk_left_ = 0;  // of the current chunk's data
  std::size_t trailer_bytes_ = 0;
  std::uint64_t body_got_ = 0;    // body bytes received
  std::chrono::steady_clock::duration body_waited_{};  // waiting for them
  std::shared_ptr<ConnBody> body_;  // while streamed to the application
};

// The parsed head: views into a connection's buffer, used from the parse to
// the copy into the request with no suspension in between, so one per thread
// serves every connection (3.2 KiB less per connection, idle or waiting).
ParsedHead& parsed_head() {
  thread_local ParsedHead head;
  return head;
}

asio::awaitable<void> Conn::run() {
  const bool log = handler_->log;
  const std::uint64_t max_body = handler_->max_body;

  for (;;) {
    // --- Head. It is parsed again from the first byte whenever the new bytes
    // may have completed it; in between, also whenever the buffer has doubled,
    // so malformed heads are refused early while a head trickling in byte by
    // byte still costs linear work.
    ParsedHead* head = nullptr;  // valid until the next suspension
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
        head = &parsed_head();
        head_len = parse_head(bytes, *head);
        // The limit must not depend on how the reads were split.
        if (head_len > static_cast<long>(kMaxHeadBytes)) co_return co_await refuse(431);
        if (head_len >= 0) break;
        if (head_len == kHeadError) co_return co_await refuse(400);
        if (head_len == kHeadTargetTooLong) co_return co_await refuse(414);
        // Too many header lines is a malformed head here, not an oversized one.
        if (head_len == kHeadTooManyFields) co_return co_await refuse(400);
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
    const ParsedHead& parsed = *head;

    // --- Target.
    const std::string_view target = parsed.target;
    const std::optional<std::string_view> pq = path_and_query(target);
    if (!pq) co_return co_await refuse(400);
    const std::size_t qmark = pq->find('?');
    const std::string_view path = pq->substr(0, qmark);
    const std::string_view query_string =
        qmark == std::string_view::npos ? std::string_view() : pq->substr(qmark + 1);

    // --- Framing and persistence, decided while the head's views are valid.
    const BodyFraming framing = decide_framing(parsed);
    if (framing.kind == BodyFraming::kBad) co_return co_await refuse(400);
    if (framing.kind == BodyFraming::kUnsupported) co_return co_await refuse(501);

    bool keep_alive = parsed.minor_version == 1;
    if (const HeaderView* c = find_header(parsed, "connection")) {
      // Only a whole value counts; lists keep the version's default.
      if (iequals_ascii(c->value, "close"))
        keep_alive = false;
      else if (iequals_ascii(c->value, "keep-alive"))
        keep_alive = true;
    }
    if (framing.force_close) keep_alive = false;

    // RFC 9110 10.1.1: an HTTP/1.0 client's 100-continue is to be ignored.
    bool send_continue = false;
    if (parsed.minor_version == 1) {
      if (const HeaderView* e = find_header(parsed, "expect")) {
        send_continue = icontains_ascii(e->value, "100-continue");
      }
    }

    // Only a head that names an upgrade is looked at closely.
    std::optional<ws::Upgrade> upgrade;
    if (find_header(parsed, "upgrade")) {
      ws::Upgrade up = ws::check_upgrade(parsed);
      if (up.kind != ws::Upgrade::kNotWebSocket) upgrade.emplace(std::move(up));
    }

    Req req;
    req.method.assign(parsed.method);
    req.path.assign(path);
    req.query_string.assign(query_string);
    req.headers.reserve(parsed.num_headers);
    for (std::size_t i = 0; i < parsed.num_headers; ++i) {
      req.headers.emplace_back(std::string(parsed.headers[i].name),
                               utf8_lossy(parsed.headers[i].value));
    }
    req.remote_addr = remote_addr_;
    req.remote_port = remote_port_;
    req.minor_version = static_cast<std::uint8_t>(parsed.minor_version);
    const bool head_only = req.method == "HEAD";
    const bool http11 = parsed.minor_version == 1;
    std::string log_method, log_target;
    if (log) {
      log_method = req.method;
      log_target.assign(target);
    }
    // From here on the buffer may move: parsed and the views above are dead.

    // --- WebSocket: the request leaves the HTTP path, unless the application
    // has no WebSocket at this path (then it is an ordinary request).
    if (upgrade) {
      const bool has_body = framing.kind == BodyFraming::kChunked ||
                            (framing.kind == BodyFraming::kLength && framing.length > 0);
      if (has_body) co_return co_await refuse(400);
      if (upgrade->kind == ws::Upgrade::kRefused) {
        if (log) log_request(log_method, log_target, upgrade->status, 0);
        out_ = ws::refusal_response(*upgrade);
        if (co_await flush()) co_await linger();
        co_return;
      }
      req.query = parse_query(req.query_string);
      auto asking = handler_->upgrade(req, *upgrade);
      WsAnswer answer = co_await std::move(asking);
      if (answer.kind == WsAnswer::kRefuse) {
        // A refusal's body is sent whole; a streamed or file one is let go.
        if (answer.refusal.stream) {
          auto closing = answer.refusal.stream->close();
          co_await std::move(closing);
          answer.refusal = simple(answer.refusal.status);
        } else if (answer.refusal.file) {
          answer.refusal = simple(answer.refusal.status);
        }
        const ResponseFraming out = decide_response_framing(answer.refusal, false, http11);
        if (log)
          log_request(log_method, log_target, answer.refusal.status,
                      out.send_body ? out.length : 0);
        if (co_await send(answer.refusal, out, false, false) && pos_ < buf_.size())
          co_await linger();
        co_return;
      }
      if (answer.kind == WsAnswer::kAccept) {
        if (log) log_request(log_method, log_target, 101, 0);
        co_return co_await serve_websocket(*upgrade, std::move(answer));
      }
    }

    // --- Body. Small ones are read now; others are streamed to the handler
    // as it asks for them. A body too large to accept is refused before the
    // client is asked for it.
    body_got_ = 0;
    body_waited_ = {};
    bool streamed = false;
    if (framing.kind == BodyFraming::kLength) {
      if (framing.length > max_body) co_return co_await refuse(413);
      if (framing.length > 0) {
        if (!send_continue &&
            (framing.length <= kWholeBodyMax || framing.length <= buf_.size() - pos_)) {
          req.body.reserve(static_cast<std::size_t>(framing.length));
          in_body_ = true;
          ReadResult fail = co_await read_n(req.body, framing.length);
          in_body_ = false;
          if (fail) {
            if (fail->respond) co_await refuse(fail->status);
            co_return;
          }
        } else {
          streamed = true;
          chunked_ = false;
          body_left_ = framing.length;
        }
      }
    } else if (framing.kind == BodyFraming::kChunked) {
      chunked_ = true;
      phase_ = ChunkPhase::kSize;
      chunk_left_ = 0;
      trailer_bytes_ = 0;
      streamed = true;
      if (!send_continue) {
        // A small chunked body is read whole first, like a small counted one:
        // what has arrived, plus reads while that much does not settle it.
        in_body_ = true;
        bool settled = false;
        for (;;) {
          const std::string_view at(buf_.data() + pos_, buf_.size() - pos_);
          if ((settled = chunked_settled(at, max_body)) || at.size() >= kChunkedWholeMax) break;
          if (ReadResult fail = co_await fill()) {
            in_body_ = false;
            if (fail->respond) co_await refuse(fail->status);
            co_return;
          }
        }
        if (settled) {
          streamed = false;
          // On the heap: an array here would enlarge every connection's frame.
          const auto piece = std::make_unique_for_overwrite<char[]>(4096);
          for (;;) {
            const RequestBody::Result r = co_await body_read(asio::buffer(piece.get(), 4096));
            if (r.failed) {
              in_body_ = false;
              if (r.status) co_await refuse(r.status);
              co_return;
            }
            req.body.append(piece.get(), r.n);
            if (r.end) break;
          }
        }
        in_body_ = false;
      }
    }
    req.query = parse_query(req.query_string);

    // --- Answer.
    bool unread = false;  // body bytes left on the socket: linger before closing
    std::optional<ResponseOut> streamed_answer;
    if (streamed) {
      continue_due_ = send_continue;
      auto streaming = answer_streamed(std::move(req), keep_alive, unread);
      streamed_answer = co_await std::move(streaming);
      if (!streamed_answer) co_return;
    }
    if (!streamed_answer && pos_ == buf_.size()) {
      // Nothing else buffered: the receive buffer is not needed until the
      // answer is out, which may take long (a view awaiting a timer).
      buf_.clear();
      pos_ = 0;
      buf_.release();
    }
    auto answer = streamed_answer ? ready(std::move(*streamed_answer))
                                  : handler_->handle(std::move(req));
    const ResponseOut resp = co_await std::move(answer);
    if (group_) {
      if (group_->count_requests) group_->served.fetch_add(1, std::memory_order_relaxed);
      // Draining: this answer is the connection's last.
      if (keep_alive && group_->draining.load(std::memory_order_relaxed)) keep_alive = false;
    }
    const ResponseFraming out_framing = decide_response_framing(resp, head_only, http11);
    if (out_framing.kind == ResponseFraming::kClose) keep_alive = false;
    const bool more_buffered = pos_ < buf_.size() || unread;
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

void ConnGroup::adopt_ws(ConnSlot* from, ConnSlot* to,
                         const std::shared_ptr<ws::WsSession>& session) {
  bool going;
  {
    std::lock_guard lock(mu_);
    to->fresh.store(false, std::memory_order_relaxed);
    to->state.store(ConnSlot::kBusy);
    to->deadline = nullptr;
    to->fd = -1;  // the session owns (and closes) the socket now
    to->ws = session;
    to->prev = from->prev;
    to->next = from->next;
    if (to->prev)
      to->prev->next = to;
    else
      head_ = to;
    if (to->next) to->next->prev = to;
    from->prev = from->next = nullptr;
    going = draining.load();
  }
  if (going) session->close(ws::kCloseGoingAway, "server shutting down");
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
    if (s->fd < 0) {
      if (auto session = s->ws.lock()) session->close(ws::kCloseGoingAway, "server shutting down");
      continue;
    }
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

void ConnGroup::close_sessions() {
  std::lock_guard lock(mu_);
  for (ConnSlot* s = head_; s; s = s->next) {
    if (s->fd >= 0) continue;
    if (auto session = s->ws.lock()) session->close(ws::kCloseGoingAway, "server shutting down");
  }
}

void ConnGroup::cut_all() {
  std::lock_guard lock(mu_);
  for (ConnSlot* s = head_; s; s = s->next) {
    if (s->fd >= 0) {
      ::shutdown(s->fd, SHUT_RDWR);
    } else if (auto session = s->ws.lock()) {
      session->abort();
    }
  }
}

bool ConnGroup::wait_empty(std::chrono::steady_clock::time_point until) {
  std::unique_lock lock(mu_);
  return empty_cv_.wait_until(lock, until, [this] { return live.load() == 0; });
}

asio::awaitable<WsAnswer> Handler::upgrade(Req&, const ws::Upgrade&) {
  co_return WsAnswer{};
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
