#include "ws/session.hpp"

#include <asio/experimental/as_tuple.hpp>

#include <algorithm>
#include <array>
#include <exception>
#include <tuple>

#include "ws/topics.hpp"

namespace kiv::ws {

namespace {
constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);
constexpr std::size_t kReadSize = 16384;
// Pongs waiting to be written, at most (125 bytes of payload each).
constexpr std::size_t kMaxPongs = 16;
constexpr std::size_t kBatch = 64;  // frames gathered into one write
}  // namespace

// ---- SharedFrame ------------------------------------------------------------

SharedFrame::SharedFrame(Opcode op, std::string payload) : op_(op), payload_(std::move(payload)) {
  auto f = std::make_shared<std::string>();
  append_message(*f, op_, payload_);
  plain_ = std::move(f);
}

std::shared_ptr<const std::string> SharedFrame::compressed(int window_bits) const {
  window_bits = std::clamp(window_bits, 9, 15);
  std::lock_guard lock(mu_);
  auto& slot = deflated_[window_bits];
  if (!slot) {
    Deflater d(window_bits, true);
    auto f = std::make_shared<std::string>();
    append_message(*f, op_, payload_, &d);
    slot = std::move(f);
  }
  return slot;
}

// ---- WsSession: any thread --------------------------------------------------

WsSession::WsSession(asio::ip::tcp::socket socket, std::shared_ptr<WsHandler> handler,
                     SessionOptions opts)
    : strand_(asio::make_strand(socket.get_executor())),
      socket_(std::move(socket)),
      handler_(std::move(handler)),
      opts_(std::move(opts)),
      frames_(opts_.limits, opts_.deflate.has_value(),
              opts_.deflate && opts_.deflate->client_no_context_takeover),
      wake_(strand_),
      dog_(strand_) {
  if (opts_.deflate) {
    deflater_ = std::make_unique<Deflater>(opts_.deflate->server_max_window_bits,
                                           opts_.deflate->server_no_context_takeover);
  }
}

WsSession::~WsSession() = default;

bool WsSession::is_open() const {
  std::lock_guard lock(mu_);
  return !close_queued_ && !ended_;
}

std::size_t WsSession::queued_bytes() const {
  std::lock_guard lock(mu_);
  return queued_bytes_;
}

void WsSession::wake() {
  if (wake_posted_) return;
  wake_posted_ = true;
  asio::post(strand_, [self = shared_from_this()] { self->wake_.cancel(); });
}

SendResult WsSession::push(Item item, bool compressed_here) {
  const std::size_t size = item.bytes().size();
  // One message larger than the whole bound still goes out, alone.
  const bool too_many_bytes = queued_bytes_ + size > opts_.max_queue_bytes && queued_bytes_ > 0;
  if (queue_.size() >= opts_.max_queue_frames || too_many_bytes) {
    if (opts_.overflow == Overflow::kDrop) {
      // Our compressor has seen a message the client never will.
      if (compressed_here) reset_deflater_ = true;
      return SendResult::kOverflow;
    }
    // Frames already taken by the writer are written whole; the rest go.
    for (const Item& dropped : queue_) queued_bytes_ -= dropped.bytes().size();
    queue_.clear();
    close_queued_ = true;
    Item c;
    c.own = make_close(kClosePolicy, "send queue full");
    c.close = true;
    queued_bytes_ += c.own.size();
    queue_.push_back(std::move(c));
    wake();
    asio::post(strand_, [self = shared_from_this()] { self->arm_close_deadline(); });
    return SendResult::kOverflow;
  }
  queued_bytes_ += size;
  queue_.push_back(std::move(item));
  wake();
  return SendResult::kQueued;
}

SendResult WsSession::send(Opcode op, std::string_view data) {
  std::lock_guard lock(mu_);
  if (close_queued_ || ended_) return SendResult::kClosed;
  Item item;
  const bool compress = deflater_ && data.size() >= opts_.compress_min;
  if (compress && reset_deflater_) {
    deflater_->reset();
    reset_deflater_ = false;
  }
  append_message(item.own, op, data, compress ? deflater_.get() : nullptr);
  return push(std::move(item), compress);
}

SendResult WsSession::send_shared(const SharedFrame& frame) {
  std::lock_guard lock(mu_);
  if (close_queued_ || ended_) return SendResult::kClosed;
  Item item;
  if (deflater_ && frame.payload_size() >= opts_.compress_min) {
    item.shared = frame.compressed(opts_.deflate->server_max_window_bits);
    // The client's window now holds this message, which our compressor never
    // saw: our next message must not refer back past it.
    if (!opts_.deflate->server_no_context_takeover) reset_deflater_ = true;
  } else {
    item.shared = frame.plain();
  }
  return push(std::move(item), false);
}

void WsSession::queue_close(std::uint16_t code, std::string_view reason) {
  {
    std::lock_guard lock(mu_);
    if (close_queued_ || ended_) return;
    close_queued_ = true;
    Item c;
    c.own = make_close(code, reason);
    c.close = true;
    queued_bytes_ += c.own.size();
    queue_.push_back(std::move(c));
    wake();
  }
  asio::post(strand_, [self = shared_from_this()] { self->arm_close_deadline(); });
}

void WsSession::close(std::uint16_t code, std::string_view reason) {
  queue_close(code, reason);
}

void WsSession::abort() {
  asio::post(strand_, [self = shared_from_this()] { self->finish(); });
}

void WsSession::queue_pong(std::string_view payload) {
  std::lock_guard lock(mu_);
  if (close_queued_ || ended_) return;
  if (pongs_.size() < kMaxPongs) {
    pongs_.emplace_back(payload);
  } else {
    pongs_.back().assign(payload);  // answering the latest one is enough
  }
  wake();
}

bool WsSession::subscribe(std::string_view topic) {
  if (!opts_.topics) return false;
  {
    std::lock_guard lock(mu_);
    if (ended_) return false;
    if (std::find(topics_.begin(), topics_.end(), topic) != topics_.end()) return true;
    topics_.emplace_back(topic);
  }
  opts_.topics->add(shared_from_this(), topic);
  // The session may have ended meanwhile and missed this topic in its
  // cleanup. (Never call into Topics with mu_ held: publish locks the other
  // way round.)
  bool ended;
  {
    std::lock_guard lock(mu_);
    ended = ended_;
  }
  if (ended) opts_.topics->remove(this, topic);
  return !ended;
}

bool WsSession::unsubscribe(std::string_view topic) {
  if (!opts_.topics) return false;
  {
    std::lock_guard lock(mu_);
    auto it = std::find(topics_.begin(), topics_.end(), topic);
    if (it == topics_.end()) return false;
    topics_.erase(it);
  }
  opts_.topics->remove(this, topic);
  return true;
}

// ---- WsSession: strand ------------------------------------------------------

void WsSession::arm_close_deadline() {
  if (done_ || close_due_ != Clock::time_point::max()) return;
  close_due_ = Clock::now() + opts_.close_timeout;
  dog_.cancel();
}

void WsSession::finish() {
  if (done_) return;
  done_ = true;
  asio::error_code ec;
  socket_.close(ec);
  wake_.cancel();
  dog_.cancel();
  std::vector<std::string> topics;
  {
    std::lock_guard lock(mu_);
    ended_ = true;
    queue_.clear();
    queued_bytes_ = 0;
    pongs_.clear();
    topics.swap(topics_);
  }
  if (opts_.topics) {
    for (const auto& t : topics) opts_.topics->remove(this, t);
  }
}

asio::awaitable<void> WsSession::run(std::string leftover) {
  auto self = shared_from_this();
  // The writer and the watchdog keep the session alive until they see it done.
  last_read_ = Clock::now();
  asio::co_spawn(
      strand_, [self]() { return self->writer(); }, asio::detached);
  asio::co_spawn(
      strand_, [self]() { return self->watchdog(); }, asio::detached);
  try {
    handler_->on_open(self);
  } catch (const std::exception&) {
    queue_close(kCloseInternal, "internal error");
  }
  auto reading = reader(std::move(leftover));
  co_await asio::co_spawn(strand_, std::move(reading), asio::use_awaitable);
}

asio::awaitable<void> WsSession::reader(std::string leftover) {
  auto self = shared_from_this();
  // Held only while bytes are coming in: a connection waiting for its client
  // keeps no read buffer, which is most of what an idle connection would cost.
  // Reads are tried first and waited for only when nothing is there, which
  // is what an asynchronous read does anyway, so this costs no system call.
  std::unique_ptr<char[]> buf;
  asio::error_code nb_ec;
  socket_.non_blocking(true, nb_ec);
  std::string_view in = leftover;
  bool parsing = true;  // false after a protocol failure: bytes are only drained
  for (;;) {
    while (parsing && !done_) {
      const FrameReader::Event ev = frames_.next(in);
      using K = FrameReader::Kind;
      if (ev.kind == K::kNeedMore) break;
      if (ev.kind == K::kText || ev.kind == K::kBinary) {
        if (!sent_close_ && is_open()) {
          const Opcode op = ev.kind == K::kText ? Opcode::kText : Opcode::kBinary;
          bool failed = false;
          try {
            co_await handler_->on_message(self, op, ev.payload);
          } catch (const std::exception&) {
            failed = true;  // the application's fault, not the client's
          }
          if (failed) queue_close(kCloseInternal, "internal error");
        }
      } else if (ev.kind == K::kPing) {
        queue_pong(ev.payload);
      } else if (ev.kind == K::kClose) {
        received_close_ = true;
        end_code_ = ev.code;
        end_reason_ = std::string(ev.payload);
        // Echo the peer's code; 1005 (none given) echoes as an empty close.
        queue_close(ev.code, ev.payload);
        arm_close_deadline();
        if (sent_close_) finish();
        parsing = false;
      } else if (ev.kind == K::kError) {
        // The stream cannot be trusted past this point: our close frame is
        // the last thing said, and no answer is awaited.
        end_code_ = ev.code;
        end_reason_ = std::string(ev.payload);
        received_close_ = true;
        queue_close(ev.code, ev.payload);
        arm_close_deadline();
        if (sent_close_) finish();
        parsing = false;
      }
    }
    if (done_) break;
    if (!buf) buf.reset(new char[kReadSize]);
    asio::error_code ec;
    std::size_t n = 0;
    if (!nb_ec) {
      n = socket_.read_some(asio::buffer(buf.get(), kReadSize), ec);
      if (ec == asio::error::would_block || ec == asio::error::try_again) {
        buf.reset();
        in = {};
        auto [wait_ec] = co_await socket_.async_wait(asio::socket_base::wait_read, kNoThrow);
        if (wait_ec) break;
        continue;
      }
    } else {
      std::tie(ec, n) =
          co_await socket_.async_read_some(asio::buffer(buf.get(), kReadSize), kNoThrow);
    }
    if (ec || n == 0) break;
    last_read_ = Clock::now();
    pinged_ = false;
    in = std::string_view(buf.get(), n);
    leftover.clear();
  }
  finish();
  handler_->on_close(self, end_code_, end_reason_);
}

asio::awaitable<void> WsSession::writer() {
  auto self = shared_from_this();
  std::vector<Item> batch;
  std::vector<asio::const_buffer> bufs;
  std::string pong;
  while (!done_) {
    batch.clear();
    bufs.clear();
    pong.clear();
    bool has_pong = false;
    {
      std::lock_guard lock(mu_);
      wake_posted_ = false;
      for (const std::string& payload : pongs_) pong += make_frame(Opcode::kPong, payload);
      has_pong = !pongs_.empty();
      pongs_.clear();
      if (ping_ && !close_queued_) {
        pong += make_frame(Opcode::kPing, {});
        has_pong = true;
      }
      ping_ = false;
      while (!queue_.empty() && batch.size() < kBatch) {
        batch.push_back(std::move(queue_.front()));
        queue_.pop_front();
      }
    }
    if (!has_pong && batch.empty()) {
      wake_.expires_at(asio::steady_timer::time_point::max());
      co_await wake_.async_wait(kNoThrow);
      continue;
    }
    if (has_pong) bufs.push_back(asio::buffer(pong));
    std::size_t bytes = 0;
    bool close_in_batch = false;
    for (const Item& it : batch) {
      bufs.push_back(asio::buffer(it.bytes()));
      bytes += it.bytes().size();
      close_in_batch |= it.close;
    }
    writing_ = true;
    write_since_ = Clock::now();
    dog_.cancel();  // the watchdog now also watches this write
    auto [ec, n] = co_await asio::async_write(socket_, bufs, kNoThrow);
    writing_ = false;
    if (ec) {
      finish();
      break;
    }
    {
      std::lock_guard lock(mu_);
      queued_bytes_ -= std::min(queued_bytes_, bytes);
    }
    if (close_in_batch) {
      sent_close_ = true;
      if (received_close_) {
        finish();
        break;
      }
    }
  }
}

asio::awaitable<void> WsSession::watchdog() {
  auto self = shared_from_this();
  const bool idle_on = opts_.idle_timeout.count() > 0;
  while (!done_) {
    const auto now = Clock::now();
    if (now >= close_due_) {
      finish();
      break;
    }
    if (idle_on && writing_ && now >= write_since_ + opts_.idle_timeout) {
      finish();  // the peer has stopped reading
      break;
    }
    const bool open = close_due_ == Clock::time_point::max();
    const auto idle_due = last_read_ + opts_.idle_timeout;
    if (idle_on && open && now >= idle_due) {
      queue_close(kCloseGoingAway, "idle");
      close_due_ = now + opts_.close_timeout;
      continue;
    }
    const bool ping_on = open && !pinged_ && opts_.ping_interval.count() > 0;
    if (ping_on && now >= last_read_ + opts_.ping_interval) {
      pinged_ = true;
      std::lock_guard lock(mu_);
      ping_ = true;
      wake();
      continue;
    }
    auto due = close_due_;
    if (idle_on && open) due = std::min(due, idle_due);
    if (ping_on) due = std::min(due, last_read_ + opts_.ping_interval);
    if (idle_on && writing_) due = std::min(due, write_since_ + opts_.idle_timeout);
    dog_.expires_at(due);
    co_await dog_.async_wait(kNoThrow);
  }
}

asio::awaitable<void> serve_ws(asio::ip::tcp::socket socket, std::string leftover,
                               std::shared_ptr<WsHandler> handler, SessionOptions opts) {
  auto session =
      std::make_shared<WsSession>(std::move(socket), std::move(handler), std::move(opts));
  co_await session->run(std::move(leftover));
}

}  // namespace kiv::ws
