#include "runtime.hpp"

#include <cxxabi.h>
#include <pthread.h>
#include <sched.h>

#include <Python.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "pyref.hpp"

namespace kiv {

void name_thread() {
  pthread_setname_np(pthread_self(), "kiv-io");
}

// --- blocking pool ---------------------------------------------------------

BlockingPool::BlockingPool(std::size_t max_threads, std::chrono::milliseconds idle_timeout,
                           std::chrono::microseconds stall_grace)
    : max_threads_(max_threads), idle_timeout_(idle_timeout), stall_grace_(stall_grace) {}

bool BlockingPool::grow_if_stalled(std::chrono::steady_clock::time_point now) {
  if (threads_ - busy_ >= queue_.size() || threads_ >= max_threads_) return false;
  // An idle thread only needs waking (its wake-up may be deferred), not a peer.
  if (waiting_ > 0) return false;
  if (threads_ > 0 && !stalled(now)) return false;
  ++threads_;
  last_start_ = now;  // a new thread counts as progress about to happen
  std::thread(&BlockingPool::worker, this).detach();
  return true;
}

namespace {
thread_local bool is_runtime_thread = false;
constexpr std::size_t kMaxBatch = 16;
}  // namespace

void BlockingPool::notify_if_waiting() {
  notify_scheduled_.store(false, std::memory_order_relaxed);
  bool wake;
  {
    std::lock_guard lock(mutex_);
    wake = waiting_ > 0 && !queue_.empty();
  }
  if (wake) cv_.notify_one();
}

void BlockingPool::submit_job(std::unique_ptr<Job> job) {
  bool wake = false, wake_monitor = false;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(job));
    wake = waiting_ > 0;
    if (threads_ - busy_ < queue_.size() && !grow_if_stalled(std::chrono::steady_clock::now())) {
      // Every thread is busy but the pool made progress recently: let the
      // monitor look again after the grace period.
      if (!monitor_started_) {
        monitor_started_ = true;
        std::thread(&BlockingPool::monitor, this).detach();
      }
      wake_monitor = monitor_sleeping_;
    }
  }
  if (wake) {
    // From a network thread, the wake-up waits until the handlers already
    // queued there have run: the jobs they submit then go to a single wake-up
    // instead of one each. With one core, every early wake-up preempted the
    // network thread and cost two context switches per request.
    if (is_runtime_thread) {
      if (!notify_scheduled_.exchange(true, std::memory_order_relaxed)) {
        asio::defer(runtime().get_executor(), [this] { notify_if_waiting(); });
      }
    } else {
      cv_.notify_one();
    }
  }
  if (wake_monitor) monitor_cv_.notify_one();
}

void BlockingPool::monitor() {
  name_thread();
  std::unique_lock lock(mutex_);
  for (;;) {
    if (threads_ - busy_ >= queue_.size() || threads_ >= max_threads_) {
      monitor_sleeping_ = true;
      monitor_cv_.wait(lock);
      monitor_sleeping_ = false;
      continue;
    }
    monitor_cv_.wait_for(lock, stall_grace_);
    const auto now = std::chrono::steady_clock::now();
    if (waiting_ > 0 && !queue_.empty() && stalled(now)) {
      cv_.notify_one();  // a deferred wake-up has not come through yet
    } else {
      grow_if_stalled(now);
    }
  }
}

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
thread_local bool is_pool_thread = false;
}  // namespace

void BlockingPool::worker() {
  name_thread();
  is_pool_thread = true;
  std::vector<std::unique_ptr<Job>> batch;  // finished short jobs not yet handed back
  asio::io_context* batch_ctx = nullptr;
  auto flush = [&] {
    if (batch.empty()) return;
    asio::post(*batch_ctx, [jobs = std::move(batch)]() mutable {
      for (auto& j : jobs) j->deliver();
    });
    batch.clear();
  };
  std::unique_lock lock(mutex_);
  for (;;) {
    if (queue_.empty() && !batch.empty()) {
      // Never wait with results held back.
      lock.unlock();
      flush();
      lock.lock();
      continue;
    }
    if (queue_.empty()) {
      ++waiting_;
      bool got = cv_.wait_for(lock, idle_timeout_, [this] { return !queue_.empty(); });
      --waiting_;
      if (!got) break;  // idle for too long: retire
    }
    auto job = std::move(queue_.front());
    queue_.pop_front();
    ++busy_;
    last_start_ = std::chrono::steady_clock::now();
    lock.unlock();
    // Held-back results only ever wait for another short job.
    asio::io_context* const ctx = job->batch_context();
    if (ctx != batch_ctx) flush();
    try {
      job->run();
    } catch (abi::__forced_unwind&) {
      // The interpreter is shutting down and ends this thread as it waits for
      // the lock. Let the thread unwind, but leave the job alone: destroying
      // it would tear down a connection from the wrong thread, for nothing.
      (void)job.release();
      throw;
    }
    lock.lock();
    --busy_;
    lock.unlock();
    if (ctx) {
      batch_ctx = ctx;
      batch.push_back(std::move(job));
      if (batch.size() >= kMaxBatch) flush();
    } else {
      job->finish();
      job.reset();
    }
    lock.lock();
  }
  --threads_;
}

BlockingPool& blocking_pool() {
  static BlockingPool* pool = new BlockingPool();  // never destroyed: threads may outlive exit
  return *pool;
}

// --- interpreter lock on pool threads ----------------------------------------

PoolGil::PoolGil() : plain_(!is_pool_thread) {
  auto& st = pool_thread_state;
  if (plain_) {
    outer_ = PyGILState_Ensure();
  } else if (!st.has_python) {
    st.outer = PyGILState_Ensure();
    st.has_python = true;
  } else {
    PyEval_RestoreThread(st.saved);
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

// --- runtime ----------------------------------------------------------------

namespace {
// cgroup v2 "cpu.max" ("max 100000" or "200000 100000") or v1 quota/period.
std::size_t cgroup_cpu_limit() {
  std::ifstream f("/sys/fs/cgroup/cpu.max");
  std::string quota, period;
  if (f >> quota >> period) {
    if (quota == "max") return 0;
    long q = std::stol(quota), p = std::stol(period);
    if (q > 0 && p > 0) return std::max<long>(1, (q + p - 1) / p);
    return 0;
  }
  std::ifstream fq("/sys/fs/cgroup/cpu/cpu.cfs_quota_us"),
      fp("/sys/fs/cgroup/cpu/cpu.cfs_period_us");
  long q = 0, p = 0;
  if (fq >> q && fp >> p && q > 0 && p > 0) return std::max<long>(1, (q + p - 1) / p);
  return 0;
}
}  // namespace

std::size_t available_parallelism() {
  std::size_t n = 0;
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) n = CPU_COUNT(&set);
  if (n == 0) n = std::thread::hardware_concurrency();
  if (n == 0) return 0;
  try {
    if (std::size_t limit = cgroup_cpu_limit(); limit > 0 && limit < n) n = limit;
  } catch (...) {
    // unreadable or malformed quota: keep the affinity count
  }
  return n;
}

std::size_t runtime_worker_count() {
  std::size_t n = available_parallelism();
  if (n == 0) return 4;
  return n < 2 ? 2 : n;
}

asio::io_context& runtime() {
  static asio::io_context* ctx = [] {
    std::size_t n = runtime_worker_count();
    auto* io = new asio::io_context(static_cast<int>(n));
    // The guard is never reset: the runtime lives until the process ends.
    auto* guard =
        new asio::executor_work_guard<asio::io_context::executor_type>(asio::make_work_guard(*io));
    (void)guard;
    for (std::size_t i = 0; i < n; ++i) {
      std::thread([io] {
        name_thread();
        is_runtime_thread = true;
        io->run();
      }).detach();
    }
    return io;
  }();
  return *ctx;
}

}  // namespace kiv
