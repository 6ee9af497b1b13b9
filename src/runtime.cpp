#include "runtime.hpp"

#include <cxxabi.h>
#include <pthread.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace kiv {

void name_thread() {
  pthread_setname_np(pthread_self(), "kiv-io");
}

// --- blocking pool ---------------------------------------------------------

namespace {
thread_local bool is_runtime_thread = false;
thread_local bool is_pool_thread = false;
// The calling pool thread's "waiting for the interpreter lock" flag.
thread_local std::atomic<bool>* taking_lock_flag = nullptr;
thread_local std::atomic<int>* taking_lock_count = nullptr;
// Threads the monitor wakes per look at the queue in spread mode.
constexpr std::size_t kMaxStaleWakes = 2;
// Quiet threads whose sleep the monitor classifies per look (two reads each).
constexpr std::size_t kMaxClassified = 32;
// The concurrency limit never goes below this: a few threads overlap a
// database's round trips with each other's work.
constexpr std::size_t kMinLimit = 4;
// Threads waiting for the lock or a CPU from which the limit comes down.
constexpr std::size_t kLockBound = 8;

std::int64_t to_ns(const timespec& ts) {
  return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The run state in /proc/self/task/TID/stat ("tid (name) S ..."): true for
// R (running or waiting for a CPU). A thread that waits for a CPU is not
// asleep, though its CPU clock stands still as well.
bool read_runnable(int fd) {
  char buf[128];
  ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
  if (n <= 0) return false;
  buf[n] = '\0';
  const char* paren = std::strrchr(buf, ')');
  return paren && paren[1] == ' ' && paren[2] == 'R';
}

// The futex word a thread is blocked on, from /proc/self/task/TID/syscall
// ("nr arg0 ..."), or 0 when it is not blocked in futex(2).
std::uintptr_t futex_word(int fd) {
  if (fd < 0) return 0;
  char buf[64];
  ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
  if (n <= 0) return 0;
  buf[n] = '\0';
  char* end = nullptr;
  const long nr = std::strtol(buf, &end, 10);
  if (end == buf || nr != SYS_futex) return 0;
  return std::strtoull(end, nullptr, 16);
}
}  // namespace

BlockingPool::BlockingPool(std::size_t max_threads, std::chrono::milliseconds idle_timeout,
                           std::chrono::microseconds stall_grace,
                           std::chrono::microseconds sample_interval,
                           std::chrono::microseconds max_hold,
                           std::chrono::microseconds hold_below)
    : max_threads_(max_threads),
      idle_timeout_(idle_timeout),
      stall_grace_(stall_grace),
      sample_interval_(sample_interval),
      max_hold_(max_hold),
      hold_below_(hold_below) {
  limit_ = max_threads_;
}

BlockingPool::~BlockingPool() {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  while (!idle_.empty()) {
    wake_one()->wake.notify_one();
    notifying_.fetch_sub(1, std::memory_order_relaxed);
  }
  monitor_cv_.notify_all();
  done_cv_.wait(lock, [this] { return threads_ == 0 && !monitor_running_ && !notify_scheduled_; });
  lock.unlock();
  while (notifying_.load(std::memory_order_acquire) > 0) std::this_thread::yield();
}

void BlockingPool::start_thread(void (BlockingPool::*fn)()) {
  std::thread(fn, this).detach();
}

BlockingPool::Counts BlockingPool::counts() const {
  std::lock_guard lock(mutex_);
  return {threads_, busy_, waiting_, queue_.size(), grown_, spread_, spreads_, limit_};
}

BlockingPool::Batch BlockingPool::take_held(Slot& s) {
  Batch out;
  if (s.held.empty()) return out;
  out.ctx = s.held_ctx;
  out.jobs.swap(s.held);
  --holding_;
  return out;
}

void BlockingPool::post_batch(Batch batch) {
  if (batch.jobs.empty()) return;
  asio::post(*batch.ctx, [jobs = std::move(batch.jobs)]() mutable {
    for (auto& j : jobs) j->deliver();
  });
}

void BlockingPool::take_stale_held(std::chrono::steady_clock::time_point now,
                                   std::vector<Batch>& out) {
  if (holding_ == 0) return;
  for (Slot* s : slots_) {
    if (!s->held.empty() && now - s->held_since >= max_hold_) out.push_back(take_held(*s));
  }
}

void BlockingPool::monitor_wait(std::unique_lock<std::mutex>& lock,
                                std::chrono::microseconds d) {
  if (holding_ > 0) d = std::min(d, max_hold_);
  monitor_long_wait_ = d > max_hold_;
  monitor_cv_.wait_for(lock, d);
  monitor_long_wait_ = false;
}

void BlockingPool::ensure_monitor() {
  if (monitor_started_) return;
  try {
    monitor_running_ = monitor_started_ = true;
    start_thread(&BlockingPool::monitor);
  } catch (const std::system_error&) {
    monitor_running_ = monitor_started_ = false;  // tried again later
  }
}

std::size_t BlockingPool::grow(std::size_t n, std::chrono::steady_clock::time_point now) {
  std::size_t started = 0;
  for (; started < n && threads_ < max_threads_; ++started) {
    ++threads_;
    try {
      start_thread(&BlockingPool::worker);
    } catch (const std::system_error&) {
      // Out of threads for now: the job stays queued and the monitor tries
      // again at its next look.
      --threads_;
      break;
    }
  }
  if (started) last_start_ = now;  // a new thread counts as progress about to happen
  return started;
}

std::shared_ptr<BlockingPool::Slot> BlockingPool::wake_one() {
  std::shared_ptr<Slot> s = std::move(idle_.back());
  idle_.pop_back();
  --waiting_;
  ++wakes_in_flight_;
  s->woken = true;
  notifying_.fetch_add(1, std::memory_order_relaxed);
  return s;
}

void BlockingPool::notify(std::shared_ptr<Slot> s) {
  // After the lock is released: notified under it, the thread woke only to
  // block on the lock again (a context switch more per wake-up). Meanwhile
  // the thread may wake by itself (idle_timeout), take the job, and retire
  // or leave on the stopping path; the reference held here keeps its
  // condition variable alive, and the destructor waits for notifying_.
  wake_gap();
  s->wake.notify_one();
  s.reset();
  notifying_.fetch_sub(1, std::memory_order_release);
}

void BlockingPool::cover_stale(std::vector<std::shared_ptr<Slot>>& woken,
                               std::chrono::steady_clock::time_point now,
                               std::chrono::steady_clock::time_point cutoff,
                               std::size_t most) {
  std::size_t stale = 0;
  for (const auto& job : queue_) {
    if (job->queued_at > cutoff || stale == most) break;
    ++stale;
  }
  std::size_t n = std::min({stale, uncovered(), room()});
  for (; n > 0 && waiting_ > 0; --n) woken.push_back(wake_one());
  if (n > 0) grown_ += grow(n, now);
}

void BlockingPool::notify_if_waiting() {
  std::shared_ptr<Slot> s;
  {
    std::lock_guard lock(mutex_);
    notify_scheduled_ = false;
    if (should_wake()) s = wake_one();
    if (stopping_) done_cv_.notify_all();
  }
  if (s) notify(std::move(s));
}

void BlockingPool::submit_job(std::unique_ptr<Job> job) {
  bool defer = false, wake_monitor = false;
  std::shared_ptr<Slot> woken;
  {
    std::lock_guard lock(mutex_);
    job->queued_at = std::chrono::steady_clock::now();
    queue_.push_back(std::move(job));
    if (should_wake()) {
      // From a network thread, the wake-up waits until the handlers already
      // queued there have run: the jobs they submit then go to a single
      // wake-up instead of one each. With one core, every early wake-up
      // preempted the network thread and cost two context switches per
      // request. Jobs of such a burst that the woken thread leaves queued
      // are the monitor's business.
      // A thread already waiting for the interpreter lock means the lock is
      // taken: a thread woken now would only queue behind it, so busy
      // threads take the job when they are done.
      if (!is_runtime_thread) {
        woken = wake_one();
      } else if (!notify_scheduled_) {
        notify_scheduled_ = defer = true;
      }
    } else if (threads_ == 0) {
      grow(1, std::chrono::steady_clock::now());
    }
    if (uncovered() > 0) {
      ensure_monitor();
      wake_monitor = monitor_sleeping_;
    }
  }
  if (woken) notify(std::move(woken));
  if (defer) asio::defer(runtime().get_executor(), [this] { notify_if_waiting(); });
  if (wake_monitor) monitor_cv_.notify_one();
}

BlockingPool::Judgement BlockingPool::judge(LockWords& lock_words,
                                            const std::vector<Sample>& before,
                                            const std::vector<Sample>& after,
                                            std::chrono::nanoseconds wall) {
  Judgement j;
  // A thread waiting for the lock to start its job: more threads would only
  // queue for it too. (A thread asleep inside a view may itself be waiting for
  // the lock, held by a thread outside the pool; only the threads that start
  // jobs show it.)
  auto taking = [](const Sample& s) { return s.taking_lock; };
  j.taking = static_cast<std::size_t>(std::count_if(after.begin(), after.end(), taking));
  // A thread taking the lock to start its job and asleep in futex(2) shows
  // where the lock's waiters sleep (a mutex word, a condition variable's):
  // remembered, so that waiters for the same lock inside jobs are known too.
  for (const Sample& a : after) {
    if (!a.taking_lock) continue;
    if (const std::uintptr_t w = futex_word(a.syscall_fd); w && !lock_words.knows(w))
      lock_words.add(w);
  }
  j.taking_lock = j.taking > 0 || std::any_of(before.begin(), before.end(), taking);
  // Both lists are sorted by slot.
  std::vector<std::pair<const Sample*, std::int64_t>> quiet;  // used little CPU, and what
  std::int64_t wants_cpu = 0, ran_total = 0;
  auto b = before.begin();
  for (const Sample& a : after) {
    while (b != before.end() && b->slot < a.slot) ++b;
    if (b == before.end() || b->slot != a.slot || a.cpu_ns < 0 || b->cpu_ns < 0) continue;
    const std::int64_t ran = a.cpu_ns - b->cpu_ns;
    wants_cpu += ran;
    ran_total += ran;
    if (2 * ran < wall.count() && !a.taking_lock && !b->taking_lock) quiet.emplace_back(&a, ran);
  }
  // Quiet threads asleep now (in one job or across short ones) sleep in
  // their jobs; quiet runnable ones wait for a CPU and are taken to have
  // wanted it all along. For the limit, the sleepers are told apart: those
  // asleep on a word of the jobs' lock wait for it inside a view, the others
  // wait for the world. (For growth they all count as sleepers: views that
  // wait 5 ms on a loaded machine find the lock busy when they wake, and
  // still need a thread each.) The state costs a read or two each: a sample
  // of the quiet threads.
  j.lock_side = j.taking;
  std::size_t looked = 0;
  for (auto [a, ran] : quiet) {
    if (looked++ == kMaxClassified) break;
    if (a->stat_fd >= 0 && read_runnable(a->stat_fd)) {
      wants_cpu += wall.count() - ran;
      ++j.lock_side;
    } else {
      ++j.sleepers;
      if (lock_words.knows(futex_word(a->syscall_fd))) {
        ++j.lock_side;
      } else {
        ++j.world;
      }
    }
  }
  j.lock_busy = 2 * wants_cpu >= wall.count();
  // Threads just woken from their waits queue for the one CPU the server
  // may have; only CPU time used counts here.
  j.saturated = 10 * ran_total >= 9 * wall.count();
  return j;
}

void BlockingPool::adjust_limit(const Judgement& j) {
  if (j.world == 0 && j.lock_side >= kLockBound) {
    // Nobody in the sample waits for the world, many wait for the lock or a
    // CPU: a quarter fewer jobs at once, never below kMinLimit. Any sleeper
    // on the world stops it: jobs that wait long (a computing view's
    // neighbours on a busy lock) must keep their threads, or the next look
    // would not see them and the limit would starve them.
    limit_ = std::max(kMinLimit, std::min(limit_, busy_ - busy_ / 4));
  } else if (j.world >= j.lock_side && j.world > 0) {
    // They wait for the world: room to double, and for every sleeper.
    limit_ = std::min(max_threads_, std::max(limit_, 2 * busy_ + j.world));
  }
}

void BlockingPool::monitor() {
  name_thread();
  std::vector<Sample> before, after;
  LockWords lock_words;
  std::vector<std::shared_ptr<Slot>> wake_now;
  std::chrono::steady_clock::time_point before_at{};
  auto interval = sample_interval_;
  const auto longest_pause = sample_interval_ * 32;
  auto last_needed = std::chrono::steady_clock::now();
  // While spread, busy threads are looked at even with nothing queued: when
  // they turn to computing, queued jobs must stop getting threads.
  auto must_look = [this] { return uncovered() > 0 || (spread_ && busy_ > 0); };
  // While spread, a job queued this long gets a thread, and the threads are
  // judged again this often.
  const auto stale_after = sample_interval_ / 4;
  const auto rejudge_after = sample_interval_ * 32;
  auto judged_at = std::chrono::steady_clock::now();
  std::vector<Batch> stale_held;
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    take_stale_held(std::chrono::steady_clock::now(), stale_held);
    if (!stale_held.empty()) {
      lock.unlock();
      for (Batch& b : stale_held) post_batch(std::move(b));
      stale_held.clear();
      lock.lock();
      if (stopping_) break;
    }
    if (spread_ && busy_ > 0 &&
        std::chrono::steady_clock::now() - judged_at < rejudge_after) {
      // Busy threads free up often, so most queued jobs need no wake-up;
      // only those that waited stale_after do. A look at the queue is
      // cheap, unlike one at the threads.
      monitor_wait(lock, stale_after);
      if (stopping_) break;
      const auto now = std::chrono::steady_clock::now();
      last_needed = now;
      wake_now.clear();
      if (taking_lock_.load(std::memory_order_relaxed) >= 2) {
        // Threads queue for the lock to start their jobs: the views may have
        // turned to computing. Judge the threads now, waking nobody.
        judged_at = now - rejudge_after;
        continue;
      }
      // A few per look: jobs of a computing burst must not all get a thread
      // before the lock shows it.
      cover_stale(wake_now, now, now - stale_after, kMaxStaleWakes);
      if (!wake_now.empty()) {
        lock.unlock();
        for (auto& s : wake_now) notify(std::move(s));
        lock.lock();
      }
      before.clear();
      interval = sample_interval_;
      continue;
    }
    if (!must_look()) {
      // Look again now and then while the pool is in use: being woken by
      // every burst of jobs cost a context switch each. Only a pool unused
      // for a second waits to be woken, and the next load starts from the
      // careful rules.
      before.clear();
      if (holding_ == 0 &&
          std::chrono::steady_clock::now() - last_needed >= std::chrono::seconds(1)) {
        spread_ = false;
        limit_ = max_threads_;
        monitor_sleeping_ = true;
        monitor_cv_.wait(lock);
        monitor_sleeping_ = false;
        interval = sample_interval_;
        last_needed = std::chrono::steady_clock::now();
      } else {
        interval = std::min(interval * 2, longest_pause);
        monitor_wait(lock, interval);
      }
      continue;
    }
    last_needed = std::chrono::steady_clock::now();
    // Two samples are always sample_interval apart (a sleeping thread must be
    // seen asleep within one job or a few); pauses between pairs grow while
    // nothing can be done.
    monitor_wait(lock, before.empty() ? interval : sample_interval_);
    if (stopping_ || !must_look()) continue;

    // Sample the busy threads without holding the lock; a thread retiring
    // meanwhile (its file closed) spoils the sample.
    after.clear();
    bool anyone_taking_lock = false;
    for (const Slot* s : slots_) {
      if (!s->busy) continue;
      bool taking = s->taking_lock.load(std::memory_order_relaxed);
      anyone_taking_lock |= taking;
      after.push_back({s, taking, s->stat_fd, s->syscall_fd, s->clock});
    }
    const std::uint64_t retired = retired_;
    lock.unlock();
    for (Sample& a : after) {
      if (timespec ts; clock_gettime(a.clock, &ts) == 0) a.cpu_ns = to_ns(ts);
    }
    std::sort(after.begin(), after.end(),
              [](const Sample& x, const Sample& y) { return x.slot < y.slot; });
    const auto now = std::chrono::steady_clock::now();
    const bool judged = !before.empty() && !after.empty();
    const Judgement j = judged ? judge(lock_words, before, after, now - before_at) : Judgement{};
    lock.lock();
    if (retired != retired_) {
      before.clear();
      continue;
    }
    bool acted = false;
    if (judged) {
      // Spread when busy threads sleep in their jobs and the lock is free
      // most of the time (the rule for growing, below); stay spread while
      // they sleep and the lock has room. With the lock saturated, or threads
      // queueing for it to start their jobs, more threads would only queue
      // for it too. (A computing view made to give the lock up waits inside
      // the view, and looks asleep.)
      const bool was = spread_;
      spread_ = j.sleepers > 0 &&
                (was ? !j.saturated && j.taking < 2 : !j.lock_busy && !j.taking_lock);
      acted = spread_ != was;
      spreads_ += spread_ && !was;
      judged_at = now;
      adjust_limit(j);
    }
    wake_now.clear();
    if (spread_) {
      cover_stale(wake_now, now, now - stale_after, kMaxStaleWakes);
    } else {
      std::size_t want =
          j.sleepers > 0 && !j.lock_busy && !j.taking_lock ? j.sleepers : 0;
      want = std::min(want, room());
      if (want == 0 && stalled(now) && !anyone_taking_lock) {
        // The backstop overrides the limit: the busy threads may all wait
        // on something only a new job brings.
        want = 1;
        limit_ = std::max(limit_, busy_ + wakes_in_flight_ + 1);
      }
      want = std::min(want, uncovered());
      const std::size_t woken = std::min(want, waiting_);
      for (std::size_t i = 0; i < woken; ++i) wake_now.push_back(wake_one());
      const std::size_t started = grow(want - woken, now);
      grown_ += started;
      acted = acted || started > 0;
    }
    acted = acted || !wake_now.empty();
    if (!wake_now.empty()) {
      lock.unlock();
      for (auto& s : wake_now) notify(std::move(s));
      lock.lock();
    }
    if (acted || !judged) {
      interval = sample_interval_;
      std::swap(before, after);  // the next pair starts here
      before_at = now;
    } else {
      // Nothing to do (the lock is busy, or nobody sleeps, or all is well):
      // pause longer.
      interval = std::min(interval * 2, longest_pause);
      before.clear();
    }
  }
  monitor_running_ = false;
  done_cv_.notify_all();
}

void BlockingPool::worker() {
  name_thread();
  is_pool_thread = true;
  const auto self = std::make_shared<Slot>();
  Slot& slot = *self;
  pthread_getcpuclockid(pthread_self(), &slot.clock);
  {
    char path[64];
    const long tid = long(syscall(SYS_gettid));
    std::snprintf(path, sizeof path, "/proc/self/task/%ld/stat", tid);
    slot.stat_fd = open(path, O_RDONLY | O_CLOEXEC);
    std::snprintf(path, sizeof path, "/proc/self/task/%ld/syscall", tid);
    slot.syscall_fd = open(path, O_RDONLY | O_CLOEXEC);
  }
  taking_lock_flag = &slot.taking_lock;
  taking_lock_count = &taking_lock_;
  // This thread's recent jobs, their wall time on average (the last eight
  // weigh most): views that wait hand their results back at once.
  std::chrono::nanoseconds recent{0};
  std::unique_lock lock(mutex_);
  slots_.push_back(&slot);
  for (;;) {
    // Above the limit, the job stays queued for a busy thread (there is one:
    // the limit is at least one).
    const bool park = queue_.empty() || busy_ >= limit_;
    if (park && !slot.held.empty()) {
      // Never wait with results held back.
      Batch held = take_held(slot);
      lock.unlock();
      post_batch(std::move(held));
      lock.lock();
      continue;
    }
    if (park) {
      if (stopping_) break;
      idle_.push_back(self);
      ++waiting_;
      slot.woken = false;
      if (!slot.wake.wait_for(lock, idle_timeout_, [&] { return slot.woken; })) {
        // Idle for too long: retire.
        idle_.erase(std::find(idle_.begin(), idle_.end(), self));
        --waiting_;
        break;
      }
      --wakes_in_flight_;
      continue;
    }
    auto job = std::move(queue_.front());
    queue_.pop_front();
    ++busy_;
    slot.busy = true;
    const auto started = std::chrono::steady_clock::now();
    last_start_ = started;
    lock.unlock();
    try {
      job->run();
    } catch (abi::__forced_unwind&) {
      // The interpreter is shutting down and ends this thread as it waits for
      // the lock. Let the thread unwind, but leave the job alone: destroying
      // it would tear down a connection from the wrong thread, for nothing.
      // The thread stays counted: the pool is of no more use anyway.
      (void)job.release();
      lock.lock();
      for (auto& held : take_held(slot).jobs) (void)held.release();
      slots_.erase(std::find(slots_.begin(), slots_.end(), &slot));
      ++retired_;
      lock.unlock();
      if (slot.stat_fd >= 0) close(slot.stat_fd);
      if (slot.syscall_fd >= 0) close(slot.syscall_fd);
      throw;
    }
    const auto ended = std::chrono::steady_clock::now();
    recent += (ended - started - recent) / 8;
    asio::io_context* const ctx = job->batch_context();
    lock.lock();
    --busy_;
    slot.busy = false;
    // Hold this result if more work is queued and the batch has room; a job
    // of another kind sends the batch on first.
    const bool room = slot.held.empty() ||
                      (slot.held_ctx == ctx && slot.held.size() + 1 < kMaxHeld &&
                       ended - slot.held_since < max_hold_);
    if (ctx && recent < hold_below_ && !queue_.empty() && room) {
      bool wake_monitor = false;
      if (slot.held.empty()) {
        // The monitor must look within max_hold.
        slot.held_ctx = ctx;
        slot.held_since = ended;
        ++holding_;
        ensure_monitor();
        wake_monitor = monitor_sleeping_ || monitor_long_wait_;
      }
      slot.held.push_back(std::move(job));
      if (wake_monitor) {
        lock.unlock();
        monitor_cv_.notify_one();
        lock.lock();
      }
      continue;
    }
    Batch held = take_held(slot);
    lock.unlock();
    if (ctx && held.ctx == ctx) {
      held.jobs.push_back(std::move(job));
      post_batch(std::move(held));
    } else {
      post_batch(std::move(held));
      job->finish();
      job.reset();
    }
    lock.lock();
  }
  slots_.erase(std::find(slots_.begin(), slots_.end(), &slot));
  ++retired_;
  --threads_;
  taking_lock_flag = nullptr;
  taking_lock_count = nullptr;
  const int fds[] = {slot.stat_fd, slot.syscall_fd};
  if (stopping_) done_cv_.notify_all();
  lock.unlock();
  for (int fd : fds) {
    if (fd >= 0) close(fd);
  }
}

BlockingPool& blocking_pool() {
  static BlockingPool* pool = new BlockingPool();  // never destroyed: threads may outlive exit
  return *pool;
}

// --- the start of a job's wait for the lock ---------------------------------

bool on_pool_thread() {
  return is_pool_thread;
}

StartWait::StartWait() {
  if (!taking_lock_flag) return;
  taking_lock_flag->store(true, std::memory_order_relaxed);
  taking_lock_count->fetch_add(1, std::memory_order_relaxed);
}

StartWait::~StartWait() {
  if (!taking_lock_flag) return;
  taking_lock_flag->store(false, std::memory_order_relaxed);
  taking_lock_count->fetch_sub(1, std::memory_order_relaxed);
}

// --- runtime ----------------------------------------------------------------

bool on_runtime_thread() {
  return is_runtime_thread;
}

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
    // With one CPU the second worker is there for a handler that blocks, not
    // for parallel work: a worker that finds more handlers does not wake the
    // other to share them (that only cost a context switch each).
    const int hint = available_parallelism() == 1 ? 1 : static_cast<int>(n);
    // The guard is never reset: the runtime lives until the process ends. It
    // shares the io_context's allocation, so leak checkers see it referenced.
    struct Runtime {
      explicit Runtime(int hint) : io(hint), guard(asio::make_work_guard(io)) {}
      asio::io_context io;
      asio::executor_work_guard<asio::io_context::executor_type> guard;
    };
    auto* io = &(new Runtime(hint))->io;
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
