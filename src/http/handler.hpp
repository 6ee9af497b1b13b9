// The seam between the connection loop and whoever answers requests. The
// engine only sees these two interfaces; the Python application (routing,
// static mounts, the pool and the interpreter lock) implements them in src/py/,
// and the unit tests implement them with fakes.
#pragma once

#include <asio.hpp>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>

#include "http/request.hpp"
#include "http/response.hpp"

namespace kiv {

namespace ws {
struct Upgrade;
struct WsHandler;
struct SessionOptions;
class Topics;
}  // namespace ws

// What the application says to a request that asks for a WebSocket.
struct WsAnswer {
  enum Kind {
    kHttp,    // no WebSocket here: the request is answered as plain HTTP
    kRefuse,  // answer `refusal` and close
    kAccept,  // switch protocols; `handler` serves the connection
  };
  Kind kind = kHttp;
  ResponseOut refusal;
  std::shared_ptr<ws::WsHandler> handler;
  std::string subprotocol;             // one the client offered, or empty
  HeaderList headers;                  // extra lines for the 101 (see ws::accept_response)
  // Sets the session's limits (the application's, per route) over the defaults; may be empty.
  std::function<void(ws::SessionOptions&)> tune;
  std::shared_ptr<ws::Topics> topics;  // for the session's subscriptions; may be null
};

// A response body produced piece by piece. The connection pulls one piece at
// a time and writes it before it pulls the next, so at most one piece (about
// `want` bytes) is ever held ahead of the socket, and nothing is produced while
// the connection waits for a slow client.
class BodySource {
 public:
  enum class State {
    kMore,    // more may follow
    kEnd,     // this piece (possibly empty) is the last
    kFailed,  // the body cannot be completed; the connection must be cut
  };
  struct Piece {
    std::string bytes;
    State state = State::kMore;
    // With kMore: wait this long before the next pull (a slow producer's
    // rhythm, kept by a timer rather than by a blocked producer).
    std::uint32_t pause_ms = 0;
  };

  virtual ~BodySource() = default;
  // The next bytes, about `want` of them unless the body ends first.
  virtual asio::awaitable<Piece> pull(std::size_t want) = 0;
  // Releases the producer. The connection calls it exactly once, whether the
  // body ended, failed, was not wanted (HEAD) or its client went away.
  virtual asio::awaitable<void> close() = 0;
};

// The rest of a request body, still arriving on its connection. A reader
// pulls one piece at a time into memory of its own; the connection reads the
// socket only to answer a pull, so a reader that stops asking stops the
// client too (TCP flow control), and nothing is buffered on its behalf. The
// completion callback makes the same source usable from a thread that blocks
// and from an event loop that cannot.
class RequestBody {
 public:
  struct Result {
    std::size_t n = 0;  // bytes written into the reader's memory
    bool end = false;   // the body is complete: no byte follows
    // The body cannot be read on: 0 when the client went away or the request
    // is over, else the status the connection answered with (400, 408, 413).
    bool failed = false;
    std::uint16_t status = 0;
  };
  using Done = std::function<void(Result)>;

  virtual ~RequestBody() = default;
  // Any thread; one pull at a time. `into` must stay valid until `done`
  // has run, which may happen before pull returns (bytes already buffered,
  // the body over) or later on a network thread. At least one byte is
  // delivered unless the body ends or fails.
  virtual void pull(asio::mutable_buffer into, Done done) = 0;

  // The announced length, or -1 for a chunked body.
  std::int64_t length = -1;
};

// Answers the requests of every connection of one server.
class Handler {
 public:
  virtual ~Handler() = default;
  // Never fails: every failure ends in a response.
  virtual asio::awaitable<ResponseOut> handle(Req req) = 0;
  // A well-formed upgrade request (its head only; `req` stays the caller's
  // and is answered as plain HTTP after kHttp). Never fails.
  virtual asio::awaitable<WsAnswer> upgrade(Req& req, const ws::Upgrade& up);

  std::uint64_t max_body = std::numeric_limits<std::uint64_t>::max();
  bool log = false;  // access-log line on standard error per answered request
};

using HandlerPtr = std::shared_ptr<Handler>;

}  // namespace kiv
