// WebSocket load generator for bench/ws.py: one thread, standalone Asio coroutines, so that
// the client costs little and its own CPU use is steady between servers.
//
//   wsload echo PORT PATH CONNS SIZE SECONDS
//       CONNS connections, each with one SIZE-byte text message in flight, for SECONDS;
//       prints {"msgs", "seconds", "rate", "p50_us", "p99_us", "errors"}.
//   wsload broadcast PORT SUB_PATH PUB_PATH CONNS PUBLISHES
//       CONNS subscribers on SUB_PATH and one publisher on PUB_PATH; each publish is
//       timed until every subscriber has it; prints the fan-out times and delivery rate.
//   wsload idle PORT PATH CONNS
//       opens CONNS connections, prints "ready N" and holds them until stdin closes.
//
// Client frames are masked as the protocol asks; no extension is offered, so no server
// compresses. Output is one JSON line on stdout.
#include <asio.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using asio::awaitable;
using asio::use_awaitable;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

std::uint32_t next_mask() {
  static std::uint32_t x = 0x9e3779b9u;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return x;
}

// A masked client frame with FIN set.
std::string client_frame(std::uint8_t opcode, std::string_view payload) {
  std::string f;
  f.reserve(payload.size() + 14);
  f.push_back(static_cast<char>(0x80 | opcode));
  if (payload.size() < 126) {
    f.push_back(static_cast<char>(0x80 | payload.size()));
  } else if (payload.size() <= 0xffff) {
    f.push_back(static_cast<char>(0x80 | 126));
    f.push_back(static_cast<char>(payload.size() >> 8));
    f.push_back(static_cast<char>(payload.size() & 0xff));
  } else {
    f.push_back(static_cast<char>(0x80 | 127));
    for (int i = 7; i >= 0; --i) f.push_back(static_cast<char>((payload.size() >> (8 * i)) & 0xff));
  }
  std::uint32_t m = next_mask();
  char key[4];
  std::memcpy(key, &m, 4);
  f.append(key, 4);
  for (std::size_t i = 0; i < payload.size(); ++i) f.push_back(payload[i] ^ key[i & 3]);
  return f;
}

struct Conn {
  tcp::socket sock;
  std::vector<char> buf = std::vector<char>(16384);
  std::size_t begin = 0, end = 0;

  explicit Conn(asio::io_context& io) : sock(io) {}

  awaitable<void> fill() {
    if (begin == end) begin = end = 0;
    if (end == buf.size()) {
      if (begin > 0) {
        std::memmove(buf.data(), buf.data() + begin, end - begin);
        end -= begin;
        begin = 0;
      } else {
        buf.resize(buf.size() * 2);
      }
    }
    std::size_t n = co_await sock.async_read_some(
        asio::buffer(buf.data() + end, buf.size() - end), use_awaitable);
    end += n;
  }

  awaitable<void> open(const tcp::endpoint& ep, const std::string& path) {
    co_await sock.async_connect(ep, use_awaitable);
    sock.set_option(tcp::no_delay(true));
    std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(ep.port()) +
                      "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                      "Sec-WebSocket-Version: 13\r\n\r\n";
    co_await asio::async_write(sock, asio::buffer(req), use_awaitable);
    for (;;) {
      std::string_view have(buf.data() + begin, end - begin);
      auto head_end = have.find("\r\n\r\n");
      if (head_end != std::string_view::npos) {
        if (have.substr(0, 12) != "HTTP/1.1 101")
          throw std::runtime_error("handshake refused: " + std::string(have.substr(0, head_end)));
        begin += head_end + 4;
        co_return;
      }
      co_await fill();
    }
  }

  // The next data message's payload (control frames are answered or skipped); messages
  // from the server are not fragmented by any server measured here, but fragments are
  // joined anyway.
  awaitable<std::string> message() {
    std::string out;
    for (;;) {
      while (end - begin < 2) co_await fill();
      auto* p = reinterpret_cast<unsigned char*>(buf.data() + begin);
      bool fin = p[0] & 0x80;
      int opcode = p[0] & 0x0f;
      std::size_t len = p[1] & 0x7f, head = 2;
      if (len == 126) head = 4;
      if (len == 127) head = 10;
      while (end - begin < head) co_await fill();
      p = reinterpret_cast<unsigned char*>(buf.data() + begin);
      if (len == 126) len = (std::size_t(p[2]) << 8) | p[3];
      if (len == 127) {
        len = 0;
        for (int i = 2; i < 10; ++i) len = (len << 8) | p[i];
      }
      while (end - begin < head + len) co_await fill();
      std::string_view payload(buf.data() + begin + head, len);
      begin += head + len;
      if (opcode == 0x8) throw std::runtime_error("closed by the server");
      if (opcode == 0x9) {
        std::string pong = client_frame(0xA, payload);
        co_await asio::async_write(sock, asio::buffer(pong), use_awaitable);
        continue;
      }
      if (opcode == 0xA) continue;
      out.append(payload);
      if (fin) co_return out;
    }
  }

  awaitable<void> send(const std::string& frame) {
    co_await asio::async_write(sock, asio::buffer(frame), use_awaitable);
  }
};

struct Shared {
  asio::io_context io;
  tcp::endpoint ep;
  long errors = 0;
  std::string first_error;

  void fail(const std::exception& e) {
    if (errors++ == 0) first_error = e.what();
  }
};

std::string json_escape(const std::string& s) {
  std::string o;
  for (char c : s) {
    if (c == '"' || c == '\\') o.push_back('\\');
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    o.push_back(c);
  }
  return o;
}

// Opens n connections with at most `parallel` handshakes at a time, so that the
// server's accept backlog is not what is measured.
awaitable<void> open_many(Shared& s, std::vector<std::unique_ptr<Conn>>& conns,
                          const std::string& path, std::size_t n, std::size_t parallel) {
  auto next = std::make_shared<std::size_t>(0);
  auto done = std::make_shared<std::size_t>(0);
  asio::steady_timer all_open(s.io, Clock::time_point::max());
  for (std::size_t i = 0; i < n; ++i) conns.push_back(std::make_unique<Conn>(s.io));
  for (std::size_t w = 0; w < std::min(parallel, n); ++w) {
    asio::co_spawn(
        s.io,
        [&, next, done]() -> awaitable<void> {
          while (*next < n) {
            Conn& c = *conns[(*next)++];
            try {
              co_await c.open(s.ep, path);
            } catch (const std::exception& e) {
              s.fail(e);
            }
            if (++*done == n) all_open.cancel();
          }
        },
        asio::detached);
  }
  try {
    co_await all_open.async_wait(use_awaitable);
  } catch (const std::system_error&) {
  }
}

int run_echo(Shared& s, const std::string& path, std::size_t nconns, std::size_t size,
             double seconds) {
  std::vector<std::unique_ptr<Conn>> conns;
  std::vector<std::uint32_t> lat;
  long msgs = 0;
  double elapsed = 0;
  asio::co_spawn(
      s.io,
      [&]() -> awaitable<void> {
        co_await open_many(s, conns, path, nconns, 64);
        std::string payload(size, 'x');
        auto start = Clock::now();
        auto stop = start + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(seconds));
        auto running = std::make_shared<std::size_t>(conns.size());
        asio::steady_timer finished(s.io, Clock::time_point::max());
        for (auto& cp : conns) {
          asio::co_spawn(
              s.io,
              [&, c = cp.get(), running]() -> awaitable<void> {
                try {
                  while (Clock::now() < stop) {
                    auto t0 = Clock::now();
                    co_await c->send(client_frame(0x1, payload));
                    std::string back = co_await c->message();
                    if (back.size() != size) throw std::runtime_error("echo of the wrong size");
                    ++msgs;
                    lat.push_back(static_cast<std::uint32_t>(
                        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0)
                            .count()));
                  }
                } catch (const std::exception& e) {
                  s.fail(e);
                }
                if (--*running == 0) finished.cancel();
              },
              asio::detached);
        }
        try {
          co_await finished.async_wait(use_awaitable);
        } catch (const std::system_error&) {
        }
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        for (auto& c : conns) c->sock.close();
      },
      asio::detached);
  s.io.run();
  std::sort(lat.begin(), lat.end());
  auto pct = [&](double q) { return lat.empty() ? 0u : lat[std::size_t(q * (lat.size() - 1))]; };
  std::printf(
      "{\"msgs\": %ld, \"seconds\": %.3f, \"rate\": %.1f, \"p50_us\": %u, \"p99_us\": %u, "
      "\"errors\": %ld, \"first_error\": \"%s\"}\n",
      msgs, elapsed, elapsed > 0 ? msgs / elapsed : 0.0, pct(0.5), pct(0.99), s.errors,
      json_escape(s.first_error).c_str());
  return msgs > 0 ? 0 : 1;
}

int run_broadcast(Shared& s, const std::string& sub_path, const std::string& pub_path,
                  std::size_t nconns, int publishes) {
  std::vector<std::unique_ptr<Conn>> conns;
  std::vector<double> times;
  long target = -1;       // the sequence number being waited for
  std::size_t have = 0;   // subscribers that have it
  std::size_t live = 0;
  asio::steady_timer everyone(s.io, Clock::time_point::max());
  asio::co_spawn(
      s.io,
      [&]() -> awaitable<void> {
        co_await open_many(s, conns, sub_path, nconns, 64);
        for (auto& cp : conns) {
          if (!cp->sock.is_open()) continue;
          ++live;
          asio::co_spawn(
              s.io,
              [&, c = cp.get()]() -> awaitable<void> {
                long seen = -1;
                try {
                  for (;;) {
                    std::string m = co_await c->message();
                    long seq = std::strtol(m.c_str(), nullptr, 10);
                    // Each subscriber counts once per sequence number, however many
                    // warm-up copies it gets.
                    if (seq == target && seen != seq) {
                      seen = seq;
                      if (++have == live) everyone.cancel();
                    }
                  }
                } catch (const std::exception& e) {
                  if (target < 1000000000) s.fail(e);
                }
              },
              asio::detached);
        }
        Conn pub(s.io);
        co_await pub.open(s.ep, pub_path);
        auto publish_until_all = [&](long seq, bool repeat) -> awaitable<double> {
          target = seq;
          have = 0;
          everyone.expires_at(Clock::time_point::max());
          std::string frame = client_frame(0x1, std::to_string(seq) + " published");
          auto t0 = Clock::now();
          co_await pub.send(frame);
          while (have < live) {
            // Subscribing may still be in progress on the server right after the
            // handshake: the warm-up publishes again until every subscriber answers.
            if (repeat) everyone.expires_after(std::chrono::milliseconds(200));
            try {
              co_await everyone.async_wait(use_awaitable);
            } catch (const std::system_error&) {
              break;  // cancelled: everyone has it
            }
            if (repeat && have < live) co_await pub.send(frame);
          }
          co_return std::chrono::duration<double>(Clock::now() - t0).count();
        };
        co_await publish_until_all(0, true);
        for (int i = 1; i <= publishes; ++i) times.push_back(co_await publish_until_all(i, false));
        target = 1000000000;
        for (auto& c : conns) c->sock.close();
        pub.sock.close();
      },
      [&](std::exception_ptr e) {
        if (e) {
          try {
            std::rethrow_exception(e);
          } catch (const std::exception& ex) {
            s.fail(ex);
          }
        }
        s.io.stop();
      });
  s.io.run();
  std::vector<double> sorted = times;
  std::sort(sorted.begin(), sorted.end());
  double total = 0;
  for (double t : times) total += t;
  double med = sorted.empty() ? 0 : sorted[sorted.size() / 2];
  std::printf(
      "{\"subscribers\": %zu, \"publishes\": %zu, \"fanout_ms_median\": %.3f, "
      "\"fanout_ms_max\": %.3f, \"deliveries_per_s\": %.1f, \"errors\": %ld, "
      "\"first_error\": \"%s\"}\n",
      live, times.size(), med * 1e3, sorted.empty() ? 0 : sorted.back() * 1e3,
      total > 0 ? live * times.size() / total : 0.0, s.errors, json_escape(s.first_error).c_str());
  return times.empty() ? 1 : 0;
}

int run_idle(Shared& s, const std::string& path, std::size_t nconns) {
  std::vector<std::unique_ptr<Conn>> conns;
  asio::co_spawn(
      s.io,
      [&]() -> awaitable<void> {
        co_await open_many(s, conns, path, nconns, 64);
        std::size_t open = 0;
        for (auto& c : conns) open += c->sock.is_open() ? 1 : 0;
        std::printf("ready %zu errors %ld %s\n", open, s.errors, s.first_error.c_str());
        std::fflush(stdout);
      },
      asio::detached);
  // Runs the network on its own thread while this one waits for stdin to close.
  std::thread net([&] { s.io.run(); });
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  asio::post(s.io, [&] {
    for (auto& c : conns) c->sock.close();
    s.io.stop();
  });
  net.join();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: wsload echo|broadcast|idle PORT ...\n");
    return 2;
  }
  std::string mode = argv[1];
  Shared s;
  s.ep = tcp::endpoint(asio::ip::make_address("127.0.0.1"),
                       static_cast<unsigned short>(std::atoi(argv[2])));
  try {
    if (mode == "echo" && argc == 7)
      return run_echo(s, argv[3], std::stoul(argv[4]), std::stoul(argv[5]), std::stod(argv[6]));
    if (mode == "broadcast" && argc == 7)
      return run_broadcast(s, argv[3], argv[4], std::stoul(argv[5]), std::stoi(argv[6]));
    if (mode == "idle" && argc == 5) return run_idle(s, argv[3], std::stoul(argv[4]));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "wsload: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "wsload: bad arguments\n");
  return 2;
}
