// Small owners for Python references and for the interpreter lock.
//
// Two reference owners exist because they die in different places:
//  - PyRef lives only on threads that hold the interpreter lock (argument
//    conversion, dispatch) and releases at once.
//  - HeldRef lives inside long-lived native state (routes, server snapshots)
//    whose last owner may be a network thread without the lock; its release
//    goes through release_ref(), which defers when the lock is not held here.
#pragma once

#include <Python.h>

#include <utility>

#include "held.hpp"

namespace kiv {

// Marks, per thread, that this thread holds the interpreter lock through one of
// our entry points. The limited API has no way to ask the interpreter, so every
// place that takes or is entered with the lock says so with a GilMark.
class GilMark {
 public:
  GilMark() { ++depth_; }
  ~GilMark() { --depth_; }
  GilMark(const GilMark&) = delete;
  GilMark& operator=(const GilMark&) = delete;
  static bool held() { return depth_ > 0; }
  // For owners whose lock scope is not a C++ scope of their own.
  static void enter() { ++depth_; }
  static void leave() { --depth_; }

 private:
  friend class ReleaseGil;
  static thread_local int depth_;
};

// Releases the interpreter lock for a scope (around waits); takes it back and
// drains deferred releases on exit.
class ReleaseGil {
 public:
  ReleaseGil();
  // Not noexcept: taking the lock back while the interpreter shuts down ends
  // the thread by unwinding it (pthread_exit), which must pass through here.
  ~ReleaseGil() noexcept(false);
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;
  int saved_depth_;
};

// Takes the interpreter lock on any thread (pool threads included) for a scope.
class AcquireGil {
 public:
  AcquireGil();
  ~AcquireGil();
  AcquireGil(const AcquireGil&) = delete;
  AcquireGil& operator=(const AcquireGil&) = delete;

 private:
  PyGILState_STATE state_;
  GilMark mark_;
};

// Drops a reference now if this thread holds the lock, otherwise queues it.
void release_ref(PyObject* obj);
// Releases every queued reference; the caller holds the lock.
void drain_pending_releases();

class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* p) { return PyRef(p); }
  static PyRef borrow(PyObject* p) {
    if (p) Py_IncRef(p);
    return PyRef(p);
  }
  PyRef(const PyRef& o) : p_(o.p_) {
    if (p_) Py_IncRef(p_);
  }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~PyRef() {
    // Once the interpreter is finalizing, this thread cannot hold the lock
    // (only the finalizing thread does, and it leaks nothing that matters).
    if (p_ && Py_IsInitialized()) Py_DecRef(p_);
  }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// A strong reference that may be destroyed on a thread without the lock: the
// engine's opaque handle (routes keep their views in one) whose release goes
// through release_ref(). Move-only: copies would need the lock to increment.
class HeldRef : public Held {
 public:
  HeldRef() = default;
  // Takes a new reference; the caller holds the lock.
  static HeldRef borrow(PyObject* p) {
    if (p) Py_IncRef(p);
    return HeldRef(p);
  }
  PyObject* get() const { return object(*this); }
  // The object inside a handle made by borrow(), or null.
  static PyObject* object(const Held& h) { return static_cast<PyObject*>(h.get()); }

 private:
  static void release(void* p) { release_ref(static_cast<PyObject*>(p)); }
  explicit HeldRef(PyObject* p) : Held(p, &release) {}
};

}  // namespace kiv
