// One WebSocket connection after its 101 answer: a reading coroutine and a
// watchdog timer on one strand, talking to the application through
// WsHandler. The WsSession handle may be used from any thread to send,
// close and subscribe.
//
// Writing: a frame is written at once, by the thread that sends it, when
// nothing is waiting before it (a non-blocking send under the session's
// lock, so a publish to many sessions costs one system call each and no
// hand-off). What the socket does not take waits in the session's queue and
// is written from the strand as the socket drains; later frames queue behind
// it, so each connection keeps its order.
//
// Policies:
// - Frames the socket has not taken wait in a bounded queue (bytes and
//   count). When a send would overflow it, Overflow::kClose drops what is
//   queued and closes with 1008; Overflow::kDrop refuses that one message.
//   Either way the server never buffers without bound for a slow reader. A
//   message larger than the byte bound is taken only when nothing else is
//   queued.
// - A close (ours or the peer's) is written after every frame queued before
//   it. From the moment it is queued the connection has close_timeout to
//   write the queue, exchange close frames and end; then it is cut.
// - After ping_interval with nothing received the server sends one ping, so
//   a quiet but live client answers with a pong; nothing received for
//   idle_timeout closes with 1001. A queue the socket has not taken a byte of
//   for idle_timeout cuts the connection.
// - Every ping gets its own pong, up to kMaxPongs waiting to be written;
//   past that the newest payload takes the last place, so a ping flood
//   queues a bounded amount.
#pragma once

#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ws/frame.hpp"
#include "ws/handshake.hpp"

namespace kiv::ws {

class Topics;
class WsSession;
using SessionPtr = std::shared_ptr<WsSession>;

struct WsHandler {
  virtual ~WsHandler() = default;
  // An exception from on_open or on_message closes the connection with 1011.
  virtual void on_open(const SessionPtr&) {}
  // `data` stays valid until the returned awaitable completes; the next frame
  // is not read before that, so a slow handler slows its client down.
  virtual asio::awaitable<void> on_message(const SessionPtr& session, Opcode op,
                                           std::string_view data) = 0;
  // Once per session, after the connection is closed. code is the peer's
  // (1005 when its close frame had none), ours after a protocol failure, or
  // 1006 when the connection ended without a close frame.
  virtual void on_close(const SessionPtr&, std::uint16_t /*code*/, std::string_view /*reason*/) {}
};

enum class Overflow { kClose, kDrop };
enum class SendResult { kQueued, kClosed, kOverflow };

struct SessionOptions {
  ReaderLimits limits;
  std::optional<DeflateParams> deflate;  // as agreed in the handshake
  std::size_t compress_min = 64;         // shorter messages go uncompressed
  std::size_t max_queue_bytes = 1u << 20;
  std::size_t max_queue_frames = 1024;
  Overflow overflow = Overflow::kClose;
  std::chrono::milliseconds idle_timeout{60000};   // 0: none
  std::chrono::milliseconds ping_interval{20000};  // 0: none
  std::chrono::milliseconds close_timeout{5000};
  std::shared_ptr<Topics> topics;  // for subscribe(); may be null
};

// A message framed once for any number of sessions: the plain frame, and
// compressed ones made on first need for each window size (compressed from a
// fresh context, so any receiver can read them whatever it saw before).
class SharedFrame {
 public:
  SharedFrame(Opcode op, std::string payload);
  const std::shared_ptr<const std::string>& plain() const { return plain_; }
  std::shared_ptr<const std::string> compressed(int window_bits) const;
  std::size_t payload_size() const { return payload_.size(); }

 private:
  Opcode op_;
  std::string payload_;
  std::shared_ptr<const std::string> plain_;
  mutable std::mutex mu_;
  mutable std::shared_ptr<const std::string> deflated_[16];
};

class WsSession : public std::enable_shared_from_this<WsSession> {
 public:
  WsSession(asio::ip::tcp::socket socket, std::shared_ptr<WsHandler> handler, SessionOptions opts);
  ~WsSession();

  SendResult send(Opcode op, std::string_view data);
  SendResult send_text(std::string_view s) { return send(Opcode::kText, s); }
  SendResult send_binary(std::string_view s) { return send(Opcode::kBinary, s); }
  SendResult send_shared(const SharedFrame& frame);
  // Starts the close handshake after what is already queued. Later calls
  // and sends do nothing.
  void close(std::uint16_t code = kCloseNormal, std::string_view reason = {});

  // Ends the connection now, without a close handshake (any thread).
  void abort();

  bool subscribe(std::string_view topic);
  bool unsubscribe(std::string_view topic);

  bool is_open() const;
  std::size_t queued_bytes() const;

  // Runs the connection to its end; `leftover` holds bytes read past the
  // handshake. Call once (this or start()), on any executor.
  asio::awaitable<void> run(std::string leftover);

  // Runs the connection on its own and calls done() after its end: whoever
  // set it up need not stay (an upgraded HTTP connection lets go of all it
  // held). done may be move-only.
  template <class Done>
  void start(std::string leftover, Done done) {
    leftover_ = std::move(leftover);
    asio::co_spawn(
        strand_, [self = shared_from_this()]() { return self->main(); },
        [done = std::move(done)](std::exception_ptr) mutable { done(); });
  }

 private:
  friend class Topics;
  struct Item {
    std::string own;
    std::shared_ptr<const std::string> shared;
    bool close = false;
    bool counted = true;  // in queued_bytes_ (pongs and pings are not)
    std::string_view bytes() const { return shared ? std::string_view(*shared) : own; }
  };
  // All with mu_ held.
  bool idle_out() const { return !waiting_ && head_ == queue_.size() && pongs_.empty() && !ping_; }
  // One non-blocking send of `a` then `b` when nothing waits before them;
  // returns how many bytes the socket took, or npos when the connection failed.
  std::size_t write_direct(std::string_view a, std::string_view b = {});
  SendResult admit(std::size_t size, bool compressed_here);
  // Adds output; `written` bytes of it already went (then it is the only item).
  void enqueue(Item item, std::size_t written = 0);
  void kick();  // writes what waits, or has the strand write it as room comes
  void queue_control();  // pongs and a ping join the queue
  void fail();

  void flush();  // strand: writes the queue with asynchronous writes, batch by batch
  SendResult send_frame(Opcode op, std::string_view data);
  void queue_close(std::uint16_t code, std::string_view reason);
  void queue_pong(std::string_view payload);
  void finish();
  void arm_close_deadline();
  void close_sent();  // strand
  void watch();       // strand
  asio::awaitable<void> main();

  using Clock = std::chrono::steady_clock;
  asio::strand<asio::any_io_executor> strand_;
  asio::ip::tcp::socket socket_;
  std::shared_ptr<WsHandler> handler_;
  SessionOptions opts_;
  FrameReader frames_;

  mutable std::mutex mu_;  // guards everything up to the strand-only part
  int fd_;                 // -1 once closed (closed with mu_ held)
  // Output the socket has not taken: queue_[head_] is written up to head_off_.
  std::vector<Item> queue_;
  std::size_t head_ = 0, head_off_ = 0;
  std::size_t queued_bytes_ = 0;
  std::vector<std::string> pongs_;  // payloads of pings not answered yet
  bool ping_ = false;
  bool close_queued_ = false;
  bool waiting_ = false;  // the strand owns the writing until the queue is empty
  bool failed_ = false;   // a write failed: the strand is told to end
  bool ended_ = false;
  std::unique_ptr<Deflater> deflater_;
  bool reset_deflater_ = false;
  std::vector<std::string> topics_;

  // Strand only.
  asio::steady_timer dog_;
  bool done_ = false;
  bool sent_close_ = false, received_close_ = false;
  bool writing_ = false;  // an asynchronous write is in flight
  std::vector<Item> batch_;  // what it writes (empty while idle)
  std::size_t batch_off_ = 0;  // bytes of batch_'s first item written before
  std::vector<asio::const_buffer> bufs_;
  Clock::time_point last_read_, close_due_ = Clock::time_point::max(), write_since_;
  bool pinged_ = false;  // since the last read
  std::uint16_t end_code_ = 1006;
  std::string end_reason_;
  std::string leftover_;  // bytes read past the handshake, until parsed
  char small_[256];       // what a wait for the client reads into
};

// Serves an upgraded connection to its end.
asio::awaitable<void> serve_ws(asio::ip::tcp::socket socket, std::string leftover,
                               std::shared_ptr<WsHandler> handler, SessionOptions opts);

}  // namespace kiv::ws
