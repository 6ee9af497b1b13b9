// The per-connection HTTP/1.1 loop: reads request heads and bodies from one
// accepted socket, hands each request to `handle`, writes the answers in
// order (persistent connections and pipelining), and closes the connection on
// any protocol or I/O failure.
#pragma once

#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "http/read_deadline.hpp"
#include "http/handler.hpp"

namespace kiv {

namespace ws {
class WsSession;
}

// One live connection as its server's group sees it.
struct ConnSlot {
  static constexpr int kBusy = 0;  // reading or answering a request
  static constexpr int kIdle = 1;  // waiting for the first byte of a request
  static constexpr int kCut = 2;   // shut down by a drain while idle

  int fd = -1;
  std::atomic<int> state{kBusy};
  // No request answered yet: the client has just connected, maybe just before
  // the drain, and its first request may still be on the way.
  std::atomic<bool> fresh{true};
  ReadDeadline* deadline = nullptr;
  // Set (under the group's mutex) once the connection is a WebSocket: a
  // drain closes it with 1001 instead of shutting the descriptor down.
  std::weak_ptr<ws::WsSession> ws;
  ConnSlot* prev = nullptr;  // group links, guarded by the group's mutex
  ConnSlot* next = nullptr;
};

// What a server's accept loop and its connections share: time limits, the
// connection count and the drain that ends them. Limits are fixed before the
// first connection is accepted.
struct ConnGroup {
  static constexpr std::int64_t kFirstRequestGrace = 2;

  std::int64_t idle_timeout = 60;       // seconds per read, and between requests
  std::int64_t head_timeout = 60;       // seconds for a whole head from its first byte
  // A request body may keep the server waiting for its bytes this many
  // seconds in all (0: no limit), plus one second per body_min_rate bytes
  // received, so a large upload at a fair pace is never cut. Only the time
  // spent waiting for the client counts, not the time a view takes.
  std::int64_t body_timeout = 60;
  std::uint64_t body_min_rate = 1024;   // bytes per second; 0: a fixed deadline
  std::uint64_t limit_concurrency = 0;  // 0: none; beyond it new connections get 503
  bool count_requests = false;          // keep `served` (for recycling workers)

  std::atomic<bool> draining{false};
  std::atomic<std::uint64_t> live{0};  // counted from accept to close
  std::atomic<std::uint64_t> served{0};

  void enter(ConnSlot* slot);
  void leave(ConnSlot* slot);
  // The connection now serves a WebSocket session, which keeps its own time
  // limits; `to` takes the place of `from` (the HTTP connection's slot, which
  // goes with it) until the session ends. Closes the session at once (going
  // away) when a drain has begun.
  void adopt_ws(ConnSlot* from, ConnSlot* to, const std::shared_ptr<ws::WsSession>& session);
  // Accept-loop side: a connection refused or failed before it was entered.
  void forget() { release_one(); }

  // Connections answer no further request: idle ones are shut down now (new
  // ones get kFirstRequestGrace seconds to send their first), busy ones close
  // after the response in progress.
  void drain();
  // Closes every WebSocket session with 1001 (going away); plain HTTP
  // connections are left as they are.
  void close_sessions();
  // Shuts down every remaining connection in both directions.
  void cut_all();
  // Waits until no connection is left or the deadline passes; true when none is.
  bool wait_empty(std::chrono::steady_clock::time_point until);

 private:
  void release_one();

  std::mutex mu_;
  std::condition_variable empty_cv_;
  ConnSlot* head_ = nullptr;
};

// What an upgraded connection leaves in its group while its session runs.
struct WsTenure {
  ConnSlot slot;
  std::shared_ptr<ConnGroup> group;
};

// Owns the accepted socket until the connection is closed. Never fails: every
// failure ends in a fixed error page or a silent close. The accept loop has
// already counted the connection in `group`.
asio::awaitable<void> serve_conn(asio::ip::tcp::socket socket, asio::ip::tcp::endpoint peer,
                                 HandlerPtr handler, std::shared_ptr<ConnGroup> group);

// Answers a connection the server will not serve with a fixed page (503 when
// over the concurrency limit) and closes it.
asio::awaitable<void> refuse_conn(asio::ip::tcp::socket socket, HandlerPtr handler,
                                  std::uint16_t status);

}  // namespace kiv
