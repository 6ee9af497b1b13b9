// Starting, watching and stopping servers: the process-wide registry of
// running servers keyed by id, the accept loop, start-up handshake and the
// blocking `run`.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include <asio/experimental/as_tuple.hpp>

#include "http/conn.hpp"
#include "net.hpp"
#include "pyapi/args.hpp"
#include "pyapi/server.hpp"
#include "runtime.hpp"

namespace kiv {

namespace {

using asio::ip::tcp;

// Shared between a server task and whoever may stop it. Stopping closes the
// listener on the accept loop's strand, which ends the pending accept.
struct ServerControl : std::enable_shared_from_this<ServerControl> {
  std::atomic<bool> finished{false};
  std::mutex mutex;
  bool stop_requested = false;
  tcp::acceptor* acceptor = nullptr;  // set while the accept loop runs
  std::optional<asio::strand<asio::io_context::executor_type>> strand;

  void request_stop() {
    std::lock_guard lock(mutex);
    if (stop_requested) return;
    stop_requested = true;
    if (acceptor) {
      asio::post(*strand, [self = shared_from_this()] {
        std::lock_guard inner(self->mutex);
        if (self->acceptor) {
          asio::error_code ignored;
          self->acceptor->close(ignored);
        }
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
  const ServerControl& control() const { return *ctl_; }

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

asio::awaitable<void> serve(tcp::acceptor& acceptor, SharedPtr shared) {
  for (;;) {
    tcp::endpoint peer;
    auto [ec, socket] = co_await acceptor.async_accept(
        runtime(), peer, asio::experimental::as_tuple(asio::use_awaitable));
    // Any accept failure (including the close that stop sends) ends the loop.
    if (ec) break;
    asio::co_spawn(runtime(), serve_conn(std::move(socket), peer, shared), asio::detached);
  }
}

asio::awaitable<void> spawn_server(std::string host, std::uint16_t port, SharedPtr shared,
                                   std::shared_ptr<Handshake> handshake,
                                   std::shared_ptr<ServerControl> ctl) {
  auto bind = [host, port] { return bind_listener(host, port); };
  auto pending = run_blocking(std::move(bind));
  auto bound = co_await std::move(pending);
  if (auto* err = std::get_if<std::string>(&bound)) {
    handshake->send(false, std::move(*err));
    co_return;
  }
  BoundListener& listener = std::get<BoundListener>(bound);
  asio::error_code ec;
  tcp::acceptor acceptor(*ctl->strand);
  acceptor.assign(listener.family == AF_INET6 ? tcp::v6() : tcp::v4(), listener.fd, ec);
  if (ec) {
    ::close(listener.fd);
    handshake->send(false, os_error_text(ec.value()));
    co_return;
  }
  {
    std::lock_guard lock(ctl->mutex);
    if (!ctl->stop_requested) ctl->acceptor = &acceptor;
  }
  handshake->send(true, listener.addr);
  if (ctl->acceptor) {
    auto loop = serve(acceptor, shared);
    co_await std::move(loop);
    std::lock_guard lock(ctl->mutex);
    ctl->acceptor = nullptr;
  }
  acceptor.close(ec);
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
std::uint64_t start_impl(ServerObject* self, const std::string& host, std::uint16_t port) {
  SharedPtr shared = build_shared(*self->config);
  if (!shared) return 0;
  const std::uint64_t id = next_id.fetch_add(1) + 1;
  auto ctl = std::make_shared<ServerControl>();
  auto handshake = std::make_shared<Handshake>();
  ShutdownSender sender(ctl);
  try {
    asio::io_context& io = runtime();
    ctl->strand.emplace(asio::make_strand(io));
    asio::co_spawn(*ctl->strand, spawn_server(host, port, std::move(shared), handshake, ctl),
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
  static const char* names[] = {"host", "port", nullptr};
  PyObject *o_host, *o_port;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:start", const_cast<char**>(names), &o_host,
                                   &o_port))
    return nullptr;
  Borrow hold(self, true);
  if (!hold) return nullptr;
  std::string host;
  std::uint16_t port;
  if (!arg_str(o_host, "host", host) || !arg_u16(o_port, "port", port)) return nullptr;
  std::uint64_t id = start_impl(self, host, port);
  if (id == 0) return nullptr;
  return PyLong_FromUnsignedLongLong(id);
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
  const std::uint64_t id = start_impl(self, host, port);
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
