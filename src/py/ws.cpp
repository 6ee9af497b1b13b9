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

// Between one session and the Python code that serves it. Python takes
// messages from the inbox (blocking on a pool thread, or through a one-shot
// wake-up on the event loop), or has them delivered to callbacks by a pool
// job that runs only while messages wait. Sends made before the session
// exists (between the accept and the 101 being written) wait here.
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
    HeldRef waiter;
    bool pump, full;
    {
      std::lock_guard lock(mu_);
      inbox_.push_back(Message{op == ws::Opcode::kText, std::string(data)});
      inbox_bytes_ += data.size();
      waiter = std::move(waiter_);
      pump = take_pump();
      full = over();
      cv_.notify_all();
    }
    if (waiter) wake(std::move(waiter));
    if (pump) start_pump();
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
    HeldRef waiter;
    bool pump;
    {
      std::lock_guard lock(mu_);
      closed_ = true;
      code_ = code;
      reason_ = std::string(reason);
      session_.reset();  // it holds us
      waiter = std::move(waiter_);
      pump = take_pump();
      cv_.notify_all();
    }
    if (waiter) wake(std::move(waiter));
    if (pump) start_pump();
  }

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

  // The next message; nullopt when none came in time (or the connection is
  // closed and drained: see closed()). A negative timeout waits for good.
  // Called without the interpreter lock.
  std::optional<Message> receive(double timeout) {
    std::unique_lock lock(mu_);
    auto ready = [this] { return !inbox_.empty() || closed_; };
    if (timeout < 0) {
      cv_.wait(lock, ready);
    } else {
      cv_.wait_for(lock, std::chrono::duration<double>(timeout), ready);
    }
    return pop();
  }

  std::optional<Message> poll() {
    std::lock_guard lock(mu_);
    return pop();
  }

  // Registers a callable to be called once on the event loop when a message
  // or the close arrives; false (nothing registered) when one is there.
  bool wait(PyObject* callable) {
    HeldRef old;  // dropped after the lock: its release may run Python code
    std::lock_guard lock(mu_);
    if (!inbox_.empty() || closed_) return false;
    old = std::exchange(waiter_, HeldRef::borrow(callable));
    return true;
  }

  // (code, reason) once the connection is closed and every message taken.
  std::optional<std::pair<std::uint16_t, std::string>> closed() {
    std::lock_guard lock(mu_);
    if (!closed_ || !inbox_.empty()) return std::nullopt;
    return std::pair{code_, reason_};
  }

  // From now on messages go to on_message(message) on the pool, one at a
  // time in order, and the close to on_close(code, reason), once.
  void start_callbacks(PyObject* on_message, PyObject* on_close) {
    bool pump;
    {
      std::lock_guard lock(mu_);
      on_message_ = HeldRef::borrow(on_message);
      on_close_ = HeldRef::borrow(on_close);
      callbacks_ = true;
      pump = take_pump();
    }
    if (pump) start_pump();
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

  // mu_ held: whether this caller is to start the callback job.
  bool take_pump() {
    if (!callbacks_ || pumping_) return false;
    if (inbox_.empty() && !(closed_ && !close_delivered_)) return false;
    pumping_ = true;
    return true;
  }

  void start_pump() {
    on_pool([self = shared_from_this()] { self->pump(); });
  }

  // Delivers what waits, then lets the thread go.
  void pump() {
    PoolGil gil;
    for (;;) {
      std::optional<Message> m;
      PyRef fn;
      HeldRef dropped[2];  // released after the lock: that may run Python code
      std::uint16_t code = 0;
      std::string reason;
      {
        std::lock_guard lock(mu_);
        m = pop();
        if (m) {
          fn = PyRef::borrow(on_message_.get());
        } else if (closed_ && !close_delivered_) {
          close_delivered_ = true;
          fn = PyRef::borrow(on_close_.get());
          code = code_;
          reason = reason_;
          dropped[0] = std::move(on_message_);
          dropped[1] = std::move(on_close_);
        } else {
          pumping_ = false;
          return;
        }
      }
      PyRef arg = PyRef::steal(
          m ? (m->text ? str_of(m->data)
                       : PyBytes_FromStringAndSize(m->data.data(),
                                                   static_cast<Py_ssize_t>(m->data.size())))
            : nullptr);
      PyRef r;
      if (m && arg) {
        r = PyRef::steal(PyObject_CallFunctionObjArgs(fn.get(), arg.get(), nullptr));
      } else if (!m) {
        r = PyRef::steal(PyObject_CallFunction(fn.get(), "HN", code, str_of(reason)));
      }
      // The framework's callbacks catch what the application raises.
      if (!r) PyErr_WriteUnraisable(fn.get());
    }
  }

  // Calls the waiter on the event loop (it sets a future there).
  static void wake(HeldRef waiter) {
    struct Wake final : LoopTask {
      explicit Wake(HeldRef w) : w(std::move(w)) {}
      void run() override {
        PyRef r = PyRef::steal(PyObject_CallNoArgs(w.get()));
        if (!r) PyErr_WriteUnraisable(w.get());
        w.reset();
      }
      HeldRef w;
    };
    post_to_loop(std::make_unique<Wake>(std::move(waiter)));
  }

  asio::experimental::concurrent_channel<void(asio::error_code, WsAnswer)> decision_;

  std::mutex mu_;
  std::condition_variable cv_;
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
  HeldRef waiter_;
  bool callbacks_ = false, pumping_ = false, close_delivered_ = false;
  HeldRef on_message_, on_close_;
};

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

PyObject* message_object(const Message& m) {
  if (m.text) return str_of(m.data);
  return PyBytes_FromStringAndSize(m.data.data(), static_cast<Py_ssize_t>(m.data.size()));
}

// Message, None (nothing yet) or (code, reason) once closed and drained.
PyObject* answer_of(PyWs& ws, const std::optional<Message>& m) {
  if (m) return message_object(*m);
  if (auto c = ws.closed()) return Py_BuildValue("(HN)", c->first, str_of(c->second));
  Py_RETURN_NONE;
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

// send(data): str is a text message, anything bytes-like a binary one.
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

// receive(timeout=None), blocking without the interpreter lock.
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
  std::optional<Message> m;
  {
    ReleaseGil release;
    m = ws.receive(timeout);
  }
  return answer_of(ws, m);
}

PyObject* conn_poll(PyObject* self, PyObject*) {
  PyWs& ws = ws_of(self);
  return answer_of(ws, ws.poll());
}

PyObject* conn_wait(PyObject* self, PyObject* callable) {
  return PyBool_FromLong(ws_of(self).wait(callable));
}

PyObject* conn_start_callbacks(PyObject* self, PyObject* args) {
  PyObject *on_message, *on_close;
  if (!PyArg_ParseTuple(args, "OO:start_callbacks", &on_message, &on_close)) return nullptr;
  ws_of(self).start_callbacks(on_message, on_close);
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
    {"wait", conn_wait, METH_O,
     "wait(f) -> False when a message or the close is there, else True: f() is called\n"
     "once on the event loop when one comes."},
    {"start_callbacks", conn_start_callbacks, METH_VARARGS,
     "start_callbacks(on_message, on_close): deliver on the pool from now on."},
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
