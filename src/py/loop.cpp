#include "py/loop.hpp"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "http/handler.hpp"
#include "py/convert.hpp"
#include "pyref.hpp"
#include "runtime.hpp"

namespace kiv {

namespace {

// The connection coroutine that waits for one response.
struct Waiter {
  virtual ~Waiter() = default;
  // Resumes it on the calling thread, which runs its executor's context.
  virtual void resume(ResponseOut r) = 0;
  // Resumes it through a post of its own.
  virtual void post(ResponseOut r) = 0;
  // The io_context several resumptions may be posted to together, or null.
  virtual asio::io_context* context() const = 0;
};

template <class Handler, class Executor>
struct WaiterFor final : Waiter {
  WaiterFor(Handler&& h, const Executor& e)
      : handler(std::move(h)), ex(e), work(asio::make_work_guard(e)) {}
  void resume(ResponseOut r) override {
    std::move(handler)(std::move(r));
    work.reset();
  }
  void post(ResponseOut r) override {
    asio::post(ex, [h = std::move(handler), r = std::move(r)]() mutable { std::move(h)(std::move(r)); });
    work.reset();
  }
  asio::io_context* context() const override {
    if constexpr (std::is_same_v<Executor, asio::any_io_executor>) {
      if (auto* io = ex.template target<asio::io_context::executor_type>()) return &io->context();
    }
    return nullptr;
  }
  Handler handler;
  Executor ex;
  asio::executor_work_guard<Executor> work;
};

// Work for the loop's thread; run() holds the interpreter lock.
struct LoopWork {
  virtual ~LoopWork() = default;
  virtual void run() = 0;
};

template <class Handler, class Executor>
std::unique_ptr<Waiter> make_waiter(Handler&& h, const Executor& e) {
  return std::make_unique<WaiterFor<Handler, Executor>>(std::move(h), e);
}

struct Bridge {
  // Guarded by mutex: what network threads queued for the loop, and whether
  // the eventfd was signalled since the loop last took the queue.
  std::mutex mutex;
  std::vector<std::unique_ptr<LoopWork>> queue;
  bool signalled = false;

  std::atomic<bool> attached{false};
  std::atomic<int> fd{-1};

  // The loop thread's own (touched only with the interpreter lock held).
  PyObject* call_soon = nullptr;
  PyObject* flush_fn = nullptr;
  std::vector<std::pair<std::unique_ptr<Waiter>, ResponseOut>> done;
  bool running = false;          // inside loop_run: completions wait for its end
  bool flush_scheduled = false;  // a flush is queued with call_soon
};

Bridge& bridge() {
  static Bridge* b = new Bridge();  // never destroyed: network threads may use it at exit
  return *b;
}

thread_local bool is_loop_thread = false;

void signal_loop() {
  const int fd = bridge().fd.load(std::memory_order_acquire);
  if (fd < 0) return;
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

void submit(std::unique_ptr<LoopWork> task) {
  Bridge& b = bridge();
  bool first;
  {
    std::lock_guard lock(b.mutex);
    b.queue.push_back(std::move(task));
    first = !b.signalled;
    b.signalled = true;
  }
  if (!first) return;
  // From a network thread the signal waits for the handlers already queued
  // there: a burst of requests then costs the loop one wake-up, and with one
  // core the loop thread does not preempt the network thread per request.
  if (on_runtime_thread())
    asio::defer(runtime().get_executor(), [] { signal_loop(); });
  else
    signal_loop();
}

// Posts the finished responses, those bound for one io_context together.
void flush_done() {
  Bridge& b = bridge();
  b.flush_scheduled = false;
  if (b.done.empty()) return;
  auto batch = std::move(b.done);
  b.done.clear();
  std::size_t i = 0;
  while (i < batch.size()) {
    asio::io_context* ctx = batch[i].first->context();
    if (!ctx) {
      batch[i].first->post(std::move(batch[i].second));
      ++i;
      continue;
    }
    std::vector<std::pair<std::unique_ptr<Waiter>, ResponseOut>> group;
    while (i < batch.size() && batch[i].first->context() == ctx) group.push_back(std::move(batch[i++]));
    // The guard keeps the context from running out of work (and its owner
    // from destroying it) until this post has returned: the handler may run,
    // and release the waiters' own guards, before it does.
    auto guard = asio::make_work_guard(*ctx);
    asio::post(*ctx, [group = std::move(group)]() mutable {
      for (auto& [w, r] : group) w->resume(std::move(r));
    });
    guard.reset();
  }
}

// Hands a response back; the caller holds the interpreter lock.
void complete(std::unique_ptr<Waiter> w, ResponseOut r) {
  Bridge& b = bridge();
  if (!is_loop_thread) {
    w->post(std::move(r));
    return;
  }
  b.done.emplace_back(std::move(w), std::move(r));
  if (b.running || b.flush_scheduled) return;
  // Completions of one loop iteration go back together, after it.
  PyRef queued = PyRef::steal(PyObject_CallFunctionObjArgs(b.call_soon, b.flush_fn, nullptr));
  if (queued) {
    b.flush_scheduled = true;
  } else {
    PyErr_Clear();
    flush_done();
  }
}

// --- the completion handle ------------------------------------------------

// done(value) or done(None, exception): the coroutine's outcome, answered
// like a view's. Later calls are ignored; a handle dropped without a call
// answers 500, so no connection waits for good.
struct DoneObject {
  PyObject_HEAD
  Waiter* waiter;
  SharedPtr* shared;
};

PyTypeObject* done_type = nullptr;

std::unique_ptr<Waiter> take_waiter(DoneObject* d) {
  return std::unique_ptr<Waiter>(std::exchange(d->waiter, nullptr));
}

PyObject* done_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  auto* d = reinterpret_cast<DoneObject*>(self);
  PyObject* value = Py_None;
  PyObject* error = Py_None;
  static const char* names[] = {"value", "error", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:done", const_cast<char**>(names), &value,
                                   &error))
    return nullptr;
  if (!d->waiter) Py_RETURN_NONE;
  GilMark mark;
  const Shared& sh = **d->shared;
  ResponseOut resp;
  if (error != Py_None) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error));
    Py_IncRef(type);
    Py_IncRef(error);
    PyErr_Restore(type, error, PyException_GetTraceback(error));
    resp = error_response(sh);
  } else if (auto converted = convert(value, sh.convert_slow.get())) {
    resp = std::move(*converted);
  } else {
    resp = error_response(sh);
  }
  complete(take_waiter(d), std::move(resp));
  Py_RETURN_NONE;
}

void done_dealloc(PyObject* self) {
  auto* d = reinterpret_cast<DoneObject*>(self);
  if (d->waiter) {
    GilMark mark;
    complete(take_waiter(d), simple(500));
  }
  delete d->shared;
  PyTypeObject* tp = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(self);
  Py_DecRef(reinterpret_cast<PyObject*>(tp));
}

// --- streamed bodies fed from the loop ---------------------------------------

// Calls fn(None) on the loop's thread (an asyncio future's set_result).
struct CallWork final : LoopWork {
  explicit CallWork(HeldRef f) : fn(std::move(f)) {}
  void run() override {
    PyRef r = PyRef::steal(PyObject_CallFunctionObjArgs(fn.get(), Py_None, nullptr));
    if (!r) PyErr_Clear();  // the waiter is gone (its task was cancelled)
    fn.reset();
  }
  HeldRef fn;
};

// A body that a coroutine writes piece by piece. One piece waits here at most:
// the writer's `wake` is called once the connection took it (or went away),
// so a slow client slows the coroutine down instead of filling memory.
class LoopBody final : public BodySource, public std::enable_shared_from_this<LoopBody> {
 public:
  struct PullWaiter {
    virtual ~PullWaiter() = default;
    virtual void post(Piece p) = 0;
  };
  template <class Handler, class Executor>
  struct PullWaiterFor final : PullWaiter {
    PullWaiterFor(Handler&& h, const Executor& e)
        : handler(std::move(h)), ex(e), work(asio::make_work_guard(e)) {}
    void post(Piece p) override {
      asio::post(ex, [h = std::move(handler), p = std::move(p)]() mutable { std::move(h)(std::move(p)); });
      work.reset();
    }
    Handler handler;
    Executor ex;
    asio::executor_work_guard<Executor> work;
  };

  asio::awaitable<Piece> pull(std::size_t) override {
    auto ex = co_await asio::this_coro::executor;
    auto self = shared_from_this();
    auto initiation = [ex, self](auto handler) {
      auto w = std::make_unique<PullWaiterFor<decltype(handler), decltype(ex)>>(std::move(handler), ex);
      std::optional<Piece> ready;
      HeldRef wake;
      {
        std::lock_guard lock(self->mutex_);
        if (self->has_piece_) {
          ready = std::move(self->piece_);
          self->has_piece_ = false;
          wake = std::move(self->wake_);
        } else {
          self->puller_ = std::move(w);
        }
      }
      if (ready) w->post(std::move(*ready));
      if (wake) submit(std::make_unique<CallWork>(std::move(wake)));
    };
    auto op = asio::async_initiate<decltype(asio::use_awaitable), void(Piece)>(
        std::move(initiation), asio::use_awaitable);
    co_return co_await std::move(op);
  }

  asio::awaitable<void> close() override {
    HeldRef wake, on_close;
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      has_piece_ = false;
      wake = std::move(wake_);
      on_close = std::move(on_close_);
    }
    if (wake) submit(std::make_unique<CallWork>(std::move(wake)));
    if (on_close) submit(std::make_unique<CallWork>(std::move(on_close)));
    co_return;
  }

  // fn(None) runs on the loop once the connection is done with the body.
  void on_close(PyObject* fn) {
    std::lock_guard lock(mutex_);
    if (!closed_) on_close_ = HeldRef::borrow(fn);
  }

  // From the loop's thread (interpreter lock held). True: the piece waits
  // here and `wake` will be called; false: no need to wait (the connection
  // took it at once, or is gone).
  bool put(Piece piece, PyObject* wake) {
    std::unique_ptr<PullWaiter> puller;
    {
      std::lock_guard lock(mutex_);
      if (closed_ || ended_) return false;
      ended_ = piece.state != State::kMore;
      if (puller_) {
        puller = std::move(puller_);
      } else {
        piece_ = std::move(piece);
        has_piece_ = true;
        if (wake) wake_ = HeldRef::borrow(wake);
        return wake != nullptr;
      }
    }
    puller->post(std::move(piece));
    return false;
  }

  bool closed() {
    std::lock_guard lock(mutex_);
    return closed_;
  }

 private:
  std::mutex mutex_;
  Piece piece_;
  bool has_piece_ = false;
  bool ended_ = false;   // the last piece was put
  bool closed_ = false;  // the connection is done with the body
  std::unique_ptr<PullWaiter> puller_;
  HeldRef wake_, on_close_;
};

struct StreamObject {
  PyObject_HEAD
  std::shared_ptr<LoopBody>* body;
};

PyTypeObject* stream_type = nullptr;

// put(data: bytes, more: bool, wake) -> bool: whether to wait for wake(None).
PyObject* stream_put(PyObject* self, PyObject* args) {
  auto* so = reinterpret_cast<StreamObject*>(self);
  PyObject *data, *wake;
  int more;
  if (!PyArg_ParseTuple(args, "OpO:put", &data, &more, &wake)) return nullptr;
  BodySource::Piece piece;
  char* bytes = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(data, &bytes, &len) < 0) return nullptr;
  piece.bytes.assign(bytes, static_cast<std::size_t>(len));
  piece.state = more ? BodySource::State::kMore : BodySource::State::kEnd;
  GilMark mark;
  bool wait = (*so->body)->put(std::move(piece), wake == Py_None ? nullptr : wake);
  return PyBool_FromLong(wait);
}

// fail(): the body cannot be completed; the connection is cut.
PyObject* stream_fail(PyObject* self, PyObject*) {
  auto* so = reinterpret_cast<StreamObject*>(self);
  BodySource::Piece piece;
  piece.state = BodySource::State::kFailed;
  GilMark mark;
  (*so->body)->put(std::move(piece), nullptr);
  Py_RETURN_NONE;
}

PyObject* stream_on_close(PyObject* self, PyObject* fn) {
  GilMark mark;
  (*reinterpret_cast<StreamObject*>(self)->body)->on_close(fn);
  Py_RETURN_NONE;
}

PyObject* stream_closed(PyObject* self, void*) {
  return PyBool_FromLong((*reinterpret_cast<StreamObject*>(self)->body)->closed());
}

void stream_dealloc(PyObject* self) {
  auto* so = reinterpret_cast<StreamObject*>(self);
  if (so->body) {
    // Dropped unfinished: cut the body rather than leave the client waiting.
    BodySource::Piece piece;
    piece.state = BodySource::State::kFailed;
    GilMark mark;
    (*so->body)->put(std::move(piece), nullptr);
    delete so->body;
  }
  PyTypeObject* tp = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
  Py_DecRef(reinterpret_cast<PyObject*>(tp));
}

PyMethodDef stream_methods[] = {
    {"put", stream_put, METH_VARARGS, nullptr},
    {"fail", stream_fail, METH_NOARGS, nullptr},
    {"on_close", stream_on_close, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyGetSetDef stream_getset[] = {
    {"closed", stream_closed, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot stream_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_getset},
    {0, nullptr},
};
PyType_Spec stream_spec = {"_kiv.LoopStream", sizeof(StreamObject), 0, Py_TPFLAGS_DEFAULT,
                           stream_slots};

// An ASGI header name or value: bytes (or a bytes-like object, or str), taken as
// it is.
bool raw_header_text(PyObject* obj, std::string& out) {
  PyRef held;
  if (!PyBytes_Check(obj)) {
    if (PyUnicode_Check(obj)) {
      Py_ssize_t len = 0;
      const char* p = PyUnicode_AsUTF8AndSize(obj, &len);
      if (!p) return false;
      out.assign(p, static_cast<std::size_t>(len));
      obj = nullptr;
    } else {
      held = PyRef::steal(PyBytes_FromObject(obj));
      if (!held) return false;
      obj = held.get();
    }
  }
  if (obj) {
    char* p = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(obj, &p, &len) < 0) return false;
    out.assign(p, static_cast<std::size_t>(len));
  }
  if (out.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "header name or value contains CR, LF or NUL");
    return false;
  }
  return true;
}

// Response headers: an iterable of (name, value) pairs, each bytes or str
// (ASGI's are bytes).
std::optional<HeaderList> raw_headers(PyObject* headers) {
  PyRef list = PyRef::borrow(headers);
  if (!PyList_Check(headers) && !PyTuple_Check(headers)) {
    list = PyRef::steal(PySequence_List(headers));
    if (!list) return std::nullopt;
  }
  PyObject* seq = list.get();
  const bool is_list = PyList_Check(seq);
  const Py_ssize_t n = is_list ? PyList_Size(seq) : PyTuple_Size(seq);
  HeaderList out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item = PyRef::borrow(is_list ? PyList_GetItem(seq, i) : PyTuple_GetItem(seq, i));
    if (!item) return std::nullopt;
    if (!PyTuple_Check(item.get())) {
      item = PyRef::steal(PySequence_Tuple(item.get()));
      if (!item) return std::nullopt;
    }
    if (PyTuple_Size(item.get()) != 2) {
      PyErr_SetString(PyExc_ValueError, "a response header must be a (name, value) pair");
      return std::nullopt;
    }
    auto& pair = out.emplace_back();
    if (!raw_header_text(PyTuple_GetItem(item.get(), 0), pair.first) ||
        !raw_header_text(PyTuple_GetItem(item.get(), 1), pair.second))
      return std::nullopt;
  }
  return out;
}

// done.stream(status, headers) -> LoopStream: answers with this head now and
// a body that the coroutine writes through the stream.
PyObject* done_stream(PyObject* self, PyObject* args) {
  auto* d = reinterpret_cast<DoneObject*>(self);
  int status;
  PyObject* headers;
  if (!PyArg_ParseTuple(args, "iO:stream", &status, &headers)) return nullptr;
  if (!d->waiter) {
    PyErr_SetString(PyExc_RuntimeError, "the response was already given");
    return nullptr;
  }
  // A list of pairs: a view's (str) or an ASGI application's (bytes).
  auto pairs = PyList_Check(headers) || PyTuple_Check(headers) ? raw_headers(headers)
                                                               : headers_from_py(headers);
  if (!pairs) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(stream_type, Py_tp_alloc));
  PyObject* obj = alloc(stream_type, 0);
  if (!obj) return nullptr;
  auto body = std::make_shared<LoopBody>();
  reinterpret_cast<StreamObject*>(obj)->body = new std::shared_ptr<LoopBody>(body);
  ResponseOut resp;
  resp.status = static_cast<std::uint16_t>(status);
  resp.headers = std::move(*pairs);
  resp.stream = std::move(body);
  GilMark mark;
  complete(take_waiter(d), std::move(resp));
  return obj;
}

// done.whole(status, headers, body: bytes): an ASGI response in one piece, its
// headers as the application gave them.
PyObject* done_whole(PyObject* self, PyObject* args) {
  auto* d = reinterpret_cast<DoneObject*>(self);
  int status;
  PyObject* headers;
  PyObject* body;
  if (!PyArg_ParseTuple(args, "iOO!:whole", &status, &headers, &PyBytes_Type, &body))
    return nullptr;
  if (!d->waiter) Py_RETURN_NONE;
  auto pairs = raw_headers(headers);
  if (!pairs) return nullptr;
  ResponseOut resp;
  resp.status = static_cast<std::uint16_t>(status);
  resp.headers = std::move(*pairs);
  char* p = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(body, &p, &len) < 0) return nullptr;
  resp.body.assign(p, static_cast<std::size_t>(len));
  GilMark mark;
  complete(take_waiter(d), std::move(resp));
  Py_RETURN_NONE;
}

PyMethodDef done_methods[] = {
    {"stream", done_stream, METH_VARARGS, nullptr},
    {"whole", done_whole, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot done_slots[] = {
    {Py_tp_methods, done_methods},
    {Py_tp_call, reinterpret_cast<void*>(done_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(done_dealloc)},
    {Py_tp_doc, const_cast<char*>("Completes one request run on the event loop.")},
    {0, nullptr},
};

PyType_Spec done_spec = {"_kiv.Done", sizeof(DoneObject), 0, Py_TPFLAGS_DEFAULT, done_slots};

PyRef new_done(std::unique_ptr<Waiter>& w, const SharedPtr& shared) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(done_type, Py_tp_alloc));
  PyObject* obj = alloc(done_type, 0);
  if (!obj) return {};
  auto* d = reinterpret_cast<DoneObject*>(obj);
  d->shared = new SharedPtr(shared);
  d->waiter = w.release();
  return PyRef::steal(obj);
}

// --- running the queue ------------------------------------------------------

struct DispatchWork final : LoopWork {
  DispatchWork(DispatchJob j, std::unique_ptr<Waiter> w) : job(std::move(j)), waiter(std::move(w)) {}
  void run() override;
  DispatchJob job;
  std::unique_ptr<Waiter> waiter;
};

// Answers through `done` what a call that took it raised: the handle's
// connection if it still waits, else only the developer (the traceback).
void answer_raised(PyObject* done, const Shared& sh) {
  auto* d = reinterpret_cast<DoneObject*>(done);
  if (d->waiter)
    complete(take_waiter(d), error_response(sh));
  else
    PyErr_PrintEx(0);
}

void DispatchWork::run() {
  const Shared& sh = *job.shared;
  PyRef arg_dict;
  PyRef request = make_request(job, arg_dict);
  if (!request) {
    complete(std::move(waiter), error_response(sh));
    return;
  }
  PyRef done = new_done(waiter, job.shared);
  if (!done) {
    complete(std::move(waiter), error_response(sh));
    return;
  }
  PyObject* view = route_view(job);
  PyRef r = PyRef::steal(PyObject_CallFunctionObjArgs(sh.loop_pipeline.get(), request.get(),
                                                     view ? view : Py_None, arg_dict.get(),
                                                     done.get(), nullptr));
  if (!r) answer_raised(done.get(), sh);
}

// --- ASGI mounts ------------------------------------------------------------

PyObject* bytes_of(std::string_view s) {
  return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

struct AsgiWork final : LoopWork {
  AsgiWork(Req r, std::string p, const WsgiMount* m, SharedPtr s, std::unique_ptr<Waiter> w)
      : req(std::move(r)), path(std::move(p)), mount(m), shared(std::move(s)), waiter(std::move(w)) {}

  void run() override {
    const Shared& sh = *shared;
    PyRef done = new_done(waiter, shared);
    if (!done) {
      complete(std::move(waiter), error_response(sh));
      return;
    }
    PyRef headers = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(req.headers.size())));
    if (!headers) {
      answer_raised(done.get(), sh);
      return;
    }
    // The Host header's value and whether proxy headers came, found in the pass
    // that lowercases the names (the host wants both for every request).
    PyObject* host = Py_None;
    bool proxied = false;
    Py_ssize_t i = 0;
    for (auto& [name, value] : req.headers) {
      for (char& c : name)
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
      PyObject* pair = Py_BuildValue("(NN)", bytes_of(name), bytes_of(value));
      if (!pair) {
        answer_raised(done.get(), sh);
        return;
      }
      PyList_SetItem(headers.get(), i++, pair);
      if (name == "host") {
        if (host == Py_None) host = PyTuple_GetItem(pair, 1);
      } else if (name == "x-forwarded-for" || name == "x-forwarded-proto") {
        proxied = true;
      }
    }
    // bytes when the body came whole, else a reader the host drains off the loop thread
    PyRef body = request_body(req);
    if (!body) {
      answer_raised(done.get(), sh);
      return;
    }
    static PyObject* const versions[2] = {PyUnicode_InternFromString("1.0"),
                                          PyUnicode_InternFromString("1.1")};
    PyObject* version = versions[req.minor_version == 0 ? 0 : 1];
    if (!version) {
      answer_raised(done.get(), sh);
      return;
    }
    PyRef r = PyRef::steal(PyObject_CallFunction(
        mount->host.get(), "sNNNONNOOOO", req.method.c_str(), bytes_of(path), bytes_of(req.path),
        bytes_of(req.query_string), headers.get(), body.release(),
        Py_BuildValue("(sH)", req.remote_addr.c_str(), req.remote_port), version, done.get(),
        host, proxied ? Py_True : Py_False));
    if (!r) answer_raised(done.get(), sh);
  }

  Req req;
  std::string path;
  const WsgiMount* mount;  // lives in shared
  SharedPtr shared;
  std::unique_ptr<Waiter> waiter;
};

PyObject* loop_run(PyObject*, PyObject*) {
  Bridge& b = bridge();
  GilMark mark;
  drain_pending_releases();
  const int fd = b.fd.load(std::memory_order_relaxed);
  std::uint64_t count;
  if (fd >= 0) [[maybe_unused]] ssize_t n = ::read(fd, &count, sizeof count);
  std::vector<std::unique_ptr<LoopWork>> tasks;
  {
    std::lock_guard lock(b.mutex);
    tasks.swap(b.queue);
    b.signalled = false;
  }
  b.running = true;
  for (auto& t : tasks) t->run();
  b.running = false;
  tasks.clear();
  flush_done();
  Py_RETURN_NONE;
}

PyObject* loop_flush(PyObject*, PyObject*) {
  GilMark mark;
  flush_done();
  Py_RETURN_NONE;
}

PyMethodDef flush_def = {"loop_flush", loop_flush, METH_NOARGS, nullptr};

void forget_loop_in_child() {
  // The loop thread did not survive the fork; the child attaches its own.
  Bridge& b = bridge();
  b.attached.store(false);
  const int fd = b.fd.exchange(-1);
  if (fd >= 0) ::close(fd);
  // Jobs of the parent's connections: nothing here can answer them.
  (void)new std::vector<std::unique_ptr<LoopWork>>(std::move(b.queue));
  b.queue.clear();
  b.signalled = false;
  (void)new auto(std::move(b.done));
  b.done.clear();
  b.running = b.flush_scheduled = false;
  b.call_soon = b.flush_fn = nullptr;
  is_loop_thread = false;
}

// loop_attach(call_soon) on the loop's own thread: returns the eventfd the
// loop must watch, calling loop_run() when it is readable.
PyObject* loop_attach(PyObject*, PyObject* call_soon) {
  Bridge& b = bridge();
  if (b.attached.load()) {
    PyErr_SetString(PyExc_RuntimeError, "an event loop is already attached");
    return nullptr;
  }
  if (!done_type) {
    done_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&done_spec));
    if (!done_type) return nullptr;
  }
  if (!stream_type) {
    stream_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&stream_spec));
    if (!stream_type) return nullptr;
  }
  PyObject* flush = PyCFunction_New(&flush_def, nullptr);
  if (!flush) return nullptr;
  const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) {
    Py_DecRef(flush);
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  static bool fork_hook = [] { return pthread_atfork(nullptr, nullptr, forget_loop_in_child) == 0; }();
  (void)fork_hook;
  Py_IncRef(call_soon);
  b.call_soon = call_soon;
  b.flush_fn = flush;
  is_loop_thread = true;
  b.fd.store(fd, std::memory_order_release);
  b.attached.store(true, std::memory_order_release);
  // Anything queued before now is waiting for a signal.
  signal_loop();
  return PyLong_FromLong(fd);
}

PyMethodDef functions[] = {
    {"loop_attach", loop_attach, METH_O,
     "loop_attach(call_soon)\n--\n\n"
     "Attaches the calling thread's event loop: returns the file descriptor it must\n"
     "watch, calling loop_run() whenever it is readable."},
    {"loop_run", loop_run, METH_NOARGS,
     "loop_run()\n--\n\nRuns the requests queued for the event loop."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool loop_ready() {
  return bridge().attached.load(std::memory_order_acquire) && !is_loop_thread;
}

bool runs_on_loop(const DispatchJob& job) {
  const Shared& sh = *job.shared;
  return job.route && sh.fast && *job.route < sh.on_loop.size() && sh.on_loop[*job.route] &&
         loop_ready();
}

// Not a coroutine: the operation's own frame is all a waiting request holds.
asio::awaitable<ResponseOut> dispatch_on_loop(DispatchJob job) {
  auto initiation = [](auto handler, DispatchJob j) {
    auto ex = asio::get_associated_executor(handler);
    submit(std::make_unique<DispatchWork>(std::move(j), make_waiter(std::move(handler), ex)));
  };
  return asio::async_initiate<decltype(asio::use_awaitable), void(ResponseOut)>(
      std::move(initiation), asio::use_awaitable, std::move(job));
}

asio::awaitable<ResponseOut> dispatch_asgi(Req req, std::string path, const WsgiMount* mount,
                                           SharedPtr shared) {
  if (!loop_ready()) co_return simple(503);
  auto ex = co_await asio::this_coro::executor;
  auto initiation = [ex](auto handler, Req r, std::string p, const WsgiMount* m, SharedPtr s) {
    submit(std::make_unique<AsgiWork>(std::move(r), std::move(p), m, std::move(s),
                                      make_waiter(std::move(handler), ex)));
  };
  auto op = asio::async_initiate<decltype(asio::use_awaitable), void(ResponseOut)>(
      std::move(initiation), asio::use_awaitable, std::move(req), std::move(path), mount,
      std::move(shared));
  co_return co_await std::move(op);
}

void post_to_loop(std::unique_ptr<LoopTask> task) {
  struct Adapter final : LoopWork {
    explicit Adapter(std::unique_ptr<LoopTask> t) : task(std::move(t)) {}
    void run() override { task->run(); }
    std::unique_ptr<LoopTask> task;
  };
  submit(std::make_unique<Adapter>(std::move(task)));
}

PyMethodDef* loop_functions() {
  return functions;
}

}  // namespace kiv
