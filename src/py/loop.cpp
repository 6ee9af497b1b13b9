#include "py/loop.hpp"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

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

struct LoopTask {
  DispatchJob job;
  std::unique_ptr<Waiter> waiter;
};

struct Bridge {
  // Guarded by mutex: what network threads queued for the loop, and whether
  // the eventfd was signalled since the loop last took the queue.
  std::mutex mutex;
  std::vector<LoopTask> queue;
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

void submit(LoopTask task) {
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
    asio::post(*ctx, [group = std::move(group)]() mutable {
      for (auto& [w, r] : group) w->resume(std::move(r));
    });
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

PyType_Slot done_slots[] = {
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

void run_task(LoopTask& t) {
  const Shared& sh = *t.job.shared;
  PyRef arg_dict;
  PyRef request = make_request(t.job, arg_dict);
  if (!request) {
    complete(std::move(t.waiter), error_response(sh));
    return;
  }
  PyRef done = new_done(t.waiter, t.job.shared);
  if (!done) {
    complete(std::move(t.waiter), error_response(sh));
    return;
  }
  PyObject* view = route_view(t.job);
  PyRef r = PyRef::steal(PyObject_CallFunctionObjArgs(sh.loop_pipeline.get(), request.get(),
                                                     view ? view : Py_None, arg_dict.get(),
                                                     done.get(), nullptr));
  if (r) return;
  auto* d = reinterpret_cast<DoneObject*>(done.get());
  if (d->waiter)
    complete(take_waiter(d), error_response(sh));
  else
    PyErr_PrintEx(0);  // raised after it answered: the developer should still see it
}

PyObject* loop_run(PyObject*, PyObject*) {
  Bridge& b = bridge();
  GilMark mark;
  drain_pending_releases();
  const int fd = b.fd.load(std::memory_order_relaxed);
  std::uint64_t count;
  if (fd >= 0) [[maybe_unused]] ssize_t n = ::read(fd, &count, sizeof count);
  std::vector<LoopTask> tasks;
  {
    std::lock_guard lock(b.mutex);
    tasks.swap(b.queue);
    b.signalled = false;
  }
  b.running = true;
  for (LoopTask& t : tasks) run_task(t);
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
  (void)new std::vector<LoopTask>(std::move(b.queue));
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

asio::awaitable<ResponseOut> dispatch_on_loop(DispatchJob job) {
  auto ex = co_await asio::this_coro::executor;
  // Named, not a temporary inside co_await (see handle.cpp).
  auto initiation = [ex](auto handler, DispatchJob j) {
    using W = WaiterFor<decltype(handler), decltype(ex)>;
    submit(LoopTask{std::move(j), std::make_unique<W>(std::move(handler), ex)});
  };
  auto op = asio::async_initiate<decltype(asio::use_awaitable), void(ResponseOut)>(
      std::move(initiation), asio::use_awaitable, std::move(job));
  co_return co_await std::move(op);
}

PyMethodDef* loop_functions() {
  return functions;
}

}  // namespace kiv
