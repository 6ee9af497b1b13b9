#include "ws/session.hpp"

#include <asio/experimental/as_tuple.hpp>

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>

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
constexpr std::size_t kFailedWrite = static_cast<std::size_t>(-1);

// One non-blocking send: the bytes the socket took (0 when it had no room),
// or kFailedWrite when the connection is broken.
std::size_t send_some(int fd, iovec* iov, int n) {
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = static_cast<std::size_t>(n);
  for (;;) {
    const ssize_t w = ::sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (w >= 0) return static_cast<std::size_t>(w);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return kFailedWrite;
  }
}
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
      fd_(socket_.is_open() ? socket_.native_handle() : -1),
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

void WsSession::fail() {
  if (failed_) return;
  failed_ = true;
  asio::post(strand_, [self = shared_from_this()] { self->finish(); });
}

std::size_t WsSession::write_direct(std::string_view a, std::string_view b) {
  if (fd_ < 0 || failed_) return kFailedWrite;
  iovec iov[2] = {{const_cast<char*>(a.data()), a.size()}, {const_cast<char*>(b.data()), b.size()}};
  const std::size_t n = send_some(fd_, iov, b.empty() ? 1 : 2);
  if (n == kFailedWrite) fail();
  return n;
}

SendResult WsSession::admit(std::size_t size, bool compressed_here) {
  const std::size_t frames = queue_.size() - head_;
  // One message larger than the whole bound still goes out, alone.
  const bool too_many_bytes = queued_bytes_ + size > opts_.max_queue_bytes && queued_bytes_ > 0;
  if (frames < opts_.max_queue_frames && !too_many_bytes) return SendResult::kQueued;
  if (opts_.overflow == Overflow::kDrop) {
    // Our compressor has seen a message the client never will.
    if (compressed_here) reset_deflater_ = true;
    return SendResult::kOverflow;
  }
  // A frame partly written is finished (or the stream would be torn); the
  // rest go, and the close follows.
  std::size_t keep = head_ + (head_off_ > 0 ? 1 : 0);
  for (std::size_t i = keep; i < queue_.size(); ++i) {
    if (queue_[i].counted) queued_bytes_ -= queue_[i].bytes().size();
  }
  queue_.resize(keep);
  close_queued_ = true;
  Item c;
  c.own = make_close(kClosePolicy, "send queue full");
  c.close = true;
  enqueue(std::move(c));
  asio::post(strand_, [self = shared_from_this()] { self->arm_close_deadline(); });
  return SendResult::kOverflow;
}

void WsSession::enqueue(Item item, std::size_t written) {
  if (item.counted) queued_bytes_ += item.bytes().size();
  queue_.push_back(std::move(item));
  if (written > 0) {
    head_off_ = written;  // it is the only item: the socket has no room now
    waiting_ = true;
    asio::post(strand_, [self = shared_from_this()] { self->flush(); });
    return;
  }
  kick();
}

void WsSession::queue_control() {
  if (pongs_.empty() && !ping_) return;
  Item c;
  c.counted = false;
  for (const std::string& payload : pongs_) c.own += make_frame(Opcode::kPong, payload);
  pongs_.clear();
  if (ping_ && !close_queued_) c.own += make_frame(Opcode::kPing, {});
  ping_ = false;
  if (c.own.empty()) return;
  // Ahead of queued messages, but never inside a frame being written.
  const std::size_t at = head_ + (head_off_ > 0 ? 1 : 0);
  queue_.insert(queue_.begin() + static_cast<std::ptrdiff_t>(at), std::move(c));
}

void WsSession::kick() {
  if (waiting_) return;  // the strand writes it after what it has
  queue_control();
  bool close_written = false;
  while (head_ < queue_.size()) {
    iovec iov[kBatch];
    int n = 0;
    for (std::size_t i = head_; i < queue_.size() && n < int(kBatch); ++i) {
      const std::string_view b = queue_[i].bytes();
      const std::size_t off = i == head_ ? head_off_ : 0;
      iov[n++] = {const_cast<char*>(b.data() + off), b.size() - off};
    }
    std::size_t w = fd_ < 0 || failed_ ? kFailedWrite : send_some(fd_, iov, n);
    if (w == kFailedWrite) {
      fail();
      return;
    }
    if (w == 0) break;
    while (w > 0) {
      Item& it = queue_[head_];
      const std::size_t left = it.bytes().size() - head_off_;
      if (w < left) {
        head_off_ += w;
        break;
      }
      w -= left;
      head_off_ = 0;
      if (it.counted) queued_bytes_ -= it.bytes().size();
      close_written |= it.close;
      it = Item{};
      ++head_;
    }
  }
  if (close_written) asio::post(strand_, [self = shared_from_this()] { self->close_sent(); });
  if (head_ == queue_.size()) {
    head_ = 0;
    if (queue_.capacity() > kBatch) {
      std::vector<Item>().swap(queue_);
    } else {
      queue_.clear();
    }
    return;
  }
  waiting_ = true;
  asio::post(strand_, [self = shared_from_this()] { self->flush(); });
}

SendResult WsSession::send(Opcode op, std::string_view data) {
  std::lock_guard lock(mu_);
  if (close_queued_ || ended_) return SendResult::kClosed;
  const bool compress = deflater_ && data.size() >= opts_.compress_min;
  if (compress) {
    if (reset_deflater_) {
      deflater_->reset();
      reset_deflater_ = false;
    }
    Item item;
    append_message(item.own, op, data, deflater_.get());
    std::size_t written = 0;
    if (idle_out()) {
      written = write_direct(item.own);
      if (written == kFailedWrite) return SendResult::kClosed;
      if (written == item.own.size()) return SendResult::kQueued;
    } else if (const SendResult r = admit(item.own.size(), true); r != SendResult::kQueued) {
      return r;
    }
    enqueue(std::move(item), written);
    return SendResult::kQueued;
  }
  // The head on the stack and the payload where it is: a message the socket
  // takes at once is never copied.
  std::string head;
  append_frame_head(head, op, true, false, data.size());
  std::size_t written = 0;
  if (idle_out()) {
    written = write_direct(head, data);
    if (written == kFailedWrite) return SendResult::kClosed;
    if (written == head.size() + data.size()) return SendResult::kQueued;
  } else if (const SendResult r = admit(head.size() + data.size(), false);
             r != SendResult::kQueued) {
    return r;
  }
  Item item;
  item.own.reserve(head.size() + data.size());
  item.own += head;
  item.own += data;
  enqueue(std::move(item), written);
  return SendResult::kQueued;
}

SendResult WsSession::send_shared(const SharedFrame& frame) {
  std::lock_guard lock(mu_);
  if (close_queued_ || ended_) return SendResult::kClosed;
  const std::shared_ptr<const std::string>* bytes = &frame.plain();
  std::shared_ptr<const std::string> packed;
  if (deflater_ && frame.payload_size() >= opts_.compress_min) {
    packed = frame.compressed(opts_.deflate->server_max_window_bits);
    bytes = &packed;
    // The client's window now holds this message, which our compressor never
    // saw: our next message must not refer back past it.
    if (!opts_.deflate->server_no_context_takeover) reset_deflater_ = true;
  }
  const std::string& b = **bytes;
  std::size_t written = 0;
  if (idle_out()) {
    written = write_direct(b);
    if (written == kFailedWrite) return SendResult::kClosed;
    if (written == b.size()) return SendResult::kQueued;
  } else if (const SendResult r = admit(b.size(), false); r != SendResult::kQueued) {
    return r;
  }
  Item item;
  item.shared = *bytes;
  enqueue(std::move(item), written);
  return SendResult::kQueued;
}

void WsSession::queue_close(std::uint16_t code, std::string_view reason) {
  {
    std::lock_guard lock(mu_);
    if (close_queued_ || ended_) return;
    close_queued_ = true;
    Item c;
    c.own = make_close(code, reason);
    c.close = true;
    enqueue(std::move(c));
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
  kick();
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

void WsSession::close_sent() {
  if (done_) return;
  sent_close_ = true;
  if (received_close_) finish();
}

void WsSession::finish() {
  if (done_) return;
  done_ = true;
  dog_.cancel();
  std::vector<std::string> topics;
  {
    // Under the lock: no other thread is inside a send on this descriptor.
    std::lock_guard lock(mu_);
    asio::error_code ec;
    socket_.close(ec);
    fd_ = -1;
    ended_ = true;
    std::vector<Item>().swap(queue_);
    head_ = head_off_ = 0;
    queued_bytes_ = 0;
    pongs_.clear();
    topics.swap(topics_);
  }
  if (opts_.topics) {
    for (const auto& t : topics) opts_.topics->remove(this, t);
  }
}

// Writes what the socket did not take at once, in batches, as it drains. Sends
// meanwhile only queue (waiting_), so nothing overtakes.
void WsSession::flush() {
  if (done_ || writing_) return;
  batch_.clear();
  {
    std::lock_guard lock(mu_);
    queue_control();
    batch_off_ = head_off_;
    head_off_ = 0;
    const std::size_t take = std::min(queue_.size() - head_, kBatch);
    for (std::size_t i = 0; i < take; ++i) batch_.push_back(std::move(queue_[head_ + i]));
    head_ += take;
    if (head_ == queue_.size()) {
      head_ = 0;
      queue_.clear();
    }
    if (batch_.empty()) {
      waiting_ = false;  // direct writes again
      std::vector<Item>().swap(queue_);
      std::vector<Item>().swap(batch_);
      std::vector<asio::const_buffer>().swap(bufs_);
      return;
    }
  }
  bufs_.clear();
  for (std::size_t i = 0; i < batch_.size(); ++i) {
    const std::string_view b = batch_[i].bytes();
    const std::size_t off = i == 0 ? batch_off_ : 0;
    bufs_.push_back(asio::buffer(b.data() + off, b.size() - off));
  }
  writing_ = true;
  write_since_ = Clock::now();
  dog_.cancel();  // the watchdog now also watches this write
  asio::async_write(
      socket_, bufs_,
      asio::bind_executor(strand_, [self = shared_from_this()](asio::error_code ec, std::size_t) {
        self->writing_ = false;
        if (ec) {
          self->finish();
          return;
        }
        bool close_in_batch = false;
        {
          std::lock_guard lock(self->mu_);
          for (const Item& it : self->batch_) {
            if (it.counted) self->queued_bytes_ -= std::min(self->queued_bytes_, it.bytes().size());
            close_in_batch |= it.close;
          }
        }
        self->batch_.clear();
        if (close_in_batch) self->close_sent();
        self->flush();
      }));
}

void WsSession::watch() {
  if (done_) return;
  const bool idle_on = opts_.idle_timeout.count() > 0;
  for (;;) {
    const auto now = Clock::now();
    if (now >= close_due_) {
      finish();
      return;
    }
    if (idle_on && writing_ && now >= write_since_ + opts_.idle_timeout) {
      finish();  // the peer has stopped reading
      return;
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
      if (!close_queued_ && !ended_) {
        ping_ = true;
        kick();
      }
      continue;
    }
    auto due = close_due_;
    if (idle_on && open) due = std::min(due, idle_due);
    if (ping_on) due = std::min(due, last_read_ + opts_.ping_interval);
    if (idle_on && writing_) due = std::min(due, write_since_ + opts_.idle_timeout);
    dog_.expires_at(due);
    // A cancel (a new deadline, or the end) also lands here: look again.
    dog_.async_wait([self = shared_from_this()](asio::error_code) { self->watch(); });
    return;
  }
}

asio::awaitable<void> WsSession::run(std::string leftover) {
  leftover_ = std::move(leftover);
  // Named: a temporary inside co_await is not safe with this compiler.
  auto running = asio::co_spawn(strand_, main(), asio::use_awaitable);
  co_await std::move(running);
}

asio::awaitable<void> WsSession::main() {
  auto self = shared_from_this();
  last_read_ = Clock::now();
  watch();
  try {
    handler_->on_open(self);
  } catch (const std::exception&) {
    queue_close(kCloseInternal, "internal error");
  }
  // Reads: a wait for the client reads into the session's small buffer
  // (asio's read, which after a short read waits for the socket without
  // trying it again, and without any epoll_ctl call, so a small message costs
  // one recv). A read that fills its buffer may have left more: the large
  // buffer then takes it without waiting, and is let go as soon as the socket
  // is empty, so a connection waiting for its client keeps no read buffer.
  std::unique_ptr<char[]> buf;
  asio::error_code nb_ec;
  socket_.non_blocking(true, nb_ec);
  std::string_view in = leftover_;
  bool more = false;    // the last read filled its buffer
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
      } else if (ev.kind == K::kClose || ev.kind == K::kError) {
        // After an error the stream cannot be trusted: our close frame is
        // the last thing said, and no answer is awaited. After the peer's
        // close we echo its code (1005, none given, echoes as an empty close).
        received_close_ = true;
        end_code_ = ev.code;
        end_reason_ = std::string(ev.payload);
        queue_close(ev.code, ev.payload);
        arm_close_deadline();
        if (sent_close_) finish();
        parsing = false;
      }
    }
    if (done_) break;
    if (leftover_.capacity() > 0) {
      leftover_.clear();
      leftover_.shrink_to_fit();
    }
    asio::error_code ec;
    std::size_t n = 0;
    if (more && !nb_ec) {
      if (!buf) buf.reset(new char[kReadSize]);
      n = socket_.read_some(asio::buffer(buf.get(), kReadSize), ec);
      if (ec == asio::error::would_block || ec == asio::error::try_again) {
        more = false;
        buf.reset();
        in = {};
        continue;
      }
      if (ec || n == 0) break;
      more = n == kReadSize;
      in = std::string_view(buf.get(), n);
    } else {
      buf.reset();
      std::tie(ec, n) = co_await socket_.async_read_some(asio::buffer(small_), kNoThrow);
      if (ec || n == 0) break;
      more = n == sizeof small_;
      in = std::string_view(small_, n);
    }
    last_read_ = Clock::now();
    pinged_ = false;
  }
  finish();
  handler_->on_close(self, end_code_, end_reason_);
}

asio::awaitable<void> serve_ws(asio::ip::tcp::socket socket, std::string leftover,
                               std::shared_ptr<WsHandler> handler, SessionOptions opts) {
  auto session =
      std::make_shared<WsSession>(std::move(socket), std::move(handler), std::move(opts));
  co_await session->run(std::move(leftover));
}

}  // namespace kiv::ws
