// The process-wide asynchronous runtime: one io_context run by the worker
// threads, and the blocking pool that runs Python calls, file-system work and
// name lookups off the network threads.
#pragma once

#include <Python.h>

#include <asio.hpp>

#include <cxxabi.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

namespace kiv {

// A thread pool that grows on demand, up to max_threads; idle threads retire
// after idle_timeout. A queued job that finds no free thread gets a new one
// as soon as the pool stops making progress (no job started for stall_grace),
// so blocked jobs never starve the queue. While jobs keep starting, the pool
// does not grow: Python jobs are serialised by the interpreter lock anyway,
// and every extra thread would only add lock hand-offs and context switches.
class BlockingPool {
 public:
  struct Job {
    virtual ~Job() = default;
    // The work itself.
    virtual void run() = 0;
    // Runs after the thread already counts as free again: hand results back
    // here, so a job submitted in response finds this thread instead of
    // starting another one.
    virtual void finish() {}
    // Short jobs (file reads) may hand their results back together: a thread
    // keeps finished ones while the next job it takes is short too (at most
    // 16), then posts them all at once, one wake-up of a network thread
    // instead of one each. Results never wait for any other kind of job.
    // The io_context to post to, or nullptr: not short, use finish().
    virtual asio::io_context* batch_context() const { return nullptr; }
    // The hand-over of a batched result; runs on a thread of batch_context().
    virtual void deliver() {}
  };

  explicit BlockingPool(std::size_t max_threads = 512,
                        std::chrono::milliseconds idle_timeout = std::chrono::seconds(10),
                        std::chrono::microseconds stall_grace = std::chrono::milliseconds(10));
  BlockingPool(const BlockingPool&) = delete;
  BlockingPool& operator=(const BlockingPool&) = delete;

  void submit_job(std::unique_ptr<Job> job);

 private:
  void worker();
  // Wakes an idle thread if jobs are queued (the deferred wake-up below).
  void notify_if_waiting();
  void monitor();
  bool stalled(std::chrono::steady_clock::time_point now) const {
    return now - last_start_ >= stall_grace_;
  }
  // Starts a worker if the queue holds more jobs than free threads and the
  // pool is not making progress; the caller holds mutex_. True when it did.
  bool grow_if_stalled(std::chrono::steady_clock::time_point now);

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::condition_variable monitor_cv_;
  bool monitor_started_ = false;
  bool monitor_sleeping_ = false;
  std::atomic<bool> notify_scheduled_{false};  // a deferred wake-up is queued
  std::chrono::steady_clock::time_point last_start_{};
  std::deque<std::unique_ptr<Job>> queue_;
  std::size_t threads_ = 0;
  std::size_t busy_ = 0;     // threads inside Job::run
  std::size_t waiting_ = 0;  // threads blocked on cv_
  const std::size_t max_threads_;
  const std::chrono::milliseconds idle_timeout_;
  const std::chrono::microseconds stall_grace_;
};

// The process-wide blocking pool (created on first use, never destroyed).
BlockingPool& blocking_pool();

// The process-wide network runtime (created on first use, never shut down).
asio::io_context& runtime();
// Worker threads of the runtime: available parallelism, at least 2, 4 when unknown.
std::size_t runtime_worker_count();
// Logical CPUs available to this process (affinity mask and cgroup CPU quota
// honoured), or 0 when it cannot be determined.
std::size_t available_parallelism();

// Names the calling thread "kiv-io".
void name_thread();

// Takes the interpreter lock on a blocking-pool thread. The thread keeps its
// Python thread state between jobs (created on first use, deleted when the
// thread retires), which saves creating one per request.
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

namespace detail {
template <class F, class Handler, class Executor>
struct BlockingOp final : BlockingPool::Job {
  using R = std::invoke_result_t<F&>;
  BlockingOp(F&& f, Handler&& h, const Executor& e, bool short_job)
      : fn(std::move(f)),
        handler(std::move(h)),
        ex(e),
        work(asio::make_work_guard(e)),
        short_job(short_job) {}
  void run() override {
    try {
      result = fn();
    } catch (abi::__forced_unwind&) {
      throw;  // the thread is being ended (interpreter shutdown): never swallow
    } catch (...) {
      error = std::current_exception();
    }
  }
  void finish() override {
    asio::post(ex, [h = std::move(handler), e = error, r = std::move(result)]() mutable {
      std::move(h)(e, std::move(r));
    });
    work.reset();
  }
  // Only a plain io_context executor can take a batch; a strand needs its
  // own posts.
  asio::io_context* batch_context() const override {
    if constexpr (std::is_same_v<Executor, asio::any_io_executor>) {
      if (auto* io = ex.template target<asio::io_context::executor_type>(); io && short_job)
        return &io->context();
    }
    return nullptr;
  }
  void deliver() override {
    std::move(handler)(error, std::move(result));
    work.reset();
  }
  F fn;
  Handler handler;
  Executor ex;
  asio::executor_work_guard<Executor> work;
  bool short_job;
  R result{};
  std::exception_ptr error;
};
}  // namespace detail

// Runs f on the blocking pool and resumes the awaiting coroutine on its own
// executor with f's result (exceptions are rethrown in the coroutine).
// short_job: f is quick file-system work whose result may travel in a batch
// (see Job::batch_context).
template <class F>
asio::awaitable<std::invoke_result_t<F&>> run_blocking(F f, bool short_job = false) {
  using R = std::invoke_result_t<F&>;
  auto ex = co_await asio::this_coro::executor;
  // Named, not a temporary inside co_await: g++ 12 can destroy such
  // temporaries twice.
  auto initiation = [ex, short_job](auto handler, F fn) {
    using Op = detail::BlockingOp<F, decltype(handler), decltype(ex)>;
    blocking_pool().submit_job(
        std::make_unique<Op>(std::move(fn), std::move(handler), ex, short_job));
  };
  auto op = asio::async_initiate<decltype(asio::use_awaitable), void(std::exception_ptr, R)>(
      std::move(initiation), asio::use_awaitable, std::move(f));
  co_return co_await std::move(op);
}

}  // namespace kiv
