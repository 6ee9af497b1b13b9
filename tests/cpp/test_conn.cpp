// The read-deadline sweeper: a pending read is cut by shutting down the
// socket's receiving side, only when its deadline has passed, and only while
// the read is pending.
#include <gtest/gtest.h>

#include <asio.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "http/read_deadline.hpp"

namespace kiv {
namespace {

using asio::ip::tcp;

// A connected loopback pair: `server` is read through a deadline, `peer` is
// the client end the test writes with.
struct Pair {
  tcp::socket server, peer;
  explicit Pair(asio::io_context& io) : server(io), peer(io) {
    tcp::acceptor acc(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    peer.connect(acc.local_endpoint());
    acc.accept(server);
  }
};

// One async read on `sock` whose outcome is recorded when it completes.
struct PendingRead {
  char byte[16];
  std::optional<asio::error_code> ec;
  std::size_t n = 0;
  void start(tcp::socket& sock) {
    sock.async_read_some(asio::buffer(byte), [this](asio::error_code e, std::size_t got) {
      ec = e;
      n = got;
    });
  }
};

bool run_until(asio::io_context& io, const std::optional<asio::error_code>& done,
               std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done && std::chrono::steady_clock::now() < end) {
    io.restart();
    io.run_for(std::chrono::milliseconds(20));
  }
  return done.has_value();
}

TEST(ReadDeadline, SweepCutsOnlyPendingReadsPastTheirDeadline) {
  asio::io_context io;
  Pair a(io), b(io);
  ReadDeadline da(a.server.native_handle()), db(b.server.native_handle());
  PendingRead ra, rb;
  // Far enough ahead that the background sweeper cannot get there first.
  da.arm(10);
  db.arm(100);
  ra.start(a.server);
  rb.start(b.server);

  const std::int64_t now = coarse_now();
  EXPECT_EQ(ReadDeadline::sweep(now + 10), 0);  // the limit is at least 10 whole seconds
  EXPECT_EQ(ReadDeadline::sweep(now + 11), 1);
  EXPECT_EQ(ReadDeadline::sweep(now + 11), 0);  // already cut, not cut twice

  ASSERT_TRUE(run_until(io, ra.ec, std::chrono::seconds(5)));
  EXPECT_EQ(*ra.ec, asio::error::eof);
  EXPECT_TRUE(da.disarm());
  EXPECT_FALSE(rb.ec.has_value());

  // The other read goes on normally and was not the sweeper's doing.
  asio::write(b.peer, asio::buffer(std::string("hi")));
  ASSERT_TRUE(run_until(io, rb.ec, std::chrono::seconds(5)));
  EXPECT_FALSE(*rb.ec);
  EXPECT_EQ(rb.n, 2u);
  EXPECT_FALSE(db.disarm());
}

TEST(ReadDeadline, DisarmedOrDestroyedDeadlinesAreNeverCut) {
  asio::io_context io;
  Pair a(io);
  {
    ReadDeadline gone(a.peer.native_handle());
    gone.arm(0);
  }  // unregistered while armed
  ReadDeadline d(a.server.native_handle());
  d.arm(0);
  EXPECT_FALSE(d.disarm());
  EXPECT_EQ(ReadDeadline::sweep(coarse_now() + 1000), 0);

  // The socket still reads.
  PendingRead r;
  d.arm(60);
  r.start(a.server);
  asio::write(a.peer, asio::buffer(std::string("x")));
  ASSERT_TRUE(run_until(io, r.ec, std::chrono::seconds(5)));
  EXPECT_FALSE(*r.ec);
  EXPECT_FALSE(d.disarm());
}

TEST(ReadDeadline, ArmAtUsesAnAbsoluteCoarseTime) {
  asio::io_context io;
  Pair a(io);
  ReadDeadline d(a.server.native_handle());
  const std::int64_t now = coarse_now();
  d.arm_at(now + 5);
  EXPECT_EQ(ReadDeadline::sweep(now + 4), 0);
  EXPECT_EQ(ReadDeadline::sweep(now + 5), 1);
  EXPECT_TRUE(d.disarm());
}

// The background sweeper on its own, with its real once-a-second clock.
TEST(ReadDeadline, SweeperThreadCutsAnIdleRead) {
  asio::io_context io;
  Pair a(io);
  ReadDeadline d(a.server.native_handle());
  PendingRead r;
  const auto start = std::chrono::steady_clock::now();
  d.arm(1);
  r.start(a.server);
  ASSERT_TRUE(run_until(io, r.ec, std::chrono::seconds(6)));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(*r.ec, asio::error::eof);
  EXPECT_TRUE(d.disarm());
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_LE(waited, std::chrono::milliseconds(3500));
}

}  // namespace
}  // namespace kiv
