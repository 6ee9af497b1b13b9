// The interpreter lock around pool jobs.
#pragma once

#include <Python.h>

namespace kiv {

// Takes the interpreter lock for a job on a blocking-pool thread. The thread
// keeps its Python thread state between jobs (created on first use, deleted
// when the thread retires), which saves creating one per request. Off the
// pool it is a plain PyGILState_Ensure scope.
class PoolGil {
 public:
  PoolGil();
  ~PoolGil();
  PoolGil(const PoolGil&) = delete;
  PoolGil& operator=(const PoolGil&) = delete;

 private:
  bool plain_;
  PyGILState_STATE outer_{};
};

}  // namespace kiv
