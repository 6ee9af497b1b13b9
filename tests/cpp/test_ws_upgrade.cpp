// The connection loop's hand-over of upgrade requests, over loopback: what the
// handler's verdict puts on the wire, frames that arrive with the head, and a
// drain closing an open session.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <asio.hpp>

#include <chrono>
#include <string>
#include <thread>

#include "http/conn.hpp"
#include "ws/handshake.hpp"
#include "ws/session.hpp"

namespace kiv {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;

struct Echo final : ws::WsHandler {
  asio::awaitable<void> on_message(const ws::SessionPtr& s, ws::Opcode op,
                                   std::string_view data) override {
    s->send(op, data);
    co_return;
  }
};

struct Upgrader final : Handler {
  WsAnswer::Kind verdict = WsAnswer::kAccept;
  asio::awaitable<ResponseOut> handle(Req) override {
    ResponseOut r;
    r.body = "plain";
    co_return r;
  }
  asio::awaitable<WsAnswer> upgrade(Req& req, const ws::Upgrade&) override {
    WsAnswer a;
    a.kind = verdict;
    a.refusal = simple(403);
    if (verdict == WsAnswer::kAccept) a.handler = std::make_shared<Echo>();
    if (req.path != "/ws") a.kind = WsAnswer::kHttp;
    co_return a;
  }
};

std::string head(const char* path, const char* key = "dGhlIHNhbXBsZSBub25jZQ==") {
  return std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
         "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Key: " + key +
         "\r\n\r\n";
}

// A client frame, masked with a zero key (so the payload reads as sent).
std::string masked_text(const std::string& payload) {
  return std::string{'\x81', static_cast<char>(0x80 | payload.size()), 0, 0, 0, 0} + payload;
}

struct Server {
  asio::io_context io;
  std::shared_ptr<ConnGroup> group = std::make_shared<ConnGroup>();
  tcp::socket client{io};
  std::thread loop;

  explicit Server(std::shared_ptr<Upgrader> handler) {
    tcp::acceptor acc(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    client.connect(acc.local_endpoint());
    timeval limit{10, 0};  // every read below is bounded
    setsockopt(client.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    tcp::socket server(io);
    acc.accept(server);
    group->live = 1;
    asio::co_spawn(io, serve_conn(std::move(server), tcp::endpoint(), handler, group),
                   asio::detached);
    loop = std::thread([this] { io.run(); });
  }
  ~Server() {
    client.close();
    loop.join();  // the connection ends once its client is gone
  }
  // Bytes until `want` has arrived or the server closed.
  std::string read_until(const std::string& want) {
    std::string got;
    char buf[4096];
    while (got.find(want) == std::string::npos) {
      const ssize_t n = ::recv(client.native_handle(), buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }
};

struct UpgradeCase {
  const char* name;
  WsAnswer::Kind verdict;
  std::string request;
  const char* expect;
};

class WsUpgrade : public ::testing::TestWithParam<UpgradeCase> {};

TEST_P(WsUpgrade, AnswersTheVerdict) {
  auto handler = std::make_shared<Upgrader>();
  handler->verdict = GetParam().verdict;
  Server s(handler);
  asio::write(s.client, asio::buffer(GetParam().request));
  const std::string got = s.read_until(GetParam().expect);
  EXPECT_NE(got.find(GetParam().expect), std::string::npos) << got;
}

INSTANTIATE_TEST_SUITE_P(
    HandOver, WsUpgrade,
    ::testing::Values(
        UpgradeCase{"BadKey", WsAnswer::kAccept, head("/ws", "short"), "HTTP/1.1 400"},
        UpgradeCase{"NoRoute", WsAnswer::kAccept, head("/other"), "\r\n\r\nplain"},
        UpgradeCase{"Refused", WsAnswer::kRefuse, head("/ws"), "HTTP/1.1 403"},
        // The frame comes in the same packet as the head: the session gets it as leftover.
        UpgradeCase{"FrameWithHead", WsAnswer::kAccept, head("/ws") + masked_text("hi"),
                    "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n\x81\x02hi"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WsUpgradeDrain, ClosesTheSessionAndWaitsForIt) {
  auto handler = std::make_shared<Upgrader>();
  Server s(handler);
  asio::write(s.client, asio::buffer(head("/ws") + masked_text("up")));
  ASSERT_NE(s.read_until("\x81\x02up").find("\x81\x02up"), std::string::npos);
  s.group->drain();
  // The close frame: 1001 (0x03e9) and a reason.
  EXPECT_NE(s.read_until("\x88").find("\x88"), std::string::npos);
  const std::string answer{'\x88', '\x82', 0, 0, 0, 0, '\x03', '\xe9'};
  asio::write(s.client, asio::buffer(answer));
  EXPECT_TRUE(s.group->wait_empty(std::chrono::steady_clock::now() + 10s));
}

}  // namespace
}  // namespace kiv
