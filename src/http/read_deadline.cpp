#include "http/read_deadline.hpp"

#include <pthread.h>
#include <sys/socket.h>

#include <chrono>
#include <mutex>
#include <thread>

namespace kiv {

namespace detail {
std::atomic<std::int64_t> coarse_clock{0};
}

namespace {

std::int64_t monotonic_secs() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// Live connections as an intrusive list: O(1) registration and removal, and
// the sweep walks it once a second under the same mutex.
struct DeadlineRegistry {
  std::mutex mu;
  ReadDeadline* head = nullptr;
  bool sweeper_started = false;

  static DeadlineRegistry& get() {
    // Never destroyed: the sweeper thread outlives static destruction.
    static auto* r = new DeadlineRegistry();
    return *r;
  }

  void add(ReadDeadline* d) {
    std::lock_guard lock(mu);
    if (!sweeper_started) {
      sweeper_started = true;
      detail::coarse_clock.store(monotonic_secs(), std::memory_order_relaxed);
      std::thread([this] { run(); }).detach();
    }
    d->next_ = head;
    if (head) head->prev_ = d;
    head = d;
  }

  void remove(ReadDeadline* d) {
    std::lock_guard lock(mu);
    if (d->prev_)
      d->prev_->next_ = d->next_;
    else
      head = d->next_;
    if (d->next_) d->next_->prev_ = d->prev_;
    d->prev_ = d->next_ = nullptr;
  }

  int sweep(std::int64_t now) {
    int cut = 0;
    std::lock_guard lock(mu);
    for (ReadDeadline* d = head; d; d = d->next_) {
      std::int64_t due = d->deadline_.load(std::memory_order_relaxed);
      if (due <= 0 || due > now) continue;
      // Claim the read; if it completed meanwhile, the exchange in disarm won.
      if (!d->deadline_.compare_exchange_strong(due, ReadDeadline::kFired,
                                                std::memory_order_acq_rel)) {
        continue;
      }
      // Safe under the mutex: the owner unregisters before closing the fd.
      ::shutdown(d->fd_, d->writing_.load(std::memory_order_relaxed) ? SHUT_RDWR : SHUT_RD);
      ++cut;
    }
    return cut;
  }

  [[noreturn]] void run() {
    pthread_setname_np(pthread_self(), "kiv-io");
    for (;;) {
      const std::int64_t now = monotonic_secs();
      detail::coarse_clock.store(now, std::memory_order_relaxed);
      sweep(now);
      std::this_thread::sleep_until(
          std::chrono::steady_clock::time_point(std::chrono::seconds(now + 1)));
    }
  }
};

ReadDeadline::ReadDeadline(int fd) : fd_(fd) {
  DeadlineRegistry::get().add(this);
}

ReadDeadline::~ReadDeadline() {
  DeadlineRegistry::get().remove(this);
}

int ReadDeadline::sweep(std::int64_t now) {
  return DeadlineRegistry::get().sweep(now);
}

}  // namespace kiv
