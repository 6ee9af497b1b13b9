// The process-wide asynchronous runtime: one io_context run by the worker
// threads, and the blocking pool that runs Python calls, file-system work and
// name lookups off the network threads.
#pragma once

#include <asio.hpp>

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <exception>
#include <iterator>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

namespace kiv {

// A thread pool that grows on demand, up to max_threads; idle threads retire
// after idle_timeout. Threads are added only when they can make progress:
//
// - A busy thread that sleeps inside its job (a view waiting on a database,
//   a socket, a lock) leaves the interpreter lock free, so a queued job gets
//   a thread of its own. While jobs queue, the monitor reads each busy
//   thread's CPU clock and run state twice, sample_interval apart: a thread
//   asleep that used less than half of that time's CPU sleeps in its job. A
//   thread that runs, or waits for a CPU, or waits for the interpreter lock
//   before its job starts, does not count.
// - While busy threads want the CPU for at least half the time (the lock is
//   busy), the pool does not grow for sleepers: Python jobs are serialised by
//   the lock, and every extra thread would only add lock hand-offs and
//   context switches.
// - Whatever the reason, a queue that made no progress for stall_grace (no
//   job started, no thread waiting for the lock) gets one more thread.
//
// Idle threads that sleep while jobs queue are woken by the same rules
// before any new thread is started.
//
// Results travel back in batches while jobs are quick and more are queued: a
// thread holds what it finished (at most kMaxHeld results, for at most
// max_hold) and hands them back together when its queue runs dry, the batch
// is full or old, or a job of another kind comes. Each hand-back wakes a
// network thread, which then wakes the client: one of each per batch instead
// of per request (quick views ran about 1.6x as fast so). Views that wait
// (a thread's recent jobs averaging hold_below or more) hand back at once,
// and the monitor hands back any batch held past max_hold, so a result never
// waits on a slow job that follows it.
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
    // The io_context a batch of results may be posted to, or nullptr: this
    // job's result goes back alone, through finish().
    virtual asio::io_context* batch_context() const { return nullptr; }
    // The hand-over of a batched result; runs on a thread of batch_context().
    virtual void deliver() {}
    // When the job was queued (set by submit_job).
    std::chrono::steady_clock::time_point queued_at{};
  };

  explicit BlockingPool(std::size_t max_threads = 512,
                        std::chrono::milliseconds idle_timeout = std::chrono::seconds(10),
                        std::chrono::microseconds stall_grace = std::chrono::milliseconds(10),
                        std::chrono::microseconds sample_interval = std::chrono::milliseconds(1),
                        std::chrono::microseconds max_hold = std::chrono::milliseconds(2),
                        std::chrono::microseconds hold_below = std::chrono::microseconds(500));
  static constexpr std::size_t kMaxHeld = 32;
  BlockingPool(const BlockingPool&) = delete;
  BlockingPool& operator=(const BlockingPool&) = delete;
  // Waits for the threads to retire; the queue must be empty. Once it has
  // returned, no pool thread touches a job's batch_context() any more: an
  // io_context that receives results is to outlive the pool. The
  // process-wide pool is never destroyed.
  virtual ~BlockingPool();

  void submit_job(std::unique_ptr<Job> job);

  struct Counts {
    std::size_t threads, busy, idle, queued;
    std::size_t grown;  // threads started by the sampling rules, since creation
    bool spread;        // busy threads sleep in their jobs (see spread_)
    std::size_t spreads;  // times the pool turned spread, since creation
    std::size_t limit;    // jobs that may run at once (see limit_)
  };
  Counts counts() const;

 protected:
  // Starts a detached thread; throws std::system_error when it cannot.
  virtual void start_thread(void (BlockingPool::*fn)());
  // Runs between releasing the lock and signalling a woken idle thread, the
  // gap in which that thread may wake by itself and leave; tests widen it.
  virtual void wake_gap() {}

 private:
  // One per pool thread; fields are guarded by mutex_ unless atomic.
  struct Slot {
    int stat_fd = -1;     // the thread's /proc stat file (its run state), or -1
    int syscall_fd = -1;  // its /proc syscall file (what it sleeps in), or -1
    clockid_t clock{};  // the thread's CPU clock
    bool busy = false;
    std::atomic<bool> taking_lock{false};  // waiting for the interpreter lock
    std::condition_variable wake;           // idle threads wait here
    bool woken = false;
    // Finished jobs whose results go back in one batch, to held_ctx.
    std::vector<std::unique_ptr<Job>> held;
    asio::io_context* held_ctx = nullptr;
    std::chrono::steady_clock::time_point held_since{};
  };
  // What the monitor saw of one busy thread.
  struct Sample {
    const Slot* slot;
    bool taking_lock;
    int stat_fd;
    int syscall_fd;
    clockid_t clock;
    std::int64_t cpu_ns = -1;  // -1: unreadable
  };

  // Finished jobs whose results go back together, and where to.
  struct Batch {
    asio::io_context* ctx = nullptr;
    std::vector<std::unique_ptr<Job>> jobs;
  };

  void worker();
  void monitor();
  // Takes a slot's held results out (the caller holds mutex_ and posts them
  // with post_batch once it has released it).
  Batch take_held(Slot& s);
  static void post_batch(Batch batch);
  // Takes out every batch held for max_hold or longer; the caller holds mutex_.
  void take_stale_held(std::chrono::steady_clock::time_point now, std::vector<Batch>& out);
  // The monitor's wait, shortened while results are held.
  void monitor_wait(std::unique_lock<std::mutex>& lock, std::chrono::microseconds d);
  // Starts the monitor thread if it has not started yet; the caller holds mutex_.
  void ensure_monitor();
  // Wakes idle threads if jobs are queued (the deferred wake-up below).
  void notify_if_waiting();
  bool stalled(std::chrono::steady_clock::time_point now) const {
    return now - last_start_ >= stall_grace_;
  }
  bool lock_contended() const { return taking_lock_.load(std::memory_order_relaxed) > 0; }
  // Whether a queued job should wake an idle thread now, rather than wait
  // for a busy one or for the monitor: not while a woken thread is still on
  // its way (it will take the job), nor while a thread waits for the lock.
  bool should_wake() const {
    return waiting_ > 0 && !queue_.empty() && wakes_in_flight_ == 0 && !lock_contended() &&
           busy_ < limit_;
  }
  // Picks the idle thread that went idle last (its cache is warm, and the
  // others get to retire) and marks it woken; the caller holds mutex_, and
  // calls notify() for it once it has released mutex_. The reference keeps
  // the slot alive until then, whatever its thread does meanwhile.
  std::shared_ptr<Slot> wake_one();
  void notify(std::shared_ptr<Slot> s);
  // Queued jobs that no awake thread will take.
  std::size_t uncovered() const {
    std::size_t awake_free = threads_ - busy_ - waiting_;
    return queue_.size() > awake_free ? queue_.size() - awake_free : 0;
  }
  // Threads that may still be woken or started under limit_.
  std::size_t room() const {
    const std::size_t running = busy_ + wakes_in_flight_;
    return limit_ > running ? limit_ - running : 0;
  }
  // Starts up to n threads; the caller holds mutex_. Returns how many started.
  std::size_t grow(std::size_t n, std::chrono::steady_clock::time_point now);
  // What two samples taken `wall` apart show.
  struct Judgement {
    std::size_t sleepers = 0;  // quiet, asleep, not taking the lock
    std::size_t world = 0;     // ... of them, not asleep on the jobs' lock
    // Quiet threads asleep on the jobs' lock (inside a view) or waiting for
    // a CPU, plus those taking the lock to start: threads that more threads
    // would only join.
    std::size_t lock_side = 0;
    bool lock_busy = false;    // busy threads wanted the CPU at least half the time
    bool saturated = false;    // ... at least 90% of the time
    bool taking_lock = false;  // a thread waited for the lock to start its job
    std::size_t taking = 0;    // threads waiting for it at the second sample
  };
  // The futex words that threads taking the lock to start a job were seen
  // asleep on (the lock's mutex and condition variable); the monitor's own.
  struct LockWords {
    std::uintptr_t words[8] = {};
    std::size_t next = 0;
    bool knows(std::uintptr_t w) const {
      return w && std::find(std::begin(words), std::end(words), w) != std::end(words);
    }
    void add(std::uintptr_t w) { words[next++ % std::size(words)] = w; }
  };
  // Reads what threads that look asleep sleep in (a sample of them).
  static Judgement judge(LockWords& lock_words, const std::vector<Sample>& before,
                         const std::vector<Sample>& after, std::chrono::nanoseconds wall);
  // Moves limit_ by what a judgement saw; the caller holds mutex_.
  void adjust_limit(const Judgement& j);
  // Wakes (or starts) a thread for each job queued at or before `cutoff`
  // that no awake thread will take, at most `most`; the caller holds mutex_
  // and notifies `woken` once it has released it.
  void cover_stale(std::vector<std::shared_ptr<Slot>>& woken,
                   std::chrono::steady_clock::time_point now,
                   std::chrono::steady_clock::time_point cutoff, std::size_t most);

  mutable std::mutex mutex_;
  std::condition_variable monitor_cv_;
  std::condition_variable done_cv_;  // threads retiring while stopping_
  bool monitor_started_ = false;
  bool monitor_running_ = false;
  bool monitor_sleeping_ = false;
  bool notify_scheduled_ = false;  // a deferred wake-up is queued
  // Busy threads were last seen asleep in their jobs (views that wait) and
  // the lock has room: the monitor gives a thread to every job that waited a
  // quarter of sample_interval, whoever waits for the lock meanwhile, until
  // a look finds no busy thread asleep or the lock saturated.
  bool spread_ = false;
  std::size_t spreads_ = 0;
  // Jobs that may run at once. Lowered while more busy threads wait for a
  // lock or a CPU than for the world (views that wait briefly and often on
  // a database: each extra thread adds lock hand-offs, not progress);
  // raised as soon as they wait for the world again; reset after a second
  // without jobs. Threads that finish a job above it go idle.
  std::size_t limit_;
  bool stopping_ = false;
  std::chrono::steady_clock::time_point last_start_{};
  std::deque<std::unique_ptr<Job>> queue_;
  std::vector<Slot*> slots_;
  std::uint64_t retired_ = 0;  // threads that left slots_
  std::size_t threads_ = 0;
  std::size_t busy_ = 0;     // threads inside Job::run
  // Idle threads not yet woken, the most recent last. Slots are shared: a
  // thread may leave, and its slot's life on its stack would end, while a
  // waker that took it from here has yet to signal it.
  std::vector<std::shared_ptr<Slot>> idle_;
  std::size_t waiting_ = 0;  // idle_.size()
  std::size_t wakes_in_flight_ = 0;  // woken threads that have not looked at the queue yet
  std::size_t grown_ = 0;
  std::size_t holding_ = 0;          // slots holding results
  bool monitor_long_wait_ = false;   // the monitor waits longer than max_hold
  std::atomic<int> notifying_{0};  // wake_one() done, notify() not yet
  std::atomic<int> taking_lock_{0};  // threads waiting for the interpreter lock to start a job
  const std::size_t max_threads_;
  const std::chrono::milliseconds idle_timeout_;
  const std::chrono::microseconds stall_grace_;
  const std::chrono::microseconds sample_interval_;
  const std::chrono::microseconds max_hold_;
  const std::chrono::microseconds hold_below_;
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

// Whether the calling thread is one of the runtime's worker threads.
bool on_runtime_thread();

// Whether the calling thread is one of the blocking pool's threads.
bool on_pool_thread();

// Marks the calling pool thread, for a scope, as waiting for the lock that
// serialises the jobs (the application's interpreter lock) before its job can
// start. Such a thread sleeps with a still CPU clock like a job that waits on
// the world, but another thread would only queue for the same lock: the pool
// counts it as contention, not as a sleeper. Does nothing off the pool.
class StartWait {
 public:
  StartWait();
  ~StartWait();
  StartWait(const StartWait&) = delete;
  StartWait& operator=(const StartWait&) = delete;
};

namespace detail {
template <class F, class Handler, class Executor>
struct BlockingOp final : BlockingPool::Job {
  using R = std::invoke_result_t<F&>;
  BlockingOp(F&& f, Handler&& h, const Executor& e)
      : fn(std::move(f)), handler(std::move(h)), ex(e), work(asio::make_work_guard(e)) {}
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
      if (auto* io = ex.template target<asio::io_context::executor_type>())
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
  R result{};
  std::exception_ptr error;
};
}  // namespace detail

// Runs f on the blocking pool and resumes the awaiting coroutine on its own
// executor with f's result (exceptions are rethrown in the coroutine).
template <class F>
asio::awaitable<std::invoke_result_t<F&>> run_blocking(F f) {
  using R = std::invoke_result_t<F&>;
  auto ex = co_await asio::this_coro::executor;
  // Named, not a temporary inside co_await: g++ 12 can destroy such
  // temporaries twice.
  auto initiation = [ex](auto handler, F fn) {
    using Op = detail::BlockingOp<F, decltype(handler), decltype(ex)>;
    blocking_pool().submit_job(std::make_unique<Op>(std::move(fn), std::move(handler), ex));
  };
  auto op = asio::async_initiate<decltype(asio::use_awaitable), void(std::exception_ptr, R)>(
      std::move(initiation), asio::use_awaitable, std::move(f));
  co_return co_await std::move(op);
}

}  // namespace kiv
