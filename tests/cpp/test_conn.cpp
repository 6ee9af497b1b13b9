// The read-deadline sweeper: a pending read is cut by shutting down the
// socket's receiving side, only when its deadline has passed, and only while
// the read is pending.
#include <gtest/gtest.h>

#include <asio.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <cstring>
#include <string>
#include <string_view>

#include "http/byte_buffer.hpp"
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

// The receive buffer gives back what a large head made it grow to once the
// rest fits the initial size again, keeping what is still unconsumed.
struct ShrinkCase {
  std::size_t head, left;  // bytes received, bytes still unconsumed
  std::size_t capacity;    // expected after shrink_to(8192)
};

class BufferShrink : public ::testing::TestWithParam<ShrinkCase> {};

TEST_P(BufferShrink, AfterLargeHead) {
  const ShrinkCase c = GetParam();
  ByteBuffer buf(8192);
  std::string sent;
  for (std::size_t i = 0; i < c.head; ++i) sent.push_back(static_cast<char>('a' + i % 26));
  std::size_t put = 0;
  while (put < sent.size()) {
    auto room = buf.spare(16384);
    const std::size_t n = std::min(room.size(), sent.size() - put);
    std::memcpy(room.data(), sent.data() + put, n);
    buf.commit(n);
    put += n;
  }
  buf.consume(c.head - c.left);
  buf.shrink_to(8192);
  EXPECT_EQ(buf.capacity(), c.capacity);
  EXPECT_EQ(buf.view(), std::string_view(sent).substr(c.head - c.left));
}

INSTANTIATE_TEST_SUITE_P(Sizes, BufferShrink,
                         ::testing::Values(ShrinkCase{60000, 0, 8192}, ShrinkCase{60000, 100, 8192},
                                           ShrinkCase{60000, 8192, 8192},
                                           ShrinkCase{60000, 9000, 98304},
                                           ShrinkCase{4000, 10, 8192}));

}  // namespace
}  // namespace kiv
