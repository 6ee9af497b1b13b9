#include "pyref.hpp"

#include <mutex>
#include <vector>

namespace kiv {

thread_local int GilMark::depth_ = 0;

namespace {
std::mutex pending_mutex;
std::vector<PyObject*>* pending = new std::vector<PyObject*>();  // never freed: used at exit
}  // namespace

ReleaseGil::ReleaseGil() : saved_depth_(GilMark::depth_) {
  GilMark::depth_ = 0;
  state_ = PyEval_SaveThread();
}

ReleaseGil::~ReleaseGil() noexcept(false) {
  PyEval_RestoreThread(state_);
  GilMark::depth_ = saved_depth_;
  drain_pending_releases();
}

AcquireGil::AcquireGil() : state_(PyGILState_Ensure()) {
  drain_pending_releases();
}

AcquireGil::~AcquireGil() {
  PyGILState_Release(state_);
}

void release_ref(PyObject* obj) {
  // After finalization began nothing may touch the object: the process is ending.
  if (!obj || !Py_IsInitialized()) return;
  if (GilMark::held()) {
    Py_DecRef(obj);
    return;
  }
  std::lock_guard lock(pending_mutex);
  pending->push_back(obj);
}

void drain_pending_releases() {
  if (!Py_IsInitialized()) return;
  std::vector<PyObject*> batch;
  {
    std::lock_guard lock(pending_mutex);
    if (pending->empty()) return;
    batch.swap(*pending);
  }
  // Releasing may run finalizers that drop further HeldRefs; those see the
  // lock held and release directly.
  for (PyObject* obj : batch) Py_DecRef(obj);
}

}  // namespace kiv
