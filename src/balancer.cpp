#include "balancer.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <asio.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>
#include <variant>

#include "net.hpp"
#include "runtime.hpp"

namespace kiv {

namespace {

using asio::ip::tcp;
using Strand = asio::strand<asio::io_context::executor_type>;
using Socket = tcp::socket::rebind_executor<Strand>::other;
using Acceptor = tcp::acceptor::rebind_executor<Strand>::other;

constexpr std::size_t kHeadRead = 1024;   // per read while looking for the first line
constexpr std::size_t kHeadMax = 8192;    // more than this without a line feed: give up
constexpr std::size_t kRelayBuf = 65536;  // per direction

const auto kAwait = asio::use_awaitable;

// One entry of `workers`, split once so that connections to IP literals skip
// both parsing and the blocking pool.
struct WorkerAddr {
  std::string host;  // for the name lookup
  std::uint16_t port = 0;
  bool has_port = false;                 // false: connections to it always fail
  std::optional<tcp::endpoint> literal;  // "ip:port" or "[ipv6]:port"
};

WorkerAddr parse_worker(std::string_view text) {
  WorkerAddr w;
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return w;
  const std::string_view host = text.substr(0, colon), port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5) return w;
  unsigned value = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return w;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 65535) return w;
  w.port = static_cast<std::uint16_t>(value);
  w.has_port = true;
  asio::error_code ec;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    auto a = asio::ip::make_address_v6(std::string(host.substr(1, host.size() - 2)), ec);
    if (!ec) w.literal.emplace(a, w.port);
  } else {
    auto a = asio::ip::make_address(std::string(host), ec);
    if (!ec) w.literal.emplace(a, w.port);
  }
  w.host = host;
  return w;
}

using WorkerList = std::vector<WorkerAddr>;

// --- forwarding --------------------------------------------------------------

asio::awaitable<bool> connect_worker(Socket& sock, const WorkerAddr& w) {
  asio::error_code ec;
  if (w.literal) {
    co_await sock.async_connect(*w.literal, asio::redirect_error(kAwait, ec));
    co_return !ec;
  }
  if (!w.has_port) co_return false;
  // Closures are named, never temporaries inside co_await: g++ 12 may destroy
  // those twice.
  auto lookup = [host = w.host, port = w.port] { return resolve_endpoints(host, port); };
  auto resolved = co_await run_blocking(std::move(lookup));
  auto* endpoints = std::get_if<std::vector<tcp::endpoint>>(&resolved);
  if (!endpoints) co_return false;
  for (const auto& ep : *endpoints) {
    if (sock.is_open()) sock.close(ec);
    co_await sock.async_connect(ep, asio::redirect_error(kAwait, ec));
    if (!ec) co_return true;
  }
  co_return false;
}

// Last time bytes moved on a forwarded connection, in either direction.
struct Activity {
  std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
  void touch() { last = std::chrono::steady_clock::now(); }
};

// Closes both sockets once nothing has moved for `limit`, so an idle client
// cannot hold descriptors for ever; the pending reads then end. Completes
// early when cancelled (the relay ended first).
asio::awaitable<void> watchdog(Socket& client, Socket& backend, const Activity& act,
                               std::chrono::seconds limit) {
  asio::steady_timer timer(client.get_executor());
  for (;;) {
    timer.expires_at(act.last + limit);
    asio::error_code ec;
    co_await timer.async_wait(asio::redirect_error(kAwait, ec));
    if (ec) co_return;
    if (std::chrono::steady_clock::now() - act.last >= limit) {
      client.close(ec);
      backend.close(ec);
      co_return;
    }
  }
}

// Reads from the client until its first line is complete; false when the
// client closes or sends more than kHeadMax bytes without a line feed.
asio::awaitable<bool> read_first_line(Socket& client, std::string& head, std::size_t& line_end,
                                      Activity& act) {
  head.reserve(kHeadRead);
  for (;;) {
    const std::size_t old = head.size();
    head.resize(old + kHeadRead);
    asio::error_code ec;
    const std::size_t n = co_await client.async_read_some(
        asio::buffer(head.data() + old, kHeadRead), asio::redirect_error(kAwait, ec));
    if (ec || n == 0) co_return false;
    act.touch();
    head.resize(old + n);
    if (const void* lf = std::memchr(head.data() + old, '\n', n)) {
      line_end = static_cast<std::size_t>(static_cast<const char*>(lf) - head.data()) + 1;
      co_return true;
    }
    if (head.size() > kHeadMax) co_return false;
  }
}

// Sends the first line, the X-Forwarded-For line and whatever followed the
// first line in the same reads.
asio::awaitable<bool> send_head(Socket& backend, const std::string& head, std::size_t line_end,
                                const asio::ip::address& ip) {
  std::string forwarded = "X-Forwarded-For: ";
  forwarded += ip_text(ip);
  forwarded += "\r\n";
  // One gathered write: the three parts go out in order, each completely.
  const std::array<asio::const_buffer, 3> parts{
      asio::buffer(head.data(), line_end), asio::buffer(forwarded),
      asio::buffer(head.data() + line_end, head.size() - line_end)};
  asio::error_code ec;
  co_await asio::async_write(backend, parts, asio::redirect_error(kAwait, ec));
  co_return !ec;
}

// One relay direction. End of stream or a read error half-closes the
// destination and leaves the other direction running; a write error ends the
// whole relay, so it closes both sockets, which aborts the other direction's
// pending operation (both directions run on the connection's strand).
asio::awaitable<void> pump(Socket& from, Socket& to, char* buf, Activity& act) {
  for (;;) {
    asio::error_code ec;
    const std::size_t n = co_await from.async_read_some(asio::buffer(buf, kRelayBuf),
                                                        asio::redirect_error(kAwait, ec));
    if (ec || n == 0) {
      to.shutdown(tcp::socket::shutdown_send, ec);
      co_return;
    }
    act.touch();
    co_await asio::async_write(to, asio::buffer(buf, n), asio::redirect_error(kAwait, ec));
    if (ec) {
      from.close(ec);
      to.close(ec);
      co_return;
    }
  }
}

asio::awaitable<void> forward(Socket client, tcp::endpoint peer,
                              std::shared_ptr<const WorkerList> workers, std::size_t index,
                              std::chrono::seconds idle_limit) {
  using namespace asio::experimental::awaitable_operators;
  Socket backend(client.get_executor());
  Activity act;
  // The first line is read before the worker is connected: a client that
  // never sends one holds one descriptor, and only until the idle limit.
  std::string head;
  std::size_t line_end = 0;
  {
    auto got = co_await (read_first_line(client, head, line_end, act) ||
                         watchdog(client, backend, act, idle_limit));
    if (got.index() != 0 || !std::get<0>(got)) co_return;
  }
  // A failed connect simply drops the client: no other worker is tried.
  if (!co_await connect_worker(backend, (*workers)[index])) co_return;
  workers.reset();
  asio::error_code ec;
  client.set_option(tcp::no_delay(true), ec);
  backend.set_option(tcp::no_delay(true), ec);
  if (!co_await send_head(backend, head, line_end, peer.address())) co_return;
  std::string().swap(head);

  auto buffers = std::make_unique_for_overwrite<char[]>(2 * kRelayBuf);
  act.touch();
  co_await ((pump(client, backend, buffers.get(), act) &&
             pump(backend, client, buffers.get() + kRelayBuf, act)) ||
            watchdog(client, backend, act, idle_limit));
}

// --- accepting -----------------------------------------------------------------

bool out_of_resources(const asio::error_code& ec) {
  return ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
         ec == asio::error::no_memory ||
         (ec.category() == asio::system_category() && ec.value() == ENFILE);
}

}  // namespace

struct BalancerState {
  BalancerState(std::string h, std::uint16_t p, std::shared_ptr<const WorkerList> w,
                std::chrono::seconds idle)
      : strand(asio::make_strand(runtime())),
        host(std::move(h)),
        port(p),
        workers(std::move(w)),
        idle_limit(idle) {}

  void set_report(BalancerReport r) {
    {
      std::lock_guard lock(mutex);
      report = std::move(r);
    }
    cv.notify_all();
  }

  const Strand strand;  // the accept task and stop() run on it
  const std::string host;
  const std::uint16_t port;
  const std::shared_ptr<const WorkerList> workers;
  const std::chrono::seconds idle_limit;
  std::atomic<std::uint64_t> rotation{0};
  std::atomic<bool> stop_posted{false};

  std::mutex mutex;
  std::condition_variable cv;
  std::optional<BalancerReport> report;

  // Touched only on `strand`.
  bool stopping = false;
  std::optional<Acceptor> acceptor;
};

namespace {

asio::awaitable<void> accept_loop(std::shared_ptr<BalancerState> st) {
  auto bind = [st]() -> std::variant<BoundListener, std::string> {
    try {
      return bind_listener(st->host, st->port);
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
  };
  auto bound = co_await run_blocking(std::move(bind));
  if (auto* err = std::get_if<std::string>(&bound)) {
    st->set_report({false, std::move(*err)});
    co_return;
  }
  BoundListener& listener = std::get<BoundListener>(bound);
  asio::error_code ec;
  st->acceptor.emplace(st->strand);
  st->acceptor->assign(listener.family == AF_INET6 ? tcp::v6() : tcp::v4(), listener.fd, ec);
  if (ec) {
    ::close(listener.fd);
    st->acceptor.reset();
    st->set_report({false, os_error_text(ec.value())});
    co_return;
  }
  st->set_report({true, std::move(listener.addr)});

  const std::size_t count = st->workers->size();
  asio::steady_timer pause(st->strand);
  // stop() closes the acceptor, which completes a pending accept with an error.
  while (!st->stopping) {
    tcp::endpoint peer;
    auto conn_strand = asio::make_strand(runtime());
    Socket sock =
        co_await st->acceptor->async_accept(conn_strand, peer, asio::redirect_error(kAwait, ec));
    if (!ec) {
      const std::size_t index = st->rotation.fetch_add(1, std::memory_order_relaxed) % count;
      asio::co_spawn(conn_strand, forward(std::move(sock), peer, st->workers, index, st->idle_limit),
                     asio::detached);
    } else if (out_of_resources(ec) && !st->stopping) {
      // Retrying at once would spin until a descriptor frees up.
      pause.expires_after(std::chrono::milliseconds(10));
      co_await pause.async_wait(asio::redirect_error(kAwait, ec));
    }
  }
  if (st->acceptor->is_open()) st->acceptor->close(ec);
  st->acceptor.reset();
}

}  // namespace

Balancer::Balancer(std::string host, std::uint16_t port, std::vector<std::string> workers,
                   std::chrono::seconds idle_limit) {
  auto list = std::make_shared<WorkerList>();
  list->reserve(workers.size());
  for (const auto& w : workers) list->push_back(parse_worker(w));
  state_ = std::make_shared<BalancerState>(std::move(host), port, std::move(list), idle_limit);
  asio::co_spawn(state_->strand, accept_loop(state_), asio::detached);
}

Balancer::~Balancer() {
  stop();
}

std::optional<BalancerReport> Balancer::wait_started(std::chrono::milliseconds timeout) {
  std::unique_lock lock(state_->mutex);
  if (!state_->cv.wait_for(lock, timeout, [this] { return state_->report.has_value(); }))
    return std::nullopt;
  return state_->report;
}

void Balancer::stop() {
  if (!state_ || state_->stop_posted.exchange(true)) return;
  asio::post(state_->strand, [st = state_] {
    st->stopping = true;
    if (st->acceptor && st->acceptor->is_open()) {
      asio::error_code ec;
      st->acceptor->close(ec);
    }
  });
}

}  // namespace kiv
