// WebSocket sessions over real loopback sockets, with a test client that
// masks what it sends and reads frames with the engine's own reader:
// echoes, pings, both close handshakes and their deadlines, the idle
// deadline, the full-queue policies, and publish/subscribe across threads.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <asio.hpp>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ws/session.hpp"
#include "ws/topics.hpp"

namespace kiv::ws {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;
const std::uint8_t kKey[4] = {1, 2, 3, 4};

std::string masked(Opcode op, std::string_view payload, bool rsv1 = false) {
  return make_frame(op, payload, true, rsv1, kKey);
}
std::string close_frame(std::uint16_t code, std::string_view reason = {}) {
  const std::string code_bytes{char(code >> 8), char(code & 0xFF)};
  return masked(Opcode::kClose, code_bytes + std::string(reason));
}

std::string ev(FrameReader::Kind kind, std::uint16_t code, std::string_view payload = {}) {
  return std::to_string(int(kind)) + ":" + std::to_string(code) + ":" + std::string(payload);
}
using K = FrameReader::Kind;

struct App final : WsHandler {
  std::function<void(const SessionPtr&)> opened;
  std::promise<void> open_p;
  std::promise<int> close_p;
  void on_open(const SessionPtr& s) override {
    if (opened) opened(s);
    open_p.set_value();
  }
  asio::awaitable<void> on_message(const SessionPtr& s, Opcode op, std::string_view data) override {
    if (data == "throw") throw std::runtime_error("view failed");
    s->send(op, data);
    co_return;
  }
  void on_close(const SessionPtr&, std::uint16_t code, std::string_view) override {
    close_p.set_value(code);
  }
  int closed() {  // the code on_close reported, or -1 when it did not come within 10 s
    auto f = close_p.get_future();
    return f.wait_for(10s) == std::future_status::ready ? f.get() : -1;
  }
};

struct Client {
  tcp::socket s;
  FrameReader r;
  std::string pending;
  // The next frame from the server as "kind:code:payload", or "eof".
  std::string next() {
    for (;;) {
      std::string_view in = pending;
      const auto e = r.next(in);
      pending.erase(0, pending.size() - in.size());
      if (e.kind != K::kNeedMore) return ev(e.kind, e.code, e.payload);
      char buf[65536];
      const ssize_t n = ::recv(s.native_handle(), buf, sizeof buf, 0);
      if (n <= 0) return "eof";
      pending.append(buf, static_cast<std::size_t>(n));
    }
  }
  void send(const std::string& bytes) { asio::write(s, asio::buffer(bytes)); }
};

// io_context threads serving sessions for one test.
struct Loop {
  asio::io_context io;
  tcp::acceptor acc{io, tcp::endpoint(asio::ip::address_v4::loopback(), 0)};
  asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
  std::vector<std::thread> threads;
  explicit Loop(int n = 1) {
    for (int i = 0; i < n; ++i) threads.emplace_back([this] { io.run(); });
  }
  ~Loop() {
    work.reset();
    io.stop();
    for (auto& t : threads) t.join();
  }
  Client open(std::shared_ptr<App> app, SessionOptions opts, std::string leftover = {},
              int buffers = 0) {
    tcp::socket client(io);
    client.connect(acc.local_endpoint());
    timeval limit{10, 0};  // every read below is bounded
    setsockopt(client.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    tcp::socket server(io);
    acc.accept(server);
    if (buffers) {  // a client that stops reading soon stalls the server's writes
      setsockopt(client.native_handle(), SOL_SOCKET, SO_RCVBUF, &buffers, sizeof buffers);
      setsockopt(server.native_handle(), SOL_SOCKET, SO_SNDBUF, &buffers, sizeof buffers);
    }
    const bool deflate = opts.deflate.has_value();
    asio::co_spawn(io, serve_ws(std::move(server), std::move(leftover), app, std::move(opts)),
                   asio::detached);
    return Client{std::move(client), FrameReader({1u << 24, 1u << 24}, deflate, false, false), {}};
  }
};

struct SessionCase {
  const char* name;
  std::function<void(const SessionPtr&)> opened;
  std::string leftover, sends;
  bool reply_close;  // the client answers the server's close frame
  std::vector<std::string> want;  // frames the client gets before the connection ends
  int close_code;                 // what on_close reports
  std::size_t max_queue_bytes = 1u << 20;
  std::chrono::milliseconds ping_interval{0};
};
class Session : public ::testing::TestWithParam<SessionCase> {};

TEST_P(Session, Converses) {
  const SessionCase& c = GetParam();
  Loop loop;
  auto app = std::make_shared<App>();
  app->opened = c.opened;
  SessionOptions opts;
  opts.idle_timeout = 100ms;
  opts.close_timeout = 300ms;
  opts.max_queue_bytes = c.max_queue_bytes;
  opts.ping_interval = c.ping_interval;
  Client client = loop.open(app, opts, c.leftover);
  if (!c.sends.empty()) client.send(c.sends);
  std::vector<std::string> got;
  for (;;) {
    got.push_back(client.next());
    if (got.back() == "eof") break;
    if (c.reply_close && got.back().rfind(std::to_string(int(K::kClose)), 0) == 0) {
      client.send(close_frame(std::uint16_t(std::stoi(got.back().substr(2, 4)))));
    }
  }
  got.pop_back();  // "eof": the connection ended (or a read timed out)
  EXPECT_EQ(got, c.want) << c.name;
  EXPECT_EQ(app->closed(), c.close_code);
}

void send_then_close(const SessionPtr& s) {
  for (const char* m : {"a", "b", "c"}) ASSERT_EQ(s->send_text(m), SendResult::kQueued);
  s->close(4000, "bye");
  EXPECT_EQ(s->send_text("late"), SendResult::kClosed);
}
void big_then_close(const SessionPtr& s) {  // larger than the whole queue, but alone
  EXPECT_EQ(s->send_binary(std::string(20000, 'x')), SendResult::kQueued);
  s->close();
}
const std::vector<std::string> kAbcBye = {ev(K::kText, 0, "a"), ev(K::kText, 0, "b"),
                                          ev(K::kText, 0, "c"), ev(K::kClose, 4000, "bye")};
INSTANTIATE_TEST_SUITE_P(
    Ws, Session,
    ::testing::Values(
        // Bytes read past the handshake are frames too.
        SessionCase{"echo", nullptr, masked(Opcode::kText, "early"),
                    masked(Opcode::kBinary, "bin") + close_frame(1000, "done"), false,
                    {ev(K::kText, 0, "early"), ev(K::kBinary, 0, "bin"),
                     ev(K::kClose, 1000, "done")},
                    1000},
        SessionCase{"ping", nullptr, {}, masked(Opcode::kPing, "p1") + close_frame(1001), false,
                    {ev(K::kPong, 0, "p1"), ev(K::kClose, 1001)}, 1001},
        // Pings read together are answered one by one, in order.
        SessionCase{"pings", nullptr, {},
                    masked(Opcode::kPing, "p1") + masked(Opcode::kPing, "p2") +
                        masked(Opcode::kPing, "p3") + close_frame(1000),
                    false, {ev(K::kPong, 0, "p1"), ev(K::kPong, 0, "p2"), ev(K::kPong, 0, "p3"),
                            ev(K::kClose, 1000)}, 1000},
        // Everything queued before a close is written before it.
        SessionCase{"server close", send_then_close, {}, {}, true, kAbcBye, 4000},
        // No answer to our close: cut at the close deadline.
        SessionCase{"close deadline", send_then_close, {}, {}, false, kAbcBye, 1006},
        SessionCase{"idle", nullptr, {}, {}, true, {ev(K::kClose, 1001, "idle")}, 1001},
        // A silent client is pinged once before the idle close.
        SessionCase{"keepalive", nullptr, {}, {}, true,
                    {ev(K::kPing, 0), ev(K::kClose, 1001, "idle")}, 1001, 1u << 20, 30ms},
        SessionCase{"protocol failure", nullptr, {}, make_frame(Opcode::kText, "unmasked"), false,
                    {ev(K::kClose, 1002, "unmasked frame")}, 1002},
        SessionCase{"application fault", nullptr, {}, masked(Opcode::kText, "throw"), true,
                    {ev(K::kClose, 1011, "internal error")}, 1011},
        SessionCase{"big message", big_then_close, {}, {}, true,
                    {ev(K::kBinary, 0, std::string(20000, 'x')), ev(K::kClose, 1000)}, 1000,
                    10000}));

// With Overflow::kDrop a refused message was already compressed: the next
// one must not refer back to it, or the client could not inflate it.
// Bytes that do not compress: enough of them fill the small socket buffers
// of Loop::open(..., buffers), so what is sent after them has to wait.
std::string noise(std::size_t n) {
  std::string out(n, '\0');
  std::uint32_t x = 12345;
  for (char& c : out) c = char((x = x * 1103515245u + 12345u) >> 24);
  return out;
}

// A client that does not read: the socket takes what it can, the queue up to
// its bound, and then the connection closes with 1008. What was dropped never
// arrives, and the close comes after what was kept.
TEST(WsSession, FullQueueCloses) {
  Loop loop;
  auto app = std::make_shared<App>();
  int queued = 0;
  app->opened = [&](const SessionPtr& s) {
    while (s->send_binary(std::string(1000, 'x')) == SendResult::kQueued) ++queued;
    EXPECT_EQ(s->send_binary("x"), SendResult::kClosed);
  };
  SessionOptions opts;
  opts.max_queue_bytes = 10000;
  Client client = loop.open(app, opts, {}, 4096);
  ASSERT_EQ(app->open_p.get_future().wait_for(10s), std::future_status::ready);
  int got = 0;
  std::string e;
  while ((e = client.next()) == ev(K::kBinary, 0, std::string(1000, 'x'))) ++got;
  EXPECT_EQ(e, ev(K::kClose, 1008, "send queue full"));
  EXPECT_LT(got, queued);
  client.send(close_frame(1008));
  EXPECT_EQ(client.next(), "eof");
  EXPECT_EQ(app->closed(), 1008);
}

// A ping answered while a large frame is only partly written: the pong goes
// out after that frame, never inside it.
TEST(WsSession, PongWaitsForTheFrameBeingWritten) {
  Loop loop;
  auto app = std::make_shared<App>();
  const std::string stall = noise(1u << 16);
  app->opened = [&](const SessionPtr& s) {
    EXPECT_EQ(s->send_binary(stall), SendResult::kQueued);
    EXPECT_EQ(s->send_text("after"), SendResult::kQueued);
  };
  Client client = loop.open(app, SessionOptions{}, {}, 4096);
  ASSERT_EQ(app->open_p.get_future().wait_for(10s), std::future_status::ready);
  client.send(masked(Opcode::kPing, "p"));
  EXPECT_EQ(client.next(), ev(K::kBinary, 0, stall));
  std::vector<std::string> rest = {client.next(), client.next()};
  std::sort(rest.begin(), rest.end());
  EXPECT_EQ(rest, (std::vector<std::string>{ev(K::kText, 0, "after"), ev(K::kPong, 0, "p")}));
  client.send(close_frame(1000));
  EXPECT_EQ(client.next(), ev(K::kClose, 1000));
  EXPECT_EQ(app->closed(), 1000);
}

TEST(WsSession, DroppedCompressedMessageLeavesNoTrace) {
  Loop loop;
  auto app = std::make_shared<App>();
  const std::string twin(300, 'q');
  const std::string stall = noise(1u << 16);
  app->opened = [&](const SessionPtr& s) {
    EXPECT_EQ(s->send_binary(stall), SendResult::kQueued);  // the rest now waits
    EXPECT_EQ(s->send_text(std::string(200, 'a')), SendResult::kQueued);
    EXPECT_EQ(s->send_text(std::string(200, 'b')), SendResult::kQueued);
    EXPECT_EQ(s->send_text(twin), SendResult::kOverflow);
  };
  SessionOptions opts;
  opts.deflate = DeflateParams{};
  opts.max_queue_frames = 3;
  opts.overflow = Overflow::kDrop;
  Client client = loop.open(app, opts, {}, 4096);
  EXPECT_EQ(client.next(), ev(K::kBinary, 0, stall));
  EXPECT_EQ(client.next(), ev(K::kText, 0, std::string(200, 'a')));
  EXPECT_EQ(client.next(), ev(K::kText, 0, std::string(200, 'b')));
  Deflater d(15, false);
  std::string packed;
  d.compress(twin, packed);
  client.send(masked(Opcode::kText, packed, true));  // echoed: compressed again by the server
  EXPECT_EQ(client.next(), ev(K::kText, 0, twin));
  client.send(close_frame(1000));
  EXPECT_EQ(client.next(), ev(K::kClose, 1000));
  EXPECT_EQ(app->closed(), 1000);
}

// A message larger than one read that arrives in pieces, with the server
// waiting for more between them (an idle reader lets go of its buffer), and
// the frames after it in the same piece as its end.
TEST(WsSession, MessageInPiecesAcrossIdleWaits) {
  Loop loop;
  auto app = std::make_shared<App>();
  Client client = loop.open(app, SessionOptions{});
  std::string big(40000, 'z');
  for (std::size_t i = 0; i < big.size(); i += 7) big[i] = char('a' + i % 26);
  const std::string bytes = masked(Opcode::kBinary, big) + masked(Opcode::kPing, "p") +
                            close_frame(1000);
  const std::size_t cuts[] = {0, 3, 9, 20000, bytes.size() - 12, bytes.size()};
  for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
    client.send(bytes.substr(cuts[i], cuts[i + 1] - cuts[i]));
    std::this_thread::sleep_for(10ms);  // lets the server run out of bytes
  }
  EXPECT_EQ(client.next(), ev(K::kBinary, 0, big));
  EXPECT_EQ(client.next(), ev(K::kPong, 0, "p"));
  EXPECT_EQ(client.next(), ev(K::kClose, 1000));
  EXPECT_EQ(app->closed(), 1000);
}

// Several publishing threads, subscribers on two I/O threads, one of them
// never reading: every reader gets every message in each publisher's order,
// and the stalled one only fills its own queue.
TEST(WsTopics, FanOutAcrossThreads) {
  constexpr int kReaders = 5, kPublishers = 3, kEach = 300;
  Loop loop(2);
  auto topics = std::make_shared<Topics>();
  std::vector<std::shared_ptr<App>> apps;
  std::vector<Client> clients;
  for (int i = 0; i <= kReaders; ++i) {
    auto app = std::make_shared<App>();
    app->opened = [](const SessionPtr& s) { EXPECT_TRUE(s->subscribe("news")); };
    SessionOptions opts;
    opts.topics = topics;
    opts.idle_timeout = 0ms;
    opts.compress_min = 8;
    if (i % 2) opts.deflate = DeflateParams{};
    opts.max_queue_bytes = 8u << 20;
    if (i == kReaders) {  // the stalled one
      opts.max_queue_frames = 16;
      opts.overflow = Overflow::kDrop;
      opts.close_timeout = 200ms;
    }
    clients.push_back(loop.open(app, opts, {}, i == kReaders ? 4096 : 0));
    ASSERT_EQ(app->open_p.get_future().wait_for(10s), std::future_status::ready);
    apps.push_back(app);
  }
  std::vector<std::thread> readers;
  std::vector<std::string> faults(kReaders);
  for (int i = 0; i < kReaders; ++i) {
    readers.emplace_back([&, i] {
      int seen[kPublishers] = {};
      for (int n = 0; n < kPublishers * kEach; ++n) {
        const std::string e = clients[i].next();  // "1:0:....p:seq"
        if (e.size() < 8 || std::stoi(e.substr(e.size() - 4)) != seen[e[e.size() - 6] - '0']++) {
          faults[i] = e;
          break;
        }
      }
    });
  }
  std::vector<std::thread> publishers;
  std::atomic<std::size_t> refused{0};
  for (int p = 0; p < kPublishers; ++p) {
    publishers.emplace_back([&, p] {
      for (int seq = 0; seq < kEach; ++seq) {
        char tail[8];
        std::snprintf(tail, sizeof tail, "%d:%04d", p, seq);
        const auto r = topics->publish("news", Opcode::kText, std::string(2000, '.') + tail);
        EXPECT_EQ(r.queued + r.refused, std::size_t(kReaders + 1));
        refused += r.refused;
      }
    });
  }
  for (auto& t : publishers) t.join();
  for (auto& t : readers) t.join();
  for (const auto& f : faults) EXPECT_EQ(f, "");
  EXPECT_GT(refused.load(), 0u);  // all of them the stalled subscriber's
  EXPECT_EQ(topics->subscribers("news"), std::size_t(kReaders + 1));
  for (auto& c : clients) c.send(close_frame(1000));
  for (auto& a : apps) EXPECT_EQ(a->closed(), 1000);
  EXPECT_EQ(topics->subscribers("news"), 0u);
}

}  // namespace
}  // namespace kiv::ws
