// Read and write time limits that cost almost nothing per operation.
//
// Racing a timer against every socket read is expensive, so connections
// instead publish a deadline in coarse seconds before each read. One
// process-wide sweeper thread wakes once a second, advances the coarse clock
// and, for every registered connection whose deadline has passed while a read
// is pending, shuts down the receiving direction of its socket. The pending
// read then completes with end-of-stream, and the reader asks `disarm` whether
// that was the sweeper's doing.
#pragma once

#include <atomic>
#include <cstdint>

namespace kiv {

namespace detail {
extern std::atomic<std::int64_t> coarse_clock;
}

// Seconds on a monotonic clock, refreshed once a second by the sweeper (and
// when it starts), so reading it costs no clock call. May lag by a second.
inline std::int64_t coarse_now() noexcept {
  return detail::coarse_clock.load(std::memory_order_relaxed);
}

// One connection's read deadline. Registered with the sweeper for its whole
// lifetime; destroy it before the socket's descriptor is closed, so the sweeper
// never shuts down a descriptor that has been reused.
class ReadDeadline {
 public:
  explicit ReadDeadline(int fd);
  ~ReadDeadline();
  ReadDeadline(const ReadDeadline&) = delete;
  ReadDeadline& operator=(const ReadDeadline&) = delete;

  // Before a read: allow at least limit_secs (and at most about two seconds
  // more) before the read is cut.
  void arm(std::int64_t limit_secs) noexcept {
    writing_.store(false, std::memory_order_relaxed);
    deadline_.store(coarse_now() + limit_secs + 1, std::memory_order_release);
  }
  // Before a read: cut it once coarse_now() reaches `when`.
  void arm_at(std::int64_t when) noexcept {
    writing_.store(false, std::memory_order_relaxed);
    deadline_.store(when, std::memory_order_relaxed);
  }
  // Before a write: like arm, but an overdue write is cut by shutting down
  // both directions (a pending send only fails then).
  void arm_write(std::int64_t limit_secs) noexcept {
    writing_.store(true, std::memory_order_relaxed);
    deadline_.store(coarse_now() + limit_secs + 1, std::memory_order_release);
  }
  // From another thread: a pending read is cut by `when` at the latest. No
  // effect when no read is pending.
  void shorten(std::int64_t when) noexcept {
    std::int64_t cur = deadline_.load(std::memory_order_acquire);
    while (cur > when && !writing_.load(std::memory_order_relaxed) &&
           !deadline_.compare_exchange_weak(cur, when, std::memory_order_acq_rel)) {
    }
  }
  // After a read: true when the sweeper cut this read (or was about to). The
  // socket's receiving side is then shut down for good.
  bool disarm() noexcept { return deadline_.exchange(0, std::memory_order_acq_rel) == kFired; }

  // Runs one sweep at coarse time `now`; returns how many reads it cut. The
  // sweeper thread calls this every second; exposed for tests.
  static int sweep(std::int64_t now);

 private:
  static constexpr std::int64_t kFired = -1;  // 0 means "no read pending"
  friend struct DeadlineRegistry;

  std::atomic<std::int64_t> deadline_{0};
  std::atomic<bool> writing_{false};
  const int fd_;
  ReadDeadline* prev_ = nullptr;  // registry links, guarded by its mutex
  ReadDeadline* next_ = nullptr;
};

}  // namespace kiv
