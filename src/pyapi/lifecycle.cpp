// Starting, watching and stopping servers: the process-wide registry of
// running servers keyed by id, the accept loop, start-up handshake and the
// blocking `run`.
#include <sys/socket.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include <asio/experimental/as_tuple.hpp>

#include "http/conn.hpp"
#include "net.hpp"
#include "pyapi/args.hpp"
#include "py/handle.hpp"
#include "pyapi/server.hpp"
#include "runtime.hpp"

namespace kiv {

namespace {

using asio::ip::tcp;

using Strand = asio::strand<asio::io_context::executor_type>;

// How a server gets its listener and what limits its connections get.
struct StartOptions {
  std::string host;
  std::uint16_t port = 0;
  int fd = -1;  // an already bound, listening socket to serve on instead
  std::int64_t idle_timeout = 60, head_timeout = 60, body_timeout = 60;
  std::uint64_t body_min_rate = 1024;
  std::uint64_t limit_concurrency = 0;
  bool count_requests = false;
};

// Shared between a server task and whoever may stop it. Stopping closes the
// listener on the accept loop's strand, which ends the pending accept.
struct ServerControl : std::enable_shared_from_this<ServerControl> {
  std::atomic<bool> finished{false};
  std::mutex mutex;
  bool stop_requested = false;
  std::function<void()> close_listener;  // set while the accept loop runs
  std::optional<Strand> strand;
  std::shared_ptr<ConnGroup> group = std::make_shared<ConnGroup>();

  void request_stop() {
    std::lock_guard lock(mutex);
    if (stop_requested) return;
    stop_requested = true;
    if (close_listener) {
      asio::post(*strand, [self = shared_from_this()] {
        std::lock_guard inner(self->mutex);
        if (self->close_listener) self->close_listener();
      });
    }
  }
};

// The sending end of a server's shutdown signal: signalling or dropping it
// both stop the accept loop.
class ShutdownSender {
 public:
  explicit ShutdownSender(std::shared_ptr<ServerControl> ctl) : ctl_(std::move(ctl)) {}
  ShutdownSender(ShutdownSender&&) noexcept = default;
  ShutdownSender& operator=(ShutdownSender&&) noexcept = default;
  ~ShutdownSender() {
    if (ctl_) ctl_->request_stop();
  }
  void send() { ctl_->request_stop(); }
  ServerControl& control() const { return *ctl_; }

 private:
  std::shared_ptr<ServerControl> ctl_;
};

struct RunningServer {
  std::string addr;
  ShutdownSender shutdown;
};

std::mutex registry_mutex;
std::map<std::uint64_t, std::shared_ptr<RunningServer>>& registry() {
  static auto* r = new std::map<std::uint64_t, std::shared_ptr<RunningServer>>();
  return *r;
}
std::atomic<std::uint64_t> next_id{0};

// One message from the server task to `start`: the bound address or an error.
struct Handshake {
  std::mutex mutex;
  std::condition_variable cv;
  std::optional<std::pair<bool, std::string>> message;  // (ok, address or error)

  void send(bool ok, std::string text) {
    std::lock_guard lock(mutex);
    if (!message) message.emplace(ok, std::move(text));
    cv.notify_all();
  }
};

// After a failed accept. Out of descriptors or memory, retrying at once
// would spin until something is freed: wait, 10 ms growing to 1 s. Errors of
// one connection (aborted before it was accepted, protocol errors) and
// anything else go on at once. False when the listener was closed (stop).
asio::awaitable<bool> accept_failed(const asio::error_code& ec, bool listener_open,
                                    asio::steady_timer& pause,
                                    std::chrono::milliseconds& backoff) {
  if (!listener_open || ec == asio::error::operation_aborted) co_return false;
  const bool out_of_resources =
      ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
      ec == asio::error::no_memory ||
      (ec.category() == asio::system_category() && ec.value() == ENFILE);
  if (!out_of_resources) co_return true;
  pause.expires_after(backoff);
  backoff = std::min(backoff * 2, std::chrono::milliseconds(1000));
  asio::error_code ignored;
  co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  co_return true;
}

void admit(tcp::socket socket, const tcp::endpoint& peer, const HandlerPtr& shared,
           const std::shared_ptr<ConnGroup>& group) {
  if (group->limit_concurrency &&
      group->live.load(std::memory_order_relaxed) >= group->limit_concurrency) {
    asio::co_spawn(runtime(), refuse_conn(std::move(socket), shared, 503), asio::detached);
    return;
  }
  group->live.fetch_add(1);
  asio::co_spawn(runtime(), serve_conn(std::move(socket), peer, shared, group), asio::detached);
}

// The accept loop; runs until the listener is closed.
asio::awaitable<void> serve(tcp::acceptor& acceptor, asio::steady_timer& pause, HandlerPtr shared,
                            std::shared_ptr<ConnGroup> group) {
  auto backoff = std::chrono::milliseconds(10);
  for (;;) {
    tcp::endpoint peer;
    auto [ec, socket] = co_await acceptor.async_accept(
        runtime(), peer, asio::experimental::as_tuple(asio::use_awaitable));
    if (!ec) {
      backoff = std::chrono::milliseconds(10);
      admit(std::move(socket), peer, shared, group);
    } else if (!co_await accept_failed(ec, acceptor.is_open(), pause, backoff)) {
      break;
    }
  }
}

// The same over a Unix domain socket. Its peers are local processes and are
// reported as the loopback address.
asio::awaitable<void> serve_local(asio::local::stream_protocol::acceptor& acceptor,
                                  asio::steady_timer& pause, HandlerPtr shared,
                                  std::shared_ptr<ConnGroup> group) {
  auto backoff = std::chrono::milliseconds(10);
  const tcp::endpoint local_peer(asio::ip::address_v4::loopback(), 0);
  for (;;) {
    auto [ec, socket] = co_await acceptor.async_accept(
        runtime(), asio::experimental::as_tuple(asio::use_awaitable));
    if (!ec) {
      backoff = std::chrono::milliseconds(10);
      asio::error_code aec;
      const int fd = socket.release(aec);
      if (aec) continue;
      tcp::socket stream(runtime());
      stream.assign(tcp::v4(), fd, aec);
      if (aec) {
        ::close(fd);
        continue;
      }
      admit(std::move(stream), local_peer, shared, group);
    } else if (!co_await accept_failed(ec, acceptor.is_open(), pause, backoff)) {
      break;
    }
  }
}

asio::awaitable<void> spawn_server(StartOptions opts, HandlerPtr shared,
                                   std::shared_ptr<Handshake> handshake,
                                   std::shared_ptr<ServerControl> ctl) {
  auto bind = [host = opts.host, port = opts.port, fd = opts.fd] {
    return fd >= 0 ? adopt_listener(fd) : bind_listener(host, port);
  };
  auto pending = run_blocking(std::move(bind));
  auto bound = co_await std::move(pending);
  if (auto* err = std::get_if<std::string>(&bound)) {
    handshake->send(false, std::move(*err));
    co_return;
  }
  BoundListener& listener = std::get<BoundListener>(bound);
  asio::error_code ec;
  asio::steady_timer pause(*ctl->strand);
  std::optional<tcp::acceptor> tcp_acceptor;
  std::optional<asio::local::stream_protocol::acceptor> local_acceptor;
  if (listener.family == AF_UNIX) {
    local_acceptor.emplace(*ctl->strand);
    local_acceptor->assign(asio::local::stream_protocol(), listener.fd, ec);
  } else {
    tcp_acceptor.emplace(*ctl->strand);
    tcp_acceptor->assign(listener.family == AF_INET6 ? tcp::v6() : tcp::v4(), listener.fd, ec);
  }
  if (ec) {
    ::close(listener.fd);
    handshake->send(false, os_error_text(ec.value()));
    co_return;
  }
  bool run = false;
  {
    std::lock_guard lock(ctl->mutex);
    if (!ctl->stop_requested) {
      run = true;
      ctl->close_listener = [&] {
        asio::error_code ignored;
        if (tcp_acceptor) tcp_acceptor->close(ignored);
        if (local_acceptor) local_acceptor->close(ignored);
        pause.cancel();
      };
    }
  }
  handshake->send(true, listener.addr);
  if (run) {
    if (tcp_acceptor) {
      auto loop = serve(*tcp_acceptor, pause, shared, ctl->group);
      co_await std::move(loop);
    } else {
      auto loop = serve_local(*local_acceptor, pause, shared, ctl->group);
      co_await std::move(loop);
    }
    std::lock_guard lock(ctl->mutex);
    ctl->close_listener = nullptr;
  }
  if (tcp_acceptor) tcp_acceptor->close(ec);
  if (local_acceptor) local_acceptor->close(ec);
  ctl->finished.store(true);
}

void report_failure(const std::exception_ptr& e, const std::shared_ptr<Handshake>& handshake) {
  if (!e) return;
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    handshake->send(false, ex.what());
  } catch (...) {
    handshake->send(false, "server task failed");
  }
}

// Starts a server; the caller holds the object exclusively. Returns the id,
// or 0 with a Python exception set.
std::uint64_t start_impl(ServerObject* self, const StartOptions& opts) {
  SharedPtr shared = build_shared(*self->config);
  if (!shared) return 0;
  const std::uint64_t id = next_id.fetch_add(1) + 1;
  auto ctl = std::make_shared<ServerControl>();
  ctl->group->idle_timeout = opts.idle_timeout;
  ctl->group->head_timeout = opts.head_timeout;
  ctl->group->body_timeout = opts.body_timeout;
  ctl->group->body_min_rate = opts.body_min_rate;
  ctl->group->limit_concurrency = opts.limit_concurrency;
  ctl->group->count_requests = opts.count_requests;
  auto handshake = std::make_shared<Handshake>();
  ShutdownSender sender(ctl);
  try {
    asio::io_context& io = runtime();
    ctl->strand.emplace(asio::make_strand(io));
    asio::co_spawn(*ctl->strand, spawn_server(opts, make_app_handler(std::move(shared)), handshake, ctl),
                   [handshake](std::exception_ptr e) { report_failure(e, handshake); });
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "building the runtime failed: %s", e.what());
    return 0;
  }
  std::optional<std::pair<bool, std::string>> message;
  {
    ReleaseGil unlocked;
    std::unique_lock lock(handshake->mutex);
    handshake->cv.wait_for(lock, std::chrono::seconds(10),
                           [&] { return handshake->message.has_value(); });
    message = handshake->message;
  }
  if (!message) {
    PyErr_SetString(PyExc_RuntimeError, "server did not start in time");
    return 0;  // dropping the sender stops a task that binds later
  }
  if (!message->first) {
    PyErr_SetString(PyExc_RuntimeError, message->second.c_str());
    return 0;
  }
  auto entry = std::make_shared<RunningServer>(RunningServer{message->second, std::move(sender)});
  std::lock_guard lock(registry_mutex);
  registry().emplace(id, std::move(entry));
  return id;
}

std::optional<std::string> lookup_addr(std::uint64_t id) {
  std::lock_guard lock(registry_mutex);
  auto it = registry().find(id);
  if (it == registry().end()) return std::nullopt;
  return it->second->addr;
}

// Removes the entry, signals the loop and waits up to timeout for it to end.
bool stop_impl(std::uint64_t id, std::uint64_t timeout_secs) {
  std::shared_ptr<RunningServer> entry;
  {
    std::lock_guard lock(registry_mutex);
    auto it = registry().find(id);
    if (it == registry().end()) return false;
    entry = std::move(it->second);
    registry().erase(it);
  }
  entry->shutdown.send();
  // WebSocket sessions would outlive the server: they go away with it.
  entry->shutdown.control().group->close_sessions();
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  // A deadline beyond the clock's range waits without end.
  const auto max_wait =
      std::chrono::duration_cast<clock::duration>(std::chrono::hours(24 * 365 * 100));
  const auto wait =
      timeout_secs >= 3153600000ULL
          ? max_wait
          : std::chrono::duration_cast<clock::duration>(std::chrono::seconds(timeout_secs));
  bool done;
  {
    ReleaseGil unlocked;
    done = entry->shutdown.control().finished.load();
    while (!done) {
      if (clock::now() - start >= wait) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      done = entry->shutdown.control().finished.load();
    }
  }
  return done;
}

std::shared_ptr<RunningServer> take_entry(std::uint64_t id) {
  std::lock_guard lock(registry_mutex);
  auto it = registry().find(id);
  if (it == registry().end()) return nullptr;
  auto entry = std::move(it->second);
  registry().erase(it);
  return entry;
}

// Stops accepting, lets every connection finish the request in progress,
// and waits up to timeout_secs for all of them to close; what is left then is
// cut. Every 100 ms the interpreter's signal handlers run, so a second signal
// can end the wait. 1: all closed in time, 0: some were cut, -1: a handler
// raised (the connections were cut).
int drain_impl(std::uint64_t id, std::uint64_t timeout_secs) {
  std::shared_ptr<RunningServer> entry = take_entry(id);
  if (!entry) return 0;
  ServerControl& ctl = entry->shutdown.control();
  entry->shutdown.send();
  ctl.group->drain();
  using clock = std::chrono::steady_clock;
  const auto deadline =
      clock::now() + std::chrono::seconds(std::min<std::uint64_t>(timeout_secs, 3153600000ULL));
  for (;;) {
    bool done;
    {
      ReleaseGil unlocked;
      const auto step = std::min(deadline, clock::now() + std::chrono::milliseconds(100));
      done = ctl.group->wait_empty(step) && ctl.finished.load();
      if (!done && !ctl.finished.load()) std::this_thread::sleep_until(step);
    }
    if (done) return 1;
    if (PyErr_CheckSignals() < 0) {
      ctl.group->cut_all();
      return -1;
    }
    if (clock::now() >= deadline) {
      ctl.group->cut_all();
      return 0;
    }
  }
}

PyObject* py_bool(bool v) {
  PyObject* r = v ? Py_True : Py_False;
  Py_IncRef(r);
  return r;
}

}  // namespace

std::size_t running_server_count() {
  std::lock_guard lock(registry_mutex);
  return registry().size();
}

PyObject* server_start(ServerObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"host",         "port",         "fd",
                                "idle_timeout", "head_timeout", "limit_concurrency",
                                "count_requests", "body_timeout", "body_min_rate", nullptr};
  PyObject *o_host, *o_port, *o_fd = nullptr, *o_idle = nullptr, *o_head = nullptr,
                             *o_limit = nullptr, *o_count = nullptr, *o_body = nullptr,
                             *o_rate = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOOOOOO:start", const_cast<char**>(names),
                                   &o_host, &o_port, &o_fd, &o_idle, &o_head, &o_limit, &o_count,
                                   &o_body, &o_rate))
    return nullptr;
  Borrow hold(self, true);
  if (!hold) return nullptr;
  StartOptions opts;
  std::int64_t fd = -1;
  if (!arg_str(o_host, "host", opts.host) || !arg_u16(o_port, "port", opts.port)) return nullptr;
  if (o_fd && o_fd != Py_None && !arg_i64(o_fd, "fd", fd)) return nullptr;
  if (o_idle && !arg_i64(o_idle, "idle_timeout", opts.idle_timeout)) return nullptr;
  if (o_head && !arg_i64(o_head, "head_timeout", opts.head_timeout)) return nullptr;
  if (o_limit && !arg_u64(o_limit, "limit_concurrency", opts.limit_concurrency)) return nullptr;
  if (o_count && !arg_bool(o_count, "count_requests", opts.count_requests)) return nullptr;
  // None: no overall limit for bodies.
  if (o_body == Py_None)
    opts.body_timeout = 0;
  else if (o_body && !arg_i64(o_body, "body_timeout", opts.body_timeout))
    return nullptr;
  if (o_rate && !arg_u64(o_rate, "body_min_rate", opts.body_min_rate)) return nullptr;
  if (fd > INT32_MAX || opts.idle_timeout < 1 || opts.head_timeout < 1 || opts.body_timeout < 0) {
    PyErr_SetString(PyExc_ValueError,
                    "fd, idle_timeout, head_timeout or body_timeout out of range");
    return nullptr;
  }
  opts.fd = static_cast<int>(fd);
  std::uint64_t id = start_impl(self, opts);
  if (id == 0) return nullptr;
  return PyLong_FromUnsignedLongLong(id);
}

PyObject* server_drain(ServerObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"server_id", "timeout_secs", nullptr};
  PyObject *o_id, *o_timeout = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:drain", const_cast<char**>(names), &o_id,
                                   &o_timeout))
    return nullptr;
  Borrow hold(self, false);
  if (!hold) return nullptr;
  std::uint64_t id, timeout = 30;
  if (!arg_u64(o_id, "server_id", id)) return nullptr;
  if (o_timeout && !arg_u64(o_timeout, "timeout_secs", timeout)) return nullptr;
  const int r = drain_impl(id, timeout);
  if (r < 0) return nullptr;
  return py_bool(r == 1);
}

PyObject* server_served(ServerObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"server_id", nullptr};
  PyObject* o_id;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:served", const_cast<char**>(names), &o_id))
    return nullptr;
  Borrow hold(self, false);
  if (!hold) return nullptr;
  std::uint64_t id;
  if (!arg_u64(o_id, "server_id", id)) return nullptr;
  std::shared_ptr<RunningServer> entry;
  {
    std::lock_guard lock(registry_mutex);
    auto it = registry().find(id);
    if (it != registry().end()) entry = it->second;
  }
  if (!entry) {
    Py_IncRef(Py_None);
    return Py_None;
  }
  return PyLong_FromUnsignedLongLong(entry->shutdown.control().group->served.load());
}

PyObject* server_stop(ServerObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"server_id", "timeout_secs", nullptr};
  PyObject *o_id, *o_timeout = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:stop", const_cast<char**>(names), &o_id,
                                   &o_timeout))
    return nullptr;
  Borrow hold(self, false);
  if (!hold) return nullptr;
  std::uint64_t id, timeout = 5;
  if (!arg_u64(o_id, "server_id", id)) return nullptr;
  if (o_timeout && !arg_u64(o_timeout, "timeout_secs", timeout)) return nullptr;
  return py_bool(stop_impl(id, timeout));
}

PyObject* server_bound_addr(ServerObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"server_id", nullptr};
  PyObject* o_id;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:bound_addr", const_cast<char**>(names), &o_id))
    return nullptr;
  Borrow hold(self, false);
  if (!hold) return nullptr;
  std::uint64_t id;
  if (!arg_u64(o_id, "server_id", id)) return nullptr;
  auto addr = lookup_addr(id);
  if (!addr) {
    Py_IncRef(Py_None);
    return Py_None;
  }
  return PyUnicode_FromStringAndSize(addr->data(), static_cast<Py_ssize_t>(addr->size()));
}

PyObject* server_run(ServerObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"host", "port", "threads", "banner", nullptr};
  PyObject *o_host, *o_port, *o_threads = nullptr, *o_banner = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:run", const_cast<char**>(names), &o_host,
                                   &o_port, &o_threads, &o_banner))
    return nullptr;
  Borrow hold(self, true);
  if (!hold) return nullptr;
  std::string host;
  std::uint16_t port;
  std::uint64_t threads = 0;
  if (!arg_str(o_host, "host", host) || !arg_u16(o_port, "port", port)) return nullptr;
  if (o_threads && !arg_u64(o_threads, "threads", threads)) return nullptr;  // accepted, unused
  StartOptions opts;
  opts.host = host;
  opts.port = port;
  const std::uint64_t id = start_impl(self, opts);
  if (id == 0) return nullptr;
  std::string addr = lookup_addr(id).value_or(host + ":" + std::to_string(port));
  if (o_banner != Py_None) {
    PyRef r = PyRef::steal(
        PyObject_CallFunction(o_banner, "s#", addr.data(), static_cast<Py_ssize_t>(addr.size())));
    // A failing banner does not stop the server, but Ctrl-C pressed while
    // the banner ran surfaces there and must not be lost.
    if (!r && !PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) PyErr_Clear();
  }
  bool interrupted = PyErr_Occurred() != nullptr;
  while (!interrupted) {
    {
      ReleaseGil unlocked;
      std::this_thread::sleep_for(std::chrono::milliseconds(120));
    }
    if (PyErr_CheckSignals() < 0) {
      interrupted = true;
      break;
    }
    if (!lookup_addr(id)) break;  // stopped through another Server object
  }
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  if (interrupted) PyErr_Fetch(&type, &value, &tb);
  stop_impl(id, 5);
  if (interrupted) {
    PyErr_Restore(type, value, tb);
    return nullptr;
  }
  return PyUnicode_FromStringAndSize(addr.data(), static_cast<Py_ssize_t>(addr.size()));
}

}  // namespace kiv
