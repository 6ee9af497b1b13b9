#include "py/gil.hpp"

#include "pyref.hpp"
#include "runtime.hpp"

namespace kiv {

namespace {
struct PoolThreadState {
  bool has_python = false;
  PyGILState_STATE outer{};
  PyThreadState* saved = nullptr;
  ~PoolThreadState() {
    // Deleting the thread state needs the lock; skip it once the interpreter
    // is gone (the process is exiting anyway).
    if (has_python && Py_IsInitialized()) {
      PyEval_RestoreThread(saved);
      PyGILState_Release(outer);
    }
  }
};
thread_local PoolThreadState pool_thread_state;
}  // namespace

PoolGil::PoolGil() : plain_(!on_pool_thread()) {
  auto& st = pool_thread_state;
  if (plain_) {
    outer_ = PyGILState_Ensure();
  } else {
    // The pool does not count a thread that waits here as asleep: another
    // thread would wait for the same lock.
    StartWait waiting;
    if (!st.has_python) {
      st.outer = PyGILState_Ensure();
      st.has_python = true;
    } else {
      PyEval_RestoreThread(st.saved);
    }
  }
  GilMark::enter();
  drain_pending_releases();
}

PoolGil::~PoolGil() {
  GilMark::leave();
  // Reached by unwinding when the interpreter ended this thread: the lock was
  // never taken back, so there is nothing to give up.
  if (!Py_IsInitialized()) return;
  if (plain_) {
    PyGILState_Release(outer_);
  } else {
    pool_thread_state.saved = PyEval_SaveThread();
  }
}

}  // namespace kiv
