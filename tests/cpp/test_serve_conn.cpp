// The connection loop against a fake handler over real loopback sockets:
// how each kind of answer is framed on the wire, and what a streamed body
// does when it fails, comes up short or loses its client.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <asio.hpp>

#include <atomic>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "http/conn.hpp"
#include "http/response.hpp"

namespace kiv {
namespace {

using asio::ip::tcp;

struct FakeSource final : BodySource {
  std::vector<std::string> pieces;
  bool fail_at_end = false;
  bool endless = false;
  std::atomic<int> closes{0};
  std::promise<void> closed;
  std::size_t next = 0;

  asio::awaitable<Piece> pull(std::size_t) override {
    if (endless) co_return Piece{std::string(4096, 'x'), State::kMore};
    if (next < pieces.size()) co_return Piece{pieces[next++], State::kMore};
    co_return Piece{{}, fail_at_end ? State::kFailed : State::kEnd};
  }
  asio::awaitable<void> close() override {
    if (++closes == 1) closed.set_value();
    co_return;
  }
};

struct FakeHandler final : Handler {
  ResponseOut answer;
  asio::awaitable<ResponseOut> handle(Req) override { co_return answer; }
};

// Serves one connection with `handler` and returns every byte the client
// received until the server closed it.
std::string converse(const HandlerPtr& handler, const std::string& request,
                     std::size_t stop_after = 0) {
  asio::io_context io;
  tcp::acceptor acc(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  tcp::socket client(io);
  client.connect(acc.local_endpoint());
  timeval limit{10, 0};  // every read below is bounded
  setsockopt(client.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  tcp::socket server(io);
  acc.accept(server);
  auto group = std::make_shared<ConnGroup>();
  group->live = 1;
  asio::co_spawn(io, serve_conn(std::move(server), tcp::endpoint(), handler, group),
                 asio::detached);
  std::thread loop([&io] { io.run(); });
  asio::write(client, asio::buffer(request));
  std::string got;
  char buf[8192];
  for (;;) {
    const ssize_t n = ::recv(client.native_handle(), buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
    if (stop_after && got.size() >= stop_after) break;
  }
  client.close();
  loop.join();  // the connection ends once its client is gone
  return got;
}

struct WireCase {
  const char* name;
  std::uint16_t status;
  const char* request;
  int body;  // 0: bytes "hello", 1: stream "ab" "cde", 2: the same stream with Content-Length: 5
  const char* framing_line;  // expected in the head, or "" for none of the two
  const char* wire_body;
};

class Wire : public ::testing::TestWithParam<WireCase> {};

TEST_P(Wire, FramesTheBody) {
  const WireCase& c = GetParam();
  auto handler = std::make_shared<FakeHandler>();
  handler->answer.status = c.status;
  std::shared_ptr<FakeSource> src;
  if (c.body == 0) {
    handler->answer.body = "hello";
  } else {
    src = std::make_shared<FakeSource>();
    src->pieces = {"ab", "", "cde"};
    handler->answer.stream = src;
    if (c.body == 2) handler->answer.headers.emplace_back("content-length", "5");
  }
  const std::string got = converse(handler, c.request);
  const auto end = got.find("\r\n\r\n");
  ASSERT_NE(end, std::string::npos) << got;
  const std::string head = got.substr(0, end + 2);
  EXPECT_EQ(got.substr(end + 4), c.wire_body);
  const bool has_cl = head.find("\r\nContent-Length:") != std::string::npos;
  const bool has_te = head.find("\r\nTransfer-Encoding:") != std::string::npos;
  if (*c.framing_line)
    EXPECT_NE(head.find(c.framing_line), std::string::npos) << head;
  else
    EXPECT_FALSE(has_cl || has_te) << head;
  EXPECT_FALSE(has_cl && has_te) << head;
  if (src) {
    EXPECT_EQ(src->closes.load(), 1);
  }
}

constexpr const char* kGet11 = "GET / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n";
constexpr const char* kHead11 = "HEAD / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n";
constexpr const char* kGet10 = "GET / HTTP/1.0\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, Wire,
    ::testing::Values(
        WireCase{"bytes", 200, kGet11, 0, "Content-Length: 5\r\n", "hello"},
        WireCase{"bytes_head", 200, kHead11, 0, "Content-Length: 5\r\n", ""},
        WireCase{"no_content", 204, kGet11, 0, "", ""},
        WireCase{"interim", 103, kGet11, 0, "", ""},
        WireCase{"not_modified", 304, kGet11, 0, "Content-Length: 5\r\n", ""},
        WireCase{"chunked", 200, kGet11, 1, "Transfer-Encoding: chunked\r\n",
                 "2\r\nab\r\n3\r\ncde\r\n0\r\n\r\n"},
        WireCase{"chunked_head", 200, kHead11, 1, "Transfer-Encoding: chunked\r\n", ""},
        WireCase{"close_delimited", 200, kGet10, 1, "Connection: close\r\n", "abcde"},
        WireCase{"announced", 200, kGet11, 2, "Content-Length: 5\r\n", "abcde"},
        WireCase{"announced_10", 200, kGet10, 2, "Content-Length: 5\r\n", "abcde"},
        WireCase{"stream_no_content", 204, kGet11, 1, "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// A body that cannot be completed ends the connection where it stands: no
// terminating chunk, fewer bytes than announced, or a client that went away.
struct CutCase {
  const char* name;
  bool fail;           // the source fails after its pieces
  const char* length;  // announced Content-Length, or ""
  bool endless;        // the client stops after 64 KiB and closes
  const char* wire_body;
};

class Cut : public ::testing::TestWithParam<CutCase> {};

TEST_P(Cut, EndsWithoutAFinishedMessageAndClosesTheSourceOnce) {
  const CutCase& c = GetParam();
  auto handler = std::make_shared<FakeHandler>();
  auto src = std::make_shared<FakeSource>();
  src->pieces = {"ab", "cde"};
  src->fail_at_end = c.fail;
  src->endless = c.endless;
  handler->answer.stream = src;
  if (*c.length) handler->answer.headers.emplace_back("Content-Length", c.length);
  // Keep-alive: only the cut closes the connection.
  const std::string got =
      converse(handler, "GET / HTTP/1.1\r\nHost: a\r\n\r\n", c.endless ? 65536 : 0);
  ASSERT_EQ(src->closed.get_future().wait_for(std::chrono::seconds(10)),
            std::future_status::ready);
  EXPECT_EQ(src->closes.load(), 1);
  if (!c.endless) EXPECT_EQ(got.substr(got.find("\r\n\r\n") + 4), c.wire_body);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Cut,
    ::testing::Values(CutCase{"failed_chunked", true, "", false, "2\r\nab\r\n3\r\ncde"},
                      CutCase{"failed_counted", true, "9", false, "abcde"},
                      CutCase{"short_counted", false, "9", false, "abcde"},
                      CutCase{"client_gone", false, "", true, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// A pull as an awaitable: how a reader that must not block (an event loop)
// uses the body's completion callback.
asio::awaitable<RequestBody::Result> pull_async(RequestBody& body, asio::mutable_buffer into) {
  auto ex = co_await asio::this_coro::executor;
  auto start = [&body, into, ex](auto handler) {
    auto h = std::make_shared<decltype(handler)>(std::move(handler));
    body.pull(into, [h, ex](RequestBody::Result r) {
      asio::post(ex, [h, r]() mutable { std::move (*h)(r); });
    });
  };
  auto op = asio::async_initiate<decltype(asio::use_awaitable), void(RequestBody::Result)>(
      std::move(start), asio::use_awaitable);
  co_return co_await std::move(op);
}

// Answers with how the body came ("whole" or "streamed") and its length,
// after pulling all of it in small pieces unless told not to read it.
// With `threaded`, a thread of its own pulls and blocks on each pull, as a
// view on the pool does, while the handler's coroutine waits on a timer.
std::size_t pull_blocking_all(RequestBody& body, bool& failed) {
  std::size_t got = 0;
  char buf[1000];
  for (;;) {
    std::promise<RequestBody::Result> p;
    body.pull(asio::buffer(buf), [&p](RequestBody::Result r) { p.set_value(r); });
    const RequestBody::Result r = p.get_future().get();
    failed = r.failed;
    got += r.n;
    if (r.end || r.failed) return got;
  }
}

struct ReadingHandler final : Handler {
  bool read = true;
  bool threaded = false;
  asio::awaitable<ResponseOut> handle(Req req) override {
    std::size_t got = req.body.size();
    std::string kind = req.body_stream ? "streamed:" : "whole:";
    if (read && threaded && req.body_stream) {
      bool failed = false;
      auto done = std::async(std::launch::async,
                             [&] { return pull_blocking_all(*req.body_stream, failed); });
      asio::steady_timer tick(co_await asio::this_coro::executor);
      while (done.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        tick.expires_after(std::chrono::milliseconds(1));
        co_await tick.async_wait(asio::use_awaitable);
      }
      got = done.get();
      if (failed) kind = "failed:";
    } else if (read && req.body_stream) {
      char buf[1000];
      for (;;) {
        RequestBody::Result r = co_await pull_async(*req.body_stream, asio::buffer(buf));
        if (r.failed) {
          kind = "failed:";
          break;
        }
        got += r.n;
        if (r.end) break;
      }
    }
    ResponseOut out;
    out.body = kind + std::to_string(got);
    co_return out;
  }
};

struct BodyCase {
  const char* name;
  std::string request;
  bool read;
  bool continued;  // "100 Continue" precedes the answer
  const char* answer;
  bool threaded;
};

class Body : public ::testing::TestWithParam<BodyCase> {};

TEST_P(Body, ArrivesWholeOrAsTheHandlerPulls) {
  const BodyCase& c = GetParam();
  auto handler = std::make_shared<ReadingHandler>();
  handler->read = c.read;
  handler->threaded = c.threaded;
  const std::string got = converse(handler, c.request);
  EXPECT_EQ(got.starts_with("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200"), c.continued) << got;
  EXPECT_NE(got.find(c.answer), std::string::npos) << got;
}

std::string post(const std::string& headers, const std::string& body) {
  return "POST / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n" + headers + "\r\n" + body;
}

std::string chunks(int n, std::size_t size, bool last = true) {
  std::string out;
  for (int i = 0; i < n; ++i) {
    char line[32];
    std::snprintf(line, sizeof line, "%zx\r\n", size);
    out += line + std::string(size, 'c') + "\r\n";
  }
  return last ? out + "0\r\nX-Trailer: 1\r\n\r\n" : out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Body,
    ::testing::Values(
        BodyCase{"small", post("Content-Length: 10\r\n", std::string(10, 'a')), true, false,
                 "\r\n\r\nwhole:10", false},
        BodyCase{"large", post("Content-Length: 300000\r\n", std::string(300000, 'a')), true,
                 false, "\r\n\r\nstreamed:300000", false},
        BodyCase{"small_chunked", post("Transfer-Encoding: chunked\r\n", chunks(3, 100)), true,
                 false, "\r\n\r\nwhole:300", false},
        BodyCase{"large_chunked", post("Transfer-Encoding: chunked\r\n", chunks(5, 50000)),
                 true, false, "\r\n\r\nstreamed:250000", false},
        BodyCase{"continue_read", post("Expect: 100-continue\r\nContent-Length: 5\r\n", "hello"),
                 true, true, "\r\n\r\nstreamed:5", false},
        BodyCase{"continue_unread",
                 post("Expect: 100-continue\r\nContent-Length: 5\r\n", "hello"), false, false,
                 "\r\n\r\nstreamed:0", false},
        BodyCase{"bad_chunk_midway",
                 post("Transfer-Encoding: chunked\r\n", chunks(3, 60000, false) + "zz\r\n"),
                 true, false, "HTTP/1.1 400 ", false},
        BodyCase{"large_threaded", post("Content-Length: 300000\r\n", std::string(300000, 'a')),
                 true, false, "\r\n\r\nstreamed:300000", true},
        BodyCase{"chunked_threaded", post("Transfer-Encoding: chunked\r\n", chunks(5, 50000)),
                 true, false, "\r\n\r\nstreamed:250000", true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kiv
