// The WebSocket engine of src/ws/ with no Python in front of it: an echo server on
// /echo (and any other path), /sub/... subscribes, /pub/... publishes to "bench".
// The floor the Python servers are measured against, and a way to run the conformance
// suite on the protocol code alone.
//
//   native_echo [PORT]    prints "serving on http://127.0.0.1:PORT/"; runs until killed
//
// Built by bench/ws.py and scripts/autobahn.sh with the engine's sources:
//   g++ -O2 -std=c++20 -Isrc bench/wsload/native_echo.cpp src/ws/*.cpp
//       src/http/head_parser.cpp -lz -pthread
#include <asio.hpp>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "http/head_parser.hpp"
#include "ws/handshake.hpp"
#include "ws/session.hpp"
#include "ws/topics.hpp"

using asio::awaitable;
using asio::use_awaitable;
using asio::ip::tcp;
using namespace kiv::ws;

namespace {

struct Echo : WsHandler {
  awaitable<void> on_message(const SessionPtr& s, Opcode op, std::string_view data) override {
    s->send(op, data);
    co_return;
  }
};

struct Subscriber : WsHandler {
  void on_open(const SessionPtr& s) override { s->subscribe("bench"); }
  awaitable<void> on_message(const SessionPtr&, Opcode, std::string_view) override { co_return; }
};

struct Publisher : WsHandler {
  std::shared_ptr<Topics> topics;
  explicit Publisher(std::shared_ptr<Topics> t) : topics(std::move(t)) {}
  awaitable<void> on_message(const SessionPtr&, Opcode op, std::string_view data) override {
    topics->publish("bench", op, std::string(data));
    co_return;
  }
};

// The session is spawned on its own once the handshake is done, so that the
// handshake's buffers are gone by then: an idle connection costs what the engine keeps.
awaitable<void> serve(tcp::socket sock, std::shared_ptr<Topics> topics) {
  std::string buf;
  kiv::ParsedHead head;
  long n = kiv::kHeadIncomplete;
  while (n == kiv::kHeadIncomplete && buf.size() < kiv::kMaxHeadBytes) {
    std::size_t old = buf.size();
    buf.resize(old + 2048);
    std::size_t got =
        co_await sock.async_read_some(asio::buffer(buf.data() + old, 2048), use_awaitable);
    buf.resize(old + got);
    n = kiv::parse_head(buf, head);
  }
  if (n < 0) {
    static const std::string bad = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
    co_await asio::async_write(sock, asio::buffer(bad), use_awaitable);
    co_return;
  }
  Upgrade up = check_upgrade(head);
  if (up.kind == Upgrade::kNotWebSocket) {
    static const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    co_await asio::async_write(sock, asio::buffer(ok), use_awaitable);
    co_return;
  }
  if (up.kind == Upgrade::kRefused) {
    std::string answer = refusal_response(up);
    co_await asio::async_write(sock, asio::buffer(answer), use_awaitable);
    co_return;
  }
  std::string target(head.target);
  std::string answer = accept_response(up);
  co_await asio::async_write(sock, asio::buffer(answer), use_awaitable);
  std::shared_ptr<WsHandler> handler;
  if (target.rfind("/sub/", 0) == 0)
    handler = std::make_shared<Subscriber>();
  else if (target.rfind("/pub/", 0) == 0)
    handler = std::make_shared<Publisher>(topics);
  else
    handler = std::make_shared<Echo>();
  SessionOptions opts;
  opts.deflate = up.deflate;
  opts.topics = topics;
  auto session = std::make_shared<WsSession>(std::move(sock), handler, opts);
  session->start(buf.substr(static_cast<std::size_t>(n)), [] {});
}

awaitable<void> listen(tcp::acceptor& acceptor, std::shared_ptr<Topics> topics) {
  for (;;) {
    tcp::socket sock = co_await acceptor.async_accept(use_awaitable);
    sock.set_option(tcp::no_delay(true));
    asio::co_spawn(acceptor.get_executor(), serve(std::move(sock), topics), asio::detached);
  }
}

}  // namespace

int main(int argc, char** argv) {
  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"),
                                            argc > 1 ? std::atoi(argv[1]) : 0));
  acceptor.listen(4096);
  std::printf(" * serving on http://127.0.0.1:%u/\n", acceptor.local_endpoint().port());
  std::fflush(stdout);
  asio::co_spawn(io, listen(acceptor, std::make_shared<Topics>()), asio::detached);
  io.run();
}
