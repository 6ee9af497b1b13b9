#include "py/ws.hpp"

#include <cxxabi.h>

#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/concurrent_channel.hpp>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "py/convert.hpp"
#include "py/dispatch.hpp"
#include "py/gil.hpp"
#include "py/loop.hpp"
#include "py/wsgi_dispatch.hpp"
#include "percent.hpp"
#include "pyref.hpp"
#include "router.hpp"
#include "runtime.hpp"
#include "ws/handshake.hpp"
#include "ws/session.hpp"
#include "ws/topics.hpp"

// GCC 12 reports Asio's coroutine frames as mismatched new/delete when it
// inlines their allocation (a false positive; see conn.cpp).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace kiv {

namespace {

constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);
// Messages received and not yet taken by the application: past either bound
// the session stops reading, so a slow application slows its client.
constexpr std::size_t kInboxMessages = 64;
constexpr std::size_t kInboxBytes = 1 << 20;
// While the session waits for room, it looks whether it is still open this often.
constexpr auto kGatePoll = std::chrono::milliseconds(200);
// Sends at least this large leave the interpreter lock while framed.
constexpr std::size_t kUnlockedSend = 16384;

PyObject* str_of(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

// One closure on the blocking pool.
template <class F>
struct FnJob final : BlockingPool::Job {
  explicit FnJob(F f) : fn(std::move(f)) {}
  void run() override {
    try {
      fn();
    } catch (abi::__forced_unwind&) {
      throw;  // the interpreter is ending this thread
    } catch (...) {
    }
  }
  F fn;
};

template <class F>
void on_pool(F f) {
  blocking_pool().submit_job(std::make_unique<FnJob<F>>(std::move(f)));
}

struct Message {
  bool text = false;
  std::string data;
};

PyObject* message_object(const Message& m) {
  if (m.text) return str_of(m.data);
  return PyBytes_FromStringAndSize(m.data.data(), static_cast<Py_ssize_t>(m.data.size()));
}

// Names looked up per message, made once (with the interpreter lock).
struct Names {
  PyObject* request = PyUnicode_InternFromString("request");
  PyObject* create_future = PyUnicode_InternFromString("create_future");
  PyObject* set_result = PyUnicode_InternFromString("set_result");
};
const Names& names() {
  static const Names* n = new Names();  // never destroyed: the interpreter owns them
  return *n;
}

// The thread-local slot whose `request` callbacks see (kiv.globals._local),
// given with the first callbacks; kept for the life of the process.
PyObject* request_slot = nullptr;

// With the interpreter lock.
void set_request(PyObject* request) {
  if (!request_slot || PyObject_SetAttr(request_slot, names().request, request) == 0) return;
  PyErr_WriteUnraisable(request_slot);
}

class PyWs;

// Connections whose callbacks have something to run. A job on the pool runs
// the callbacks of every connection waiting, a few messages each in turn,
// under one hold of the interpreter lock: a burst of messages on many
// connections costs one job and one lock hand-over, not one per message. A
// connection is here (or being delivered) at most once, so its callbacks run
// one at a time and in order. While connections wait behind a running job,
// one more job waits in the pool: if a callback blocks, the pool gives that
// job a thread (as it does for any job queued behind one that sleeps), so a
// slow callback holds up only its own connection.
class Deliveries {
 public:
  static Deliveries& get() {
    static auto* d = new Deliveries();  // never destroyed: pool jobs may run at exit
    return *d;
  }
  void add(std::shared_ptr<PyWs> ws);
  void run();

 private:
  void submit();
  std::mutex mu_;
  std::deque<std::shared_ptr<PyWs>> ready_;
  bool queued_ = false;  // a job waits in the pool and has not started
};

// Connections with a thread waiting in receive() for a message that came.
// From a network thread they are woken once the handlers queued there have
// run: with one core, a waiter woken at once preempts the network thread
// before it has read what else came, for two context switches per message.
class Wakes {
 public:
  static Wakes& get() {
    static auto* w = new Wakes();
    return *w;
  }
  void add(std::shared_ptr<PyWs> ws);

 private:
  void run();
  std::mutex mu_;
  std::vector<std::shared_ptr<PyWs>> ready_;
  bool posted_ = false;
};

// Connections whose async receiver waits for a future to be set: one task on
// the event loop sets them all (network threads add; the loop thread runs).
class LoopWakes {
 public:
  static LoopWakes& get() {
    static auto* w = new LoopWakes();
    return *w;
  }
  void add(std::shared_ptr<PyWs> ws);
  void run();

 private:
  std::mutex mu_;
  std::vector<std::shared_ptr<PyWs>> ready_;
  bool posted_ = false;
};

// Between one session and the Python code that serves it. Python takes
// messages from the inbox (blocking on a pool thread, or through a future
// that the event loop sets), or has them delivered to callbacks by pool jobs
// (see Deliveries). Sends made before the session exists (between the accept
// and the 101 being written) wait here.
class PyWs final : public ws::WsHandler, public std::enable_shared_from_this<PyWs> {
 public:
  explicit PyWs(const asio::any_io_executor& ex) : decision_(ex, 1) {}

  // ---- the verdict, once: the first call wins
  bool decide(WsAnswer a) {
    {
      std::lock_guard lock(mu_);
      if (decided_) return false;
      decided_ = true;
    }
    decision_.try_send(asio::error_code(), std::move(a));
    return true;
  }
  bool accept(std::string subprotocol, HeaderList headers = {},
              std::function<void(ws::SessionOptions&)> tune = {}) {
    WsAnswer a;
    a.kind = WsAnswer::kAccept;
    a.handler = shared_from_this();
    a.subprotocol = std::move(subprotocol);
    a.headers = std::move(headers);
    a.tune = std::move(tune);
    a.topics = process_topics();
    return decide(std::move(a));
  }
  void refuse(ResponseOut r) {
    WsAnswer a;
    a.kind = WsAnswer::kRefuse;
    a.refusal = std::move(r);
    decide(std::move(a));
  }
  asio::awaitable<WsAnswer> verdict() {
    auto [ec, a] = co_await decision_.async_receive(kNoThrow);
    if (ec) {
      WsAnswer failed;
      failed.kind = WsAnswer::kRefuse;
      failed.refusal = simple(500);
      co_return failed;
    }
    co_return std::move(a);
  }

  // ---- the session's side (its strand)
  void on_open(const ws::SessionPtr& s) override {
    std::lock_guard lock(mu_);
    session_ = s;
    // Under the lock, so a send racing with this one cannot overtake them.
    for (Op& op : early_) apply(*s, op);
    early_.clear();
  }

  asio::awaitable<void> on_message(const ws::SessionPtr& s, ws::Opcode op,
                                   std::string_view data) override {
    bool deliver, resolve, full, sleeper;
    {
      std::lock_guard lock(mu_);
      inbox_.push_back(Message{op == ws::Opcode::kText, std::string(data)});
      inbox_bytes_ += data.size();
      deliver = schedule();
      resolve = take_resolve();
      full = over();
      sleeper = sleepers_ > 0;
    }
    if (deliver) Deliveries::get().add(shared_from_this());
    if (resolve) LoopWakes::get().add(shared_from_this());
    if (sleeper) Wakes::get().add(shared_from_this());
    if (!full) co_return;
    auto ex = co_await asio::this_coro::executor;
    asio::steady_timer timer(ex);
    for (;;) {
      {
        std::lock_guard lock(mu_);
        if (!over()) break;
        gate_ = &timer;
      }
      if (!s->is_open()) break;
      timer.expires_after(kGatePoll);
      co_await timer.async_wait(kNoThrow);
    }
    std::lock_guard lock(mu_);
    gate_ = nullptr;
  }

  void on_close(const ws::SessionPtr&, std::uint16_t code, std::string_view reason) override {
    bool deliver, resolve;
    {
      std::lock_guard lock(mu_);
      closed_ = true;
      code_ = code;
      reason_ = std::string(reason);
      session_.reset();  // it holds us
      deliver = schedule();
      resolve = take_resolve();
    }
    cv_.notify_all();
    if (deliver) Deliveries::get().add(shared_from_this());
    if (resolve) LoopWakes::get().add(shared_from_this());
  }

  // Wakes the threads waiting in wait() (without mu_: a waiter woken while
  // it is held would only block on it).
  void notify() { cv_.notify_all(); }

  // ---- Python's side (any thread)
  enum Sent { kSent = 0, kClosed = 1, kFull = 2 };

  Sent send(ws::Opcode op, std::string_view data) {
    std::shared_ptr<ws::WsSession> s;
    {
      std::lock_guard lock(mu_);
      if (closed_ || closing_) return kClosed;
      if (!session_) {
        early_.push_back(Op{Op::kSend, op, std::string(data), 0});
        return kSent;
      }
      s = session_;
    }
    switch (s->send(op, data)) {
      case ws::SendResult::kQueued:
        return kSent;
      case ws::SendResult::kOverflow:
        return kFull;
      default:
        return kClosed;
    }
  }

  void close(std::uint16_t code, std::string reason) {
    std::lock_guard lock(mu_);
    if (closed_ || closing_) return;
    closing_ = true;
    Op op{Op::kClose, ws::Opcode::kText, std::move(reason), code};
    if (session_)
      apply(*session_, op);
    else
      early_.push_back(std::move(op));
  }

  bool topic(bool subscribe, std::string name) {
    std::lock_guard lock(mu_);
    if (closed_) return false;
    Op op{subscribe ? Op::kSubscribe : Op::kUnsubscribe, ws::Opcode::kText, std::move(name), 0};
    if (!session_) {
      early_.push_back(std::move(op));
      return true;
    }
    return apply(*session_, op);
  }

  // A message or the close that is already there, without waiting: the
  // message, (code, reason) once closed and drained, or null with no error
  // set when there is nothing yet. The caller holds the interpreter lock.
  PyObject* take() {
    std::optional<Message> m;
    std::optional<std::pair<std::uint16_t, std::string>> c;
    {
      std::lock_guard lock(mu_);
      m = pop();
      if (!m && closed_) c = std::pair{code_, reason_};
    }
    if (m) return message_object(*m);
    if (c) return Py_BuildValue("(HN)", c->first, str_of(c->second));
    return nullptr;
  }

  // Waits for a message or the close (the caller left the interpreter lock);
  // false when none came in time. A negative timeout waits for good.
  bool wait(double timeout) {
    std::unique_lock lock(mu_);
    auto ready = [this] { return !inbox_.empty() || closed_; };
    ++sleepers_;
    bool got = timeout < 0 ? (cv_.wait(lock, ready), true)
                           : cv_.wait_for(lock, std::chrono::duration<double>(timeout), ready);
    --sleepers_;
    return got;
  }

  // An async receiver with nothing to take: `future` is set, on the event
  // loop, to the next message or (code, reason) once closed and drained.
  // False (nothing registered) when one is there already.
  bool wait_future(PyObject* future) {
    HeldRef old;  // dropped after the lock: its release may run Python code
    std::lock_guard lock(mu_);
    if (!inbox_.empty() || closed_) return false;
    old = std::exchange(waiter_, HeldRef::borrow(future));
    return true;
  }

  // On the event loop: sets the waiting future, unless it was cancelled (a
  // receive that timed out), in which case the message stays for the next one.
  void resolve() {
    PyRef fut;  // released after the lock
    std::optional<Message> m;
    std::optional<std::pair<std::uint16_t, std::string>> c;
    {
      std::lock_guard lock(mu_);
      resolving_ = false;
      if (!waiter_) return;
      fut = PyRef::borrow(waiter_.get());
      waiter_.reset();  // not the last reference: nothing is finalized under mu_
      m = pop();
      if (!m && closed_) c = std::pair{code_, reason_};
      if (!m && !c) {
        // Taken meanwhile (by a poll): wait on for the next one.
        waiter_ = HeldRef::borrow(fut.get());
        return;
      }
    }
    PyRef value = PyRef::steal(
        m ? message_object(*m) : Py_BuildValue("(HN)", c->first, str_of(c->second)));
    if (!value) {
      PyErr_WriteUnraisable(fut.get());
      return;
    }
    PyRef r = PyRef::steal(
        PyObject_CallMethodObjArgs(fut.get(), names().set_result, value.get(), nullptr));
    if (r) return;
    // The future was cancelled (a receive that timed out): the message stays
    // first in line for the next receive.
    PyErr_Clear();
    if (!m) return;
    std::lock_guard lock(mu_);
    inbox_bytes_ += m->data.size();
    inbox_.push_front(std::move(*m));
  }

  // From now on messages go to on_message(ws, message) and the close to
  // on_close(ws, code, reason), each once, in pool jobs. What they raise goes
  // to failed(exception), which returns whether later messages are to be
  // skipped. `local` is the thread-local slot whose `request` is `request`
  // while they run. The caller holds the interpreter lock.
  void start_callbacks(PyObject* ws, PyObject* on_message, PyObject* on_close, PyObject* failed,
                       PyObject* local, PyObject* request) {
    if (!request_slot) {
      Py_IncRef(local);
      request_slot = local;
    }
    bool deliver;
    {
      std::lock_guard lock(mu_);
      cb_ws_ = HeldRef::borrow(ws);
      on_message_ = HeldRef::borrow(on_message == Py_None ? nullptr : on_message);
      on_close_ = HeldRef::borrow(on_close == Py_None ? nullptr : on_close);
      failed_ = HeldRef::borrow(failed);
      request_ = HeldRef::borrow(request);
      callbacks_ = true;
      deliver = schedule();
    }
    if (deliver) Deliveries::get().add(shared_from_this());
  }

  // In a delivery job, with the interpreter lock: runs up to `most` callbacks.
  // True when more wait (the caller queues this connection again).
  bool deliver(std::size_t most) {
    for (std::size_t i = 0; i < most; ++i) {
      std::optional<Message> m;
      std::uint16_t code = 0;
      std::string reason;
      {
        std::lock_guard lock(mu_);
        m = pop();
        if (!m) {
          if (!closed_ || close_delivered_) {
            scheduled_ = false;
            return false;
          }
          close_delivered_ = true;
          code = code_;
          reason = reason_;
        }
      }
      if (m) {
        if (skip_ || !on_message_) continue;
        PyRef arg = PyRef::steal(message_object(*m));
        if (!arg) {
          PyErr_WriteUnraisable(on_message_.get());
          continue;
        }
        set_request(request_.get());
        PyRef r = PyRef::steal(
            PyObject_CallFunctionObjArgs(on_message_.get(), cb_ws_.get(), arg.get(), nullptr));
        if (!r) failure();
        continue;
      }
      if (on_close_) {
        set_request(request_.get());
        PyRef r = PyRef::steal(
            PyObject_CallFunction(on_close_.get(), "OHN", cb_ws_.get(), code, str_of(reason)));
        if (!r) failure();
      }
      // The callbacks hold the connection object, which holds us.
      cb_ws_.reset();
      on_message_.reset();
      on_close_.reset();
      failed_.reset();
      request_.reset();
      std::lock_guard lock(mu_);
      scheduled_ = false;
      return false;
    }
    std::lock_guard lock(mu_);
    if (inbox_.empty() && !(closed_ && !close_delivered_)) {
      scheduled_ = false;
      return false;
    }
    return true;
  }

 private:
  struct Op {
    enum Kind { kSend, kClose, kSubscribe, kUnsubscribe } kind;
    ws::Opcode op;
    std::string data;
    std::uint16_t code;
  };

  bool apply(ws::WsSession& s, const Op& op) {
    switch (op.kind) {
      case Op::kSend:
        return s.send(op.op, op.data) == ws::SendResult::kQueued;
      case Op::kClose:
        s.close(op.code, op.data);
        return true;
      case Op::kSubscribe:
        return s.subscribe(op.data);
      case Op::kUnsubscribe:
        return s.unsubscribe(op.data);
    }
    return false;
  }

  bool over() const { return inbox_.size() >= kInboxMessages || inbox_bytes_ >= kInboxBytes; }

  // mu_ held.
  std::optional<Message> pop() {
    if (inbox_.empty()) return std::nullopt;
    Message m = std::move(inbox_.front());
    inbox_.pop_front();
    inbox_bytes_ -= m.data.size();
    if (gate_ && !over()) {
      // The session waits for room on its strand; wake it there (the timer
      // is only touched on that strand, and gate_ is cleared there).
      asio::post(gate_->get_executor(), [self = shared_from_this()] {
        std::lock_guard lock(self->mu_);
        if (self->gate_) self->gate_->cancel();
      });
    }
    return m;
  }

  // mu_ held: whether the caller is to hand this connection to Deliveries.
  bool schedule() {
    if (!callbacks_ || scheduled_) return false;
    if (inbox_.empty() && !(closed_ && !close_delivered_)) return false;
    scheduled_ = true;
    return true;
  }

  // mu_ held: whether the caller is to hand this connection to LoopWakes.
  bool take_resolve() {
    if (!waiter_ || resolving_) return false;
    resolving_ = true;
    return true;
  }

  // What a callback raised goes to failed(); a true answer skips later messages.
  void failure() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    PyRef t = PyRef::steal(type), v = PyRef::steal(value), b = PyRef::steal(tb);
    if (!failed_ || !v) return;
    PyRef r = PyRef::steal(PyObject_CallFunctionObjArgs(failed_.get(), v.get(), nullptr));
    if (!r) {
      PyErr_WriteUnraisable(failed_.get());
    } else if (PyObject_IsTrue(r.get()) == 1) {
      skip_ = true;
    }
  }

  asio::experimental::concurrent_channel<void(asio::error_code, WsAnswer)> decision_;

  std::mutex mu_;
  std::condition_variable cv_;
  int sleepers_ = 0;  // threads in wait()
  bool decided_ = false;
  std::shared_ptr<ws::WsSession> session_;  // from on_open to on_close
  std::vector<Op> early_;
  bool closing_ = false;  // the application asked to close
  std::deque<Message> inbox_;
  std::size_t inbox_bytes_ = 0;
  asio::steady_timer* gate_ = nullptr;  // set while the session waits for room
  bool closed_ = false;
  std::uint16_t code_ = 1006;
  std::string reason_;
  // An async receiver's future, and whether LoopWakes has it queued.
  HeldRef waiter_;
  bool resolving_ = false;
  // Callbacks: set once under mu_, then used only by the job delivering
  // (scheduled_ hands them from one job to the next).
  bool callbacks_ = false, scheduled_ = false, close_delivered_ = false;
  bool skip_ = false;  // a callback failed: later messages are dropped
  HeldRef cb_ws_, on_message_, on_close_, failed_, request_;
};

// Turns handed to one connection before the others get theirs.
constexpr std::size_t kTurn = 8;

void Deliveries::submit() {
  struct Job final : BlockingPool::Job {
    void run() override {
      try {
        Deliveries::get().run();
      } catch (abi::__forced_unwind&) {
        throw;  // the interpreter is ending this thread
      } catch (...) {
      }
    }
  };
  blocking_pool().submit_job(std::make_unique<Job>());
}

void Deliveries::add(std::shared_ptr<PyWs> ws) {
  bool submit_now;
  {
    std::lock_guard lock(mu_);
    ready_.push_back(std::move(ws));
    submit_now = !queued_;
    queued_ = true;
  }
  if (submit_now) submit();
}

void Deliveries::run() {
  {
    std::lock_guard lock(mu_);
    queued_ = false;
    if (ready_.empty()) return;
  }
  PoolGil gil;
  for (;;) {
    std::shared_ptr<PyWs> ws;
    bool another = false;
    {
      std::lock_guard lock(mu_);
      if (ready_.empty()) break;
      ws = std::move(ready_.front());
      ready_.pop_front();
      if (!ready_.empty() && !queued_) another = queued_ = true;
    }
    if (another) submit();
    if (ws->deliver(kTurn)) {
      std::lock_guard lock(mu_);
      ready_.push_back(std::move(ws));
    }
  }
  set_request(Py_None);
}

void Wakes::add(std::shared_ptr<PyWs> ws) {
  if (!on_runtime_thread()) {
    ws->notify();
    return;
  }
  bool post;
  {
    std::lock_guard lock(mu_);
    ready_.push_back(std::move(ws));
    post = !posted_;
    posted_ = true;
  }
  if (post) asio::defer(runtime().get_executor(), [this] { run(); });
}

void Wakes::run() {
  std::vector<std::shared_ptr<PyWs>> batch;
  {
    std::lock_guard lock(mu_);
    batch.swap(ready_);
    posted_ = false;
  }
  for (auto& ws : batch) ws->notify();
}

void LoopWakes::add(std::shared_ptr<PyWs> ws) {
  bool post;
  {
    std::lock_guard lock(mu_);
    ready_.push_back(std::move(ws));
    post = !posted_;
    posted_ = true;
  }
  if (!post) return;
  struct Task final : LoopTask {
    void run() override { LoopWakes::get().run(); }
  };
  post_to_loop(std::make_unique<Task>());
}

void LoopWakes::run() {
  std::vector<std::shared_ptr<PyWs>> batch;
  {
    std::lock_guard lock(mu_);
    batch.swap(ready_);
    posted_ = false;
  }
  for (auto& ws : batch) ws->resolve();
}

// ---- the Python connection object ------------------------------------------

struct ConnObject {
  PyObject_HEAD
  std::shared_ptr<PyWs>* ws;
  PyObject* offered;  // the subprotocols the client offered (a list)
};

PyTypeObject* conn_type = nullptr;

PyWs& ws_of(PyObject* self) {
  return **reinterpret_cast<ConnObject*>(self)->ws;
}

void conn_dealloc(PyObject* self) {
  auto* c = reinterpret_cast<ConnObject*>(self);
  delete c->ws;
  Py_XDECREF(c->offered);
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

bool text_arg(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "expected str");
    return false;
  }
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (!s) return false;
  out.assign(s, static_cast<std::size_t>(n));
  return true;
}

// The session limits of accept(): (max message bytes, send queue bytes, ping
// interval s, idle timeout s), each None for the engine's default; the times
// may be 0 (none).
bool limits_arg(PyObject* limits, std::function<void(ws::SessionOptions&)>& tune) {
  PyObject *o_message, *o_queue, *o_ping, *o_idle;
  if (!PyArg_ParseTuple(limits, "OOOO:limits", &o_message, &o_queue, &o_ping, &o_idle))
    return false;
  std::optional<double> v[4];
  PyObject* items[4] = {o_message, o_queue, o_ping, o_idle};
  for (int i = 0; i < 4; ++i) {
    if (items[i] == Py_None) continue;
    const double d = PyFloat_AsDouble(items[i]);
    if (d == -1 && PyErr_Occurred()) return false;
    if (!(d >= 0 && d < 1e15) || (i < 2 && d < 1)) {
      PyErr_SetString(PyExc_ValueError, "a WebSocket limit is a size of at least 1, or a time");
      return false;
    }
    v[i] = d;
  }
  tune = [v0 = v[0], v1 = v[1], v2 = v[2], v3 = v[3]](ws::SessionOptions& o) {
    if (v0) o.limits.max_frame = o.limits.max_message = static_cast<std::size_t>(*v0);
    if (v1) o.max_queue_bytes = static_cast<std::size_t>(*v1);
    if (v2) o.ping_interval = std::chrono::milliseconds(static_cast<std::int64_t>(*v2 * 1000));
    if (v3) o.idle_timeout = std::chrono::milliseconds(static_cast<std::int64_t>(*v3 * 1000));
  };
  return true;
}

// accept(subprotocol=None, headers=None, limits=None): headers are (str, str)
// pairs for the 101; limits as limits_arg reads them.
PyObject* conn_accept(PyObject* self, PyObject* args) {
  PyObject* sub = Py_None;
  PyObject* extra = Py_None;
  PyObject* limits = Py_None;
  if (!PyArg_ParseTuple(args, "|OOO:accept", &sub, &extra, &limits)) return nullptr;
  std::string chosen;
  if (sub != Py_None && !text_arg(sub, chosen)) return nullptr;
  HeaderList headers;
  if (extra != Py_None) {
    auto parsed = headers_from_py(extra);
    if (!parsed) return nullptr;
    headers = std::move(*parsed);
  }
  std::function<void(ws::SessionOptions&)> tune;
  if (limits != Py_None && !limits_arg(limits, tune)) return nullptr;
  return PyBool_FromLong(
      ws_of(self).accept(std::move(chosen), std::move(headers), std::move(tune)));
}

// send(data): str is a text message; bytes, bytearray or memoryview a binary one.
// 0 queued, 1 closed, 2 refused by a full queue (the connection then closes).
PyObject* conn_send(PyObject* self, PyObject* data) {
  PyRef bytes;
  const char* p;
  Py_ssize_t n;
  ws::Opcode op;
  if (PyUnicode_Check(data)) {
    p = PyUnicode_AsUTF8AndSize(data, &n);
    if (!p) return nullptr;
    op = ws::Opcode::kText;
  } else if (!PyBytes_Check(data) && !PyByteArray_Check(data) && !PyMemoryView_Check(data)) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(
        reinterpret_cast<PyObject*>(Py_TYPE(data)), "__name__"));
    PyErr_Format(PyExc_TypeError, "a WebSocket message is str or bytes, not %S",
                 name ? name.get() : Py_None);
    return nullptr;
  } else {
    bytes = PyBytes_Check(data) ? PyRef::borrow(data) : PyRef::steal(PyBytes_FromObject(data));
    if (!bytes) return nullptr;
    char* b;
    if (PyBytes_AsStringAndSize(bytes.get(), &b, &n) < 0) return nullptr;
    p = b;
    op = ws::Opcode::kBinary;
  }
  const std::string_view view(p, static_cast<std::size_t>(n));
  PyWs& ws = ws_of(self);
  PyWs::Sent r;
  if (view.size() >= kUnlockedSend) {
    // The object stays alive (we hold it) and immutable meanwhile.
    ReleaseGil release;
    r = ws.send(op, view);
  } else {
    r = ws.send(op, view);
  }
  return PyLong_FromLong(r);
}

PyObject* conn_close(PyObject* self, PyObject* args) {
  int code = 1000;
  PyObject* reason = nullptr;
  if (!PyArg_ParseTuple(args, "|iU:close", &code, &reason)) return nullptr;
  std::string why;
  if (reason && !text_arg(reason, why)) return nullptr;
  ws_of(self).close(static_cast<std::uint16_t>(code), std::move(why));
  Py_RETURN_NONE;
}

PyObject* conn_topic(PyObject* self, PyObject* name, bool subscribe) {
  std::string topic;
  if (!text_arg(name, topic)) return nullptr;
  return PyBool_FromLong(ws_of(self).topic(subscribe, std::move(topic)));
}
PyObject* conn_subscribe(PyObject* self, PyObject* name) { return conn_topic(self, name, true); }
PyObject* conn_unsubscribe(PyObject* self, PyObject* name) {
  return conn_topic(self, name, false);
}

// Message, None (nothing yet) or (code, reason) once closed and drained.
PyObject* taken(PyWs& ws) {
  PyObject* r = ws.take();
  if (r || PyErr_Occurred()) return r;
  Py_RETURN_NONE;
}

// receive(timeout=None): what is there, else waits without the interpreter lock.
PyObject* conn_receive(PyObject* self, PyObject* args) {
  PyObject* t = Py_None;
  if (!PyArg_ParseTuple(args, "|O:receive", &t)) return nullptr;
  double timeout = -1;
  if (t != Py_None) {
    timeout = PyFloat_AsDouble(t);
    if (timeout == -1 && PyErr_Occurred()) return nullptr;
    if (timeout < 0) timeout = 0;
  }
  PyWs& ws = ws_of(self);
  for (;;) {
    if (PyObject* r = ws.take(); r || PyErr_Occurred()) return r;
    bool got;
    {
      ReleaseGil release;
      got = ws.wait(timeout);
    }
    // Without a timeout, a message another thread took meanwhile means waiting on.
    if (!got || timeout >= 0) return taken(ws);
  }
}

PyObject* conn_poll(PyObject* self, PyObject*) {
  return taken(ws_of(self));
}

// next(loop): what is there, else a future of `loop` that is set to it.
PyObject* conn_next(PyObject* self, PyObject* loop) {
  PyWs& ws = ws_of(self);
  if (PyObject* r = ws.take(); r || PyErr_Occurred()) return r;
  PyRef fut = PyRef::steal(PyObject_CallMethodObjArgs(loop, names().create_future, nullptr));
  if (!fut) return nullptr;
  // A message that came since the take is taken now; the future is dropped.
  if (!ws.wait_future(fut.get())) return taken(ws);
  return fut.release();
}

PyObject* conn_start_callbacks(PyObject* self, PyObject* args) {
  PyObject *ws, *on_message, *on_close, *failed, *local, *request;
  if (!PyArg_ParseTuple(args, "OOOOOO:start_callbacks", &ws, &on_message, &on_close, &failed,
                        &local, &request))
    return nullptr;
  ws_of(self).start_callbacks(ws, on_message, on_close, failed, local, request);
  Py_RETURN_NONE;
}

// refuse(status): the upgrade is answered with a plain page; refuse(status,
// headers, body): with that response (200 to 599). Ignored after an accept.
PyObject* conn_refuse(PyObject* self, PyObject* args) {
  long status;
  PyObject* headers = nullptr;
  PyObject* body = nullptr;
  if (!PyArg_ParseTuple(args, "l|OO:refuse", &status, &headers, &body)) return nullptr;
  const bool whole = headers != nullptr;
  ResponseOut r;
  if (whole) {
    auto parsed = headers_from_py(headers);
    if (!parsed) return nullptr;
    r.headers = std::move(*parsed);
    r.status = static_cast<std::uint16_t>(status);
    if (body) {
      PyRef bytes = PyRef::steal(PyBytes_FromObject(body));
      char* p;
      Py_ssize_t n;
      if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &p, &n) < 0) return nullptr;
      r.body.assign(p, static_cast<std::size_t>(n));
    }
  }
  if (status < (whole ? 200 : 400) || status > 599) {
    PyErr_SetString(PyExc_ValueError, whole ? "a refusal's status is 200 to 599"
                                            : "a refusal's status is 4xx or 5xx");
    return nullptr;
  }
  ws_of(self).refuse(whole ? std::move(r) : simple(static_cast<std::uint16_t>(status)));
  Py_RETURN_NONE;
}

PyObject* conn_offered(PyObject* self, PyObject*) {
  PyObject* o = reinterpret_cast<ConnObject*>(self)->offered;
  Py_IncRef(o);
  return o;
}

PyMethodDef conn_methods[] = {
    {"accept", conn_accept, METH_VARARGS,
     "accept(subprotocol=None, headers=None, limits=None): switch protocols; headers:\n"
     "(str, str) pairs for the 101; limits: (max_message, max_queue, ping_interval,\n"
     "idle_timeout), None for a default."},
    {"send", conn_send, METH_O, "send(data) -> 0 queued, 1 closed, 2 queue full."},
    {"close", conn_close, METH_VARARGS, "close(code=1000, reason='')"},
    {"subscribe", conn_subscribe, METH_O, "subscribe(topic)"},
    {"unsubscribe", conn_unsubscribe, METH_O, "unsubscribe(topic)"},
    {"receive", conn_receive, METH_VARARGS,
     "receive(timeout=None) -> message, None (timeout) or (code, reason) once closed."},
    {"poll", conn_poll, METH_NOARGS, "poll() -> as receive, without waiting."},
    {"next", conn_next, METH_O,
     "next(loop) -> as poll(), or instead of None a future of loop set to what comes."},
    {"start_callbacks", conn_start_callbacks, METH_VARARGS,
     "start_callbacks(ws, on_message, on_close, failed, local, request): from now on\n"
     "on_message(ws, m) and on_close(ws, code, reason) run in pool jobs, with\n"
     "local.request set; failed(exception) gets what they raise and returns whether\n"
     "to skip later messages."},
    {"refuse", conn_refuse, METH_VARARGS,
     "refuse(status, headers=None, body=b''): answer the upgrade with a page, or with\n"
     "this response when headers are given."},
    {"offered", conn_offered, METH_NOARGS, "The subprotocols the client offered."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot conn_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(conn_dealloc)},
    {Py_tp_methods, conn_methods},
    {0, nullptr},
};

PyType_Spec conn_spec = {"_kiv.WebSocketConn", sizeof(ConnObject), 0, Py_TPFLAGS_DEFAULT,
                         conn_slots};

PyRef make_conn(std::shared_ptr<PyWs> ws, const std::vector<std::string>& offered) {
  if (!conn_type) {
    conn_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&conn_spec));
    if (!conn_type) return {};
  }
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return {};
  for (const std::string& s : offered) {
    PyRef item = PyRef::steal(str_of(s));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return {};
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(conn_type, Py_tp_alloc));
  PyRef obj = PyRef::steal(alloc(conn_type, 0));
  if (!obj) return {};
  auto* c = reinterpret_cast<ConnObject*>(obj.get());
  c->ws = new std::shared_ptr<PyWs>(std::move(ws));
  c->offered = list.release();
  return obj;
}

// The application's entry for one upgrade request, on a pool thread: it
// runs the hooks, then accepts (conn.accept) and, for a plain function,
// serves the connection to its end right here; or it returns a response,
// which refuses the upgrade.
void run_entry(const DispatchJob& job, std::size_t route, const std::shared_ptr<PyWs>& ws,
               const std::vector<std::string>& offered) {
  PoolGil gil;
  const Shared& sh = *job.shared;
  PyRef args;
  PyRef request = make_request(job, args);
  PyRef conn = request ? make_conn(ws, offered) : PyRef();
  if (!conn) {
    ws->refuse(error_response(sh));
    return;
  }
  PyObject* view = HeldRef::object(sh.ws_router->routes()[route].view);
  PyRef r = PyRef::steal(PyObject_CallFunctionObjArgs(sh.ws_entry.get(), request.get(), view,
                                                      args.get(), conn.get(), nullptr));
  if (!r) {
    ws->refuse(error_response(sh));
    return;
  }
  if (r.get() != Py_None) {
    auto resp = convert(r.get(), sh.convert_slow.get());
    ws->refuse(resp ? std::move(*resp) : error_response(sh));
    return;
  }
  ws->refuse(simple(500));  // neither accepted nor refused: ignored after an accept
}

PyObject* bytes_of(std::string_view s) {
  return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// An upgrade under an ASGI mount: the host builds the websocket scope and
// starts the application on the loop; its websocket.accept or close decides.
void run_asgi_entry(const Req& req, const WsgiMount& mount, const std::shared_ptr<PyWs>& ws,
                    const std::vector<std::string>& offered) {
  PoolGil gil;
  std::string path;
  percent_unescape(req.path, path, false);
  PyRef headers = PyRef::steal(PyList_New(0));
  PyRef conn = headers ? make_conn(ws, offered) : PyRef();
  for (std::size_t i = 0; conn && i < req.headers.size(); ++i) {
    std::string name = req.headers[i].first;
    for (char& c : name)
      if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
    PyRef pair = PyRef::steal(
        Py_BuildValue("(NN)", bytes_of(name), bytes_of(req.headers[i].second)));
    if (!pair || PyList_Append(headers.get(), pair.get()) < 0) conn = PyRef();
  }
  PyRef r;
  if (conn) {
    r = PyRef::steal(PyObject_CallMethod(
        mount.host.get(), "websocket", "NNNO(sH)O", bytes_of(path), bytes_of(req.path),
        bytes_of(req.query_string), headers.get(), req.remote_addr.c_str(), req.remote_port,
        conn.get()));
  }
  if (!r) {
    PyErr_Print();
    ws->refuse(simple(500));
  }
}

PyObject* ws_publish(PyObject*, PyObject* args) {
  PyObject *o_topic, *data;
  if (!PyArg_ParseTuple(args, "OO:ws_publish", &o_topic, &data)) return nullptr;
  std::string topic;
  if (!text_arg(o_topic, topic)) return nullptr;
  std::string payload;
  ws::Opcode op;
  if (PyUnicode_Check(data)) {
    if (!text_arg(data, payload)) return nullptr;
    op = ws::Opcode::kText;
  } else {
    PyRef bytes =
        PyBytes_Check(data) ? PyRef::borrow(data) : PyRef::steal(PyBytes_FromObject(data));
    if (!bytes) return nullptr;
    char* b;
    Py_ssize_t n;
    if (PyBytes_AsStringAndSize(bytes.get(), &b, &n) < 0) return nullptr;
    payload.assign(b, static_cast<std::size_t>(n));
    op = ws::Opcode::kBinary;
  }
  ws::Topics::Published p;
  {
    ReleaseGil release;
    p = process_topics()->publish(topic, op, std::move(payload));
  }
  return PyLong_FromSize_t(p.queued);
}

PyObject* ws_subscribers(PyObject*, PyObject* o_topic) {
  std::string topic;
  if (!text_arg(o_topic, topic)) return nullptr;
  return PyLong_FromSize_t(process_topics()->subscribers(topic));
}

PyMethodDef ws_function_table[] = {
    {"ws_publish", ws_publish, METH_VARARGS,
     "ws_publish(topic, data) -> subscribers reached\n--\n\n"
     "Sends data (str: text, bytes: binary) to every WebSocket subscribed to topic."},
    {"ws_subscribers", ws_subscribers, METH_O,
     "ws_subscribers(topic) -> how many WebSockets are subscribed to topic."},
};

}  // namespace

const std::shared_ptr<ws::Topics>& process_topics() {
  // Never destroyed: sessions on network threads may leave their topics at exit.
  static auto* topics = new std::shared_ptr<ws::Topics>(std::make_shared<ws::Topics>());
  return *topics;
}

PyMethodDef* add_ws_functions(PyMethodDef* table) {
  for (const PyMethodDef& d : ws_function_table) *table++ = d;
  return table;
}

namespace {

// Runs the application's entry for an upgrade on a pool thread and waits for its
// verdict; whatever escapes the entry refuses the upgrade.
template <class F>
asio::awaitable<WsAnswer> ask_on_pool(F entry) {
  auto bridge = std::make_shared<PyWs>(co_await asio::this_coro::executor);
  on_pool([entry = std::move(entry), bridge]() mutable {
    try {
      entry(bridge);
    } catch (abi::__forced_unwind&) {
      bridge->refuse(simple(503));
      throw;
    } catch (...) {
      bridge->refuse(simple(500));
    }
  });
  auto waiting = bridge->verdict();
  co_return co_await std::move(waiting);
}

// An upgrade no WebSocket rule answers goes to the ASGI mount at its path, if any.
asio::awaitable<WsAnswer> asgi_upgrade(Req& req, const ws::Upgrade& up, SharedPtr shared) {
  if (shared->wsgi_mounts.empty()) co_return WsAnswer{};
  std::string raw;
  percent_unescape(req.path, raw, false);
  const WsgiMount* mount = wsgi_mount_for(*shared, raw);
  if (!mount || !mount->asgi) co_return WsAnswer{};
  auto asking = ask_on_pool([req, mount, shared = std::move(shared), offered = up.subprotocols](
                                const std::shared_ptr<PyWs>& bridge) {
    run_asgi_entry(req, *mount, bridge, offered);  // `shared` keeps the mount alive
  });
  co_return co_await std::move(asking);
}

}  // namespace

asio::awaitable<WsAnswer> upgrade_python(Req& req, const ws::Upgrade& up, SharedPtr shared) {
  const Shared& sh = *shared;
  if (!sh.ws_router || !sh.ws_entry) {
    auto asgi = asgi_upgrade(req, up, std::move(shared));
    co_return co_await std::move(asgi);
  }
  std::vector<RouteMatch> matches = sh.ws_router->match(req.path);
  const auto& routes = sh.ws_router->routes();
  const bool trailing = req.path.size() >= 2 && req.path.back() == '/';
  std::erase_if(matches,
                [&](const RouteMatch& m) { return routes[m.route].trailing_slash != trailing; });
  if (matches.empty()) {
    auto asgi = asgi_upgrade(req, up, std::move(shared));
    co_return co_await std::move(asgi);
  }
  RouteMatch& m = matches.front();
  DispatchJob job{m.route, req, std::move(m.args), routes[m.route].endpoint, std::string(), {},
                  std::move(shared)};
  const std::size_t route = m.route;
  auto asking = ask_on_pool([job = std::move(job), route, offered = up.subprotocols](
                                const std::shared_ptr<PyWs>& bridge) {
    run_entry(job, route, bridge, offered);
  });
  co_return co_await std::move(asking);
}

}  // namespace kiv
